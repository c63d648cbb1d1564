"""What the Python tests share: camsim as a process, camsim's chart images, process memory.

The module under test is whichever `import frameprobe` finds (PYTHONPATH): the build tree's,
an installed prefix's or an unpacked package's. FP_CAMSIM names the camsim program and
FP_CHART_IMAGE the program that writes camsim's chart images. FP_TEST_SUBNET (default 32) is the
second number of the loopback addresses, 127.<subnet>.<net>.<host>, so that the runs of these
tests against the build tree, an installed prefix and the packages go side by side.
"""

import os
import pathlib
import re
import signal
import subprocess
import time

import numpy as np
import pytest

import frameprobe


SUBNET = int(os.environ.get("FP_TEST_SUBNET", "32"))


class Camsim:
    """camsim on `address` with `flags`, until stop(). Its trace goes to a file, from which
    image_number() reads the number of the image it streamed last."""

    def __init__(self, address, flags, workdir):
        self.address = address
        self._err = workdir / f"camsim-{address}.err"
        self._process = subprocess.Popen(
            [os.environ["FP_CAMSIM"], "--bind", address, *flags],
            stdout=subprocess.PIPE,
            stderr=self._err.open("w"),
            text=True,
        )
        deadline = time.monotonic() + 10
        while "listening on" not in self._err.read_text():
            if self._process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"camsim did not start: {self._err.read_text()}")
            time.sleep(0.02)
        self.stats = ""

    def trace(self):
        """What camsim traced so far: each command, each image streamed and how its stream ended."""
        return self._err.read_text()

    def image_number(self):
        """The number of the image camsim started streaming last (1 for its first), 0 before any.
        A grab brings that one: a start command that the driver repeats on a busy machine makes
        camsim start another image, so the number need not be the count of grabs."""
        started = re.findall(r"^camsim: image (\d+): streaming", self.trace(), re.M)
        return int(started[-1]) if started else 0

    def stop(self):
        """Ends camsim and returns the statistics it prints."""
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGTERM)
            self.stats, _ = self._process.communicate(timeout=10)
        return self.stats

    def stat(self, name):
        """A figure of the statistics, e.g. stat("retransmissions served"), after stop()."""
        for line in self.stats.splitlines():
            if line.startswith(name + ":"):
                return float(line.split(":")[1].split()[0])
        raise KeyError(name)


@pytest.fixture
def camsim(tmp_path):
    """Starts camsim(net, *flags) on 127.<subnet>.<net>.1, for a camera on .2 beside it."""
    started = []

    def start(net, *flags):
        sim = Camsim(f"127.{SUBNET}.{net}.1", flags, tmp_path)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


def local_for(sim):
    return sim.address.rsplit(".", 1)[0] + ".2"


def chart(number, tmp_path):
    """Image `number` of camsim's chart pattern, as the array a grab gives."""
    path = pathlib.Path(tmp_path) / f"chart-{number}.raw"
    subprocess.run([os.environ["FP_CHART_IMAGE"], str(number), str(path)], check=True)
    return np.fromfile(path, dtype="<u2").reshape(frameprobe.IMAGE_SHAPE)


def rss_bytes():
    """The process's resident memory."""
    pages = int(pathlib.Path("/proc/self/statm").read_text().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")
