#!/usr/bin/env bash
# The main job against the camera simulator on loopback: installs what building the programs
# needs when it is missing (not what only the tests want: no browser, npm or tshark), builds the
# optimised programs (the "programs" preset, without the test suite), starts camsim on 127.0.0.1:1234, runs "frameprobe 127.0.0.1 127.0.0.1" in
# a fresh working directory under runs/, shows what it printed and where its logs are, and stops
# the simulator.
#
# Extra arguments go to camsim, e.g. ./scripts/demo.sh --drop 5,8247 or --loss 0.02; camsim
# runs in the run's directory, so ./scripts/demo.sh --pcap demo.pcap writes the capture there.
set -euo pipefail
# --help: the comment at the top of this file.
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=scripts/lib/camsim.sh
. "$root/scripts/lib/camsim.sh"
FP_NEED_TESTS=0 ./scripts/install-deps.sh

echo "=== build (optimised programs)"
cmake --preset programs >/dev/null
cmake --build --preset programs -j "$(nproc)" --target frameprobe camsim

run_dir="$root/runs/$(date -u +%Y%m%d-%H%M%S)-$$"
mkdir -p "$run_dir"
sim_out="$run_dir/camsim.txt"

camsim_pid=
trap camsim_stop EXIT

# camsim runs in the run's directory, so that a file it writes (--pcap FILE) lands there.
if ! camsim_start "$sim_out" "$sim_out" env -C "$run_dir" "$root/build/programs/tools/camsim" \
    --bind 127.0.0.1 --quiet "$@"; then
  if kill -0 "$camsim_pid" 2>/dev/null; then
    echo "demo: camsim did not start in 10 s" >&2
  else
    echo "demo: camsim did not start:" >&2
    cat "$sim_out" >&2
  fi
  exit 1
fi

echo "=== frameprobe 127.0.0.1 127.0.0.1 (in $run_dir)"
status=0
(cd "$run_dir" && "$root/build/programs/app/frameprobe" 127.0.0.1 127.0.0.1) || status=$?
camsim_stop
trap - EXIT

echo "=== exit status $status"
echo "=== camera simulator"
grep -v "camsim: listening on\|camsim: signal" "$sim_out" || true
echo "=== logs"
echo "driver log: $run_dir/log.txt ($(wc -l <"$run_dir/log.txt") lines)"
echo "error log:  $run_dir/log_err.txt ($(wc -l <"$run_dir/log_err.txt") lines)"
exit "$status"
