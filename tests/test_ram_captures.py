"""Photos that the camera keeps only in its memory (the default capture
target of Nikon, Canon EOS and Sony cameras): libgphoto2 holds each in its
cache from the moment it is announced, and only the newest three, so
camrelay must fetch them as they come. Each photo exists nowhere else."""

import pytest

LOSES_PHOTOS = pytest.mark.xfail(strict=True,
                                 reason="camrelay drains every announcement before downloading")


@pytest.fixture
def destination(tmp_path):
    folder = tmp_path / "photos"
    folder.mkdir()
    return folder


def open_session(bench, destination, model):
    device = bench.plug(model)
    relay = bench.relay()
    relay.line(phase="idle")
    relay.wait_for(lambda s: s["cameras"], timeout=15)
    relay.start(device.port, str(destination))
    relay.wait_for(phase="ready", where=lambda s: s["cameraParameters"])
    return relay


def assert_all_saved(relay, destination, expected):
    """Every photo saved byte for byte, and no "error" line on the way."""
    last = relay.wait_for(lambda s: s["count"] == len(expected) or s["error"], timeout=30)
    errors = [s["error"] for s in relay.seen if s["error"]]
    assert errors == [], f"{last['count']} of {len(expected)} saved"
    for name, data in expected.items():
        assert (destination / name).read_bytes() == data, name


@LOSES_PHOTOS
def test_a_burst_of_ram_photos_is_saved_whole(bench, destination):
    relay = open_session(bench, destination, "trigger")
    expected = bench.camera.add_ram_photos([f"capt{n:04d}.jpg" for n in range(8)], size=50_000)
    assert_all_saved(relay, destination, expected)


@LOSES_PHOTOS
def test_captures_into_camera_memory_in_one_write_are_saved(bench, destination):
    camera = bench.camera
    camera.set_capture(ram=True, size=50_000)
    relay = open_session(bench, destination, "capture")
    relay.send('{"command":"capture"}\n' * 5)
    assert_all_saved(relay, destination, {f"capt{n:04d}.jpg": camera.capture_bytes()
                                       for n in range(5)})
