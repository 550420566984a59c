"""Process-level tests of the download pipeline on the virtual camera bench:
naming and queueing, the metrics and status lines of a download, and every
failure path, each of which must close the camera, drop the queue and leave
no temporary file behind."""

import errno
import os
import signal
from pathlib import Path

import pytest

from harness import GP_ERROR_IO, pattern_bytes

FOLDER = "/store_00010001/DCIM/100VCAM"


def open_session(bench, destination, model="capture", env=None, address=5):
    """Starts camrelay, opens a camera of `model` for `destination` and
    waits for the first parameter read, so that later lines come only from
    downloads (repeated reads of an unchanged tree write nothing)."""
    device = bench.plug(model, address=address)
    relay = bench.relay(env=env)
    relay.line(phase="idle")
    relay.wait_for(lambda s: s["cameras"], timeout=15)
    start(relay, device, destination)
    return device, relay


def start(relay, device, destination):
    relay.start(device.port, str(destination))
    relay.line(phase="connecting")
    relay.line(phase="ready", count=0, lastFile="", lastTransfer={})
    relay.line(phase="ready", timeout=5, where=lambda s: s["cameraParameters"])


def saved(relay, pending=0, **fields):
    """One download: a "transferring" line, then its "ready" line."""
    relay.line(phase="transferring", pendingCount=pending + 1)
    return relay.line(phase="ready", pendingCount=pending, **fields)


def leftovers(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.startswith(".lumetra-"))


def file_gets(bench):
    return [r for r in bench.camera.records("file_get")]


@pytest.fixture
def destination(tmp_path):
    folder = tmp_path / "photos"
    folder.mkdir()
    return folder


# -- naming and queueing -------------------------------------------------------


def test_taken_names_get_numbers_and_existing_files_stay_untouched(bench, destination):
    (destination / "IMG_0001.JPG").write_bytes(b"first")
    (destination / "IMG_0001_1.JPG").write_bytes(b"second")
    _, relay = open_session(bench, destination)
    data = bench.camera.add_photo(FOLDER, "IMG_0001.JPG", size=3000)
    line = saved(relay, count=1, lastFile="IMG_0001_2.JPG")
    assert line["lastTransfer"]["bytes"] == 3000
    assert (destination / "IMG_0001.JPG").read_bytes() == b"first"
    assert (destination / "IMG_0001_1.JPG").read_bytes() == b"second"
    assert (destination / "IMG_0001_2.JPG").read_bytes() == data

    # Case is kept on save; the photo test ignores it.
    data = bench.camera.add_photo(FOLDER, "DSC0001.Jpg", size=10)
    saved(relay, count=2, lastFile="DSC0001.Jpg")
    assert (destination / "DSC0001.Jpg").read_bytes() == data
    assert leftovers(destination) == []


def test_sony_capture_names_restart_each_session_without_overwriting(bench, destination):
    # Debian 12's libgphoto2 names Sony captures capt0000.jpg, capt0001.arw,
    # ... in the root folder, counting from 0 again after every start.
    bench.camera.set_capture(folder="/", name="capt####.jpg", counter_start=0, size=500, seed=1)
    device, relay = open_session(bench, destination, model="sony")
    relay.capture()
    relay.line(phase="capturing")
    relay.line(phase="ready")
    first = saved(relay, count=1, lastFile="capt0000.jpg")
    assert first["cameraId"] == device.port
    relay.stop()
    relay.line(phase="stopping")
    relay.line(phase="idle")

    bench.camera.set_capture(folder="/", name="capt####.jpg", counter_start=0, size=700, seed=2)
    start(relay, device, destination)
    relay.capture()
    relay.line(phase="capturing")
    relay.line(phase="ready")
    saved(relay, count=1, lastFile="capt0000_1.jpg")
    assert (destination / "capt0000.jpg").read_bytes() == pattern_bytes(500, 1)
    assert (destination / "capt0000_1.jpg").read_bytes() == pattern_bytes(700, 2)


def test_capt_prefix_is_dropped_only_for_sony_root_captures(bench, destination):
    camera = bench.camera
    _, relay = open_session(bench, destination, model="sony")
    camera.add_photo("/", "capt_DSC00001.ARW", size=10)
    saved(relay, count=1, lastFile="DSC00001.ARW")
    camera.add_photo("/DCIM", "capt_DSC00002.ARW", size=10)
    saved(relay, count=2, lastFile="capt_DSC00002.ARW")
    # Its identity keeps the camera's name: reported again, it is not fetched.
    camera.add_event("file_added", "/", "capt_DSC00001.ARW")
    relay.expect_no_line(1.0)
    relay.stop()
    relay.line(phase="stopping")
    relay.line(phase="idle")
    relay.close_stdin()
    assert relay.wait_exit() == 0

    other = destination / "other"
    other.mkdir()
    _, relay = open_session(bench, other, model="trigger", address=6)
    camera.add_photo("/", "capt_DSC00003.ARW", size=10)
    saved(relay, count=1, lastFile="capt_DSC00003.ARW")


def test_only_photo_names_are_queued(bench, destination):
    camera = bench.camera
    _, relay = open_session(bench, destination)
    camera.add_photo(FOLDER, "MVI_0001.MOV", size=10)
    camera.add_photo(FOLDER, "README", size=10)
    camera.add_photo(FOLDER, "jpg", size=10)
    relay.expect_no_line(1.0)
    camera.add_photo(FOLDER, "IMG_0002.JPG", size=10)
    saved(relay, count=1, lastFile="IMG_0002.JPG")
    assert [r["name"] for r in file_gets(bench)] == ["IMG_0002.JPG"]
    assert sorted(p.name for p in destination.iterdir()) == ["IMG_0002.JPG"]


def test_a_file_reported_by_capture_and_by_an_event_is_fetched_once(bench, destination):
    camera = bench.camera
    camera.set_capture(folder=FOLDER, name="IMG_####.JPG", counter_start=1, size=100)
    camera.set_throttle(400_000)
    _, relay = open_session(bench, destination)
    camera.add_photo(FOLDER, "SLOW.JPG", size=400_000)  # about a second
    relay.line(phase="transferring", pendingCount=1)
    # While the slow file downloads, the host captures and the camera also
    # reports the captured file: both arrive in the next iteration.
    relay.capture()
    camera.add_event("file_added", FOLDER, "IMG_0001.JPG")
    relay.line(phase="ready", count=1, lastFile="SLOW.JPG")
    relay.line(phase="capturing")
    relay.line(phase="ready", pendingCount=1)
    saved(relay, count=2, lastFile="IMG_0001.JPG")
    relay.expect_no_line(1.0)
    assert [r["name"] for r in file_gets(bench)] == ["SLOW.JPG", "IMG_0001.JPG"]
    assert not (destination / "IMG_0001_1.JPG").exists()


def test_saved_identities_are_remembered_for_512_newer_saves_or_until_start(bench, destination):
    camera = bench.camera
    device, relay = open_session(bench, destination)
    camera.add_photo(FOLDER, "IMG_0000.JPG", size=1)
    saved(relay, count=1, lastFile="IMG_0000.JPG")
    camera.add_event("file_added", FOLDER, "IMG_0000.JPG")
    relay.expect_no_line(1.0)

    # 512 newer saves push it out of the record of saved files.
    names = [f"IMG_{n:04d}.JPG" for n in range(1, 513)]
    for name in names:
        camera.script["card"].append({"folder": FOLDER, "name": name, "size": 1, "seed": 0})
    camera.write()
    camera.add_events([camera.event("file_added", FOLDER, name) for name in names])
    for count in range(2, 514):
        relay.line(phase="transferring")
        relay.line(phase="ready", count=count)
    camera.add_events([camera.event("file_added", FOLDER, "IMG_0001.JPG"),  # 511 newer
                       camera.event("file_added", FOLDER, "IMG_0000.JPG")])  # 512 newer
    saved(relay, count=514, lastFile="IMG_0000_1.JPG")
    relay.expect_no_line(1.0)

    # A new session forgets them all.
    relay.stop()
    relay.line(phase="stopping")
    relay.line(phase="idle")
    start(relay, device, destination)
    camera.add_event("file_added", FOLDER, "IMG_0001.JPG")
    saved(relay, count=1, lastFile="IMG_0001_1.JPG")
    assert len(file_gets(bench)) == 515


def test_a_slash_in_the_camera_name_saves_only_its_last_component(bench, destination):
    camera = bench.camera
    _, relay = open_session(bench, destination)
    data = camera.add_photo(FOLDER, "sub/IMG_0007.JPG", size=64)
    saved(relay, count=1, lastFile="IMG_0007.JPG")
    assert (destination / "IMG_0007.JPG").read_bytes() == data
    assert file_gets(bench)[-1]["name"] == "sub/IMG_0007.JPG"  # fetched by its camera name
    camera.add_photo(FOLDER, "../../IMG_0008.JPG", size=64)
    saved(relay, count=2, lastFile="IMG_0008.JPG")
    assert sorted(p.name for p in destination.iterdir()) == ["IMG_0007.JPG", "IMG_0008.JPG"]


def test_name_fields_that_are_not_utf8_or_not_terminated_are_never_queued(bench, destination):
    camera = bench.camera
    _, relay = open_session(bench, destination)
    camera.add_photo(FOLDER, b"IMG_\xff\xfe.JPG", size=10)
    long_name = "A" * 124 + ".JPG"  # 128 bytes: the field has no NUL
    camera.add_photo(FOLDER, long_name, size=10)
    long_folder = "/" + "D" * 1023  # 1024 bytes: the folder field has no NUL
    camera.add_photo(long_folder, "IMG_0003.JPG", size=10)
    relay.expect_no_line(1.5)
    assert file_gets(bench) == []
    assert all(r["op"] != "script_error" for r in camera.records())

    # A folder that is not UTF-8 reads as "" for the identity only; the file
    # is fetched from its real folder.
    data = camera.add_photo(b"/DCIM/\xff", "IMG_0004.JPG", size=10)
    saved(relay, count=1, lastFile="IMG_0004.JPG")
    assert (destination / "IMG_0004.JPG").read_bytes() == data


# -- metrics and status lines --------------------------------------------------


def test_lines_and_metrics_of_queued_downloads(bench, destination):
    camera = bench.camera
    _, relay = open_session(bench, destination)
    for name, size in (("A.JPG", 0), ("B.NEF", 70_000), ("C.dng", 5)):
        camera.add_file(FOLDER, name, size=size)
    camera.add_events([camera.event("file_added", FOLDER, n) for n in ("A.JPG", "B.NEF", "C.dng")])
    # One "transferring"/"ready" pair per iteration, the file in flight
    # counted in "pendingCount".
    for count, (name, size) in enumerate((("A.JPG", 0), ("B.NEF", 70_000), ("C.dng", 5)), 1):
        relay.line(phase="transferring", pendingCount=4 - count, count=count - 1)
        line = relay.line(phase="ready", pendingCount=3 - count, count=count, lastFile=name)
        transfer = line["lastTransfer"]
        assert set(transfer) == {"bytes", "transferMs", "flushMs"}
        assert transfer["bytes"] == size
        assert transfer["transferMs"] >= 0 and transfer["flushMs"] >= 0
    assert (destination / "A.JPG").read_bytes() == b""
    assert os.stat(destination / "A.JPG").st_mode & 0o777 == 0o600


# -- "stop" and end of input finish the queue ----------------------------------

def queue_behind_first(bench, relay, *names, options=None):
    """Starts the slow download of FIRST.JPG with `names` queued behind it
    (20 kB each, or as `options[name]` gives to add_file). Returns their
    bytes by name once FIRST's "transferring" line has come: a command sent
    now finds them all queued."""
    camera = bench.camera
    camera.set_throttle(200_000)
    camera.add_file(FOLDER, "FIRST.JPG", size=100_000)  # half a second
    expected = {n: camera.add_file(FOLDER, n, **{"size": 20_000, **(options or {}).get(n, {})})
                for n in names}
    camera.add_events([camera.event("file_added", FOLDER, n) for n in ("FIRST.JPG", *names)])
    relay.line(phase="transferring", pendingCount=len(names) + 1)
    return expected


def progress(lines):
    return [(s["phase"], s["pendingCount"], s["count"], s["lastFile"]) for s in lines]


@pytest.mark.parametrize("stop", [True, False], ids=["stop", "end_of_input"])
def test_the_queue_is_saved_before_the_camera_closes(bench, destination, stop):
    _, relay = open_session(bench, destination)
    expected = queue_behind_first(bench, relay, "A.JPG", "B.NEF", "C.JPG")
    if stop:
        relay.stop()
    relay.close_stdin()
    assert relay.wait_exit() == 0
    # One line as each fetch begins and one as its file is saved; no "ready".
    assert progress(relay.pending_lines()) == [
        ("ready", 3, 1, "FIRST.JPG"), ("stopping", 3, 1, "FIRST.JPG"),
        ("stopping", 3, 1, "FIRST.JPG"), ("stopping", 2, 2, "A.JPG"),
        ("stopping", 2, 2, "A.JPG"), ("stopping", 1, 3, "B.NEF"),
        ("stopping", 1, 3, "B.NEF"), ("stopping", 0, 4, "C.JPG"),
    ] + ([("idle", 0, 4, "C.JPG")] if stop else [])
    assert all((destination / n).read_bytes() == data for n, data in expected.items())
    assert leftovers(destination) == [] and len(bench.camera.records("exit")) == 1


def test_a_photo_announced_during_the_finish_is_saved_too(bench, destination):
    # The last shot and the end of tethering at once: the trigger's event
    # comes while A.JPG, which takes 0.1 s, is being fetched.
    bench.camera.set_capture(folder=FOLDER, name="capt_####.JPG", trigger_delay_ms=50)
    _, relay = open_session(bench, destination, model="trigger")
    queue_behind_first(bench, relay, "A.JPG")
    relay.send('{"command":"capture"}\n{"command":"stop"}\n')
    relay.line(phase="ready", count=1)
    relay.line(phase="capturing")
    relay.line(phase="ready", pendingCount=1)
    relay.line(phase="stopping", pendingCount=1)
    idle = relay.wait_for(lambda s: s["phase"] != "stopping")
    assert progress([idle]) == [("idle", 0, 3, "capt_0001.JPG")]
    assert (destination / "capt_0001.JPG").read_bytes() == bench.camera.capture_bytes()


def test_a_failure_during_the_finish_keeps_the_files_saved_before_it(bench, destination):
    _, relay = open_session(bench, destination)
    queue_behind_first(bench, relay, "A.JPG", "B.JPG", "C.JPG",
                       options={"B.JPG": {"result": GP_ERROR_IO, "fail_after": 3000}})
    relay.stop()
    relay.line(phase="ready", count=1)
    relay.wait_for(phase="stopping", lastFile="A.JPG")
    relay.line(phase="stopping", pendingCount=2)  # B.JPG's fetch begins
    relay.line(phase="error", error="I/O problem", pendingCount=0, count=2, cameraId="")
    relay.line(phase="idle", error="")
    assert [r["name"] for r in file_gets(bench)] == ["FIRST.JPG", "A.JPG", "B.JPG"]
    assert sorted(p.name for p in destination.iterdir()) == ["A.JPG", "FIRST.JPG"]


def test_sigterm_during_the_finish_cuts_the_fetch_short(bench, destination):
    _, relay = open_session(bench, destination)
    queue_behind_first(bench, relay, "BIG.JPG", options={"BIG.JPG": {"size": 2_000_000}})
    relay.stop()
    relay.line(phase="ready", count=1)
    relay.line(phase="stopping", pendingCount=1)
    relay.line(phase="stopping", pendingCount=1)  # BIG.JPG's ten seconds begin
    relay.send_signal(signal.SIGTERM)
    assert relay.wait_exit() == 0
    assert relay.pending_lines() == []
    assert sorted(p.name for p in destination.iterdir()) == ["FIRST.JPG"]


# -- failures ------------------------------------------------------------------


def assert_session_failed(bench, relay, destination, error, *, fetched):
    """After queue_two: the failure line, the camera closed, the queue
    dropped, and no temporary file; `fetched` says whether A.JPG got as far
    as its "transferring" line."""
    if fetched:
        relay.line(phase="transferring", pendingCount=2)
    line = relay.line(phase="error", error=error, pendingCount=0, cameraId="",
                      canCapture=False, count=1, lastFile="FIRST.JPG", cameraParameters={})
    bench.camera.wait_for_record("exit")
    relay.expect_no_line(1.0)
    assert [r["name"] for r in file_gets(bench)] == ["FIRST.JPG"] + (["A.JPG"] if fetched else [])
    assert leftovers(destination) == []
    assert sorted(p.name for p in Path(destination).iterdir()) == ["FIRST.JPG"]
    return line


def queue_two(bench, relay, before_queueing=lambda: None, **a_file):
    """Saves FIRST.JPG, then queues A.JPG (with `a_file`'s options) and
    B.JPG in one iteration."""
    camera = bench.camera
    camera.add_photo(FOLDER, "FIRST.JPG", size=10)
    saved(relay, count=1, lastFile="FIRST.JPG")
    before_queueing()
    camera.add_file(FOLDER, "A.JPG", size=5000, **a_file)
    camera.add_file(FOLDER, "B.JPG", size=5000)
    camera.add_events([camera.event("file_added", FOLDER, "A.JPG"),
                       camera.event("file_added", FOLDER, "B.JPG")])


def test_f1_destination_removed(bench, destination):
    _, relay = open_session(bench, destination)
    moved = destination.parent / "moved"
    queue_two(bench, relay, lambda: destination.rename(moved))
    assert_session_failed(bench, relay, moved, os.strerror(errno.ENOENT), fetched=False)


@pytest.mark.parametrize("replaced", [False, True], ids=["moved", "replaced"])
def test_folder_moved_or_replaced_during_a_fetch(bench, destination, replaced):
    # The photo lands whole, under its name, in the folder that was open when
    # the fetch began; later photos go to whatever folder the path names.
    bench.camera.set_throttle(200_000)
    _, relay = open_session(bench, destination)
    data = bench.camera.add_photo(FOLDER, "A.JPG", size=200_000)  # about a second
    relay.line(phase="transferring", pendingCount=1)
    moved = destination.parent / "moved"
    destination.rename(moved)
    if replaced:
        destination.mkdir()
    relay.line(phase="ready", count=1, lastFile="A.JPG")
    assert sorted(p.name for p in moved.iterdir()) == ["A.JPG"]
    assert (moved / "A.JPG").read_bytes() == data

    data = bench.camera.add_photo(FOLDER, "B.JPG", size=10)
    if replaced:
        saved(relay, count=2, lastFile="B.JPG")
        assert sorted(p.name for p in destination.iterdir()) == ["B.JPG"]
    else:
        relay.line(phase="error", error=os.strerror(errno.ENOENT), count=1)


def test_f1_destination_not_writable(bench, destination, faults):
    # Permissions do not stop root; then the interposer refuses the create
    # as the kernel would refuse it to anyone else.
    root = os.geteuid() == 0
    env = faults(bench, "openat", errno.EACCES, skip=1) if root else None
    _, relay = open_session(bench, destination, env=env)
    try:
        queue_two(bench, relay, (lambda: None) if root else (lambda: destination.chmod(0o555)))
        assert_session_failed(bench, relay, destination, os.strerror(errno.EACCES),
                              fetched=False)
    finally:
        destination.chmod(0o755)


# A camera-side failure keeps libgphoto2's text, even one that reads like a
# failed write, while the disk is fine.
@pytest.mark.parametrize("result, text", [(GP_ERROR_IO, "I/O problem"),
                                          (-35, "Error writing to the port")])
def test_f3_fetch_fails_after_part_of_the_file_was_written(bench, destination, result, text):
    _, relay = open_session(bench, destination)
    queue_two(bench, relay, result=result, fail_after=3000)
    assert_session_failed(bench, relay, destination, text, fetched=True)
    assert file_gets(bench)[-1]["bytes"] == 3000


def test_sigterm_during_a_throttled_fetch(bench, destination):
    bench.camera.set_throttle(100_000)
    _, relay = open_session(bench, destination)
    bench.camera.add_photo(FOLDER, "A.JPG", size=1_000_000)  # ten seconds
    relay.line(phase="transferring", pendingCount=1)
    relay.send_signal(signal.SIGTERM)
    assert relay.wait_exit() == 0
    assert relay.pending_lines() == []
    assert list(destination.iterdir()) == []
    # libgphoto2 may see the cancel request before the driver starts at all.
    assert all(r["bytes"] < 1_000_000 for r in bench.camera.records("file_get"))


def test_a_cable_pulled_during_a_fetch_cuts_it_off(bench, destination):
    bench.camera.set_throttle(100_000)
    device, relay = open_session(bench, destination)
    bench.camera.add_photo(FOLDER, "A.JPG", size=1_000_000)  # ten seconds
    relay.line(phase="transferring", pendingCount=1)
    bench.unplug(device)
    relay.line(phase="error", error="I/O problem", cameraId="", timeout=5)
    assert list(destination.iterdir()) == []
    assert bench.camera.records("file_get")[-1]["bytes"] < 1_000_000


# What the camera driver makes of the failed write: our driver passes on
# libgphoto2's -35, ptp2 says -7 like a pulled cable; a photo in camera
# memory is copied by libgphoto2 itself, whose failure reaches the driver's
# refusal of the root folder (-1).
@pytest.mark.parametrize("driver", ["own_code", "io_problem", "ram_photo"])
def test_a_full_disk_is_reported_as_the_disk_s_failure(bench, small_disk, driver):
    _, relay = open_session(bench, small_disk)
    camera = bench.camera
    if driver == "io_problem":
        camera.set_append_failure_result(GP_ERROR_IO)
    if driver == "ram_photo":
        camera.add_ram_photo("capt0000.jpg", size=1 << 20)
    else:
        camera.add_photo(FOLDER, "BIG.JPG", size=1 << 20)
    relay.line(phase="transferring")
    relay.line(phase="error", error=os.strerror(errno.ENOSPC), cameraId="")
    assert list(small_disk.iterdir()) == []
