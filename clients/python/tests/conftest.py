import os
import time
from pathlib import Path

import pytest

FAKE = Path(__file__).with_name("fake_helper.py")


@pytest.fixture
def fake_env():
    """The environment for a fake helper running scenario `name`."""

    def make(name: str) -> dict[str, str]:
        return {**os.environ, "FAKE_SCENARIO": name}

    return make


def wait_until(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()
