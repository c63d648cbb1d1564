#!/usr/bin/env bash
# frameprobe and the soak in a host namespace, camsim in a camera namespace, joined by a veth
# pair shaped to 1 Gbit/s on the camera's side. Exits 77 (skipped) where the lab cannot be made.
#
#   netlab_test.sh NETLAB FRAMEPROBE CAMSIM SOAK
set -u
# shellcheck source=scripts/lib/camsim.sh
. "$(dirname "$0")/../../scripts/lib/camsim.sh"
netlab=$1 frameprobe=$2 camsim=$3 soak=$4
lab="t$$"
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! reason=$("$netlab" up "$lab" --rate 1gbit --burst 128kb --limit 512kb 2>&1); then
  echo "SKIP: $reason"
  exit 77
fi
dir=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  "$netlab" down "$lab"
  rm -rf "$dir"
}
trap cleanup EXIT
host=$("$netlab" addr "$lab" host)
camera=$("$netlab" addr "$lab" camera)
spare=$("$netlab" addr "$lab" spare)

# Starts a fresh camsim in the camera namespace with the given flags; its output goes to
# $dir/sim.N.out and .err. Waits (at most 10 s) until it listens.
runs=0
start_sim() {
  runs=$((runs + 1))
  sim_out=$dir/sim.$runs.out sim_err=$dir/sim.$runs.err
  camsim_start "$sim_out" "$sim_err" "$netlab" exec "$lab" camera "$camsim" --bind "$camera" "$@"
  local started=$?
  sim_pid=$camsim_pid
  [ "$started" -eq 0 ] && return 0
  fail "camsim did not start: $(cat "$sim_err")"
  return 1
}
stop_sim() {
  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=
}
# A number from camsim's statistics: the line that starts with $1.
sim_stat() { sed -n "s/^$1: \([0-9]*\).*/\1/p" "$sim_out"; }

complete="Binning: turn ON

Data taking started.

RAW data transmision done, no missing packets.

RAW packet #251 (length=1024) retransmitted and stored in its right place in the image.

Get the number field from the last camera response again.
It is: 0001F600 and it should be the retransmitted data offset (16-bit words).

Camera ID received (length=32). String is: FrameProbe CamSim 1"

echo "--- the whole sequence through the shaped link"
mkdir "$dir/whole" && start_sim --quiet
out=$(cd "$dir/whole" && "$netlab" exec "$lab" host "$frameprobe" "$host" "$camera"); rc=$?
stop_sim
[ "$rc" -eq 0 ] || fail "frameprobe exit status $rc"
[ "$out" = "$complete" ] || fail "console: $out"
start_sim --quiet
"$netlab" exec "$lab" host "$soak" --local "$host" --camera "$camera" --images 3 --cycles 0 \
  >"$dir/soak.whole" 2>&1 || fail "soak: $(cat "$dir/soak.whole")"
stop_sim
grep -q "images: 3 of 3 exact" "$dir/soak.whole" || fail "images not exact: $(cat "$dir/soak.whole")"

echo "--- camera switched off: nobody holds its address, nothing answers"
mkdir "$dir/off"
start=$(date +%s%N)
out=$(cd "$dir/off" && "$netlab" exec "$lab" host "$frameprobe" "$host" "$spare"); rc=$?
took=$((($(date +%s%N) - start) / 1000000))
[ "$rc" -eq 0 ] || fail "frameprobe exit status $rc"
[ "$out" = "0 packets received.
Still there are some missing packets...." ] || fail "console: $out"
[ "$took" -ge 300 ] || fail "three attempts took only $took ms"
timeouts=$(grep -c "05010000):$" "$dir/off/log_err.txt")
[ "$timeouts" -eq 3 ] || fail "$timeouts timeouts of the binning command, not 3"
grep -q "Lost contact, closing connection." "$dir/off/log_err.txt" || fail "no lost contact"
grep -q "Connection closed. Command not sent." "$dir/off/log_err.txt" || fail "commands not refused"

# Waits (at most 1 s) for camsim to log the start command, then 200 ms more: at 100 Mbit/s an
# image takes about 725 ms, so the stream is then in its middle.
await_stream() {
  for _ in $(seq 100); do
    grep -q "number 0x00000008" "$sim_err" && break
    sleep 0.01
  done
  sleep 0.2
}

echo "--- nothing passes for 50 ms in the middle of the stream"
start_sim --rate 100
"$netlab" exec "$lab" host "$soak" --local "$host" --camera "$camera" --images 1 --cycles 0 \
  >"$dir/soak.cut" 2>&1 &
soak_pid=$!
await_stream
"$netlab" cut "$lab" on
sleep 0.05
"$netlab" cut "$lab" off
wait "$soak_pid" || fail "soak: $(cat "$dir/soak.cut")"
stop_sim
grep -q "images: 1 of 1 exact" "$dir/soak.cut" || fail "image not exact: $(cat "$dir/soak.cut")"
received=$(sed -n 's/^image 1: \([0-9]*\) packets received.*/\1/p' "$dir/soak.cut")
fetched=$(sim_stat "retransmissions served")
if [ -z "$received" ]; then
  fail "nothing was lost while nothing passed: $(cat "$dir/soak.cut")"
elif [ "$fetched" -ne $((8248 - received)) ]; then
  fail "$fetched packets fetched again for $((8248 - received)) lost"
fi

echo "--- camera sending faster than the link"
# An unpaced simulator of a debug or sanitizer build may itself send no faster than the link on
# average; it still sends in bursts of many packets per system call, which a slower link with a
# queue shorter than a burst cannot take.
"$netlab" shape "$lab" --rate 200mbit --burst 16kb --limit 16kb
start_sim --quiet --rate 0
"$netlab" exec "$lab" host "$soak" --local "$host" --camera "$camera" --images 3 --cycles 0 \
  >"$dir/soak.fast" 2>&1 || fail "soak: $(cat "$dir/soak.fast")"
stop_sim
grep -q "images: 3 of 3 exact" "$dir/soak.fast" || fail "images not exact: $(cat "$dir/soak.fast")"
lost=$(sed -n 's/^image [0-9]*: \([0-9]*\) packets received.*/\1/p' "$dir/soak.fast" |
  awk '{ lost += 8248 - $1 } END { print lost + 0 }')
fetched=$(sim_stat "retransmissions served")
[ "$lost" -gt 0 ] || fail "the link's queue dropped nothing"
[ "$fetched" -eq "$lost" ] || fail "$fetched packets fetched again for $lost lost"

# A link that really goes down takes its neighbour entries with it, and its peer may take up to
# a second to carry packets again: longer than the three 100 ms attempts of a status request.
# Whether the run recovers then depends on that time; it must end in an orderly way either way.
echo "--- cable pulled for 50 ms in the middle of the stream"
mkdir "$dir/pulled" && start_sim --rate 100
(cd "$dir/pulled" && "$netlab" exec "$lab" host "$frameprobe" "$host" "$camera" >console) &
probe_pid=$!
await_stream
"$netlab" link "$lab" down
sleep 0.05
"$netlab" link "$lab" up
wait "$probe_pid"; rc=$?
stop_sim
[ "$rc" -eq 0 ] || fail "frameprobe exit status $rc after the cable was pulled"
grep -q "packets received." "$dir/pulled/console" || fail "console: $(cat "$dir/pulled/console")"
grep -q "STOP LOGGING." "$dir/pulled/log.txt" || fail "the run did not end in order"
echo "    $(grep -h "missing packets\|retransmitted\." "$dir/pulled/console" | head -1)"

[ $status -eq 0 ] && echo "network lab: all cases passed"
exit $status
