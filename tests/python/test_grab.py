"""frameprobe from Python against camsim: images into numpy, their info, errors."""

import pathlib
import re

import numpy as np
import pytest

import frameprobe
from conftest import chart, local_for


def assert_equal_images(image, expected):
    differ = np.flatnonzero(image != expected)
    assert differ.size == 0, (
        f"{differ.size} samples differ, the first at {differ[0]} "
        f"(packet {differ[0] // frameprobe.PACKET_SAMPLES}): "
        f"{image.flat[differ[0]]} instead of {expected.flat[differ[0]]}"
    )


def test_grabs_with_loss_and_duplicates_equal_the_chart(camsim, tmp_path):
    sim = camsim(1, "--pattern", "chart", "--loss", "0.02", "--duplicate", "0.02",
                 "--seed", "7", "--drop", "0,8247")
    with frameprobe.Camera(local_for(sim), sim.address) as cam:
        assert cam.camera_address == sim.address + ":1234"
        assert cam.identify() == "FrameProbe CamSim 1"
        assert cam.command(0x105) == (0x105, b"")

        image, info = cam.grab()
        assert image.dtype == np.uint16 and image.shape == frameprobe.IMAGE_SHAPE
        # The driver wrote into the array's own memory: no copy, no view of another buffer.
        assert image.flags.owndata and image.flags.c_contiguous
        assert_equal_images(image, chart(1, tmp_path))
        assert info.complete and not info.cancelled
        assert info.lost[0] == range(0, 1) and info.lost[-1] == range(8247, 8248)
        assert sum(len(r) for r in info.lost) == info.lost_packets > 2
        assert info.stream_packets == frameprobe.PACKETS_PER_IMAGE - info.lost_packets
        assert info.fetched_again_packets == info.lost_packets
        assert info.missing == [] and info.missing_packets == 0
        assert info.image_ms >= info.recovery_ms > 0
        assert repr(info).startswith("GrabInfo(complete=True, stream_packets=")

        # Into the caller's array, then several into one.
        out = np.zeros(frameprobe.IMAGE_SHAPE, dtype=np.uint16)
        same, info = cam.grab(out=out)
        assert same is out and info.complete
        assert_equal_images(out, chart(2, tmp_path))
        images, infos = cam.grab_many(2)
        assert images.shape == (2, *frameprobe.IMAGE_SHAPE) and len(infos) == 2
        batch = np.empty((2, *frameprobe.IMAGE_SHAPE), dtype=np.uint16)
        same, more = cam.grab_many(out=batch)
        assert same is batch
        for number, (image, info) in enumerate(zip([*images, *batch], infos + more), start=3):
            assert info.complete
            assert_equal_images(image, chart(number, tmp_path))

        # Arrays the driver cannot write into without a copy.
        wrong = [
            np.zeros(frameprobe.IMAGE_SHAPE, dtype=np.int32),
            np.zeros((2048, 2062), dtype=np.uint16),
            np.zeros((frameprobe.IMAGE_SHAPE[0], 2 * frameprobe.IMAGE_SHAPE[1]), np.uint16)[:, ::2],
            np.zeros(frameprobe.IMAGE_SHAPE, dtype=">u2"),
        ]
        read_only = np.zeros(frameprobe.IMAGE_SHAPE, dtype=np.uint16)
        read_only.flags.writeable = False
        for out in [*wrong, read_only]:
            with pytest.raises(ValueError, match="C-contiguous, writeable uint16 array"):
                cam.grab(out=out)
        with pytest.raises(TypeError):
            cam.grab(out=bytearray(frameprobe.IMAGE_BYTES))
        with pytest.raises(frameprobe.Error, match="starts an image: take images with Grab"):
            cam.command(0x08)
    assert not cam.is_open
    sim.stop()
    assert sim.stat("images") == 6


def test_failures_raise_with_the_drivers_reason(camsim):
    silent = camsim(2, "--silent")
    cases = [
        ("10.255.255.1", silent.address,
         'cannot use the local address "10.255.255.1": CEthCamera: cannot bind to local ip:port'),
        (local_for(silent), silent.address,
         f"the camera at {silent.address}:1234 does not answer (binning on, command 0x105): "
         "CEthCamera::SendCmd(): Lost contact, closing connection."),
    ]
    for local, remote, message in cases:
        with pytest.raises(frameprobe.Error) as raised:
            frameprobe.Camera(local, remote)
        assert str(raised.value) == message
        assert isinstance(raised.value, RuntimeError)

    # A camera that stops answering during recovery: the driver gives the connection up.
    mute = camsim(3, "--drop", "5", "--silent-cmd", "retransmit")
    cam = frameprobe.Camera(local_for(mute), mute.address)
    with pytest.raises(frameprobe.Error, match=r"lost during the image .* Cannot retransmit "
                                               r"packet #5\."):
        cam.grab()
    assert not cam.is_open
    with pytest.raises(frameprobe.Error, match="is closed"):
        cam.grab()
    cam.close()


def test_the_readme_example_runs_as_written(camsim, tmp_path, monkeypatch, capsys):
    tifffile = pytest.importorskip("tifffile")
    readme = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    sim = camsim(4, "--pattern", "chart", "--drop", "17,4000-4005")
    code = code.replace("192.168.1.10", local_for(sim)).replace("192.168.1.20", sim.address)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "FrameProbe CamSim 1"
    assert out[1].startswith("GrabInfo(complete=True, stream_packets=8241, lost_packets=7, "
                             "fetched_again_packets=7, missing_packets=0, image_ms=")
    assert out[2] == "lost and fetched again: [range(17, 18), range(4000, 4006)]"
    assert_equal_images(tifffile.imread(tmp_path / "image.tif"), chart(1, tmp_path))
