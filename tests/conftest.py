import traceback

import pytest


def frame_names(excinfo):
    """Names of the traceback frames an exception passed through."""
    return [frame.name for frame in traceback.extract_tb(excinfo.value.__traceback__)]


@pytest.fixture
def store_path(tmp_path):
    return str(tmp_path / "store.h5")
