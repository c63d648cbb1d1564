#!/usr/bin/env bash
# The acquisition figures on loopback and through the network lab's shaped 1 Gbit/s link, side
# by side: link_bench takes IMAGES images (default 50) through CEthCamera, then as many through
# the plain receiver, each time from a fresh camsim paced at 1000 Mbit/s:
#   loopback  camsim on 127.15.0.1, link_bench from 127.15.0.2;
#   lab       camsim in the camera's namespace, link_bench in the host's, joined by a veth pair
#             shaped with a token bucket (1gbit, queue limit 512kb).
# Builds the release preset's link_bench and camsim first. Takes the lab down on exit.
#
#   link-bench.sh [IMAGES]
#
# Exit status: 0 when both runs finished with every image that should be whole exact; 1 when a
# build or a run failed; 2 when the lab cannot be made here (root and iproute2 are needed).
set -uo pipefail
# --help: the comment at the top of this file.
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
# shellcheck source=scripts/lib/camsim.sh
. "$root/scripts/lib/camsim.sh"
netlab=$root/scripts/netlab.sh
camsim=$root/build/release/tools/camsim
link_bench=$root/build/release/bench/link_bench

images=${1:-50}
case "$images" in '' | *[!0-9]* | 0) echo "usage: link-bench.sh [IMAGES]" >&2; exit 2 ;; esac

lab="lb$$"
dir=$(mktemp -d)
lab_up=0
cleanup() {
  camsim_stop
  [ "$lab_up" -eq 1 ] && "$netlab" down "$lab"
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! reason=$("$netlab" up "$lab" --rate 1gbit --limit 512kb 2>&1); then
  reason=$(printf '%s\n' "$reason" | tail -n 1)
  echo "link-bench: no network lab here: ${reason#netlab: }" >&2
  exit 2
fi
lab_up=1
host=$("$netlab" addr "$lab" host)
camera=$("$netlab" addr "$lab" camera)

if ! { cmake --preset release && cmake --build --preset release -j2 --target link_bench camsim; } \
  >"$dir/build.log" 2>&1; then
  cat "$dir/build.log" >&2
  echo "link-bench: the release build failed" >&2
  exit 1
fi

# run NAME PREFIX... -- camsim in one place, link_bench in the other: starts a fresh camsim
# (PREFIX runs it where it belongs, "netlab.sh exec LAB camera" or nothing) bound on $sim_addr,
# waits for it to listen, runs link_bench through $bench_prefix from $bench_addr, stops camsim
# with SIGTERM. Leaves $dir/NAME.bench (figures), .status, .sim (camsim's statistics).
run() {
  local name=$1
  local listening=1
  camsim_start "$dir/$name.sim" "$dir/$name.sim.err" \
    "${sim_prefix[@]}" "$camsim" --bind "$sim_addr" --quiet || listening=0
  if [ "$listening" -eq 0 ]; then
    echo "link-bench: camsim did not start ($name): $(cat "$dir/$name.sim.err")" >&2
    echo 1 >"$dir/$name.status"
    return
  fi
  local status=0
  "${bench_prefix[@]}" "$link_bench" --local "$bench_addr" --camera "$sim_addr" \
    --images "$images" >"$dir/$name.bench" 2>"$dir/$name.bench.err" || status=$?
  echo "$status" >"$dir/$name.status"
  camsim_stop
  if [ -s "$dir/$name.bench.err" ]; then
    sed "s/^/link-bench: $name: /" "$dir/$name.bench.err" >&2
  fi
}

sim_prefix=() bench_prefix=() sim_addr=127.15.0.1 bench_addr=127.15.0.2
run loopback
sim_prefix=("$netlab" exec "$lab" camera) bench_prefix=("$netlab" exec "$lab" host)
sim_addr=$camera bench_addr=$host
run lab
# The token bucket's account of both halves of the lab run: packets dropped at its queue, and
# how often it held packets back.
"$netlab" exec "$lab" camera tc -s qdisc show >"$dir/lab.tc" 2>&1

# Extra figures from camsim's statistics and the link, in link_bench's "name: value" form.
for name in loopback lab; do
  sed -n 's/^achieved rate: \([0-9.]*\) Mbit\/s on the wire.*/camsim achieved rate Mbit\/s: \1/p
          s/^RAW packets sent: .*(send errors \([0-9]*\))/camsim send errors: \1/p
          s/^retransmissions served: \([0-9]*\)/camsim retransmissions served: \1/p' \
    "$dir/$name.sim" >>"$dir/$name.bench"
  echo "link_bench exit status: $(cat "$dir/$name.status")" >>"$dir/$name.bench"
done
awk '/^qdisc tbf/ { tbf = 1 } tbf && /dropped/ {
       gsub(/[(),]/, " "); for (i = 1; i < NF; ++i) {
         if ($i == "dropped") drops = $(i + 1); if ($i == "overlimits") over = $(i + 1) }
       print "link queue drops (tbf): " drops; print "link queue overlimits (tbf): " over; exit }' \
  "$dir/lab.tc" >>"$dir/lab.bench"

echo "link_bench, $images images each through the driver, then through the plain receiver"
echo "loopback: camsim 127.15.0.1, link_bench 127.15.0.2"
echo "lab:      camsim $camera (camera namespace, tbf 1gbit, limit 512kb), link_bench $host"
awk -F': ' '
  { file = FILENAME == ARGV[1] ? 1 : 2 }
  { if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 } value[file, $1] = $2 }
  END {
    printf "%-42s %12s %12s\n", "figure", "loopback", "lab 1gbit"
    for (i = 1; i <= n; ++i) {
      k = order[i]; if (k == "images each") continue
      a = ((1, k) in value) ? value[1, k] : "-"; b = ((2, k) in value) ? value[2, k] : "-"
      printf "%-42s %12s %12s\n", k, a, b
    }
  }' "$dir/loopback.bench" "$dir/lab.bench"

[ "$(cat "$dir/loopback.status")" = 0 ] && [ "$(cat "$dir/lab.status")" = 0 ]
