#!/usr/bin/python3
"""What libgphoto2 still serves once the D750's cable is pulled.

Opens the emulated D750 (the first camera libgphoto2 detects), lists the
card folder, captures one photo (ptp2 takes it from the camera's SDRAM
into libgphoto2's cache as /capt0000.jpg), pulls the cable through
D750_CONTROL, then asks for an event, the RAM photo and the card photo.
Prints one JSON object:

    capture             the captured photo's path
    unplugged_at        CLOCK_MONOTONIC seconds just before the pull
    wait_after_unplug   gp_camera_wait_for_event's result after the pull
    ram_get, ram_bytes, ram_sha256   gp_camera_file_get of the RAM photo
    card_get            gp_camera_file_get of the card photo

Run in the environment of `D750Bench.env()` (CAMLIBS, IOLIBS, D750_*).
"""

import ctypes
import hashlib
import json
import os
import sys
import time

CARD_FOLDER = b"/store_00010001/DCIM/100NIKON"
CARD_PHOTO = b"DSC_0001.JPG"
GP_CAPTURE_IMAGE = 0
GP_FILE_TYPE_NORMAL = 1


class CameraFilePath(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char * 128), ("folder", ctypes.c_char * 1024)]


gp = ctypes.CDLL("libgphoto2.so.6")
libc = ctypes.CDLL(None)
gp.gp_context_new.restype = ctypes.c_void_p
pointer = ctypes.c_void_p


def file_get(camera, context, folder, name):
    """gp_camera_file_get's result and the bytes it gave."""
    file = pointer()
    gp.gp_file_new(ctypes.byref(file))
    result = gp.gp_camera_file_get(camera, folder, name, GP_FILE_TYPE_NORMAL, file, context)
    data = b""
    if result >= 0:
        start, size = ctypes.POINTER(ctypes.c_char)(), ctypes.c_ulong()
        gp.gp_file_get_data_and_size(file, ctypes.byref(start), ctypes.byref(size))
        data = ctypes.string_at(start, size.value)
    gp.gp_file_unref(file)
    return result, data


def main():
    context = pointer(gp.gp_context_new())
    camera = pointer()
    gp.gp_camera_new(ctypes.byref(camera))
    if (result := gp.gp_camera_init(camera, context)) < 0:
        sys.exit(f"cache_probe: gp_camera_init returned {result}")
    names = pointer()
    gp.gp_list_new(ctypes.byref(names))
    gp.gp_camera_folder_list_files(camera, CARD_FOLDER, names, context)
    gp.gp_list_free(names)

    path = CameraFilePath()
    if (result := gp.gp_camera_capture(camera, GP_CAPTURE_IMAGE, ctypes.byref(path), context)) < 0:
        sys.exit(f"cache_probe: gp_camera_capture returned {result}")
    seen = {"capture": (path.folder.rstrip(b"/") + b"/" + path.name).decode()}

    seen["unplugged_at"] = time.monotonic()
    with open(os.environ["D750_CONTROL"], "a") as control:
        control.write("unplug\n")
    kind, data = ctypes.c_int(), pointer()
    seen["wait_after_unplug"] = gp.gp_camera_wait_for_event(
        camera, 0, ctypes.byref(kind), ctypes.byref(data), context)
    libc.free(data)

    seen["ram_get"], ram = file_get(camera, context, path.folder, path.name)
    seen["ram_bytes"], seen["ram_sha256"] = len(ram), hashlib.sha256(ram).hexdigest()
    seen["card_get"], _ = file_get(camera, context, CARD_FOLDER, CARD_PHOTO)
    gp.gp_camera_exit(camera, context)
    gp.gp_camera_unref(camera)
    print(json.dumps(seen))


if __name__ == "__main__":
    main()
