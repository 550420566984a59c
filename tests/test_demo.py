"""The demo that README's first command runs must keep working: one whole
session against the virtual camera, driven by the example host. So must the
shell that README offers for trying camrelay by hand."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from harness import under_umockdev

TOOLS = Path(__file__).resolve().parent.parent / "tools" / "virtualcam"
DEMO = TOOLS / "demo.py"
SHELL = TOOLS / "shell.py"


def test_demo_saves_five_photos_across_an_unplug_and_shows_the_settings():
    if not under_umockdev():
        pytest.skip("runs under umockdev-wrapper (use ctest)")
    done = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True,
                          timeout=300, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "photos go to " in out
    assert "camera settings:" in out and "iso: " in out
    assert "camrelay exited with status 0" in out
    # The camera starts counting again after the unplug; the name is taken.
    for name in ("IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG", "IMG_0100.JPG",
                 "IMG_0001_1.JPG"):
        assert f"    {name}  6291456 bytes" in out


# Inside the bench shell: the first status line that lists a camera.
FIRST_CAMERA = """
import json, os, subprocess
relay = subprocess.Popen([os.environ["CAMRELAY"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
print(next(line for line in relay.stdout if json.loads(line)["cameras"]).decode())
"""


def test_the_bench_shell_gives_the_test_copy_a_camera():
    if not under_umockdev():
        pytest.skip("runs under umockdev-wrapper (use ctest)")
    done = subprocess.run([sys.executable, str(SHELL), sys.executable, "-c", FIRST_CAMERA],
                          capture_output=True, text=True, timeout=120, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    assert '"cameras":[{"id":"usb:001,005"' in done.stdout
