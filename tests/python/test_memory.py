"""Many grabs from Python do not grow the process."""

import frameprobe
from conftest import local_for, rss_bytes


def test_200_grabs_keep_rss_flat(camsim):
    sim = camsim(30, "--rate", "0", "--loss", "0.001")
    with frameprobe.Camera(local_for(sim), sim.address) as cam:
        for _ in range(20):
            cam.grab()
        before = rss_bytes()
        complete = 0
        for _ in range(200):
            image, info = cam.grab()
            complete += info.complete
            del image, info
        grown = rss_bytes() - before
    assert complete == 200
    # An image is 8.4 MB: a leak of anything per grab (an array, an info, a thread) shows.
    assert grown < 4 * 2**20, f"RSS grew by {grown} bytes over 200 grabs"
