#!/usr/bin/python3
"""A whole tethering session against the virtual camera (`make demo`).

A virtual USB camera is plugged into a umockdev testbed; the example host
(examples/host.py) starts the test copy of camrelay, says hello for
protocol 2, opens the camera into a new folder, takes three photos, receives
a fourth as if the shutter button on the camera had been pressed, and shows
the camera's settings. A fifth, large photo from the button is downloading
when the cable is pulled: it is left behind, and saved first when the host
opens the camera again. A last capture, and the host stops. Every line is
printed as the host receives it, followed by a readable summary: which
capture made each photo, the progress of the large one, the photos waiting.
The host checks every line against docs/protocol.schema.json. With
--protocol1 the host speaks protocol 1 (status lines only). Run under
umockdev-wrapper, with CAMRELAY_BUILD_DIR set.
"""

import sys
import tempfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE / "tests"))
sys.path.insert(0, str(SOURCE / "examples"))

from harness import CAMRELAY, Bench, under_umockdev  # noqa: E402
from host import (Camrelay, describe, describe_event, finish, gone, reconnect,  # noqa: E402
                  take_photo, tether, waiting_photos)

FOLDER = "/store_00010001/DCIM/100VCAM"
PHOTO_SIZE = 6 << 20
SLOW_LINK = 3 << 20  # bytes per second: the large photo takes 2 s


def show(raw, status):
    print(f"  < {raw}")
    print(f"    {describe(status)}")


def show_event(raw, event):
    print(f"  < {raw}")
    print(f"    {describe_event(event)}")


def main(argv):
    if not under_umockdev():
        print("demo.py runs under umockdev-wrapper; use `make demo`", file=sys.stderr)
        return 2
    protocol = 1 if "--protocol1" in argv else 2
    work = Path(tempfile.mkdtemp(prefix="camrelay-demo-"))
    photos = work / "photos"
    photos.mkdir()
    bench = Bench(work / "bench")
    try:
        bench.plug("trigger", bus=1, address=5, speed="5000")
        bench.camera.set_capture(folder=FOLDER, name="IMG_####.JPG", size=PHOTO_SIZE,
                                 trigger_delay_ms=200)
        print(f"virtual camera plugged in; photos go to {photos}")

        relay = Camrelay(str(CAMRELAY), env=bench.env(), on_status=show, on_event=show_event,
                         validate=True, protocol=protocol)
        try:
            print(f"> hello, start, then three captures (protocol {protocol})")
            camera = tether(relay, str(photos), captures=3, log=lambda text: print(f"* {text}"))

            print("* the shutter button on the camera is pressed")
            bench.camera.add_photo(FOLDER, "IMG_0100.JPG", size=PHOTO_SIZE)
            relay.wait_for(lambda s: s["count"] == 4 and not s["pendingCount"],
                           what="the camera's own photo")

            status = relay.wait_for(lambda s: s["cameraParameters"], what="the settings")
            print("* camera settings:")
            for key, value in sorted(status["cameraParameters"].items()):
                print(f"    {key}: {value}")

            print("* the button is pressed again; the cable is pulled while the photo downloads")
            bench.camera.set_throttle(SLOW_LINK)
            bench.camera.add_photo(FOLDER, "IMG_0101.JPG", size=PHOTO_SIZE)
            if protocol == 2:
                relay.wait_event(lambda e: e["event"] == "progress"
                                 and e["bytes"] >= PHOTO_SIZE // 2, what="half the photo")
            else:
                relay.wait_for(lambda s: s["phase"] == "transferring", what="the download")
            bench.unplug(bench.devices[0])
            relay.wait_for(lambda s: gone(s, camera["id"]), what="the unplug")
            if protocol == 2:
                for photo in waiting_photos(relay):
                    print(f"* waiting for the camera: {photo['camera']['name']}")

            print("* the camera is plugged in again; it gets a new id")
            bench.camera.set_throttle(0)
            bench.plug("trigger", bus=1, address=6, speed="5000")
            print("> start with the new id, then a capture")
            reconnect(relay, camera["name"], str(photos))
            take_photo(relay)

            print("> stop")
            finish(relay)
        finally:
            code = relay.close()
        print(f"* camrelay exited with status {code}")
        print(f"* saved in {photos}:")
        for photo in sorted(photos.iterdir()):
            print(f"    {photo.name}  {photo.stat().st_size} bytes")
    finally:
        bench.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
