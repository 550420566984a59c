"""The demo that README's first command runs must keep working: one whole
session against the virtual camera, driven by the example host."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from harness import under_umockdev

DEMO = Path(__file__).resolve().parent.parent / "tools" / "virtualcam" / "demo.py"


def test_demo_saves_four_photos_and_shows_the_settings():
    if not under_umockdev():
        pytest.skip("runs under umockdev-wrapper (use ctest)")
    done = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True,
                          timeout=300, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "photos go to " in out
    assert "camera settings:" in out and "iso: " in out
    assert "camrelay exited with status 0" in out
    for name in ("IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG", "IMG_0100.JPG"):
        assert f"    {name}  6291456 bytes" in out
