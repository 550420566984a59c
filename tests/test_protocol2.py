"""Protocol 2 on the virtual camera bench: after hello every command line
gets exactly one reply, in order; events name every photo on its way, every
photo left behind or given up, every capture lost and every file skipped; a
capture the camera refuses keeps the session; a quick stop is quick and
loses nothing."""

import json
import os
import time

import pytest

from harness import GP_ERROR, GP_ERROR_CAMERA_BUSY, GP_ERROR_IO, pattern_bytes

FOLDER = "/store_00010001/DCIM/100VCAM"


def opened(bench, tmp_path, model="trigger", serial="VC0001", destination=None):
    """A camrelay speaking protocol 2 with `model` open; (relay, device)."""
    device = bench.plug(model, serial=serial)
    relay = bench.relay()
    relay.line(phase="idle")
    relay.wait_for(lambda s: any(c["id"] == device.port for c in s["cameras"]))
    relay.hello()
    reply = relay.ask({"command": "start", "cameraId": device.port,
                       "directory": str(destination or tmp_path)})
    assert reply["ok"], reply
    relay.wait_for(phase="ready")
    return relay, device


def lines_between(relay, first, last):
    """The lines camrelay wrote from the one equal to `first` to the one
    equal to `last`, both included."""
    lines = relay.transcript()
    begin = lines.index(first)
    return lines[begin:lines.index(last, begin) + 1]


LONG_ID = "x" * 256

# (line sent, the reply's id, the refusal's key or None for a success)
BACK_TO_BACK = [
    ({"command": "hello", "protocol": 2, "id": "again"}, "again", None),
    ({"command": "hello", "protocol": 3, "id": 3}, 3, "tethering.error.unsupportedProtocol"),
    ({"command": "hello", "protocol": 1, "id": 1}, 1, "tethering.error.unsupportedProtocol"),
    ({"command": "hello", "protocol": "2", "id": 4}, 4, "tethering.error.invalidField"),
    ({"command": "nope", "id": 5}, 5, "tethering.error.unknownCommand"),
    ({"id": 6}, 6, "tethering.error.unknownCommand"),
    ({"command": "start", "id": 7}, 7, "tethering.error.invalidField"),
    ({"command": "start", "cameraId": 5, "directory": "/x", "id": 8}, 8,
     "tethering.error.invalidField"),
    ({"command": "stop", "leave": "yes", "id": 9}, 9, "tethering.error.invalidField"),
    ({"command": "capture", "id": -10}, -10, "tethering.error.noCamera"),
    ({"command": "leftBehind", "id": LONG_ID}, LONG_ID, None),
    ({"command": "cameras", "id": LONG_ID + "x"}, None, "tethering.error.invalidId"),
    ({"command": "cameras", "id": {"nested": [1]}}, None, "tethering.error.invalidId"),
    ({"command": "cameras", "id": 1.5}, None, "tethering.error.invalidId"),
    ({"command": "cameras", "id": True}, None, "tethering.error.invalidId"),
    ({"command": "cameras", "id": "nul\u0000inside"}, "nul\u0000inside", None),
    ({"command": "cameras"}, None, None),
    ('[1, 2]', None, "tethering.error.invalidLine"),
    ('not json', None, "tethering.error.invalidLine"),
    ('', None, "tethering.error.invalidLine"),
    ('{"command":"cameras"}\u0000', None, "tethering.error.invalidLine"),
    (b'{"command":"cameras","id":"\xff"}', None, "tethering.error.invalidLine"),
    ({"command": "capture", "id": 2 ** 63 - 1}, 2 ** 63 - 1, "tethering.error.noCamera"),
]


def test_every_line_gets_one_reply_in_order_and_changes_nothing(bench):
    relay = bench.relay()
    first = relay.line(phase="idle")
    hello = relay.hello()
    assert hello["protocol"] == 2 and hello["version"]
    assert {"replies", "photos", "progress"} <= set(hello["features"])

    wire = b""
    for line, _, _ in BACK_TO_BACK:
        text = line if isinstance(line, (str, bytes)) else json.dumps(line)
        wire += (text.encode() if isinstance(text, str) else text) + b"\n"
    relay.send(wire)
    relay.ask({"command": "cameras", "id": "last"})

    replies = relay.replies()[1:]  # after hello's
    assert len(replies) == len(BACK_TO_BACK) + 1
    for reply, (line, id, key) in zip(replies, BACK_TO_BACK):
        assert reply["reply"] == id, (line, reply)
        assert reply["ok"] == (key is None), (line, reply)
        if key:
            assert reply["error"]["key"] == key and reply["error"]["text"], (line, reply)
    # Refusals change nothing: no status line, and protocol 2 stays.
    assert relay.pending_lines() == []
    assert relay.ask({"command": "hello", "protocol": 2})["protocol"] == 2
    relay.close_stdin()
    assert relay.wait_exit() == 0
    assert first["phase"] == "idle"


def test_a_session_names_every_photo_and_the_capture_that_made_it(bench, tmp_path):
    relay, device = opened(bench, tmp_path)
    start = relay.replies()[-1]
    assert start["camera"] == {"id": device.port, "model": "Virtual Camera Trigger",
                               "serial": "VC0001", "canCapture": True, "canTrigger": True,
                               "canPreview": start["camera"]["canPreview"],
                               "canConfigure": True}
    bench.camera.set_capture(pair="NEF", pair_delay_ms=100, trigger_delay_ms=100)
    assert relay.ask({"command": "capture"})["capture"] == 1
    pair = [relay.event("photo"), relay.event("photo")]
    assert {p["file"] for p in pair} == {"IMG_0001.JPG", "IMG_0001.NEF"}
    assert {p["capture"] for p in pair} == {1}
    data = bench.camera.add_photo(FOLDER, "DSC_0100.JPG", size=300_000)
    button = relay.event("photo")
    assert button["capture"] is None and button["file"] == "DSC_0100.JPG"

    for photo in pair + [button]:
        assert photo["path"] == str(tmp_path / photo["file"])
        assert photo["bytes"] == photo["cameraBytes"] == os.path.getsize(photo["path"])
        assert photo["camera"]["folder"] == FOLDER and not photo["leftBehind"]
        # Announced by its download event, and right after the "ready" line
        # that counts it.
        lines = relay.transcript()
        at = lines.index(photo)
        assert lines[at - 1]["phase"] == "ready" and lines[at - 1]["lastFile"] == photo["file"]
        download = [x for x in lines[:at] if x.get("event") == "download"
                    and x["camera"] == photo["camera"]]
        assert download and download[-1]["total"] == photo["bytes"]
    assert (tmp_path / "DSC_0100.JPG").read_bytes() == data

    stop = relay.command({"command": "stop"})
    idle = relay.wait_for(phase="idle")
    assert lines_between(relay, idle, relay.reply(stop))[-1]["ok"]


def test_a_capture_that_returns_its_photo_names_it(bench, tmp_path):
    relay, _ = opened(bench, tmp_path, model="capture")
    bench.camera.set_capture(ram=True)
    number = relay.ask({"command": "capture"})["capture"]
    photo = relay.event("photo")
    assert photo["capture"] == number and photo["camera"]["folder"] == "/"
    assert relay.ask({"command": "capture"})["capture"] == number + 1


NO_FOCUS = "Canon EOS Capture failed to release: Perhaps no focus?"


@pytest.mark.parametrize("model, result, text, key", [
    ("trigger", GP_ERROR_CAMERA_BUSY, None, "tethering.error.captureBusy"),
    ("capture", GP_ERROR_CAMERA_BUSY, None, "tethering.error.captureBusy"),
    ("trigger", GP_ERROR, NO_FOCUS, "tethering.error.focusFailed"),
])
def test_a_capture_the_camera_refuses_keeps_the_session(bench, tmp_path, model, result, text,
                                                        key):
    relay, _ = opened(bench, tmp_path, model=model)
    operation = "trigger" if model == "trigger" else "capture"
    bench.camera.set_result(operation, result, text=text)
    refused = relay.ask({"command": "capture"})
    assert not refused["ok"] and refused["error"]["key"] == key, refused
    assert refused["error"]["code"] == result
    assert refused["error"]["text"] == (text or "I/O in progress")  # libgphoto2's words
    assert [s["phase"] for s in relay.pending_lines()][-2:] == ["capturing", "ready"]
    bench.camera.set_result(operation, None)
    assert relay.ask({"command": "capture"})["capture"] == 1
    assert relay.event("photo")["capture"] == 1


def test_a_capture_failing_otherwise_takes_the_failure_road(bench, tmp_path):
    relay, _ = opened(bench, tmp_path)
    bench.camera.set_result("trigger", GP_ERROR, text="Canon EOS Capture failed: 2003")
    refused = relay.ask({"command": "capture"})
    assert refused["error"]["key"] == "tethering.error.cameraFailed"
    assert refused["error"]["code"] == GP_ERROR
    relay.wait_for(phase="error", error="Unspecified error")


def test_a_failure_names_what_it_leaves_behind_and_the_next_start_saves_it(bench, tmp_path):
    relay, device = opened(bench, tmp_path)
    camera = bench.camera
    camera.set_throttle(4 << 20)
    camera.set_capture(trigger_delay_ms=60_000)  # its photo never comes
    names = [f"IMG_{n}.JPG" for n in range(3)]
    data = {name: camera.add_file(FOLDER, name, size=2 << 20, seed=n)
            for n, name in enumerate(names)}
    camera.add_events([camera.event("file_added", FOLDER, name) for name in names])
    # Carried out after the first download; the others are announced by then.
    assert relay.ask({"command": "capture"})["capture"] == 1
    relay.event("progress", where=lambda p: p["camera"]["name"] == "IMG_1.JPG")
    bench.unplug(device)
    relay.wait_for(lambda s: s["phase"] == "error" and not s["cameras"])

    left = relay.events("photoLeftBehind")
    assert sorted(p["camera"]["name"] for p in left) == names[1:]
    assert all(p["body"] == {"model": "Virtual Camera Trigger", "serial": "VC0001"}
               and p["directory"] == str(tmp_path) and not p["heldInMemory"] for p in left)
    lost = relay.event("captureLost")
    assert lost["capture"] == 1 and lost["mayBeOnCard"]
    waiting = relay.ask({"command": "leftBehind"})["photos"]
    assert [p["camera"]["name"] for p in waiting] == [p["camera"]["name"] for p in left]

    # The same body, plugged back, started into the same folder written
    # another way.
    camera.set_throttle(0)
    again = bench.plug("trigger", address=6, serial="VC0001")
    relay.wait_for(lambda s: any(c["id"] == again.port for c in s["cameras"]))
    assert relay.ask({"command": "start", "cameraId": again.port,
                      "directory": str(tmp_path) + "//./"})["ok"]
    saved = [relay.event("photo", leftBehind=True) for _ in names[1:]]
    for photo in saved:
        assert (tmp_path / photo["file"]).read_bytes() == data[photo["camera"]["name"]]
    assert relay.ask({"command": "leftBehind"})["photos"] == []


def test_a_photo_given_up_and_files_skipped_are_named(bench, tmp_path):
    relay, device = opened(bench, tmp_path)
    camera = bench.camera
    camera.add_file(FOLDER, "IMG_1.JPG", size=1000)
    camera.set_result("file_get", GP_ERROR_IO)
    camera.add_event("file_added", FOLDER, "IMG_1.JPG")
    relay.wait_for(phase="error")
    assert relay.event("photoLeftBehind")["camera"]["name"] == "IMG_1.JPG"
    camera.set_result("file_get", None)
    camera.remove_file(FOLDER, "IMG_1.JPG")  # deleted on the camera meanwhile
    relay.ask({"command": "start", "cameraId": device.port, "directory": str(tmp_path)})
    given_up = relay.event("photoNotSaved")
    assert given_up["camera"]["name"] == "IMG_1.JPG"
    assert given_up["reason"] == "no longer on the camera"

    camera.add_events([camera.event("file_added", FOLDER, "MOV_1.MOV"),
                       camera.event("file_added", FOLDER, {"hex": "ff41"}),
                       camera.photo_event(FOLDER, "IMG_2.hif", size=100)])
    assert relay.event("fileSkipped")["reason"] == "notPhoto"
    skipped = relay.event("fileSkipped")
    assert skipped["reason"] == "nameNotUtf8" and skipped["camera"]["name"] == "\ufffdA"
    assert relay.event("photo")["file"] == "IMG_2.hif"


def test_cameras_names_each_body_by_its_serial(bench):
    bench.plug("trigger", address=5, serial="VC0042")
    bench.plug("capture", address=6, serial=None)
    relay = bench.relay()
    relay.wait_for(lambda s: len(s["cameras"]) == 2)
    relay.hello()
    cameras = {c["id"]: c for c in relay.ask({"command": "cameras"})["cameras"]}
    assert cameras["usb:001,005"]["serial"] == "VC0042"
    assert cameras["usb:001,006"]["serial"] is None
    assert cameras["usb:001,006"]["name"] == "Virtual Camera Capture"


def no_temporary_files(folder):
    return not [p for p in os.listdir(folder) if p.startswith(".lumetra-")]


def test_a_quick_stop_cuts_a_download_short_and_loses_nothing(bench, tmp_path):
    relay, device = opened(bench, tmp_path)
    camera = bench.camera
    size = 60 << 20
    camera.set_throttle(20 << 20)
    camera.add_file(FOLDER, "BIG.NEF", size=size, seed=9)
    camera.add_file(FOLDER, "NEXT.JPG", size=1000, seed=3)
    camera.add_events([camera.event("file_added", FOLDER, n) for n in ("BIG.NEF", "NEXT.JPG")])
    progress = relay.event("progress")
    assert progress["total"] == size and 0 < progress["bytes"] < size
    stop = relay.command({"command": "stop", "leave": True})
    assert relay.reply(stop, timeout=5)["ok"]
    assert relay.seen[-1]["phase"] == "idle" or relay.wait_for(phase="idle")
    assert no_temporary_files(tmp_path) and not (tmp_path / "BIG.NEF").exists()
    assert {p["camera"]["name"] for p in relay.events("photoLeftBehind")} == {"BIG.NEF",
                                                                             "NEXT.JPG"}
    progress_bytes = [p["bytes"] for p in relay.events("progress")]
    assert progress_bytes == sorted(progress_bytes)

    # Nothing queued: a quick stop is a stop.
    camera.set_throttle(0)
    assert relay.ask({"command": "start", "cameraId": device.port,
                      "directory": str(tmp_path)})["ok"]
    assert {relay.event("photo")["file"] for _ in range(2)} == {"BIG.NEF", "NEXT.JPG"}
    assert os.path.getsize(tmp_path / "BIG.NEF") == size
    assert relay.ask({"command": "stop", "leave": True})["ok"]
    assert relay.ask({"command": "leftBehind"})["photos"] == []


def test_a_quick_stop_while_a_photo_of_memory_is_written_keeps_it(bench, tmp_path):
    relay, device = opened(bench, tmp_path)
    camera = bench.camera
    size = 40 << 20
    # Sent together: the quick stop may come before, during or after the
    # photo is written; either way it is saved once, now or at the next start.
    camera.add_events([camera.photo_event("/", "capt0000.jpg", size=size, seed=4, ram=True)])
    camera.wait_for_record("ram_handover")
    assert relay.ask({"command": "stop", "leave": True})["ok"]
    assert no_temporary_files(tmp_path)
    if not relay.events("photo"):
        assert relay.event("photoLeftBehind")["heldInMemory"]
        relay.ask({"command": "start", "cameraId": device.port, "directory": str(tmp_path)})
        assert relay.event("photo")["leftBehind"]
    assert (tmp_path / "capt0000.jpg").read_bytes() == pattern_bytes(size, 4)


def test_a_hello_in_the_middle_of_a_session_takes_effect_from_there(bench, tmp_path):
    device = bench.plug("trigger")
    relay = bench.relay()
    relay.wait_for(lambda s: s["cameras"])
    relay.start(device.port, str(tmp_path))  # protocol 1: no reply
    relay.wait_for(phase="ready")
    bench.camera.add_photo(FOLDER, "IMG_1.JPG", size=100)
    relay.wait_for(count=1)
    assert relay.hello()["ok"] and relay.hello()["ok"]  # twice: still protocol 2
    assert relay.ask({"command": "capture"})["capture"] == 1
    assert relay.event("photo")["capture"] == 1
    assert [m.get("reply") for m in relay.messages if "reply" in m] == [1, 2, 3]
