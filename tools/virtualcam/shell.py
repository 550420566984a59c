#!/usr/bin/python3
"""A shell in which the test copy of camrelay sees a virtual camera
(`make bench-shell`), for trying the protocol by hand.

A virtual USB camera (trigger capture, photos IMG_####.JPG) is plugged into
a umockdev testbed, and a shell starts inside it with $CAMRELAY naming the
test copy. Lines written to the FIFO $VIRTUALCAM_CONTROL (from this shell or
any other terminal) act on the camera:

    unplug          pull the cable
    plug            plug it in again (it gets the next device number)
    photo NAME      the camera's own shutter button: a new photo NAME

The bench ends with the shell. Run under umockdev-wrapper, with
CAMRELAY_BUILD_DIR set; any arguments are run instead of $SHELL.
"""

import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests"))

from harness import CAMRELAY, Bench, under_umockdev  # noqa: E402

FOLDER = "/store_00010001/DCIM/100VCAM"


def act(bench, device, request):
    """Carries out one control line; returns the device now in use."""
    word, _, name = request.strip().partition(" ")
    if word == "unplug":
        bench.unplug(device)
    elif word == "plug" and not device.plugged:
        device = bench.plug("trigger", bus=1, address=device.address + 1)
    elif word == "photo" and name:
        bench.camera.add_photo(FOLDER, name, size=1 << 20)
    else:
        print(f"virtualcam: cannot do {request.strip()!r}", file=sys.stderr)
    return device


def main(command):
    if not under_umockdev():
        print("shell.py runs under umockdev-wrapper; use `make bench-shell`", file=sys.stderr)
        return 2
    work = Path(tempfile.mkdtemp(prefix="camrelay-shell-"))
    bench = Bench(work / "bench")
    device = bench.plug("trigger", bus=1, address=5)
    bench.camera.set_capture(folder=FOLDER, name="IMG_####.JPG", size=1 << 20)
    control = work / "control"
    os.mkfifo(control)
    # Opened for writing too, so that it never reads as ended. No thread may
    # block in open() instead: umockdev's preload holds its lock meanwhile.
    requests = os.open(control, os.O_RDWR | os.O_NONBLOCK)
    print("A virtual camera is at usb:001,005. In this shell, $CAMRELAY runs camrelay,\n"
          "which sees it; `exit` ends the bench. From here or any terminal:\n"
          f"  echo unplug > {control}    (also: plug, photo IMG_0100.JPG)", flush=True)
    env = bench.env(CAMRELAY=str(CAMRELAY), VIRTUALCAM_CONTROL=str(control))
    shell = subprocess.Popen(command or [os.environ.get("SHELL", "/bin/bash")], env=env)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the shell's
    try:
        pending = b""
        while shell.poll() is None:
            if select.select([requests], [], [], 0.2)[0]:
                *lines, pending = (pending + os.read(requests, 4096)).split(b"\n")
                for line in lines:
                    device = act(bench, device, line.decode(errors="replace"))
        return shell.returncode
    finally:
        bench.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
