#!/usr/bin/env bash
# hostcheck in the network lab: one lab per fault, each giving its verdict, and a clean lab
# without FAIL. Exits 77 (skipped) where the lab cannot be made.
#
#   hostcheck_test.sh NETLAB HOSTCHECK FRAMEPROBE CAMSIM
set -u
netlab=$1 hostcheck=$2 frameprobe=$3 camsim=$4
# shellcheck source=scripts/lib/camsim.sh
. "$(dirname "$0")/../../scripts/lib/camsim.sh"
status=0
fail() { echo "FAIL: $*"; status=1; }
labs=() pids=()
dir=$(mktemp -d)
cleanup() {
  local pid lab
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for lab in "${labs[@]}"; do "$netlab" down "$lab"; done
  rm -rf "$dir"
}
trap cleanup EXIT

# Brings up lab hc<pid><name>; sets lab, host, camera, spare and iface (the host's interface).
lab_up() {
  lab="hc$$$1"
  local reason
  if ! reason=$("$netlab" up "$lab" 2>&1); then
    [ ${#labs[@]} -eq 0 ] && { echo "SKIP: $reason"; exit 77; }
    fail "lab $lab: $reason"
    return 1
  fi
  labs+=("$lab")
  host=$("$netlab" addr "$lab" host) camera=$("$netlab" addr "$lab" camera)
  spare=$("$netlab" addr "$lab" spare)
  iface=$("$netlab" exec "$lab" host ip -o -4 addr show to "$host" | awk '{ print $2 }')
}
on_host() { "$netlab" exec "$lab" host "$@"; }
# Starts camsim on the lab's SIDE with the flags and waits until it listens; its pid (netlab and
# ip exec it) goes to $sim_pid.
start_camsim() {
  local side=$1 log=$dir/sim.$lab.err
  shift
  camsim_start /dev/null "$log" "$netlab" exec "$lab" "$side" "$camsim" --quiet "$@"
  local started=$?
  sim_pid=$camsim_pid
  pids+=("$sim_pid")
  [ $started -eq 0 ] || fail "$lab: camsim did not start: $(cat "$log")"
}
# Runs hostcheck on the lab's host with the arguments; expects the exit status $1 and the line
# of check $2 to be $3 exactly.
expect() {
  local rc=$1 check=$2 line=$3 out got
  shift 3
  out=$(on_host "$hostcheck" "$@"); got=$?
  [ "$got" -eq "$rc" ] || fail "$lab: hostcheck $* exit status $got, not $rc: $out"
  got=$(grep -E "^[A-Z]+ +$check " <<<"$out")
  [ "$got" = "$line" ] || fail "$lab: $check line
  got:  $got
  want: $line"
}

echo "--- a clean lab: no FAIL, and --json and --watch say so too"
lab_up clean
out=$(on_host "$hostcheck" "$host" "$camera") || fail "clean lab: $out"
grep -q "^FAIL" <<<"$out" && fail "clean lab: $out"
expect 0 route "OK    route        $camera is reached directly through $iface" "$host" "$camera"
camera_mac=$("$netlab" exec "$lab" camera ip -o link show | awk '$2 != "lo:" { for (i = 1; i < NF; i++) if ($i == "link/ether") print $(i + 1) }')
expect 0 arp "OK    arp          $camera answers ARP on $iface ($camera_mac)" "$host" "$camera"
expect 1 arp "FAIL  arp          $spare does not answer ARP on $iface: it is switched off, not connected to $iface, or has another address  | fix: check that the camera is powered, its cable and its address; ip neigh show dev $iface lists who answered" \
  "$host" "$spare"
expect 0 udp_errors "OK    udp_errors   RcvbufErrors and InErrors did not grow in 1 s (0 and 0 since boot)" \
  --watch 1 "$host" "$camera"
if command -v jq >/dev/null; then
  json=$(on_host "$hostcheck" --json "$host" "$camera")
  [ "$(jq -r '[.fails, (.checks | map(.verdict) | index("FAIL")), (.checks[] | select(.check == "mtu") | .mtu_bytes)] | @tsv' <<<"$json")" = \
    "0		1500" ] || fail "clean lab --json: $json"
else
  echo "    jq is not installed (package jq): --json not checked"
fi

echo "--- the host's MTU at 1000: commands answered, no image data, and hostcheck says why"
lab_up mtu
on_host ip link set dev "$iface" mtu 1000
start_camsim camera --bind "$camera"
out=$(cd "$dir" && on_host "$frameprobe" "$host" "$camera")
[ "$out" = "Binning: turn ON

Data taking started.

0 packets received.
Still there are some missing packets...." ] || fail "frameprobe through MTU 1000: $out"
# A camsim slowed by a loaded machine may still be streaming: read the count once it holds still.
dropped=-1
for _ in $(seq 50); do
  now=$(on_host cat "/sys/class/net/$iface/statistics/rx_dropped")
  [ "$now" = "$dropped" ] && [ "$now" -ge 8248 ] && break
  dropped=$now
  sleep 0.2
done
[ "$dropped" -ge 8248 ] || fail "only $dropped packets dropped at MTU 1000"
expect 1 mtu "FAIL  mtu          $iface MTU 1000, below the camera's 1060-byte datagrams: commands pass, image data does not ($dropped received packets dropped so far)  | fix: ip link set dev $iface mtu 1500" \
  "$host" "$camera"

echo "--- nftables rules in the host's namespace"
if ! command -v nft >/dev/null; then
  echo "    nft is not installed (package nftables): firewall cases not run"
else
  lab_up nft
  # rule | the line's found text, after "nftables     "
  while IFS='|' read -r rule found; do
    on_host nft flush ruleset
    on_host nft add table inet hc
    on_host nft add chain inet hc input '{ type filter hook input priority 0; policy accept; }'
    # shellcheck disable=SC2086 # the rule's words are nft's arguments
    on_host nft add rule inet hc input ${rule//CAMERA/$camera}
    found=${found//CAMERA/$camera}
    if [[ $found == drops* ]]; then
      expect 1 nftables "FAIL  nftables     $found  | fix: nft delete rule inet hc input handle 2" "$host" "$camera"
    else
      expect 0 nftables "OK    nftables     $found" "$host" "$camera"
    fi
  done <<'EOF'
udp dport 32100 drop|drops all UDP from CAMERA:1234 to 32100: inet hc input: udp dport 32100 drop
ip saddr CAMERA udp dport 32100-32101 meta length > 1000 drop|drops the image's 1060-byte datagrams to 32100 but not the command answers: inet hc input: ip saddr CAMERA udp dport 32100-32101 meta length > 1000 drop
udp dport 32101 reject|drops UDP from CAMERA:1234 to 32101 (the watchdog's answers): inet hc input: udp dport 32101 reject
tcp dport 32100 drop|no rule drops UDP from CAMERA:1234 to 32100-32101
EOF
fi

echo "--- strict reverse-path filtering, the camera reached through another interface"
lab_up rpf
on_host ip link add hcrpf0 type veth peer name hcrpf1
on_host ip link set hcrpf0 up
on_host ip route add "$camera/32" dev hcrpf0
on_host sysctl -qw net.ipv4.conf.all.rp_filter=1
expect 1 rp_filter "FAIL  rp_filter    strict (all=1, $iface=0): packets from $camera arrive on $iface but the way back leaves through hcrpf0, so they are dropped  | fix: sysctl -w net.ipv4.conf.all.rp_filter=2 net.ipv4.conf.$iface.rp_filter=2" \
  "$host" "$camera"

echo "--- the link down: the camera's side (cable pulled), then the host's own"
lab_up link
"$netlab" link "$lab" down
expect 1 address "FAIL  address      $host on $iface, up but without a link (down)  | fix: check the cable and that the camera is powered: ip link show dev $iface" \
  "$host" "$camera"
on_host ip link set dev "$iface" down
expect 1 address "FAIL  address      $host on $iface, which is down  | fix: ip link set dev $iface up" "$host"

echo "--- LOCAL_IP on no interface, then on one with a name a shell would run"
lab_up noaddr
expect 1 address "FAIL  address      $spare is on no interface of this host  | fix: ip addr add $spare/24 dev IFACE (the interface that faces the camera), or give its address" \
  "$spare" "$camera"
# A control character, and a command after a semicolon, in a name (15 characters at most, no
# spaces).
name=$'hc\001;id>ran' quoted="\$'hc\\001;id>ran'"
on_host ip link add "$name" type veth peer name hcnames1
on_host ip addr add "$spare/29" dev "$name"
expect 1 address "FAIL  address      $spare on $quoted, which is down  | fix: ip link set dev $quoted up" \
  "$spare"
# The fix line as hostcheck prints it, pasted into a shell: the interface comes up, and nothing
# of its name runs.
fix=$(on_host "$hostcheck" "$spare" | sed -n 's/^FAIL  address .*  | fix: //p')
if command -v jq >/dev/null; then
  json=$(on_host "$hostcheck" --json "$spare")
  [ "$(jq -r '.checks[] | select(.check == "address") | .fix' <<<"$json")" = "$fix" ] ||
    fail "--json with a control character in a name: $json"
fi
mkdir "$dir/fix"
(cd "$dir/fix" && on_host bash -c "$fix") || fail "the fix line '$fix' failed"
[ -e "$dir/fix/ran" ] && fail "the fix line '$fix' ran a command from the interface's name"
on_host ip -o link show dev "$name" | grep -qE "[<,]UP[,>]" || fail "the fix line did not bring $quoted up"

echo "--- UDP 32100 taken by another program"
lab_up port
start_camsim host --bind "$host" --port 32100
expect 1 ports "FAIL  ports        32100 on $host held by camsim (pid $sim_pid): frameprobe cannot have the camera's packets  | fix: kill $sim_pid (or stop that program)" \
  "$host" "$camera"

[ $status -eq 0 ] && echo "hostcheck in the network lab: all cases passed"
exit $status
