#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) and runs each for SECONDS (default
# 20): first over every file of its seed corpus in fuzz/corpus/<name>, which must all run
# clean, then fuzzing from them for the time given. New inputs go to build/fuzz/corpus/<name>,
# findings (crash-*, leak-*, timeout-*) to build/fuzz/findings/<name>. Exits 1 on a finding.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 600 nudp_receive
set -euo pipefail
# --help: the comment at the top of this file.
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(nudp_receive nudp_formats sim_commands address live_page grab_options
  capture_file)

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is not installed; nothing fuzzed" >&2
  exit 2
fi
echo "=== fuzz: configure and build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

status=0
for name in "${targets[@]}"; do
  program=build/fuzz/fuzz/fuzz_$name
  seeds=fuzz/corpus/$name
  work=build/fuzz/corpus/$name
  findings=build/fuzz/findings/$name
  mkdir -p "$work" "$findings"
  echo "=== fuzz: $name: the seed corpus"
  if ! "$program" -runs=0 "$seeds" >"$findings/seeds.log" 2>&1; then
    echo "fuzz: $name: a seed does not run clean:"; tail -30 "$findings/seeds.log"; status=1
    continue
  fi
  echo "=== fuzz: $name: $seconds s"
  if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" -print_final_stats=1 "$work" "$seeds" \
      >"$findings/run.log" 2>&1; then
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$findings/run.log" \
      | sed "s/^/fuzz: $name: /"
  else
    echo "fuzz: $name: finding:"; tail -40 "$findings/run.log"; status=1
  fi
done
exit $status
