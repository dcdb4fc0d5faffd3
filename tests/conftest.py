import gc
import traceback
import tracemalloc

import pytest


def frame_names(excinfo):
    """Names of the traceback frames an exception passed through."""
    return [frame.name for frame in traceback.extract_tb(excinfo.value.__traceback__)]


@pytest.fixture
def store_path(tmp_path):
    return str(tmp_path / "store.h5")


def memory_growth(round_trip, rounds):
    """Bytes traced memory grew by over `rounds` calls, in each of three windows after a warm-up.
    Caches and the interpreter's free lists (whose objects stay traced) may fill over a few
    windows, less in each; a leak grows as much in every one."""
    for _ in range(100):
        round_trip()
    tracemalloc.start()
    try:
        for _ in range(50):
            round_trip()
        growth = []
        for _ in range(3):
            gc.collect()
            baseline = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):
                round_trip()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - baseline)
    finally:
        tracemalloc.stop()
    return growth
