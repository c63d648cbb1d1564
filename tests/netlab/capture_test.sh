#!/usr/bin/env bash
# framegrab --from-capture against the live run it was taken of, in the network lab: camsim in
# the camera namespace, framegrab in the host namespace taking a few images while the host
# namespace captures the traffic. Each capture read back must give every image's figures of
# the live run (completeness, stream packets, missing and fetched packets, duplicates,
# conflicts, missing ranges), the same pictures (their time tags aside: the capture's time of
# an image is its packets', the live run's the host's clock a moment later) and the live run's
# exit status; and it must place the loss where it happened:
#   - before the host: an nftables rule on the camera's side of the link (its egress hook) drops
#     0.8% of the RAW datagrams, which therefore never reach the host's interface. Captured at
#     once by tcpdump on the host's interface (pcap, Ethernet), dumpcap on it (pcapng) and
#     tcpdump -i any (Linux cooked v2). Every missing packet must be lost before the host.
#   - inside the host: a rule on the host's input hook drops 2% of them after the interface,
#     where the capture has seen them. Captured by tcpdump on the interface and tcpdump -i any
#     -y LINUX_SLL (Linux cooked v1). Every missing packet must be lost inside the host, and the
#     diagnosis must say so.
#   - when camsim can replay a capture (--replay), the first capture replayed by camsim to
#     framegrab on a clean link: each image must lack after its stream exactly the packets the
#     capture lost before the host, and end complete.
# Exits 77 (skipped) where the lab cannot be made or tcpdump, dumpcap or nft is missing.
#
#   capture_test.sh NETLAB FRAMEGRAB CAMSIM
set -uo pipefail
# shellcheck source=scripts/lib/camsim.sh
. "$(dirname "$0")/../../scripts/lib/camsim.sh"
netlab=$1 framegrab=$(realpath "$2") camsim=$(realpath "$3")
lab="c$$"
status=0
fail() { echo "FAIL: $*"; status=1; }

for tool in tcpdump dumpcap nft python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
if ! reason=$("$netlab" up "$lab" 2>&1); then
  echo "SKIP: $reason"
  exit 77
fi
dir=$(mktemp -d)
capture_pids=()
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  for pid in "${capture_pids[@]}"; do kill -INT "$pid" 2>/dev/null; done
  camsim_stop
  "$netlab" down "$lab"
  rm -rf "$dir"
}
trap cleanup EXIT
host=$("$netlab" addr "$lab" host)
camera=$("$netlab" addr "$lab" camera)
# The veth ends' names, as each namespace sees its own.
veth() { "$netlab" exec "$lab" "$1" ip -o link show type veth | sed -n 's/^[0-9]*: \([^@:]*\).*/\1/p'; }
host_if=$(veth host)
camera_if=$(veth camera)

# A fresh camsim in the camera namespace, paced at 400 Mbit/s so that three captures at once
# keep up on a busy machine.
start_sim() {
  camsim_start "$dir/sim.out" "$dir/sim.err" "$netlab" exec "$lab" camera "$camsim" \
    --bind "$camera" --rate 400 --quiet && return 0
  fail "camsim did not start: $(cat "$dir/sim.err")"
  return 1
}

# start_capture NAME COMMAND...: runs a capture program in the host namespace, its messages in
# $dir/NAME.err, and waits (at most 10 s) until it says it captures.
start_capture() {
  local name=$1
  shift
  "$netlab" exec "$lab" host "$@" 2>"$dir/$name.err" &
  capture_pids+=($!)
  local _
  for _ in $(seq 100); do
    grep -q "listening on\|Capturing on" "$dir/$name.err" && return 0
    sleep 0.1
  done
  fail "$name did not start capturing: $(cat "$dir/$name.err")"
  return 1
}
# Ends the captures with SIGINT, as a person would, once the last datagrams have had time to
# leave the kernel's capture buffers (tcpdump is handed them in blocks, up to a second late, and
# what it has not been handed when interrupted is never written), and checks that the kernel
# dropped none of them. (tcpdump --immediate-mode would hand them over at once, but gives -i any
# a ring of a few hundred packets, each in a slot as large as the snap length.)
stop_captures() {
  sleep 2
  local pid
  for pid in "${capture_pids[@]}"; do kill -INT "$pid" 2>/dev/null; done
  for pid in "${capture_pids[@]}"; do wait "$pid"; done
  capture_pids=()
  local err
  for err in "$@"; do
    grep -q "^0 packets dropped by kernel\|received/dropped on interface .*/0 " "$dir/$err.err" ||
      fail "$err dropped packets, its capture says nothing: $(cat "$dir/$err.err")"
  done
}

# live_run RUN IMAGES: framegrab in the host namespace into $dir/RUN (live.json, live/, its
# output and exit status).
live_run() {
  mkdir "$dir/$1"
  (cd "$dir/$1" && exec "$netlab" exec "$lab" host "$framegrab" "$host" "$camera" --images "$2" \
    --json live.json --save live --format tiff >out 2>err)
  echo $? >"$dir/$1/status"
  [ -s "$dir/$1/live.json" ] || fail "$1: the live run wrote no JSON: $(cat "$dir/$1/err")"
}

# compare RUN CAPTURE WHERE: reads $dir/CAPTURE with --from-capture into $dir/RUN/CAPTURE.*,
# and compares it with the live run; WHERE (before|inside) is where every missing packet must
# have been lost.
compare() {
  local run=$1 capture=$2 where=$3
  (cd "$dir/$run" && "$framegrab" --from-capture "$dir/$capture" --json "$capture.json" \
    --save "$capture.pictures" --format tiff >"$capture.out" 2>"$capture.err")
  echo $? >"$dir/$run/$capture.status"
  python3 - "$dir/$run" "$capture" "$where" <<'EOF' || fail "$run: $capture differs from the live run"
import datetime, json, os, re, sys
run, capture, where = sys.argv[1:]
live = json.load(open(run + "/live.json"))
problems = []
try:
    read = json.load(open("%s/%s.json" % (run, capture)))
except OSError as e:
    print("  no JSON: %s; %s" % (e, open("%s/%s.err" % (run, capture)).read().strip()))
    sys.exit(1)
FIELDS = ("complete", "stream_packets", "missing_after_stream_packets", "fetched_again_packets",
          "duplicate_packets", "conflicting_packets", "missing_packet_ranges")
if len(read["images"]) != len(live["images"]):
    problems.append("%d images, the live run %d" % (len(read["images"]), len(live["images"])))
missing = lost = 0
for l, c in zip(live["images"], read["images"]):
    for field in FIELDS:
        if l[field] != c[field]:
            problems.append("image %d: %s %s, the live run %s" % (l["image"], field, c[field], l[field]))
    m = l["missing_after_stream_packets"]
    before, inside = c["capture"]["lost_before_host_packets"], c["capture"]["lost_in_host_packets"]
    if (before, inside) != ((m, 0) if where == "before" else (0, m)):
        problems.append("image %d: %d missing after the stream, %d lost before the host and %d "
                        "inside it" % (l["image"], m, before, inside))
    missing += m
    lost += before + inside
summary = read["summary"]["capture"]
if summary["lost_before_host_packets"] + summary["lost_in_host_packets"] != missing:
    problems.append("summary: %d + %d lost, %d missing" % (
        summary["lost_before_host_packets"], summary["lost_in_host_packets"], missing))
if missing == 0:
    problems.append("nothing went missing: the drop rule did nothing")
status = int(open("%s/%s.status" % (run, capture)).read())
if status != int(open(run + "/status").read()):
    problems.append("exit status %d, the live run's %s" % (status, open(run + "/status").read().strip()))
text = open("%s/%s.out" % (run, capture)).read()
said = {"before": "lost before the host", "inside": "lost inside the host"}[where]
if missing and said not in text:
    problems.append("no diagnosis saying %r" % said)

# The pictures, byte for byte but the image's time in its tags: the capture's is its last
# packet's, within a few milliseconds of the live run's.
def utc(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
pictures = sorted(os.listdir(run + "/live"))
if pictures != sorted(os.listdir("%s/%s.pictures" % (run, capture))):
    problems.append("pictures %s, the live run %s" % (
        sorted(os.listdir("%s/%s.pictures" % (run, capture))), pictures))
TAKEN = re.compile(rb'"taken_utc": "([^"]*)"')
STAMP = re.compile(rb"\d{4}:\d\d:\d\d \d\d:\d\d:\d\d")
for name in pictures:
    a = open("%s/live/%s" % (run, name), "rb").read()
    b = open("%s/%s.pictures/%s" % (run, capture, name), "rb").read()
    ta, tb = TAKEN.search(a), TAKEN.search(b)
    if not ta or not tb:
        problems.append("%s: no taken_utc in its tags" % name)
        continue
    off = abs((utc(ta.group(1).decode()) - utc(tb.group(1).decode())).total_seconds())
    if off > 0.1:
        problems.append("%s: taken %s, the live run %s" % (name, tb.group(1), ta.group(1)))
    plain = lambda data: STAMP.sub(b"TIME", TAKEN.sub(b"TAKEN", data))
    if plain(a) != plain(b):
        problems.append("%s differs from the live run's" % name)
for p in problems:
    print("  " + p)
print("  %s: %d images, %d packets missing, all lost %s the host%s" % (
    capture, len(live["images"]), missing, where, "" if not problems else " (NOT SO)"))
sys.exit(1 if problems else 0)
EOF
}

echo "--- 0.8% of the RAW datagrams dropped before the host; three captures at once"
"$netlab" exec "$lab" camera nft -f - <<EOF || fail "the camera's drop rule could not be set"
table netdev fp_loss {
  chain out {
    type filter hook egress device "$camera_if" priority 0;
    udp sport 1234 udp length 1040 numgen random mod 1000 < 8 drop
  }
}
EOF
start_sim
start_capture tcpdump tcpdump -i "$host_if" -s 0 -B 65536 -w "$dir/before.pcap"
start_capture dumpcap dumpcap -i "$host_if" -s 0 -B 64 -q -w "$dir/before.pcapng"
start_capture any tcpdump -i any -s 0 -B 65536 -w "$dir/before-any.pcap"
live_run before 5
stop_captures tcpdump dumpcap any
camsim_stop
"$netlab" exec "$lab" camera nft delete table netdev fp_loss
for capture in before.pcap before.pcapng before-any.pcap; do compare before "$capture" before; done

echo "--- 2% of the RAW datagrams dropped inside the host, after its interface"
"$netlab" exec "$lab" host nft -f - <<EOF || fail "the host's drop rule could not be set"
table inet fp_loss {
  chain in {
    type filter hook input priority 0;
    udp dport 32100 udp length 1040 numgen random mod 100 < 2 drop
  }
}
EOF
start_sim
start_capture tcpdump tcpdump -i "$host_if" -s 0 -B 65536 -w "$dir/inside.pcap"
start_capture any tcpdump -i any -y LINUX_SLL -s 0 -B 65536 \
  -w "$dir/inside-any.pcap"
live_run inside 4
stop_captures tcpdump any
camsim_stop
"$netlab" exec "$lab" host nft delete table inet fp_loss
for capture in inside.pcap inside-any.pcap; do compare inside "$capture" inside; done

if "$camsim" --help | grep -q -- --replay; then
  echo "--- the first capture replayed by camsim on a clean link"
  camsim_start "$dir/sim.out" "$dir/sim.err" "$netlab" exec "$lab" camera "$camsim" \
    --bind "$camera" --replay "$dir/before.pcap" --quiet ||
    fail "camsim --replay did not start: $(cat "$dir/sim.err")"
  mkdir "$dir/replay"
  (cd "$dir/replay" && exec "$netlab" exec "$lab" host "$framegrab" "$host" "$camera" --images 5 \
    --json replay.json >out 2>err) || fail "framegrab against the replay: $(cat "$dir/replay/err")"
  camsim_stop
  python3 - "$dir" <<'EOF_REPLAY' || fail "the replay's loss is not the capture's"
import json, sys
dir = sys.argv[1]
replay = json.load(open(dir + "/replay/replay.json"))["images"]
read = json.load(open(dir + "/before/before.pcap.json"))["images"]
problems = []
if len(replay) != len(read):
    problems.append("%d images, the capture %d" % (len(replay), len(read)))
for r, c in zip(replay, read):
    if r["missing_after_stream_packets"] != c["capture"]["lost_before_host_packets"]:
        problems.append("image %d: %d missing after the replayed stream, %d lost before the host"
                        % (r["image"], r["missing_after_stream_packets"],
                           c["capture"]["lost_before_host_packets"]))
    if not r["complete"]:
        problems.append("image %d incomplete" % r["image"])
for p in problems:
    print("  " + p)
print("  replay: %d images, %d packets missing after the stream, as the capture lost them"
      % (len(replay), sum(r["missing_after_stream_packets"] for r in replay)))
sys.exit(1 if problems else 0)
EOF_REPLAY
else
  echo "--- camsim has no --replay: the replay of a capture is not tried"
fi

[ $status -eq 0 ] && echo "captures: all cases passed"
exit $status
