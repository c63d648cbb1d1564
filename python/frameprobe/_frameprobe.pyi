"""Images from a NUDP camera into numpy arrays; see the package frameprobe."""

from types import TracebackType

import numpy as np
import numpy.typing as npt

__version__: str
IMAGE_SHAPE: tuple[int, int]
IMAGE_BYTES: int
PACKETS_PER_IMAGE: int
PACKET_BYTES: int
PACKET_SAMPLES: int

class Error(RuntimeError):
    """A failure of the connection or of the camera, with the driver's reason."""

class Counters:
    """What the driver counted on its camera socket over a span of time.

    GrabInfo.counters spans one grab (from the start command to the end of
    recovery), Camera.totals the connection so far. Each is counted where it
    happens: the socket's receive path first, then the driver's commands.
    """

    @property
    def received_packets(self) -> int:
        """Datagrams received, whatever became of them."""
    @property
    def foreign_packets(self) -> int:
        """From another address or port than the camera's."""
    @property
    def damaged_packets(self) -> int:
        """A wrong length, no signature, a wrong checksum, outside the image or not filling
        its place."""
    @property
    def raw_packets(self) -> int:
        """RAW data packets from the camera with a signature."""
    @property
    def stored_packets(self) -> int:
        """RAW data packets stored in the image."""
    @property
    def duplicate_packets(self) -> int:
        """RAW data packets stored already, the same data again."""
    @property
    def conflicting_packets(self) -> int:
        """RAW data packets stored already with other data: missing again."""
    @property
    def refused_packets(self) -> int:
        """RAW data packets while none were expected."""
    @property
    def matched_answers(self) -> int:
        """Answers that completed the command sent last."""
    @property
    def stray_answers(self) -> int:
        """Answers while no command waited, or to another command."""
    @property
    def restarts(self) -> int:
        """The image began again: an answer to a repeated start, or a stream without one."""
    @property
    def sent_commands(self) -> int:
        """Command packets sent, repetitions included."""
    @property
    def repeated_commands(self) -> int:
        """Of those, repetitions after the first sending."""
    @property
    def timed_out_commands(self) -> int:
        """Attempts that no answer ended in time."""
    @property
    def status_requests(self) -> int:
        """Transfer status requests (0x0A) sent."""
    @property
    def retransmission_requests(self) -> int:
        """Retransmission requests (TOP 6) sent."""
    @property
    def answered_retransmissions(self) -> int:
        """Retransmission requests the camera answered."""
    @property
    def fetched_again_packets(self) -> int:
        """RAW packets that recovery brought into the image."""
    @property
    def drains(self) -> int:
        """Waits for a streaming camera to fall silent before a repeated start."""
    @property
    def lost_contacts(self) -> int:
        """Commands given up after every attempt: the connection closed."""
    def as_dict(self) -> dict[str, int]:
        """The counters as a dict, name to count, in the order above."""

class GrabInfo:
    """How one image arrived.

    Packet ranges are Python ranges of packet numbers; packet n holds samples
    n * PACKET_SAMPLES to (n + 1) * PACKET_SAMPLES - 1 of the flattened image.
    """

    @property
    def complete(self) -> bool:
        """Every packet is in the image."""
    @property
    def cancelled(self) -> bool:
        """The grab was stopped before the image was whole."""
    @property
    def stream_packets(self) -> int:
        """Packets stored from the camera's stream."""
    @property
    def lost_packets(self) -> int:
        """Packets the stream lost: PACKETS_PER_IMAGE - stream_packets."""
    @property
    def fetched_again_packets(self) -> int:
        """Lost packets fetched again from the camera one by one."""
    @property
    def missing_packets(self) -> int:
        """Packets the image lacks at the end; 0 when complete."""
    @property
    def lost(self) -> list[range]:
        """The packets the stream lost, as ascending ranges."""
    @property
    def missing(self) -> list[range]:
        """The packets the image lacks at the end, as ascending ranges; empty when complete."""
    @property
    def image_ms(self) -> float:
        """Milliseconds from just before the start command to the end of recovery."""
    @property
    def recovery_ms(self) -> float:
        """Milliseconds of recovery alone; 0 when nothing was lost."""
    @property
    def counters(self) -> Counters:
        """Counters of this grab, from the start command to the end of recovery."""

class Camera:
    """One connection to one NUDP camera; a context manager that closes it."""

    def __init__(
        self,
        local: str,
        remote: str,
        *,
        binning: bool = True,
        log_file: str = "",
        err_log_file: str = "",
    ) -> None:
        """Connects to the camera at `remote` from the local address `local`.

        Raises Error when the local address cannot be bound (with a line for each
        port another program holds, naming it), the camera's address is no address,
        or (with binning) the camera does not answer.
        """
    def grab(
        self, out: npt.NDArray[np.uint16] | None = None
    ) -> tuple[npt.NDArray[np.uint16], GrabInfo]:
        """Takes one image, fetching again the packets the stream lost.

        Returns (image, info); image has shape IMAGE_SHAPE and is `out` when given.
        """
    def grab_many(
        self, count: int | None = None, out: npt.NDArray[np.uint16] | None = None
    ) -> tuple[npt.NDArray[np.uint16], list[GrabInfo]]:
        """Takes `count` images into one array of shape (count, *IMAGE_SHAPE).

        Returns (images, infos), infos[i] telling how row i arrived. Ctrl-C raises
        KeyboardInterrupt with the attribute `taken`, the (images, infos) so far;
        a grab the interrupt cut short is the last of those infos (cancelled, its
        missing naming what its row lacks), and rows from len(infos) on were not
        written.
        """
    def identify(self) -> str:
        """The camera's identification text (command 0xEF)."""
    def command(self, number: int, top: int = 0) -> tuple[int, bytes]:
        """Sends one command and returns the answer as (number_field, data)."""
    def close(self) -> None:
        """Closes the connection; idempotent."""
    @property
    def is_open(self) -> bool:
        """False once closed, or once the camera stopped answering."""
    @property
    def local_address(self) -> str: ...
    @property
    def camera_address(self) -> str: ...
    @property
    def receive_buffer_bytes(self) -> int: ...
    @property
    def totals(self) -> Counters:
        """Counters since the connection was opened, over every grab and command."""
    def __enter__(self) -> Camera: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
