"""The camera session on the virtual camera bench: "start", "capture" and
"stop", a camera that is unplugged or fails while it is open, and shutdown
with a camera open."""

import ctypes
import signal

import pytest

from harness import (GP_ERROR, GP_ERROR_IO, GP_ERROR_IO_USB_CLAIM, GP_ERROR_IO_USB_FIND,
                     GP_ERROR_TIMEOUT)

UNAVAILABLE = "tethering.error.cameraUnavailable"
CHOOSE_FOLDER = "tethering.error.chooseFolder"
CAMERA_BUSY = "tethering.error.cameraBusy"


def gp_text(code):
    library = ctypes.CDLL("libgphoto2.so.6")
    library.gp_result_as_string.restype = ctypes.c_char_p
    return library.gp_result_as_string(code).decode()


def echo(relay):
    """An unknown command gets one unchanged line: a marker after which no
    line of an earlier command can come any more."""
    relay.send({"command": "echo"})


def discovered(bench, *devices):
    relay = bench.relay()
    relay.line(phase="idle")
    ports = {d.port for d in devices}
    relay.wait_for(lambda s: {c["id"] for c in s["cameras"]} == ports)
    return relay


def open_session(bench, relay, device, folder):
    """Starts a session and waits for its first parameter read, after which
    the camera writes no line of its own while nothing happens."""
    relay.start(device.port, str(folder))
    relay.line(phase="connecting", cameraId=device.port, error="")
    ready = relay.line(phase="ready", cameraId=device.port)
    relay.wait_for(lambda s: s["cameraParameters"] or s["cameraParametersUnavailable"])
    return ready


def test_start_naming_no_listed_camera(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    relay = bench.relay()
    # Read in the first iteration, before the first discovery.
    relay.start(device.port, str(tmp_path))
    relay.line(phase="idle")
    relay.line(phase="error", error=UNAVAILABLE, cameraId="", cameras=[])
    relay.wait_for(lambda s: s["cameras"])
    relay.start("usb:009,009", str(tmp_path))
    relay.line(phase="error", error=UNAVAILABLE, cameraId="")
    assert bench.camera.records("init") == []


def test_start_with_a_bad_folder(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    relay = discovered(bench, device)
    relay.send({"command": "start", "cameraId": device.port})
    relay.line(phase="error", error=CHOOSE_FOLDER, cameraId="")
    relay.start(device.port, 17)
    relay.line(phase="error", error=CHOOSE_FOLDER, cameraId="")
    relay.start(device.port, "photos/today")
    relay.line(phase="error", error=CHOOSE_FOLDER, cameraId="")
    assert bench.camera.records("init") == []


def test_busy_camera_then_a_start_that_clears_the_error(bench, tmp_path):
    device = bench.plug("capture", bus=1, address=5)
    relay = discovered(bench, device)
    bench.camera.set_result("camera_init", GP_ERROR_IO_USB_CLAIM)
    relay.start(device.port, str(tmp_path))
    relay.line(phase="connecting", cameraId=device.port, error="")
    relay.line(phase="error", error=CAMERA_BUSY, cameraId="", canCapture=False)

    bench.camera.set_result("camera_init", None)
    ready = open_session(bench, relay, device, tmp_path)
    assert ready["error"] == ""
    assert ready["canCapture"] is True
    assert (ready["pendingCount"], ready["count"], ready["lastFile"], ready["lastTransfer"]) == (
        0, 0, "", {})


def test_start_while_open_is_ignored(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    other = bench.plug("capture", bus=2, address=3)
    relay = discovered(bench, device, other)
    open_session(bench, relay, device, tmp_path)
    relay.start(other.port, "/elsewhere")
    echo(relay)
    relay.line(phase="ready", cameraId=device.port)
    assert [r["port"] for r in bench.camera.records("init")] == [device.port]


@pytest.mark.parametrize("key,renamed", [("capture", False), ("sony-capture", True)])
def test_sony_names_only_for_sony_vendor(bench, tmp_path, key, renamed):
    device = bench.plug(key, bus=1, address=5)
    relay = discovered(bench, device)
    bench.camera.set_capture("/", "capt_####.JPG")
    open_session(bench, relay, device, tmp_path)
    relay.capture()
    relay.line(phase="capturing")
    relay.line(phase="ready", pendingCount=1)
    saved = relay.wait_for(phase="ready", count=1)
    assert saved["lastFile"] == ("0001.JPG" if renamed else "capt_0001.JPG")


def test_trigger_capture_queues_the_file_from_its_event(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    relay = discovered(bench, device)
    bench.camera.set_capture(trigger_delay_ms=300)
    open_session(bench, relay, device, tmp_path)
    relay.capture()
    relay.line(phase="capturing", pendingCount=0)
    relay.line(phase="ready", pendingCount=0)
    relay.line(phase="transferring", pendingCount=1)
    relay.line(phase="ready", count=1, lastFile="IMG_0001.JPG")
    assert (tmp_path / "IMG_0001.JPG").read_bytes() == bench.camera.capture_bytes()
    assert len(bench.camera.records("trigger")) == 1
    assert bench.camera.records("capture") == []


def test_capture_only_camera_queues_the_file_at_once(bench, tmp_path):
    device = bench.plug("capture", bus=1, address=5)
    relay = discovered(bench, device)
    open_session(bench, relay, device, tmp_path)
    relay.capture()
    relay.line(phase="capturing", pendingCount=0)
    relay.line(phase="ready", pendingCount=1)
    relay.line(phase="transferring", pendingCount=1)
    relay.line(phase="ready", count=1, pendingCount=0, lastFile="IMG_0001.JPG")
    assert len(bench.camera.records("capture")) == 1


def test_camera_without_capture_writes_one_unchanged_line(bench, tmp_path):
    device = bench.plug("viewer", bus=1, address=5)
    relay = discovered(bench, device)
    ready = open_session(bench, relay, device, tmp_path)
    assert ready["canCapture"] is False
    relay.capture()
    relay.line(phase="ready", canCapture=False)
    echo(relay)
    relay.line(phase="ready")


def test_failed_capture_closes_the_camera(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    relay = discovered(bench, device)
    open_session(bench, relay, device, tmp_path)
    bench.camera.set_result("trigger", GP_ERROR_IO)
    relay.capture()
    relay.line(phase="capturing")
    relay.line(phase="error", error=gp_text(GP_ERROR_IO), cameraId="", canCapture=False)
    bench.camera.wait_for_record("exit")


@pytest.mark.parametrize("code", [GP_ERROR_IO_USB_FIND, GP_ERROR_IO, GP_ERROR_TIMEOUT, GP_ERROR])
def test_unplugging_an_open_camera(bench, tmp_path, code):
    device = bench.plug("trigger", bus=1, address=5)
    stays = bench.plug("capture", bus=2, address=3)
    relay = discovered(bench, device, stays)
    bench.camera.set_unplugged_result(code)
    open_session(bench, relay, device, tmp_path)

    bench.unplug(device)
    text = gp_text(code)
    relay.line(phase="error", error=text, cameraId="")
    relay.line(phase="error", error=text, cameras=[
        {"id": stays.port, "name": stays.model.name, "linkMbps": stays.link_mbps}])
    relay.line(phase="disconnected", error=text, cameraId="")

    # "stop" leaves "disconnected" for "idle" without the error.
    relay.stop()
    relay.line(phase="stopping", error=text)
    relay.line(phase="idle", error="", cameraId="")


def test_event_failure_of_a_listed_camera_stays_an_error(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    relay = discovered(bench, device)
    open_session(bench, relay, device, tmp_path)
    bench.camera.fail_event(GP_ERROR_IO)
    relay.line(phase="error", error=gp_text(GP_ERROR_IO), cameraId="")
    echo(relay)
    relay.line(phase="error", error=gp_text(GP_ERROR_IO))

    relay.stop()
    relay.line(phase="stopping")
    relay.line(phase="idle", error="")


def test_sigterm_closes_the_open_camera(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    relay = discovered(bench, device)
    open_session(bench, relay, device, tmp_path)
    relay.send_signal(signal.SIGTERM)
    assert relay.wait_exit() == 0
    assert len(bench.camera.records("exit")) == 1
    # The event wait that the signal cut short is no camera failure.
    assert relay.pending_lines() == []
