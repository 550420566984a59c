#!/usr/bin/python3
"""A shell in which the test copy of camrelay sees a virtual camera
(`make bench-shell`), for trying the protocol by hand.

A virtual USB camera (trigger capture, photos IMG_####.JPG) is plugged into
a umockdev testbed, and a shell starts inside it with $CAMRELAY naming the
test copy. Lines written to the FIFO $VIRTUALCAM_CONTROL (from this shell or
any other terminal) act on the cameras:

    plug [MODEL]    plug in another camera (a key of harness.MODELS, trigger
                    by default) under the next device number, beside any
                    camera still plugged in
    unplug [ID]     pull the cable of the camera with that id (usb:001,005),
                    or of the last one plugged in
    photo NAME      the shutter button of the camera that camrelay has
                    open: a new photo NAME of 1 MiB on its card

Every camera plays the script in $VIRTUALCAM_DIR (tools/virtualcam/README.md),
which may be edited by hand meanwhile: `photo` announces its photo by an
event that carries the photo's content and leaves script.json as it is, so
a throttle or a failure set there stays.

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

from harness import CAMRELAY, MODELS, Bench, under_umockdev  # noqa: E402

FOLDER = "/store_00010001/DCIM/100VCAM"


def act(bench, request):
    """Carries out one control line."""
    word, _, argument = request.strip().partition(" ")
    argument = argument.strip()
    plugged = [device for device in bench.devices if device.plugged]
    if word == "plug" and (argument or "trigger") in MODELS:
        address = max(device.address for device in bench.devices) + 1
        device = bench.plug(argument or "trigger", bus=1, address=address)
        print(f"virtualcam: {device.model.name} plugged in at {device.port}", flush=True)
        return
    if word == "unplug" and plugged:
        chosen = [d for d in plugged if d.port == argument] if argument else plugged[-1:]
        if chosen:
            bench.unplug(chosen[0])
            print(f"virtualcam: {chosen[0].port} unplugged", flush=True)
            return
    elif word == "photo" and argument:
        bench.camera.add_card_photos(FOLDER, [argument], size=1 << 20)
        return
    print(f"virtualcam: cannot do {request.strip()!r}", file=sys.stderr)


def main(command):
    if not under_umockdev():
        print("shell.py runs under umockdev-wrapper; use `make bench-shell`", file=sys.stderr)
        return 2
    work = Path(tempfile.mkdtemp(prefix="camrelay-shell-"))
    bench = Bench(work / "bench")
    bench.plug("trigger", bus=1, address=5)
    bench.camera.set_capture(folder=FOLDER, name="IMG_####.JPG", size=1 << 20)
    control = work / "control"
    os.mkfifo(control)
    # Opened for writing too, so that it never reads as ended. No thread may
    # block in open() instead: umockdev's preload holds its lock meanwhile.
    requests = os.open(control, os.O_RDWR | os.O_NONBLOCK)
    print("A virtual camera is at usb:001,005. In this shell, $CAMRELAY runs camrelay,\n"
          "which sees it; `exit` ends the bench. From here or any terminal:\n"
          f"  echo unplug > {control}    (also: plug [MODEL], unplug ID, photo IMG_0100.JPG)",
          flush=True)
    env = bench.env(CAMRELAY=str(CAMRELAY), VIRTUALCAM_CONTROL=str(control))
    shell = subprocess.Popen(command or [os.environ.get("SHELL", "/bin/bash")], env=env)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the shell's
    try:
        pending = b""
        while shell.poll() is None:
            if select.select([requests], [], [], 0.2)[0]:
                *lines, pending = (pending + os.read(requests, 4096)).split(b"\n")
                for line in lines:
                    act(bench, line.decode(errors="replace"))
        return shell.returncode
    finally:
        bench.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
