"""Images from a NUDP camera into numpy arrays.

    import frameprobe

    with frameprobe.Camera("192.168.1.10", "192.168.1.20") as cam:
        image, info = cam.grab()        # uint16, shape IMAGE_SHAPE = (2062, 2048)
        print(cam.identify(), info.complete, info.lost)
        print(info.counters.duplicate_packets, cam.totals.sent_commands)

Camera connects to the camera (UDP ports 32100 and 32101 here, 1234 there),
grab() takes one image and fetches again the packets the stream lost,
grab_many() takes many into one array; info.counters and cam.totals are what
the driver counted (Counters); failures raise frameprobe.Error with the
driver's reason.
"""

from ._frameprobe import (
    IMAGE_BYTES,
    IMAGE_SHAPE,
    PACKET_BYTES,
    PACKET_SAMPLES,
    PACKETS_PER_IMAGE,
    Camera,
    Counters,
    Error,
    GrabInfo,
    __version__,
)

__all__ = [
    "Camera",
    "Counters",
    "Error",
    "GrabInfo",
    "IMAGE_BYTES",
    "IMAGE_SHAPE",
    "PACKET_BYTES",
    "PACKET_SAMPLES",
    "PACKETS_PER_IMAGE",
    "__version__",
]
