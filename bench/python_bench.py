#!/usr/bin/env python3
"""Images per second from Python against line rate, in the same run.

Starts a fresh camsim at 1000 Mbit/s on 127.22.102.1 for each run and takes N images (default
100) with the Python module from 127.22.102.2: once with grab(out=...) into one preallocated
array, once with grab() and a new array each time, once with grab_many() into one array of all
of them. The limit of a run is camsim's achieved rate while streaming, in images (1000 Mbit/s is
13.80 images/s), so a simulator slowed by a busy machine lowers the limit rather than the ratio.
Target: 0.95 of the limit, as framegrab's. Exit status 0 when every run meets it.

    python3 bench/python_bench.py [--build build/release] [--images N]
"""

import argparse
import pathlib
import re
import signal
import subprocess
import sys
import time

# The bytes one RAW packet occupies on an Ethernet link, which camsim's rate counts.
WIRE_BYTES_PER_PACKET = 1098
TARGET = 0.95


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = pathlib.Path(__file__).resolve().parent.parent
    parser.add_argument("--build", default=str(root / "build" / "release"))
    parser.add_argument("--images", type=int, default=100)
    args = parser.parse_args()
    build = pathlib.Path(args.build)
    sys.path.insert(0, str(build / "python"))
    import frameprobe  # noqa: E402  (from the build named)
    import numpy as np  # noqa: E402

    camera, local = "127.22.102.1", "127.22.102.2"
    image_bits = frameprobe.PACKETS_PER_IMAGE * WIRE_BYTES_PER_PACKET * 8
    buffer = np.empty(frameprobe.IMAGE_SHAPE, dtype=np.uint16)

    def into_buffer(cam, n):
        return [cam.grab(out=buffer)[1] for _ in range(n)]

    def new_arrays(cam, n):
        return [cam.grab()[1] for _ in range(n)]

    def many(cam, n):
        return cam.grab_many(n)[1]

    print(f"{'run':<16} {'images/s':>9} {'limit':>9} {'ratio':>7} {'target':>7} "
          f"{'camsim Mbit':>12} {'CPU ms/im':>10} {'complete':>9}")
    met = True
    for name, take in [("grab(out=)", into_buffer), ("grab()", new_arrays),
                       ("grab_many()", many)]:
        sim = subprocess.Popen([str(build / "tools" / "camsim"), "--bind", camera, "--rate",
                                "1000", "--quiet"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        while "listening on" not in sim.stderr.readline():
            if sim.poll() is not None:
                sys.exit("camsim did not start")
        with frameprobe.Camera(local, camera) as cam:
            cpu = time.process_time()
            start = time.monotonic()
            infos = take(cam, args.images)
            elapsed = time.monotonic() - start
            cpu = time.process_time() - cpu
        sim.send_signal(signal.SIGTERM)
        stats, _ = sim.communicate(timeout=10)
        mbit = float(re.search(r"achieved rate: ([0-9.]+) Mbit/s", stats).group(1))
        rate = args.images / elapsed
        limit = mbit * 1e6 / image_bits
        ratio = rate / limit
        met = met and ratio >= TARGET
        complete = sum(info.complete for info in infos)
        print(f"{name:<16} {rate:9.2f} {limit:9.2f} {ratio:7.3f} {TARGET:7.2f} {mbit:12.1f} "
              f"{cpu * 1e3 / args.images:10.1f} {complete:9d}")
    print("targets met" if met else "targets NOT met")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
