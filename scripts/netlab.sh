#!/usr/bin/env bash
# A network lab on one machine: a host and a camera, each in a network namespace of its own,
# joined by a veth pair, the camera's side optionally shaped with a token bucket (tbf), as a
# camera behind a 1 Gbit/s link with a queue. Nothing is routed out of the namespaces.
#
#   netlab.sh up NAME [--rate 1gbit] [--burst 128kb] [--limit 512kb] [--mtu 1500]
#   netlab.sh down NAME                  also ends whatever still runs in the lab
#   netlab.sh exec NAME host|camera CMD...
#   netlab.sh addr NAME host|camera|spare
#   netlab.sh link NAME up|down          the camera's side of the link
#   netlab.sh cut NAME on|off            nothing passes either way, the links stay up
#   netlab.sh shape NAME --rate R [--burst B] [--limit L]   shape the camera's side anew
#
# Each NAME gets its own /29 of 10.0.0.0/8: the host .1, the camera .2, and spare addresses
# (.3 on) that nobody holds, as a camera that is switched off. Without root or without `ip`,
# every command but `addr` refuses with exit status 2 and one line saying why.
set -euo pipefail
# --help: the comment at the top of this file.
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac

die() {
  echo "netlab: $*" >&2
  exit 2
}

[ $# -ge 2 ] || die "usage: netlab.sh up|down|exec|addr|link|cut|shape NAME ... (--help for more)"
command=$1
name=$2
shift 2
case "$name" in '' | *[!A-Za-z0-9_-]*) die "NAME must be letters, digits, - or _" ;; esac

# The subnet and the interface names follow from NAME alone, so that parallel labs never meet.
hash=$(printf '%s' "$name" | cksum | cut -d' ' -f1)
net="10.$(((hash >> 8) % 256)).$(((hash >> 16) % 256))"
base=$(((hash % 32) * 8))
host_ip="$net.$((base + 1))"
camera_ip="$net.$((base + 2))"
spare_ip="$net.$((base + 3))"
host_ns="fp-$name-host"
camera_ns="fp-$name-camera"
host_if="fp$((hash % 100000))h"
camera_if="fp$((hash % 100000))c"

if [ "$command" = addr ]; then
  case "${1:-}" in
    host) echo "$host_ip" ;;
    camera) echo "$camera_ip" ;;
    spare) echo "$spare_ip" ;;
    *) die "addr NAME host|camera|spare" ;;
  esac
  exit 0
fi

command -v ip >/dev/null || die "the 'ip' command (iproute2) is not installed"
[ "$(id -u)" -eq 0 ] || die "network namespaces need root"

ns_exists() { ip netns list | grep -qw "$1"; }

rate="" burst=128kb limit=512kb mtu=1500
read_options() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --rate) [ $# -ge 2 ] || die "--rate needs a value"; rate=$2; shift 2 ;;
      --burst) [ $# -ge 2 ] || die "--burst needs a value"; burst=$2; shift 2 ;;
      --limit) [ $# -ge 2 ] || die "--limit needs a value"; limit=$2; shift 2 ;;
      --mtu) [ $# -ge 2 ] || die "--mtu needs a value"; mtu=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
}

case "$command" in
  up)
    read_options "$@"
    ns_exists "$host_ns" && die "lab $name is up already"
    ip netns add "$host_ns" || die "cannot make a network namespace here"
    if ! ip netns add "$camera_ns"; then
      ip netns del "$host_ns"
      die "cannot make a network namespace here"
    fi
    cleanup() { ip netns del "$host_ns" 2>/dev/null; ip netns del "$camera_ns" 2>/dev/null; }
    trap 'cleanup; die "lab $name could not be set up"' ERR
    ip link add "$host_if" type veth peer name "$camera_if"
    ip link set "$host_if" netns "$host_ns"
    ip link set "$camera_if" netns "$camera_ns"
    ip -n "$host_ns" link set lo up
    ip -n "$camera_ns" link set lo up
    ip -n "$host_ns" link set "$host_if" mtu "$mtu" up
    ip -n "$camera_ns" link set "$camera_if" mtu "$mtu" up
    ip -n "$host_ns" addr add "$host_ip/29" dev "$host_if"
    ip -n "$camera_ns" addr add "$camera_ip/29" dev "$camera_if"
    if [ -n "$rate" ]; then
      ip netns exec "$camera_ns" tc qdisc add dev "$camera_if" root tbf rate "$rate" \
        burst "$burst" limit "$limit"
    fi
    trap - ERR
    echo "netlab $name: host $host_ip ($host_ns), camera $camera_ip ($camera_ns)${rate:+, camera side $rate}"
    ;;
  down)
    # Whatever still runs in the lab (a camsim, say) ends with it.
    for ns in "$host_ns" "$camera_ns"; do
      if ns_exists "$ns"; then
        pids=$(ip netns pids "$ns")
        # shellcheck disable=SC2086
        [ -z "$pids" ] || kill -TERM $pids 2>/dev/null || true
      fi
    done
    ns_exists "$host_ns" && ip netns del "$host_ns"
    ns_exists "$camera_ns" && ip netns del "$camera_ns"
    exit 0
    ;;
  exec)
    side=${1:-}
    shift || true
    case "$side" in
      host) exec ip netns exec "$host_ns" "$@" ;;
      camera) exec ip netns exec "$camera_ns" "$@" ;;
      *) die "exec NAME host|camera CMD..." ;;
    esac
    ;;
  shape)
    read_options "$@"
    [ -n "$rate" ] || die "shape NAME --rate R [--burst B] [--limit L]"
    ip netns exec "$camera_ns" tc qdisc replace dev "$camera_if" root tbf rate "$rate" \
      burst "$burst" limit "$limit"
    ;;
  cut)
    # Blackhole routes on both sides: every packet is discarded, while the links, their
    # neighbour entries and their queues stay as they are.
    case "${1:-}" in
      on)
        ip -n "$camera_ns" route add blackhole "$host_ip/32"
        ip -n "$host_ns" route add blackhole "$camera_ip/32"
        ;;
      off)
        ip -n "$camera_ns" route del blackhole "$host_ip/32"
        ip -n "$host_ns" route del blackhole "$camera_ip/32"
        ;;
      *) die "cut NAME on|off" ;;
    esac
    ;;
  link)
    case "${1:-}" in
      up | down) ip -n "$camera_ns" link set "$camera_if" "$1" ;;
      *) die "link NAME up|down" ;;
    esac
    ;;
  *) die "unknown command $command" ;;
esac
