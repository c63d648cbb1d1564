#!/usr/bin/env bash
# framegrab for a long run in the network lab, through link cuts and a camera restart: camsim in
# the lab's camera namespace, framegrab in its host namespace keeping a TIFF of every image, with
# --json, --records and the page served and polled once a second. Over the run it cuts the link for each of the --cuts lengths
# (seconds) and restarts camsim once, spaced evenly, and samples framegrab's RSS, descriptors
# and threads. Then it checks that every image taken is complete but those an outage cut short,
# that each cut and the restart is one outage whose duration is within --tolerance of the time
# the camera was away, that every image taken was saved (or counted as left out with
# --when-behind skip), that --records holds one line per image and per outage, and that
# descriptors and threads ended as they were after the warm-up; it prints the figures. A TIFF is
# 8.4 MB: at line rate (13.8 images/s) a minute of the run writes about 7 GB into its directory;
# --rate paces camsim lower (100 Mbit/s: about 0.7 GB a minute).
#
#   grab-soak.sh [--duration SECONDS] [--cuts "2 3 5"] [--no-restart] [--tolerance SECONDS]
#                [--rate MBIT]
#                [--build DIR] [--keep DIR] [-- FRAMEGRAB FLAGS...]
#
# Defaults: 600 s, cuts of 2, 3 and 5 s, one restart, tolerance 0.5 s, 1000 Mbit/s, the programs of
# build/programs (cmake --preset programs && cmake --build --preset programs). Flags after --
# go to framegrab (a picture format, say). Needs root and iproute2 (scripts/netlab.sh); exits
# 77 when the lab cannot be made, 1 when a check fails. --keep DIR keeps the run's files there.
set -uo pipefail
case "${1:-}" in -h | --help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;; esac
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib/camsim.sh
. "$root/scripts/lib/camsim.sh"
netlab=$root/scripts/netlab.sh
duration=600 cuts="2 3 5" restart=1 tolerance=0.5 rate=1000 build=$root/build/programs keep=
while [ $# -gt 0 ]; do
  case "$1" in
    --duration) duration=$2; shift 2 ;;
    --cuts) cuts=$2; shift 2 ;;
    --no-restart) restart=0; shift ;;
    --tolerance) tolerance=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "grab-soak: unknown option $1 (--help for more)" >&2; exit 2 ;;
  esac
done
build=$(cd "$build" 2>/dev/null && pwd) || { echo "grab-soak: no build directory" >&2; exit 2; }
framegrab=$build/framegrab/framegrab camsim=$build/tools/camsim
for program in "$framegrab" "$camsim"; do
  [ -x "$program" ] || { echo "grab-soak: $program is not built" >&2; exit 2; }
done

lab="gs$$"
if ! reason=$("$netlab" up "$lab" 2>&1); then
  echo "SKIP: $reason"
  exit 77
fi
dir=${keep:-$(mktemp -d)}
mkdir -p "$dir"
grab_pid= poll_pid=
cleanup() {
  for pid in $poll_pid $grab_pid; do kill "$pid" 2>/dev/null; done
  camsim_stop
  "$netlab" down "$lab"
  [ -n "$keep" ] || rm -rf "$dir"
}
trap cleanup EXIT
host=$("$netlab" addr "$lab" host)
camera=$("$netlab" addr "$lab" camera)
now_ms() { echo $(($(date +%s%N) / 1000000)); }
start_sim() {
  camsim_start "$dir/camsim.out" "$dir/camsim.err" "$netlab" exec "$lab" camera "$camsim" \
    --bind "$camera" --rate "$rate" --quiet || { echo "grab-soak: camsim did not start" >&2; exit 1; }
}

t0=$(now_ms)
start_sim
(cd "$dir" && exec "$netlab" exec "$lab" host "$framegrab" "$host" "$camera" \
  --images 100000000 --duration "$duration" --json run.json --records run.jsonl \
  --save pics --format tiff --when-behind wait \
  --serve "$host:8080" --progress-every 10s "$@") >"$dir/out" 2>"$dir/err" &
grab_pid=$!
# The page polled as a browser would, once a second.
"$netlab" exec "$lab" host python3 -c '
import sys, time, urllib.request
while True:
    for path in ("/stats.json", "/preview.png", "/metrics"):
        try:
            urllib.request.urlopen(sys.argv[1] + path, timeout=5).read()
        except Exception:
            pass
    time.sleep(1)' "http://$host:8080" >/dev/null 2>&1 &
poll_pid=$!

# The events, evenly spaced: each cut, then the restart.
events=()
for length in $cuts; do events+=("cut $length"); done
[ "$restart" = 1 ] && events+=("restart")
gap=$((duration / (${#events[@]} + 1)))
: >"$dir/away"      # one line per event: its kind and milliseconds away
: >"$dir/samples"   # milliseconds RSS-kB descriptors threads
sample() {  # while the run goes on: its end closes the camera's sockets and threads
  local rss fds threads
  grep -q "still serving" "$dir/out" && return
  rss=$(sed -n 's/^VmRSS:[^0-9]*\([0-9]*\).*/\1/p' "/proc/$grab_pid/status" 2>/dev/null)
  threads=$(sed -n 's/^Threads:[^0-9]*\([0-9]*\).*/\1/p' "/proc/$grab_pid/status" 2>/dev/null)
  # The fewest of three looks a tenth of a second apart: a picture being written and a page
  # request being answered each hold a descriptor for a moment; a leaked one stays in all three.
  fds=$(for _ in 1 2 3; do ls "/proc/$grab_pid/fd" 2>/dev/null | wc -l; sleep 0.1; done | sort -n | head -1)
  [ -n "$rss" ] && echo "$(now_ms) $rss $fds $threads" >>"$dir/samples"
}
wait_sampling() {  # sleeps $1 seconds, sampling every 5
  local end=$(($(now_ms) + $1 * 1000))
  while [ "$(now_ms)" -lt "$end" ]; do
    sample
    sleep "$(awk -v left=$((end - $(now_ms))) 'BEGIN { print (left < 5000 ? left : 5000) / 1000 }')"
  done
}
for event in "${events[@]}"; do
  wait_sampling "$gap"
  case "$event" in
    cut*)
      length=${event#cut }
      from=$(now_ms)
      "$netlab" cut "$lab" on
      sleep "$length"
      "$netlab" cut "$lab" off
      echo "cut $(($(now_ms) - from))" >>"$dir/away"
      ;;
    restart)
      from=$(now_ms)
      camsim_stop
      sleep 2
      start_sim
      echo "restart $(($(now_ms) - from))" >>"$dir/away"
      ;;
  esac
  echo "grab-soak: $event done at $((($(now_ms) - t0) / 1000)) s"
done
# To the end of the run, then the page's own end: one signal.
while kill -0 "$grab_pid" 2>/dev/null && ! grep -q "still serving" "$dir/out"; do
  wait_sampling 5
done
kill -TERM "$grab_pid" 2>/dev/null
wait "$grab_pid"
status=$?
kill "$poll_pid" 2>/dev/null

python3 - "$dir" "$status" "$tolerance" <<'EOF'
import datetime, json, sys
dir, status, tolerance = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]) * 1000
run = json.load(open(dir + "/run.json"))
s = run["summary"]
away = [line.split() for line in open(dir + "/away")]
samples = [list(map(int, line.split())) for line in open(dir + "/samples")]
problems = []
lost = {n for o in run["outages"] for n in o["lost_images"]}
for image in run["images"]:
    if image["complete"] != (image["image"] not in lost):
        problems.append("image %d: complete %s" % (image["image"], image["complete"]))
if len(run["outages"]) != len(away):
    problems.append("%d outages for %d events" % (len(run["outages"]), len(away)))
for (kind, ms), outage in zip(away, run["outages"]):
    difference = outage["duration_ms"] - int(ms)
    print("%s: away %.2f s, outage %d recorded %.2f s (%+.2f s), %d reopenings, images cut short %s"
          % (kind, int(ms) / 1000, outage["outage"], outage["duration_ms"] / 1000,
             difference / 1000, outage["reopenings"], outage["lost_images"]))
    if abs(difference) > tolerance:
        problems.append("outage %d off by %.2f s" % (outage["outage"], difference / 1000))
taken = len(run["images"])
print("images: %d taken, %d complete, %d cut short by outages, %.2f images/s"
      % (taken, s["complete_images"], s["images_lost_to_outages"], s["images_per_s"]))
print("pictures: %d saved, %d left unsaved, %d failed"
      % (s["saved_pictures"], s["unsaved_pictures"], s["failed_pictures"]))
if s["saved_pictures"] + s["unsaved_pictures"] + s["failed_pictures"] != taken or s["failed_pictures"]:
    problems.append("pictures do not add up to the images taken")
if s["pictures_when_writer_behind"] == "wait" and s["saved_pictures"] != taken:
    problems.append("%d of %d images saved with every image kept" % (s["saved_pictures"], taken))
lines = [json.loads(line) for line in open(dir + "/run.jsonl")]
kinds = [line["record"] for line in lines]
print("record lines: %d image, %d outage" % (kinds.count("image"), kinds.count("outage")))
if kinds.count("image") != taken or kinds.count("outage") != len(run["outages"]):
    problems.append("record lines do not match the JSON")
if status != 4 or s["exit_status"] != 4:
    problems.append("exit status %d (JSON %d), not 4" % (status, s["exit_status"]))
# While the images were taken (the camera's sockets and threads close at its end) and the
# camera was open (an outage closes it until a reopening holds), after a warm-up of a fifth of
# the run: threads the same at the end, descriptors within the one the page's poller may hold
# open, RSS stated.
# On the wall clock, as the samples are: the run's own times count from its first image, which a
# slow start (a sanitizer's) puts well after the program's start.
def utc_ms(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp() * 1000
first_ms = utc_ms(run["images"][0]["started_utc"]) if run["images"] else utc_ms(run["started_utc"])
last_ms = utc_ms(run["images"][-1]["ended_utc"]) if run["images"] else first_ms
closed = [(utc_ms(o["started_utc"]), utc_ms(o.get("ended_utc") or o["started_utc"]) + 1000)
          for o in run["outages"]]
warm = [x for x in samples if first_ms + (last_ms - first_ms) / 5 <= x[0] < last_ms - 1000
        and not any(a <= x[0] <= b for a, b in closed)]
if warm:
    first, last = warm[0], warm[-1]
    print("after warm-up to the end: RSS %d -> %d kB (max %d), descriptors %d -> %d, threads %d -> %d"
          % (first[1], last[1], max(x[1] for x in warm), first[2], last[2], first[3], last[3]))
    if abs(last[2] - first[2]) > 1 or last[3] != first[3]:
        problems.append("descriptors or threads not flat")
for p in problems:
    print("FAIL:", p)
sys.exit(1 if problems else 0)
EOF
