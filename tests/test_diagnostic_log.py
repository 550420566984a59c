"""The diagnostic log on the virtual camera bench: it changes nothing that
the host sees, and it names the libgphoto2 call, code and phase of each
failure, with camera text escaped."""

import re

import pytest

from harness import GP_ERROR_IO, Bench

FOLDER = "/store_00010001/DCIM/100VCAM"


def session(directory, log_env):
    """A whole session on a fresh bench: start, a trigger capture, a photo
    from the camera's own button, stop, end of input. Returns the status
    lines (times masked) and the saved files."""
    bench = Bench(directory / "bench")
    photos = directory / "photos"
    photos.mkdir()
    try:
        device = bench.plug("trigger")
        bench.camera.set_capture(folder=FOLDER, size=50_000)
        relay = bench.relay(env=bench.env(**log_env))
        relay.wait_for(lambda s: s["cameras"])
        relay.start(device.port, str(photos))
        relay.wait_for(lambda s: s["cameraParameters"])
        relay.capture()
        relay.wait_for(count=1)
        bench.camera.add_photo(FOLDER, "IMG_0100.JPG", size=70_000)
        relay.wait_for(count=2, phase="ready")
        relay.stop()
        relay.wait_for(phase="idle")
        relay.close_stdin()
        assert relay.wait_exit() == 0
        lines = relay.seen + relay.pending_lines()
    finally:
        bench.close()
    for line in lines:
        for key in ("transferMs", "flushMs"):
            line["lastTransfer"].pop(key, None)
    return lines, {p.name: p.read_bytes() for p in photos.iterdir()}


def test_the_log_changes_nothing_the_host_sees(tmp_path):
    log = tmp_path / "debug.log"
    quiet = session(tmp_path / "none", {})
    assert session(tmp_path / "debug", {"CAMRELAY_LOG": str(log),
                                         "CAMRELAY_LOG_LEVEL": "debug"}) == quiet
    text = log.read_text()
    assert "saved /store_00010001/DCIM/100VCAM/IMG_0100.JPG as IMG_0100.JPG: 70000 bytes" in text
    # The stop came soon after the capture, whose photo had come: it waits
    # for what a photo of the camera's own button may have hidden.
    assert re.search(r"\n[\d.]+ stop waits up to \d\.\d s of camera time for the last trigger's "
                     r"own photo \(fired \d\.\d s before\)\n(.*\n)*[\d.]+ stop waited \d\.\d s, "
                     r"\d\.\d s of it for the camera\n", text), text
    for unusable in ("relative.log", str(tmp_path / "missing" / "x.log"), str(tmp_path)):
        assert session(tmp_path / f"bad{len(unusable)}", {"CAMRELAY_LOG": unusable}) == quiet


def unplug(bench, device, relay):
    bench.unplug(device)
    relay.wait_for(phase="disconnected")


def failed_start(bench, device, relay):
    bench.camera.set_result("camera_init", GP_ERROR_IO)


def failed_download(bench, device, relay):
    # The failed photo and the one queued behind it are left behind, and
    # named as not saved when the program ends.
    bench.camera.add_file(FOLDER, "BAD.JPG", size=10_000, result=GP_ERROR_IO, fail_after=100)
    bench.camera.add_file(FOLDER, "NEXT.JPG", size=10)
    bench.camera.add_events([bench.camera.event("file_added", FOLDER, n)
                             for n in ("BAD.JPG", "NEXT.JPG")])
    relay.wait_for(phase="error")


@pytest.mark.parametrize("fault, before_start, expected", [
    (failed_start, True,
     ["failed: gp_camera_init returned -7 (I/O problem) in phase connecting"]),
    (unplug, False,
     ["failed: gp_camera_wait_for_event returned -7 (I/O problem) in phase ready"]),
    (failed_download, False,
     ["failed: gp_camera_file_get returned -7 (I/O problem) in phase transferring",
      f"photo left behind: {FOLDER}/BAD.JPG, on the camera",
      f"photo left behind: {FOLDER}/NEXT.JPG, on the camera",
      f"photo not saved: {FOLDER}/NEXT.JPG: the program ending"]),
], ids=["start", "unplug", "download"])
def test_a_failure_names_its_call_code_and_phase(bench, tmp_path, fault, before_start, expected):
    log = tmp_path / "camrelay.log"
    device = bench.plug("trigger")
    relay = bench.relay(env=bench.env(CAMRELAY_LOG=str(log)))
    relay.wait_for(lambda s: s["cameras"])
    if before_start:
        fault(bench, device, relay)
    relay.start(device.port, str(tmp_path))
    relay.wait_for(lambda s: s["phase"] in ("ready", "error"))
    if not before_start:
        fault(bench, device, relay)
    relay.close_stdin()
    relay.wait_exit()
    text = log.read_text()
    assert all(line in text for line in expected), text


def test_hostile_camera_text_stays_on_one_escaped_line(bench, tmp_path):
    log = tmp_path / "camrelay.log"
    device = bench.plug("trigger")
    relay = bench.relay(env=bench.env(CAMRELAY_LOG=str(log)))
    relay.wait_for(lambda s: s["cameras"])
    relay.start(device.port, str(tmp_path))
    relay.wait_for(phase="ready")
    bench.camera.add_photo(FOLDER, b"EVIL\nFORGED 1.0 line\xff.JPG", size=10)
    bench.camera.add_photo(FOLDER, "IMG_0001.JPG", size=10)
    relay.wait_for(lastFile="IMG_0001.JPG")
    relay.close_stdin()
    relay.wait_exit()
    forged = [line for line in log.read_text(errors="strict").splitlines() if "FORGED" in line]
    assert len(forged) == 1
    assert forged[0].endswith(f"camera file {FOLDER}/EVIL\\x0AFORGED 1.0 line\\xFF.JPG: "
                              "no photo: ignored")
