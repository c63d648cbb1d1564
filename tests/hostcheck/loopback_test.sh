#!/usr/bin/env bash
# hostcheck with the camera simulator on loopback, as a new user tries it before a real camera:
# a 127.x address is on lo, a 127.x camera is this host's own (no ARP to ask), and a program that
# holds UDP 32100 is named with its process id.
#
#   loopback_test.sh HOSTCHECK CAMSIM
set -u
hostcheck=$1 camsim=$2
# shellcheck source=scripts/lib/camsim.sh
. "$(dirname "$0")/../../scripts/lib/camsim.sh"
status=0
fail() { echo "FAIL: $*"; status=1; }
dir=$(mktemp -d)
trap 'camsim_stop; rm -rf "$dir"' EXIT

# Addresses of 127.32/16 that depend on this script's process id.
local_ip=127.32.$(($$ / 250 % 250 + 1)).$(($$ % 125 * 2 + 1))
camera=${local_ip%.*}.$((${local_ip##*.} + 1))

# Runs hostcheck with the arguments; expects the exit status $1 and the line of check $2 to be
# $3 exactly.
expect() {
  local rc=$1 check=$2 line=$3 out got
  shift 3
  out=$("$hostcheck" "$@"); got=$?
  [ "$got" -eq "$rc" ] || fail "hostcheck $* exit status $got, not $rc: $out"
  got=$(grep -E "^[A-Z]+ +$check " <<<"$out")
  [ "$got" = "$line" ] || fail "hostcheck $*: $check line
  got:  $got
  want: $line"
}

# The camera simulator as the camera: the address checks pass, the ports are free.
camsim_start "$dir/camsim.out" "$dir/camsim.err" "$camsim" --bind "$camera" --exit-after 60 ||
  { echo "FAIL: camsim did not start: $(cat "$dir/camsim.err")"; exit 1; }
while IFS='|' read -r check line; do
  expect 0 "$check" "$line" "$local_ip" "$camera"
done <<EOF_CASES
address|OK    address      $local_ip on lo, up
route|OK    route        $camera is reached directly through lo
arp|OK    arp          $camera is an address of this host (through lo): nothing to ask
ports|OK    ports        UDP 32100 and 32101 on $local_ip are free
EOF_CASES
camsim_stop

# The simulator on the driver's port instead: another program holds it.
camsim_start "$dir/camsim.out" "$dir/camsim.err" "$camsim" --bind "$local_ip" --port 32100 \
  --exit-after 60 || { echo "FAIL: camsim did not start: $(cat "$dir/camsim.err")"; exit 1; }
expect 1 ports "FAIL  ports        32100 on $local_ip held by camsim (pid $camsim_pid): frameprobe cannot have the camera's packets  | fix: kill $camsim_pid (or stop that program)" \
  "$local_ip" "$camera"

[ $status -eq 0 ] && echo "hostcheck on loopback: all cases passed"
exit $status
