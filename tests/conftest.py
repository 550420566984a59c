"""Fixtures shared by the process-level tests (see harness.py)."""

import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import preload  # noqa: E402
from harness import Bench  # noqa: E402


@pytest.fixture
def bench(tmp_path):
    """A fresh umockdev testbed with an empty virtual camera script; every
    process started on it is ended and every device removed afterwards."""
    instance = Bench(tmp_path)
    try:
        yield instance
    finally:
        instance.close()


@pytest.fixture(scope="session")
def faults(tmp_path_factory):
    """faults(bench, call, result, skip=0): an environment for camrelay on
    `bench` in which the fault interposer (fault_preload.c) fails the
    (skip+1)-th call that camrelay makes of each symbol in `call` (several
    separated by commas) with `result`. Each call that failed is listed in
    the bench folder's faults.log."""
    library = preload.build(tmp_path_factory.mktemp("faults"),
                            Path(__file__).resolve().parent / "fault_preload.c", "fault_preload")

    def environment(bench, call, result, skip=0):
        return preload.chained(bench.env(), library, FAULT_CALL=call, FAULT_RESULT=str(result),
                               FAULT_SKIP=str(skip), FAULT_LOG=str(bench.directory / "faults.log"))

    return environment


@pytest.fixture
def small_disk(tmp_path):
    """A 512 KiB file system of its own (a tmpfs; root only)."""
    mount = tmp_path / "disk"
    mount.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(mount)],
                          capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a small file system: {done.stderr.decode().strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)
