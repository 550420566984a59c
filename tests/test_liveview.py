"""Live view on the virtual camera bench and the emulated D750: whole
frames in the host's file, a reply with the first one, refusals that keep
the session, every end with the viewfinder put back and no temporary file
left, photos, captures and commands going on meanwhile."""

import errno
import os
import signal
import sys
import threading
from pathlib import Path

import pytest

from harness import GP_ERROR, GP_ERROR_CAMERA_BUSY, GP_ERROR_IO, frame_number, frame_size

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "d750"))

import d750  # noqa: E402

FOLDER = "/store_00010001/DCIM/100VCAM"


def opened(bench, tmp_path):
    """camrelay in protocol 2 with a trigger camera open into tmp_path/photos;
    (relay, device, folder for frame files)."""
    device = bench.plug("trigger")
    relay = bench.relay()
    relay.hello()
    relay.wait_for(lambda s: s["cameras"])
    (tmp_path / "photos").mkdir()
    frames = tmp_path / "frames"
    frames.mkdir()
    assert relay.ask({"command": "start", "cameraId": device.port,
                      "directory": str(tmp_path / "photos")})["ok"]
    return relay, device, frames


def live_view(relay, path, **fields):
    return relay.ask({"command": "liveView", "on": True, "path": str(path), **fields})


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.startswith(".lumetra-")]


def put_back(camera):
    """Whether camrelay turned the viewfinder off (not the camera's close)."""
    changes = camera.records("viewfinder")
    return not camera.viewfinder() and changes[-1]["by"] == "set_config"


def ends_match_frames(relay):
    """Whether each liveViewEnded counts the frame events before it."""
    seq = 0
    for line in relay.transcript():
        if line.get("event") == "frame":
            seq = line["seq"]
        elif line.get("event") == "liveViewEnded" and line["frames"] != seq:
            return False
    return True


def test_frames_come_whole_in_order_and_the_reply_with_the_first(bench, tmp_path):
    relay, _, frames = opened(bench, tmp_path)
    path = frames / "live.jpg"
    on = relay.command({"command": "liveView", "on": True, "path": str(path), "fps": 30})
    assert relay.reply(on) == {"reply": on, "ok": True, "fps": 30}
    lines = relay.transcript()
    first = relay.event("frame")
    assert lines.index(first) < lines.index(relay.reply(on))
    assert first["seq"] == 1 and (first["width"], first["height"]) == (640, 424)

    # Whatever moment the host reads the file, it finds a whole frame, and
    # never one older than the last it read.
    seen, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            data = path.read_bytes()
            try:
                whole = data.startswith(b"\xff\xd8") and data.endswith(b"\xff\xd9")
                seen.append(frame_number(data) if whole and frame_size(data) == (640, 424)
                            else None)
            except ValueError:
                seen.append(None)

    thread = threading.Thread(target=reader)
    thread.start()
    relay.event("frame", seq=40)
    stop.set()
    thread.join()
    assert None not in seen and len(set(seen)) > 2 and seen == sorted(seen)
    assert bench.camera.viewfinder()
    numbers = [e["seq"] for e in relay.events("frame")]
    assert numbers == list(range(1, len(numbers) + 1))

    assert relay.ask({"command": "liveView", "on": False})["ok"]
    ended = relay.events("liveViewEnded")
    assert [e["reason"] for e in ended] == ["off"] and ends_match_frames(relay)
    assert put_back(bench.camera) and leftovers(frames) == []
    assert frame_number(path.read_bytes()) == bench.camera.state()["frames"]  # the last stays


# (what the camera does, the frame file, the refusal's key, its code)
REFUSALS = [
    ("no preview", "live.jpg", "tethering.error.notSupported", -6),
    ("busy", "live.jpg", "tethering.error.liveViewBusy", GP_ERROR_CAMERA_BUSY),
    ("failing", "live.jpg", "tethering.error.liveViewFailed", GP_ERROR),
    ("", "missing/live.jpg", "tethering.error.invalidPath", None),
    ("", "../photos/live.jpg", "tethering.error.invalidPath", None),
]


@pytest.mark.parametrize("camera, name, key, code", REFUSALS)
def test_a_refused_start_changes_nothing(bench, tmp_path, camera, name, key, code):
    relay, _, frames = opened(bench, tmp_path)
    if camera == "no preview":
        bench.camera.set_preview(False)
    elif camera == "busy":
        bench.camera.set_vendor("sony")  # busy at once
        bench.camera.set_busy("preview", 1)
    elif camera == "failing":
        bench.camera.set_result("preview", GP_ERROR, text="Liveview cannot start: TTL error")
    reply = live_view(relay, frames / name)
    assert not reply["ok"] and reply["error"]["key"] == key, reply
    assert reply["error"].get("code") == code
    assert relay.events("frame") == relay.events("liveViewEnded") == []
    assert not bench.camera.viewfinder() and os.listdir(frames) == []
    # The session goes on, and live view starts once the camera can.
    bench.camera.set_preview(True)
    bench.camera.set_result("preview", None)
    assert live_view(relay, frames / "live.jpg")["ok"]
    assert live_view(relay, frames / "live.jpg")["error"]["key"] == "tethering.error.liveViewOn"


@pytest.mark.parametrize("end, reason", [
    ({"command": "liveView", "on": False}, "off"),
    ({"command": "stop"}, "stop"),
    ({"command": "stop", "leave": True}, "stop"),
    ("input", "inputEnded"),
    (signal.SIGTERM, None),
    (signal.SIGINT, None),
])
def test_every_end_puts_the_viewfinder_back_and_leaves_the_last_frame(bench, tmp_path, end,
                                                                      reason):
    relay, _, frames = opened(bench, tmp_path)
    assert live_view(relay, frames / "live.jpg")["ok"]
    relay.event("frame", seq=5)
    if isinstance(end, dict):
        reply = relay.ask(end)
        lines = relay.transcript()
        assert lines.index(relay.event("liveViewEnded")) < lines.index(reply)
    elif end == "input":
        relay.close_stdin()
    else:
        relay.send_signal(end)
    if not isinstance(end, dict):
        assert relay.wait_exit() == 0
    assert [e["reason"] for e in relay.events("liveViewEnded")] == ([reason] if reason else [])
    assert ends_match_frames(relay) and put_back(bench.camera)
    assert leftovers(frames) == [] and frame_number((frames / "live.jpg").read_bytes()) > 0


def test_photos_and_captures_go_ahead_of_frames(bench, tmp_path):
    relay, _, frames = opened(bench, tmp_path)
    assert live_view(relay, frames / "live.jpg", fps=30)["ok"]
    bench.camera.set_throttle(2_000_000)  # each photo takes half a second
    bench.camera.add_card_photos(FOLDER, ["DSC_0001.JPG", "DSC_0002.JPG"], size=1_000_000)
    assert relay.ask({"command": "capture"})["capture"] == 1
    photos = [relay.event("photo") for _ in range(3)]
    assert [p["capture"] for p in photos if p["file"] == "IMG_0001.JPG"] == [1]
    last = relay.events("frame")[-1]["seq"]
    relay.event("frame", seq=last + 3)  # frames go on after the photos
    # Not a frame while a photo was on its way: from its download event to
    # the photo event that names it.
    lines = relay.transcript()
    for photo in photos:
        end = lines.index(photo)
        begin = max(i for i, line in enumerate(lines[:end]) if line.get("event") == "download")
        assert not [x for x in lines[begin:end] if x.get("event") == "frame"]


@pytest.mark.parametrize("answer, reason", [
    ("busy", "busy"),
    (GP_ERROR, "frameFailed"),
])
def test_frames_the_camera_does_not_give_are_skipped_then_end_live_view(bench, tmp_path,
                                                                        answer, reason):
    relay, _, frames = opened(bench, tmp_path)
    assert live_view(relay, frames / "live.jpg")["ok"]
    bench.camera.set_busy("preview", 3)  # a few: skipped, and frames go on
    relay.event("frame", seq=2)
    assert relay.events("liveViewEnded") == []
    if answer == "busy":
        bench.camera.set_busy("preview", 10_000)
    else:
        bench.camera.set_result("preview", answer, text="no frame")
    ended = relay.event("liveViewEnded", timeout=20)
    assert ended["reason"] == reason and ends_match_frames(relay)
    assert ended["code"] == (GP_ERROR_CAMERA_BUSY if answer == "busy" else GP_ERROR)
    assert put_back(bench.camera)
    # The session goes on.
    assert relay.ask({"command": "capture"})["ok"] and relay.event("photo")


@pytest.mark.parametrize("how", ["unplugged", "port failing"])
def test_a_camera_failure_takes_the_failure_road(bench, tmp_path, how):
    relay, device, frames = opened(bench, tmp_path)
    assert live_view(relay, frames / "live.jpg")["ok"]
    relay.event("frame", seq=2)
    if how == "unplugged":
        bench.unplug(device)
    else:
        bench.camera.set_result("preview", GP_ERROR_IO)
    assert relay.event("liveViewEnded")["reason"] == "failure"
    relay.wait_for(phase="disconnected" if how == "unplugged" else "error")
    assert leftovers(frames) == []


@pytest.mark.parametrize("mishap", ["folder removed", "disk full"])
def test_a_frame_file_that_cannot_be_written_ends_live_view(bench, tmp_path, small_disk, mishap):
    relay, _, frames = opened(bench, tmp_path)
    folder = frames / "sub" if mishap == "folder removed" else small_disk
    folder.mkdir(exist_ok=True)
    assert live_view(relay, folder / "live.jpg")["ok"]
    relay.event("frame", seq=2)
    if mishap == "folder removed":
        os.rename(folder, frames / "elsewhere")
        folder = frames / "elsewhere"
    else:  # filled to the last byte
        fd = os.open(folder / "filler", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError, match="No space left"):
            while os.write(fd, bytes(65536)):
                pass
        os.close(fd)
    ended = relay.event("liveViewEnded")
    assert ended["reason"] == "writeFailed"
    assert ended["text"] == os.strerror(errno.ENOENT if mishap == "folder removed"
                                        else errno.ENOSPC)
    assert leftovers(folder) == [] and put_back(bench.camera)
    assert relay.ask({"command": "capture"})["ok"] and relay.event("photo")


def test_bad_input_is_refused_and_changes_nothing(bench, tmp_path):
    relay, _, frames = opened(bench, tmp_path)
    path = str(frames / "live.jpg")
    assert relay.ask({"command": "liveView", "on": False})["ok"]  # off while off: nothing
    # on and off back to back, twice: each its reply, in order.
    ids = [relay.command({"command": "liveView", "on": on, "path": path})
           for on in (True, False, True, False)]
    assert [relay.reply(i)["ok"] for i in ids] == [True] * 4
    assert len(relay.events("liveViewEnded")) == 2 and ends_match_frames(relay)

    assert live_view(relay, path)["ok"]
    for fps in (0, 1000, -1, "15"):
        refused = live_view(relay, frames / "other.jpg", fps=fps)
        assert refused["error"]["key"] == "tethering.error.invalidField", refused
    relay.event("frame", seq=relay.events("frame")[-1]["seq"] + 2)  # live view goes on
    assert len(relay.events("liveViewEnded")) == 2 and not (frames / "other.jpg").exists()


@pytest.mark.skipif(d750.missing() is not None, reason=str(d750.missing()))
def test_the_d750_has_no_live_view_and_its_session_goes_on(tmp_path):
    bench = d750.D750Bench(tmp_path / "bench", road="nikon")
    try:
        bench.plug()
        relay = bench.relay()
        relay.hello()
        relay.wait_for(lambda s: s["cameras"], timeout=30)
        assert relay.ask({"command": "start", "cameraId": d750.PORT,
                          "directory": str(tmp_path)}, timeout=30)["ok"]
        (tmp_path / "frames").mkdir()
        reply = live_view(relay, tmp_path / "frames" / "live.jpg")
        assert reply["error"] == {"key": "tethering.error.notSupported", "code": -6,
                                  "text": "Sorry, your Nikon camera does not support LiveView mode"}
        data = bench.photo("DSC_0100.JPG")
        assert relay.event("photo")["file"] == "DSC_0100.JPG"
        assert (tmp_path / "DSC_0100.JPG").read_bytes() == data
        assert os.listdir(tmp_path / "frames") == []
    finally:
        bench.close()
