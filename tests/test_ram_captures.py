"""Photos that the camera keeps only in its memory (the default capture
target of Nikon, Canon EOS and Sony cameras): libgphoto2 holds each in its
cache from the moment it is announced, and only the newest three, so
camrelay must fetch them as they come; and a photo whose capture is still in
flight when the session ends must be waited for. Each photo exists nowhere
else."""

import os
import time

import pytest
from harness import minor_faults, rss_anon_kib


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


def test_a_burst_of_ram_photos_is_saved_whole(bench, destination):
    relay = open_session(bench, destination, "trigger")
    expected = bench.camera.add_ram_photos([f"capt{n:04d}.jpg" for n in range(8)], size=50_000)
    assert_all_saved(relay, destination, expected)
    # Taken one by one as they came: never more than one waited.
    assert max(s["pendingCount"] for s in relay.seen) == 1


@pytest.mark.skipif("CAMRELAY_ASAN_RUNTIME" in os.environ,
                    reason="the sanitizer's allocator stands in for glibc's")
def test_a_burst_reuses_the_memory_of_its_photos_and_hands_it_back(bench, destination):
    size, pages = 8_000_000, 8_000_000 // 4096
    relay = open_session(bench, destination, "trigger")
    pid = relay.proc.pid
    before = rss_anon_kib(pid)
    names = [f"capt{n:04d}.jpg" for n in range(8)]
    # The cache's three photos and the one being gathered: fresh memory.
    expected = bench.camera.add_ram_photos(names[:4], size=size)
    relay.wait_for(count=4, timeout=30)
    faults = minor_faults(pid)
    expected |= bench.camera.add_ram_photos(names[4:], size=size)
    assert_all_saved(relay, destination, expected)
    # Each later photo is gathered into the pages of the one the cache let
    # go, not into fresh ones (a fault for each of its pages: four photos'
    # worth). On a slow machine a hand-back or two may fall inside the
    # burst: one photo's pages afresh each.
    assert minor_faults(pid) - faults < 2.5 * pages

    def handed_back_to(kib):
        deadline = time.monotonic() + 15
        while rss_anon_kib(pid) > kib and time.monotonic() < deadline:
            time.sleep(0.2)
        return rss_anon_kib(pid) <= kib

    # With the camera open only the cache's three photos stay; once it is
    # closed, none.
    assert handed_back_to(before + 3.5 * size / 1024)
    relay.stop()
    relay.wait_for(phase="idle")
    assert handed_back_to(before + 0.5 * size / 1024)


def test_captures_into_camera_memory_in_one_write_are_saved(bench, destination):
    camera = bench.camera
    camera.set_capture(ram=True, size=50_000)
    relay = open_session(bench, destination, "capture")
    relay.send('{"command":"capture"}\n' * 5)
    assert_all_saved(relay, destination, {f"capt{n:04d}.jpg": camera.capture_bytes()
                                       for n in range(5)})


# -- the end of a session waits for captures in flight -------------------------

IN_FLIGHT = {
    # name: set_capture options, photos of the camera's own button that come
    # first, the files of the captures
    "one": ({"trigger_delay_ms": 500}, [], ["capt0000.jpg"]),
    "raw_and_jpeg": ({"trigger_delay_ms": 100, "pair": "nef", "pair_delay_ms": 300}, [],
                     ["capt0000.jpg", "capt0000.nef"]),
    # Each button photo ends a capture in flight: one cannot tell them apart.
    "after_button_photos": ({"trigger_delay_ms": 800}, ["DSC0001.jpg", "DSC0002.jpg"],
                            ["capt0000.jpg", "capt0001.jpg"]),
    "never_announced": ({"trigger_delay_ms": 600_000}, [], []),
}


@pytest.mark.parametrize("ending", ["stop", "end_of_input"])
@pytest.mark.parametrize("case", IN_FLIGHT)
def test_the_end_of_a_session_waits_for_captures_in_flight(bench, destination, case, ending):
    options, button, files = IN_FLIGHT[case]
    camera = bench.camera
    camera.set_capture(ram=True, size=30_000, **options)
    relay = open_session(bench, destination, "trigger")
    captures = '{"command":"capture"}\n' * (len(button) or 1)
    relay.send(captures + ('{"command":"stop"}\n' if ending == "stop" and not button else ""))
    for _ in range(len(button) or 1):
        relay.line(phase="capturing")
        relay.line(phase="ready")
    expected = {n: camera.capture_bytes() for n in files}
    if button:
        expected.update(camera.add_ram_photos(button, size=1000))
        if ending == "stop":
            relay.stop()
    if ending == "end_of_input":
        relay.close_stdin()
    # The end of input comes in a read of its own: a photo may be saved first.
    relay.wait_for(phase="stopping")
    if ending == "stop":
        end = relay.wait_for(lambda s: s["phase"] != "stopping")
        assert (end["phase"], end["count"]) == ("idle", len(expected))
    assert relay.wait_exit() == 0 if ending == "end_of_input" else True
    assert all(s["error"] == "" for s in relay.seen)
    assert sorted(p.name for p in destination.iterdir()) == sorted(expected)
    assert all((destination / n).read_bytes() == data for n, data in expected.items())
