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


# What the example host shows in protocol 2 beyond status lines: which
# capture made each photo, the progress of the large one, the photo left
# behind by the pull and saved by the next start.
PROTOCOL_2_SHOWS = ["IMG_0001.JPG (capture 1)", "IMG_0003.JPG (capture 3)",
                    "IMG_0100.JPG (the camera's own button)", "IMG_0101.JPG: ",
                    "waiting for the camera: IMG_0101.JPG",
                    "IMG_0101.JPG (left behind earlier)", "IMG_0001_1.JPG (capture 4)"]


@pytest.mark.parametrize("protocol", [2, 1])
def test_demo_saves_six_photos_across_an_unplug_and_shows_the_settings(protocol):
    if not under_umockdev():
        pytest.skip("runs under umockdev-wrapper (use ctest)")
    args = ["--protocol1"] if protocol == 1 else []
    done = subprocess.run([sys.executable, str(DEMO), *args], capture_output=True, text=True,
                          timeout=300, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    assert "photos go to " in out
    assert "camera settings:" in out and "iso: " in out
    assert "camrelay exited with status 0" in out
    # The camera starts counting again after the unplug; the name is taken.
    # The photo cut off by the unplug is saved by the next start.
    for name in ("IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG", "IMG_0100.JPG",
                 "IMG_0101.JPG", "IMG_0001_1.JPG"):
        assert f"    {name}  6291456 bytes" in out
    shown = [text for text in PROTOCOL_2_SHOWS if text in out]
    assert shown == (PROTOCOL_2_SHOWS if protocol == 2 else [])
    # A host that never says hello reads status lines alone.
    assert ('"event":' in out) == (protocol == 2)


# Inside the bench shell: the first status line that lists a camera.
FIRST_CAMERA = """
import json, os, subprocess
relay = subprocess.Popen([os.environ["CAMRELAY"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
print(next(line for line in relay.stdout if json.loads(line)["cameras"]).decode())
"""


def run_in_shell(program):
    """Runs a Python program inside the bench shell; returns what it printed."""
    if not under_umockdev():
        pytest.skip("runs under umockdev-wrapper (use ctest)")
    done = subprocess.run([sys.executable, str(SHELL), sys.executable, "-c", program],
                          capture_output=True, text=True, timeout=120, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_the_bench_shell_gives_the_test_copy_a_camera():
    assert '"cameras":[{"id":"usb:001,005"' in run_in_shell(FIRST_CAMERA)


# Inside the bench shell: a second camera plugged in beside the first, the
# first pulled out by its id, then a photo taken after script.json was edited
# by hand, which must keep the edit.
SHELL_CONTROL = """
import json, os, select, subprocess, sys, time
relay = subprocess.Popen([os.environ["CAMRELAY"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         bufsize=0)
def control(line):
    with open(os.environ["VIRTUALCAM_CONTROL"], "w") as fifo:
        fifo.write(line + "\\n")
def cameras(wanted):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if select.select([relay.stdout], [], [], 0.2)[0]:
            ids = sorted(c["id"] for c in json.loads(relay.stdout.readline())["cameras"])
            if ids == wanted:
                return print("cameras", ids)
    sys.exit(f"never listed {wanted}")
cameras(["usb:001,005"])
control("plug capture")
cameras(["usb:001,005", "usb:001,006"])
control("unplug usb:001,005")
cameras(["usb:001,006"])
folder = os.environ["VIRTUALCAM_DIR"]
with open(os.path.join(folder, "script.json")) as f:
    script = json.load(f)
script["throttle"] = 12345
with open(os.path.join(folder, "script.json"), "w") as f:
    json.dump(script, f)
control("photo IMG_0100.JPG")
events = os.path.join(folder, "events.jsonl")
while not (os.path.exists(events) and "IMG_0100.JPG" in open(events).read()):
    time.sleep(0.05)
with open(os.path.join(folder, "script.json")) as f:
    print("throttle", json.load(f).get("throttle"))
relay.stdin.close()
relay.wait()
"""


def test_the_bench_shell_plugs_a_second_camera_and_keeps_hand_edits():
    out = run_in_shell(SHELL_CONTROL)
    assert "cameras ['usb:001,005', 'usb:001,006']" in out
    assert "cameras ['usb:001,006']" in out
    assert "throttle 12345" in out
