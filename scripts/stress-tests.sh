#!/usr/bin/env bash
# Runs the whole test suite several times in a row while busy processes compete for the CPU, to
# bring out tests that pass only when the machine is idle.
#
#   scripts/stress-tests.sh [PRESET] [ROUNDS]     (defaults: dev, 10)
#
# Builds PRESET like scripts/test.sh, then runs `ctest --preset PRESET` ROUNDS times beside
# FP_STRESS_LOAD busy loops (default 2). At the end it prints how many rounds passed and, for
# every test that failed at least once, the rounds it failed in and its output. Exits 0 only
# when every round passed.
#
# FP_STRESS_BUILD_DIR=DIR (relative to the repository root) builds and tests in DIR instead of
# build/PRESET, with the same preset settings, so a run leaves alone a build tree that someone
# else is using.
set -euo pipefail
# --help: the comment at the top of this file.
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."
source_dir=$PWD

preset=${1:-dev}
rounds=${2:-10}
load=${FP_STRESS_LOAD:-2}
build_dir=${FP_STRESS_BUILD_DIR:-}
case "$rounds" in '' | *[!0-9]* | 0) echo "stress: ROUNDS must be a positive number" >&2; exit 2 ;; esac
case "$load" in '' | *[!0-9]*) echo "stress: FP_STRESS_LOAD must be a number" >&2; exit 2 ;; esac

./scripts/install-deps.sh
jobs=$(nproc)
echo "=== $preset: configure and build${build_dir:+ in $build_dir}"
if [ -z "$build_dir" ]; then
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
else
  mkdir -p "$build_dir"
  build_dir=$(cd "$build_dir" && pwd)
  cmake --preset "$preset" -B "$build_dir" >/dev/null
  cmake --build "$build_dir" -j "$jobs"
fi

logs=$(mktemp -d "${TMPDIR:-/tmp}/fp-stress.XXXXXX")
load_pids=()
stop_load() {
  local pid
  for pid in "${load_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  load_pids=()
}
trap stop_load EXIT
trap 'stop_load; echo "stress: interrupted; logs in $logs" >&2; exit 130' INT TERM

# ctest --preset reads the presets from its working directory and runs the tests in the
# preset's binary directory, where it also keeps its Testing/ records. For another build tree,
# a copy of the presets whose build/PRESET points there keeps both in that tree.
test_dir=$source_dir
if [ -n "$build_dir" ]; then
  test_dir=$logs/presets
  mkdir -p "$test_dir/build"
  cp "$source_dir/CMakePresets.json" "$test_dir/"
  ln -s "$build_dir" "$test_dir/build/$preset"
fi

# The busy loops end by themselves after a generous bound should this script be killed
# outright; otherwise they are stopped by their process ids when the rounds are over.
bound=$((rounds * 900 + 600))
for _ in $(seq "$load"); do
  timeout "$bound" sh -c 'while :; do :; done' &
  load_pids+=($!)
done
echo "=== $preset: $rounds rounds beside $load busy processes (pids ${load_pids[*]:-none})"

passed=0
start=$SECONDS
for round in $(seq "$rounds"); do
  round_start=$SECONDS
  log=$logs/round-$round.log
  if (cd "$test_dir" && ctest --preset "$preset" --output-on-failure) >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "round $round/$rounds: passed ($((SECONDS - round_start)) s)"
  else
    # ctest lists the failed tests after its summary, one a line: "  12 - Name (Failed)".
    sed -n '/The following tests FAILED:/,$p' "$log" |
      sed -En 's/^[[:space:]]*[0-9]+ - ([^ ]+) \(([^)]*)\).*$/\1 \2/p' >"$logs/round-$round.failed"
    if [ ! -s "$logs/round-$round.failed" ]; then
      echo "ctest no-list-of-failed-tests" >"$logs/round-$round.failed"
    fi
    echo "round $round/$rounds: FAILED ($((SECONDS - round_start)) s):" \
      "$(awk '{ n = $1; sub(/^[^ ]+ /, ""); printf "%s%s (%s)", (NR > 1 ? ", " : ""), n, $0 }' \
        "$logs/round-$round.failed")"
  fi
done
elapsed=$((SECONDS - start))
stop_load

# The output ctest printed for test "$1" in log "$2": from its result line up to the next
# test's start or result line or the summary.
test_output() {
  awk -v name="$1" '
    /^ *Start +[0-9]+: / || /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / || /^[0-9]+% tests passed/ {
      printing = 0
    }
    /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / {
      line = $0
      sub(/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: /, "", line)
      if (substr(line, 1, length(name) + 1) == name " ") printing = 1
    }
    printing { print }
  ' "$2"
}

echo
echo "=== $preset: $passed of $rounds rounds passed in $elapsed s beside $load busy processes"
if [ "$passed" -eq "$rounds" ]; then
  rm -rf "$logs"
  exit 0
fi

echo "Tests that failed at least once, with the rounds they failed in:"
for name in $(cat "$logs"/round-*.failed | cut -d' ' -f1 | sort -u); do
  failed_in=$(awk -v name="$name" '$1 == name { print FILENAME; nextfile }' "$logs"/round-*.failed |
    sed 's/.*round-\([0-9]*\)\.failed/\1/' | sort -n | paste -sd ' ')
  echo "  $name: rounds $failed_in"
done
for round in $(seq "$rounds"); do
  [ -f "$logs/round-$round.failed" ] || continue
  while read -r name result; do
    echo
    echo "--- round $round: $name ($result)"
    if [ "$name" = ctest ]; then
      tail -n 30 "$logs/round-$round.log"
    else
      test_output "$name" "$logs/round-$round.log" >"$logs/output"
      cat "$logs/output"
      # Loopback tests bind fixed addresses, so a suite run at the same time on this machine
      # (another build tree, another user) makes them fail to bind: that is no flake of theirs.
      if grep -q -e "Address already in use" -e "cannot bind" "$logs/output"; then
        echo "(an address was in use: probably another test run on this machine at the same time)"
      fi
    fi
  done <"$logs/round-$round.failed"
done
echo
echo "stress: the logs of every round are in $logs"
exit 1
