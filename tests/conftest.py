"""Fixtures shared by the process-level tests (see harness.py)."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import Bench  # noqa: E402


@pytest.fixture
def bench(tmp_path):
    """A fresh umockdev testbed with an empty virtual camera script; every
    process started on it is killed and every device removed afterwards."""
    instance = Bench(tmp_path)
    try:
        yield instance
    finally:
        instance.close()
