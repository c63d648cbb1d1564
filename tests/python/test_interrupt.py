"""Ctrl-C during a grab: KeyboardInterrupt within a second, and the camera still usable."""

import os
import signal
import subprocess
import sys
import time

from conftest import local_for

# Runs in a process of its own, which the test sends SIGINT.
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


def test_ctrl_c_mid_grab_raises_keyboard_interrupt_and_leaves_the_camera_closable(camsim):
    # 10 Mbit/s: an image streams for 7 s.
    sim = camsim(20, "--rate", "10")
    child = subprocess.Popen([sys.executable, "-c", CHILD, local_for(sim), sim.address],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             env=os.environ)
    try:
        assert child.stdout.readline() == "grabbing\n"
        time.sleep(0.5)  # the image is streaming
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=20)
    finally:
        child.kill()
    lines = out.splitlines()
    assert lines[0].startswith("interrupted "), out
    assert float(lines[0].split()[1]) - sent < 1.0
    assert lines[1:] == ["open True id FrameProbe CamSim 1", "closed False"]
    assert child.returncode == 0
    sim.stop()
    assert sim.stat("retransmissions served") == 0
