#!/usr/bin/env bash
# A network lab on one machine: a host and a camera, each in a network namespace of its own,
# joined by a veth pair, the camera's side optionally shaped with a token bucket (tbf), as a
# camera behind a 1 Gbit/s link with a queue. With --cameras N, N cameras, each in a namespace
# of its own on a link of its own to the host, as a station with a network port per camera.
# Nothing is routed out of the namespaces.
#
#   netlab.sh up NAME [--cameras N] [--rate 1gbit] [--burst 128kb] [--limit 512kb] [--mtu 1500]
#   netlab.sh down NAME                  also ends whatever still runs in the lab
#   netlab.sh exec NAME host|camera|cameraK CMD...
#   netlab.sh addr NAME host|camera|spare|hostK|cameraK|spareK
#   netlab.sh link NAME up|down [cameraK]    the camera's side of its link
#   netlab.sh cut NAME on|off [cameraK]      nothing passes either way, the link stays up
#   netlab.sh shape NAME --rate R [--burst B] [--limit L]   shape every camera's side anew
#
# Camera K (1 to 8; `camera` is camera1) has a /29 of 10.0.0.0/8 of its own, which follows from
# NAME and K alone: the host's end of its link .1, the camera .2, and spare addresses (.3 on)
# that nobody holds, as a camera that is switched off; hostK is the host's address on camera
# K's link, the local address to take that camera from. Without root or without `ip`, every
# command but `addr` refuses with exit status 2 and one line saying why.
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

# The subnets and the interface names follow from NAME alone, so that parallel labs never meet.
# camera_link K sets those of camera K's link: camera 1's from NAME, camera K's from "NAME.K",
# which no lab's NAME can be.
host_ns="fp-$name-host"
camera_link() {
  local key=$name suffix=""
  [ "$1" = 1 ] || { key="$name.$1"; suffix=$1; }
  local hash net base
  hash=$(printf '%s' "$key" | cksum | cut -d' ' -f1)
  net="10.$(((hash >> 8) % 256)).$(((hash >> 16) % 256))"
  base=$(((hash % 32) * 8))
  host_ip="$net.$((base + 1))"
  camera_ip="$net.$((base + 2))"
  # shellcheck disable=SC2034  # read through ${!ip_var} by addr
  spare_ip="$net.$((base + 3))"
  camera_ns="fp-$name-camera$suffix"
  host_if="fp$((hash % 100000))h"
  camera_if="fp$((hash % 100000))c"
}
# camera_number WORD: K of "cameraK", "hostK" or "spareK" (1 without a number), or nothing.
camera_number() {
  local k=${1#"$2"}
  case "$k" in
    '') echo 1 ;;
    [1-8]) echo "$k" ;;
  esac
}
camera_link 1

if [ "$command" = addr ]; then
  side=${1:-}
  for word in host camera spare; do
    case "$side" in
      "$word"*) k=$(camera_number "$side" "$word") ;;
      *) continue ;;
    esac
    [ -n "$k" ] || break
    camera_link "$k"
    ip_var="${word}_ip"
    echo "${!ip_var}"
    exit 0
  done
  die "addr NAME host|camera|spare|hostK|cameraK|spareK"
fi

command -v ip >/dev/null || die "the 'ip' command (iproute2) is not installed"
[ "$(id -u)" -eq 0 ] || die "network namespaces need root"

ns_exists() { ip netns list | grep -qw "$1"; }

rate="" burst=128kb limit=512kb mtu=1500 cameras=1
read_options() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --cameras)
        [ $# -ge 2 ] || die "--cameras needs a value"
        case "$2" in [1-8]) cameras=$2 ;; *) die "--cameras needs a number from 1 to 8" ;; esac
        shift 2
        ;;
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
    made=("$host_ns")
    cleanup() { for ns in "${made[@]}"; do ip netns del "$ns" 2>/dev/null; done; }
    for k in $(seq "$cameras"); do
      camera_link "$k"
      if ! ip netns add "$camera_ns"; then
        cleanup
        die "cannot make a network namespace here"
      fi
      made+=("$camera_ns")
    done
    trap 'cleanup; die "lab $name could not be set up"' ERR
    ip -n "$host_ns" link set lo up
    said="netlab $name:"
    for k in $(seq "$cameras"); do
      camera_link "$k"
      ip link add "$host_if" type veth peer name "$camera_if"
      ip link set "$host_if" netns "$host_ns"
      ip link set "$camera_if" netns "$camera_ns"
      ip -n "$camera_ns" link set lo up
      ip -n "$host_ns" link set "$host_if" mtu "$mtu" up
      ip -n "$camera_ns" link set "$camera_if" mtu "$mtu" up
      ip -n "$host_ns" addr add "$host_ip/29" dev "$host_if"
      ip -n "$camera_ns" addr add "$camera_ip/29" dev "$camera_if"
      if [ -n "$rate" ]; then
        ip netns exec "$camera_ns" tc qdisc add dev "$camera_if" root tbf rate "$rate" \
          burst "$burst" limit "$limit"
      fi
      if [ "$k" = 1 ]; then
        said+=" host $host_ip ($host_ns), camera $camera_ip ($camera_ns)"
      else
        said+="; host $host_ip, camera$k $camera_ip ($camera_ns)"
      fi
    done
    trap - ERR
    echo "$said${rate:+, camera side $rate}"
    ;;
  down)
    # Whatever still runs in the lab (a camsim, say) ends with it.
    mapfile -t namespaces < <(ip netns list | cut -d' ' -f1 |
      grep -xE "fp-$name-(host|camera[2-8]?)" || true)
    for ns in "${namespaces[@]}"; do
      pids=$(ip netns pids "$ns")
      # shellcheck disable=SC2086
      [ -z "$pids" ] || kill -TERM $pids 2>/dev/null || true
    done
    for ns in "${namespaces[@]}"; do ip netns del "$ns"; done
    exit 0
    ;;
  exec)
    side=${1:-}
    shift || true
    case "$side" in
      host) exec ip netns exec "$host_ns" "$@" ;;
      camera*)
        k=$(camera_number "$side" camera)
        [ -n "$k" ] || die "exec NAME host|camera|cameraK CMD..."
        camera_link "$k"
        exec ip netns exec "$camera_ns" "$@"
        ;;
      *) die "exec NAME host|camera|cameraK CMD..." ;;
    esac
    ;;
  shape)
    read_options "$@"
    [ -n "$rate" ] || die "shape NAME --rate R [--burst B] [--limit L]"
    for k in $(seq 8); do
      camera_link "$k"
      ns_exists "$camera_ns" || continue
      ip netns exec "$camera_ns" tc qdisc replace dev "$camera_if" root tbf rate "$rate" \
        burst "$burst" limit "$limit"
    done
    ;;
  cut)
    # Blackhole routes on both sides: every packet is discarded, while the link, its
    # neighbour entries and its queue stay as they are.
    k=$(camera_number "${2:-camera}" camera)
    [ -n "$k" ] || die "cut NAME on|off [cameraK]"
    camera_link "$k"
    case "${1:-}" in
      on)
        ip -n "$camera_ns" route add blackhole "$host_ip/32"
        ip -n "$host_ns" route add blackhole "$camera_ip/32"
        ;;
      off)
        ip -n "$camera_ns" route del blackhole "$host_ip/32"
        ip -n "$host_ns" route del blackhole "$camera_ip/32"
        ;;
      *) die "cut NAME on|off [cameraK]" ;;
    esac
    ;;
  link)
    k=$(camera_number "${2:-camera}" camera)
    [ -n "$k" ] || die "link NAME up|down [cameraK]"
    camera_link "$k"
    case "${1:-}" in
      up | down) ip -n "$camera_ns" link set "$camera_if" "$1" ;;
      *) die "link NAME up|down [cameraK]" ;;
    esac
    ;;
  *) die "unknown command $command" ;;
esac
