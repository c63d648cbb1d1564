#!/usr/bin/env bash
# framegrab taking two cameras at once in the network lab, each camera in a namespace of its own
# on a link of its own to the host, as a station with a port per camera. Camera 2's link is cut
# for 3 s in the middle of the run: the outage must be camera 2's alone, one outage within 0.5 s
# of the cut, every image of camera 2 complete but the one it cut short; camera 1 must go on
# through it, every image complete from its stream alone and no pause between images longer
# than a second; the station's exit status 4, set by camera 2. Exits 77 (skipped) where the lab
# cannot be made.
#
#   station_test.sh NETLAB FRAMEGRAB CAMSIM
set -u
# shellcheck source=scripts/lib/camsim.sh
. "$(dirname "$0")/../../scripts/lib/camsim.sh"
netlab=$1 framegrab=$(realpath "$2") camsim=$(realpath "$3")
lab="s$$"

if ! reason=$("$netlab" up "$lab" --cameras 2 2>&1); then
  echo "SKIP: $reason"
  exit 77
fi
dir=$(mktemp -d)
sim_pids=() grab_pid=
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  for pid in $grab_pid "${sim_pids[@]}"; do kill "$pid" 2>/dev/null; done
  "$netlab" down "$lab"
  rm -rf "$dir"
}
trap cleanup EXIT
now_ms() { echo $(($(date +%s%N) / 1000000)); }

for k in 1 2; do
  camera=$("$netlab" addr "$lab" "camera$k")
  if ! camsim_start "$dir/sim$k.out" "$dir/sim$k.err" "$netlab" exec "$lab" "camera$k" \
    "$camsim" --bind "$camera" --rate 400 --quiet; then
    echo "FAIL: camsim $k did not start: $(cat "$dir/sim$k.err")"
    exit 1
  fi
  sim_pids+=("$camsim_pid")
done

(cd "$dir" && exec "$netlab" exec "$lab" host "$framegrab" \
  "$("$netlab" addr "$lab" host1)" "$("$netlab" addr "$lab" camera1)" \
  "$("$netlab" addr "$lab" host2)" "$("$netlab" addr "$lab" camera2)" \
  --images 100000000 --duration 10s --json run.json --records run.jsonl) \
  >"$dir/out" 2>"$dir/err" &
grab_pid=$!
sleep 3
from=$(now_ms)
"$netlab" cut "$lab" on camera2
sleep 3
"$netlab" cut "$lab" off camera2
away=$(($(now_ms) - from))
wait "$grab_pid"
status=$?
grab_pid=

python3 - "$dir" "$status" "$away" "$("$netlab" addr "$lab" camera1)" \
  "$("$netlab" addr "$lab" camera2)" <<'EOF'
import datetime, json, sys
dir, status, away, first, second = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), *sys.argv[4:]
problems = []
def check(ok, what):
    if not ok:
        problems.append(what)
def ms(text):
    return datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp() * 1000

station = json.load(open(dir + "/run.json"))
check(status == 4, "exit status %d, not 4" % status)
check(station["station"] == {"cameras": 2, "running": 0, "exit_status": 4,
                             "exit_status_camera": 2}, "station %s" % station["station"])
one, two = station["cameras"]
check(one["camera"] == first + ":1234" and two["camera"] == second + ":1234",
      "cameras %s, %s" % (one["camera"], two["camera"]))

# Camera 1: no outage, every image whole from its stream, one after the other without a pause.
check(one["outages"] == [], "camera 1 has outages %s" % one["outages"])
check(one["summary"]["exit_status"] == 0, "camera 1 exit status %d" % one["summary"]["exit_status"])
gaps = [ms(b["started_utc"]) - ms(a["ended_utc"]) for a, b in zip(one["images"], one["images"][1:])]
for image in one["images"]:
    check(image["complete"] and image["stream_packets"] == 8248,
          "camera 1 image %d: complete %s, %d packets from the stream"
          % (image["image"], image["complete"], image["stream_packets"]))
check(max(gaps, default=0) < 1000, "camera 1 paused %.0f ms between images" % max(gaps, default=0))

# Camera 2: one outage as long as the cut, only the image it cut short incomplete.
outages = two["outages"]
check(len(outages) == 1, "camera 2 has %d outages" % len(outages))
lost = {n for o in outages for n in o["lost_images"]}
for image in two["images"]:
    check(image["complete"] == (image["image"] not in lost),
          "camera 2 image %d: complete %s" % (image["image"], image["complete"]))
if outages:
    difference = outages[0]["duration_ms"] - away
    check(abs(difference) <= 500, "outage %.0f ms for a cut of %d ms" % (outages[0]["duration_ms"], away))
check(two["summary"]["exit_status"] == 4, "camera 2 exit status %d" % two["summary"]["exit_status"])
after = [i for i in two["images"] if outages and outages[0]["ended_utc"] and i["started_utc"] > outages[0]["ended_utc"]]
check(len(after) > 0, "camera 2 took no image after the outage")

# The record lines: each names its camera; the outage line camera 2's.
lines = [json.loads(line) for line in open(dir + "/run.jsonl")]
for run, camera in ((one, first), (two, second)):
    mine = [l for l in lines if l["camera"] == camera + ":1234"]
    kinds = [l["record"] for l in mine]
    check(kinds.count("image") == len(run["images"]) and kinds.count("outage") == len(run["outages"])
          and kinds[0] == "run" and kinds[-1] == "end", "record lines of %s: %s" % (camera, kinds))
check(sum(l["camera"] in (first + ":1234", second + ":1234") for l in lines) == len(lines),
      "a record line names no camera of the station")

out = open(dir + "/out").read()
check("\noutages: 1, " in out[out.find("camera " + second):] and
      "\noutages: none\n" in out[:out.find("camera " + second)], "summary:\n" + out)
print("camera 1: %d images, longest pause %.0f ms; camera 2: %d images, outage %.0f ms for a cut of %d ms"
      % (len(one["images"]), max(gaps, default=0), len(two["images"]),
         outages[0]["duration_ms"] if outages else 0, away))
for p in problems:
    print("FAIL:", p)
if problems:
    print(open(dir + "/err").read())
sys.exit(1 if problems else 0)
EOF
