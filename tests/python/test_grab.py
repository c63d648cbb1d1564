"""frameprobe from Python against camsim: images into numpy, their info, errors."""

import ast
import os
import pathlib
import re
import socket

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


def assert_camsims_images(images, sim, tmp_path, before):
    """Each of `images`, in order, equals sample for sample an image camsim started after image
    `before`, each a later one than the one before it (a start command repeated on a busy machine
    makes camsim skip on), the last the one camsim started last. Returns its number."""
    number = before
    for image in images:
        for candidate in range(number + 1, sim.image_number() + 1):
            if np.array_equal(image, chart(candidate, tmp_path)):
                number = candidate
                break
        else:
            assert_equal_images(image, chart(number + 1, tmp_path))
    assert number == sim.image_number()
    return number


COUNTERS = [
    "received_packets", "foreign_packets", "damaged_packets", "raw_packets", "stored_packets",
    "duplicate_packets", "conflicting_packets", "refused_packets", "matched_answers",
    "stray_answers", "restarts", "sent_commands", "repeated_commands", "timed_out_commands",
    "status_requests", "retransmission_requests", "answered_retransmissions",
    "fetched_again_packets", "drains", "lost_contacts",
]


def start_commands(counters):
    """The start commands among a grab's: what is neither a status nor a retransmission request."""
    return counters.sent_commands - counters.status_requests - counters.retransmission_requests


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
        number = assert_camsims_images([image], sim, tmp_path, 0)
        assert info.complete and not info.cancelled
        assert info.lost[0] == range(0, 1) and info.lost[-1] == range(8247, 8248)
        assert sum(len(r) for r in info.lost) == info.lost_packets > 2
        assert info.stream_packets == frameprobe.PACKETS_PER_IMAGE - info.lost_packets
        assert info.missing == [] and info.missing_packets == 0
        assert info.image_ms >= info.recovery_ms > 0
        assert repr(info).startswith("GrabInfo(complete=True, stream_packets=")

        # The driver's counters of the grab, under their names and in their order.
        counters = info.counters
        assert isinstance(counters, frameprobe.Counters)
        assert list(counters.as_dict()) == COUNTERS
        assert counters.as_dict() == {name: getattr(counters, name) for name in COUNTERS}
        assert repr(counters).startswith(f"Counters(received_packets={counters.received_packets}, ")
        assert counters.fetched_again_packets == info.fetched_again_packets
        assert counters.retransmission_requests >= info.lost_packets
        assert counters.duplicate_packets > 0 and counters.stored_packets >= info.stream_packets
        assert counters.damaged_packets == counters.foreign_packets == counters.lost_contacts == 0
        infos = [info]

        # Into the caller's array, then several into one.
        out = np.zeros(frameprobe.IMAGE_SHAPE, dtype=np.uint16)
        same, info = cam.grab(out=out)
        assert same is out and info.complete
        number = assert_camsims_images([out], sim, tmp_path, number)
        infos.append(info)
        images, many = cam.grab_many(2)
        assert images.shape == (2, *frameprobe.IMAGE_SHAPE) and len(many) == 2
        number = assert_camsims_images(images, sim, tmp_path, number)
        batch = np.empty((2, *frameprobe.IMAGE_SHAPE), dtype=np.uint16)
        same, more = cam.grab_many(out=batch)
        assert same is batch
        assert_camsims_images(batch, sim, tmp_path, number)
        infos += many + more
        assert all(info.complete for info in infos)

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
        for out in (bytearray(frameprobe.IMAGE_BYTES), [np.zeros(frameprobe.IMAGE_SHAPE)]):
            with pytest.raises(TypeError):
                cam.grab_many(out=out)
        with pytest.raises(ValueError, match="C-contiguous, writeable uint16 array"):
            cam.grab_many(out=np.zeros((), dtype=np.uint16))
        with pytest.raises(frameprobe.Error, match="starts an image: take images with Grab"):
            cam.command(0x08)
        totals = cam.totals
    assert not cam.is_open
    # The totals hold the six grabs and the three commands before them (each first sending; a
    # busy machine may repeat any); camsim served every retransmission request and started an
    # image for every start command.
    for name in COUNTERS:
        assert getattr(totals, name) >= sum(getattr(info.counters, name) for info in infos), name
    assert totals.sent_commands - totals.repeated_commands == 3 + sum(
        info.counters.sent_commands - info.counters.repeated_commands for info in infos)
    sim.stop()
    assert sim.stat("retransmissions served") == totals.retransmission_requests
    assert sim.stat("images") == sum(start_commands(info.counters) for info in infos) >= 6


def test_failures_raise_with_the_drivers_reason(camsim):
    silent = camsim(2, "--silent")
    # Both ports the camera socket may take, held by this process on an address of their own.
    held = silent.address.rsplit(".", 1)[0] + ".3"
    holder = f"{pathlib.Path('/proc/self/comm').read_text().strip()} (pid {os.getpid()})"
    cases = [
        ("10.255.255.1", silent.address,
         'cannot use the local address "10.255.255.1": CEthCamera: cannot bind to local ip:port'),
        (held, silent.address,
         f'cannot use the local address "{held}": CEthCamera: cannot bind to local ip:port\n'
         f"UDP {held}:32100 is taken by {holder}\nUDP {held}:32101 is taken by {holder}"),
        (local_for(silent), silent.address,
         f"the camera at {silent.address}:1234 does not answer (binning on, command 0x105): "
         "CEthCamera::SendCmd(): Lost contact, closing connection."),
    ]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as first, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as second:
        first.bind((held, 32100))
        second.bind((held, 32101))
        for local, remote, message in cases:
            with pytest.raises(frameprobe.Error) as raised:
                frameprobe.Camera(local, remote)
            assert str(raised.value) == message
            assert isinstance(raised.value, RuntimeError)

    # Addresses that are no addresses: an empty one would mean 0.0.0.0, one with a NUL
    # character the part before it.
    for local, remote, which in [(local_for(silent), "", "remote"),
                                 (local_for(silent), silent.address + "\0x", "remote"),
                                 ("", silent.address, "local")]:
        with pytest.raises(ValueError, match=f"^{which}: an address, neither empty nor holding "
                                             "a NUL character$"):
            frameprobe.Camera(local, remote)

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


def test_the_documented_example_runs_as_written(camsim, tmp_path, monkeypatch, capsys):
    tifffile = pytest.importorskip("tifffile")
    readme = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "library.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    sim = camsim(4, "--pattern", "chart", "--drop", "17,4000-4005")
    code = code.replace("192.168.1.10", local_for(sim)).replace("192.168.1.20", sim.address)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "docs/library.md", "exec"), {})
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "FrameProbe CamSim 1"
    assert out[1].startswith("GrabInfo(complete=True, stream_packets=8241, lost_packets=7, "
                             "fetched_again_packets=7, missing_packets=0, image_ms=")
    assert out[2] == "lost and fetched again: [range(17, 18), range(4000, 4006)]"
    # 7 requests and 10 commands (binning, identification, start, requests) unless some repeated.
    requests, commands = re.fullmatch(r"requests: (\d+) duplicates: 0 commands: (\d+)",
                                      out[3]).groups()
    assert int(requests) >= 7 and int(commands) >= 10 + int(requests) - 7
    saved = tifffile.imread(tmp_path / "image.tif")
    assert_equal_images(saved, chart(sim.image_number(), tmp_path))


def test_the_stubs_name_what_the_module_has():
    """The type stubs beside the module declare every public name of it, and nothing else."""
    stubs = ast.parse((pathlib.Path(frameprobe._frameprobe.__file__).parent
                       / "_frameprobe.pyi").read_text())

    def public(names):
        return sorted(n for n in names if not n.startswith("_") or n == "__version__")

    declared = {}
    for node in stubs.body:
        if isinstance(node, ast.ClassDef):
            declared[node.name] = public(
                item.name for item in node.body if isinstance(item, ast.FunctionDef))
        elif isinstance(node, ast.AnnAssign):
            declared[node.target.id] = None
    assert sorted(declared) == public(dir(frameprobe._frameprobe))
    for name, members in declared.items():
        if members is not None:
            thing = getattr(frameprobe._frameprobe, name)
            inherited = set(dir(RuntimeError if issubclass(thing, Exception) else object))
            assert members == public(set(vars(thing)) - inherited), name


def test_the_stubs_tell_each_counter_as_the_module_does():
    """The stubs' Counters has a property for each counter, in the module's order, with the
    module's docstring, and the class's docstring lists each with its words."""
    stubs = ast.parse((pathlib.Path(frameprobe._frameprobe.__file__).parent
                       / "_frameprobe.pyi").read_text())
    (counters,) = [node for node in stubs.body
                   if isinstance(node, ast.ClassDef) and node.name == "Counters"]
    properties = [item for item in counters.body if isinstance(item, ast.FunctionDef)
                  and any(getattr(d, "id", None) == "property" for d in item.decorator_list)]
    assert [p.name for p in properties] == COUNTERS
    words = " ".join(frameprobe.Counters.__doc__.split()).lower() + " "
    for p in properties:
        module_doc = getattr(frameprobe.Counters, p.name).__doc__
        assert " ".join(ast.get_docstring(p).split()) == module_doc, p.name
        assert f" {p.name} {module_doc[:-1]} ".lower() in words, p.name
