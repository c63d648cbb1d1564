"""Ctrl-C during a grab: KeyboardInterrupt within a second, the camera still usable, and what
grab_many took kept."""

import ast
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np

import frameprobe
from conftest import chart, local_for

# Each runs in a process of its own, which the test sends SIGINT once it printed "grabbing".
CHILD = r"""
import sys, time
import frameprobe
cam = frameprobe.Camera(sys.argv[1], sys.argv[2])
print("grabbing", flush=True)
try:
    cam.grab()
    print("grab ended", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print("open", cam.is_open, "id", cam.identify(), flush=True)
cam.close()
print("closed", cam.is_open, flush=True)
"""

# Prints whether the taken images are the caller's array, then per grab taken (complete,
# cancelled, missing ranges), and saves the rows taken to argv[3].
CHILD_MANY = r"""
import sys
import numpy as np
import frameprobe
cam = frameprobe.Camera(sys.argv[1], sys.argv[2])
out = np.zeros((5, *frameprobe.IMAGE_SHAPE), dtype=np.uint16)
print("grabbing", flush=True)
try:
    cam.grab_many(out=out)
    print("grab_many ended", flush=True)
except KeyboardInterrupt as interrupt:
    images, infos = interrupt.taken
    print("the caller's array", images is out, flush=True)
    for info in infos:
        print((info.complete, info.cancelled, [(r.start, r.stop) for r in info.missing]))
    np.save(sys.argv[3], images[:len(infos)])
cam.close()
"""


def interrupt_child(code, sim, when, *args):
    """Runs `code` against `sim`, sends it SIGINT once it printed "grabbing" and `when()`
    returned, and returns the lines it printed after "grabbing" and the time SIGINT was sent."""
    child = subprocess.Popen([sys.executable, "-c", code, local_for(sim), sim.address, *args],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             env=os.environ)
    try:
        assert child.stdout.readline() == "grabbing\n"
        when()
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=20)
    finally:
        child.kill()
    assert child.returncode == 0, out
    return out.splitlines(), sent


def test_ctrl_c_mid_grab_raises_keyboard_interrupt_and_leaves_the_camera_closable(camsim):
    # 10 Mbit/s: an image streams for 7 s.
    sim = camsim(20, "--rate", "10")
    lines, sent = interrupt_child(CHILD, sim, lambda: time.sleep(0.5))  # the image is streaming
    assert lines[0].startswith("interrupted "), lines
    assert float(lines[0].split()[1]) - sent < 1.0
    assert lines[1:] == ["open True id FrameProbe CamSim 1", "closed False"]
    sim.stop()
    assert sim.stat("retransmissions served") == 0


def test_ctrl_c_mid_grab_many_keeps_what_it_took(camsim, tmp_path):
    # 80 Mbit/s: an image streams for about a second.
    sim = camsim(21, "--rate", "80", "--pattern", "chart")

    def after_a_whole_grab():
        # An image streamed to its end and another one started: a grab ended and the next runs.
        deadline = time.monotonic() + 60
        while not re.search(r": stream ended .*\n(?:.*\n)*?camsim: image \d+: streaming",
                            sim.trace()):
            assert time.monotonic() < deadline, sim.trace()
            time.sleep(0.02)
        time.sleep(0.3)

    saved = tmp_path / "taken.npy"
    lines, _ = interrupt_child(CHILD_MANY, sim, after_a_whole_grab, str(saved))
    assert lines[0] == "the caller's array True", lines
    infos = [ast.literal_eval(line) for line in lines[1:]]
    rows = np.load(saved)
    sim.stop()
    # Whole images first, then the one the interrupt cut short.
    assert len(infos) >= 2 and len(rows) == len(infos)
    assert all(info[:2] == (True, False) for info in infos[:-1]), infos
    complete, cancelled, missing = infos[-1]
    assert not complete and cancelled and missing, infos
    last = sim.image_number()
    charts = [chart(number, tmp_path) for number in range(1, last + 1)]
    for row in rows[:-1]:
        assert any(np.array_equal(row, image) for image in charts[:-1])
    # The row cut short holds its image wherever its info does not say a packet is missing.
    present = np.ones(frameprobe.PACKETS_PER_IMAGE, dtype=bool)
    for begin, end in missing:
        present[begin:end] = False
    assert present.any()
    shape = (frameprobe.PACKETS_PER_IMAGE, frameprobe.PACKET_SAMPLES)
    assert np.array_equal(rows[-1].reshape(shape)[present], charts[-1].reshape(shape)[present])
