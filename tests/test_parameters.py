"""Process-level tests of camera parameter polling on the virtual camera
bench: which widget supplies each value, how values become text, when reads
happen, and when a read writes a status line."""

import time

import pytest

from harness import (GP_ERROR_IO, button, date, menu, radio, range_, section, text, toggle)

FOLDER = "/store_00010001/DCIM/100VCAM"
CAMERA_ICON = "\U0001F4F7"  # outside the BMP: two UTF-16 code units


def open_session(bench, model="trigger"):
    device = bench.plug(model)
    relay = bench.relay()
    relay.line(phase="idle")
    relay.wait_for(lambda s: s["cameras"], timeout=15)
    relay.start(device.port, "/tmp")
    relay.line(phase="connecting")
    ready = relay.line(phase="ready", cameraParameters={}, cameraParametersUnavailable=False)
    return relay, ready, time.monotonic()


def reads(bench):
    """The parameter reads the camera has answered so far: each begins with
    a whole-tree fetch or with a single access of the first candidate."""
    return [r for r in bench.camera.records("get_config") if r.get("name", "expprogram") ==
            "expprogram"]


def watch_reads(bench, count, timeout):
    """Polls the camera's record until it holds `count` fetches; returns
    the monotonic time at which each new one was first seen."""
    seen = []
    known = len(reads(bench))
    deadline = time.monotonic() + timeout
    while len(seen) < count:
        now_known = len(reads(bench))
        seen.extend([time.monotonic()] * (now_known - known))
        known = now_known
        if time.monotonic() > deadline:
            pytest.fail(f"only {len(seen)} of {count} parameter reads within {timeout} s")
        time.sleep(0.01)
    return seen


def only_parameters_differ(before, after):
    keys = {"cameraParameters", "cameraParametersUnavailable"}
    return {k: v for k, v in before.items() if k not in keys} == \
        {k: v for k, v in after.items() if k not in keys}


def test_candidates_white_space_widget_types_and_length_limit(bench):
    bench.camera.set_config([
        text("expprogram", "  \n\t"),  # only white space: not a value
        toggle("autoexposuremode", 1),  # a toggle has no text
        radio("exposuremode", " Manual\r\n", choices=[" Manual\r\n"]),
        radio("f-number", "f/4", choices=["f/4"]),  # preferred over aperture
        radio("aperture", "f/8", choices=["f/8"]),
        text("shutterspeed", ""),
        text("shutterspeed2", "1/250"),
        section("iso", []),
        menu("whitebalance", "\u3000Day light\u2029", choices=["\u3000Day light\u2029"]),
        date("focusmode", 1700000000),
        text("focusmode2", "AF-S"),
        toggle("meteringmode", 0),
        button("exposuremeteringmode"),
        text("drivemode", CAMERA_ICON * 256 + "x"),  # 513 units
        text("capturemode", CAMERA_ICON * 256),  # 512 units
        text("imagequality", "a" * 513),
        text("imageformat", "\u0085" + "b" * 512 + " \u00a0"),
        text("lensname", b"Lens \xff"),  # not UTF-8
        text("batterylevel", "100%"),
    ])
    relay, ready, _ = open_session(bench)
    line = relay.line(timeout=5)
    assert only_parameters_differ(ready, line)
    assert line["cameraParametersUnavailable"] is False
    assert line["cameraParameters"] == {
        "exposureMode": "Manual",
        "aperture": "f/4",
        "shutterSpeed": "1/250",
        "whiteBalance": "Day light",
        "focusMode": "AF-S",
        "driveMode": CAMERA_ICON * 256,
        "imageQuality": "b" * 512,
        "battery": "100%",
    }


def test_ranges_are_printed_with_percent_g(bench):
    bench.camera.set_config([
        range_("focallength", 5.6),
        range_("exposurecompensation", "1/3"),
        range_("iso", 1e7, max=1e8),
        range_("batterylevel", 100),
        range_("imagesize", -0.0, min=-1),
        range_("f-number", float("nan")),
        range_("aperture", float("inf")),
        range_("aperture2", 2.8),
        range_("shutterspeed", float("-inf"), min=float("-inf")),
    ])
    relay, _, _ = open_session(bench)
    line = relay.line(timeout=5)
    assert line["cameraParameters"] == {
        "focalLength": "5.6",
        "exposureCompensation": "0.333333",
        "iso": "1e+07",
        "battery": "100",
        "imageSize": "-0",
        "aperture": "2.8",
    }


# When each read falls due, and which reads write a line, is proven with a
# clock of the tests' own in timers_test.cc and parameters_test.cc; here a
# read really happens, a second after "ready".
def test_first_read_one_second_after_ready(bench):
    bench.camera.set_config([radio("iso", "100", choices=["100", "200"]), text("lensname", "L")])
    relay, ready, ready_at = open_session(bench)
    first = watch_reads(bench, 1, timeout=5)[0]
    assert first - ready_at >= 0.9
    line = relay.line(timeout=2, cameraParameters={"iso": "100", "lens": "L"},
                      cameraParametersUnavailable=False)
    assert only_parameters_differ(ready, line)


def test_first_failing_read_changes_only_the_flag(bench):
    bench.camera.set_result("get_config", GP_ERROR_IO)
    relay, ready, _ = open_session(bench)
    line = relay.line(timeout=5, phase="ready", error="", cameraParameters={},
                      cameraParametersUnavailable=True)
    assert only_parameters_differ(ready, line)
    assert bench.camera.records("exit") == []  # the camera stays open


@pytest.mark.parametrize("tree", [
    [text("serialnumber", "VC0001"), toggle("viewfinder", 0)], [], None,
], ids=["no candidates", "empty tree", "no tree"])
def test_a_read_that_gives_no_widgets_is_unavailable(bench, tree):
    bench.camera.set_config(tree)
    relay, _, _ = open_session(bench)
    relay.line(timeout=5, cameraParameters={}, cameraParametersUnavailable=True)


def test_no_read_while_files_are_queued(bench, tmp_path):
    camera = bench.camera
    camera.set_throttle(1_000_000)
    device = bench.plug("trigger")
    relay = bench.relay()
    relay.line(phase="idle")
    relay.wait_for(lambda s: s["cameras"], timeout=15)
    relay.start(device.port, str(tmp_path))
    relay.line(phase="connecting")
    relay.line(phase="ready")
    relay.line(timeout=5, where=lambda s: s["cameraParameters"])  # the first read
    # Five files, one second each, queued at once: reads fall due while
    # they download, but none may happen until the queue is empty.
    names = [f"IMG_{n}.JPG" for n in range(5)]
    for name in names:
        camera.add_file(FOLDER, name, size=1_000_000)
    camera.add_events([camera.event("file_added", FOLDER, n) for n in names])
    for count in range(1, 6):
        relay.line(phase="transferring")
        relay.line(phase="ready", count=count)
    watch_reads(bench, 1, timeout=6)
    ops = [r["op"] for r in camera.records() if r["op"] in ("get_config", "file_get")]
    first_get = ops.index("file_get")
    assert ops[first_get:first_get + 6] == ["file_get"] * 5 + ["get_config"]


# The default tree's values, and the names a read asks for to find them:
# the first candidate of each key that the tree holds, and before it those
# it lacks (meteringmode, drivemode).
DEFAULT_VALUES = {
    "exposureMode": "M", "aperture": "f/5.6", "shutterSpeed": "1/125", "iso": "400",
    "exposureCompensation": "0", "whiteBalance": "Auto", "focusMode": "Manual",
    "meteringMode": "Multi Spot", "driveMode": "Single Shot", "imageQuality": "JPEG Fine",
    "imageSize": "6000x4000", "battery": "100%", "focalLength": "50",
    "lens": "Virtual 50mm f/1.8",
}
ASKED = ["expprogram", "f-number", "shutterspeed", "iso", "exposurecompensation",
         "whitebalance", "focusmode", "meteringmode", "exposuremeteringmode", "drivemode",
         "capturemode", "imagequality", "imagesize", "batterylevel", "focallength", "lensname"]


@pytest.mark.parametrize("single, trees, asked", [
    ("native", 0, ASKED),  # 14 requests: a name the camera lacks costs none
    ("unset", 1, []),  # not libgphoto2's whole fetch for each name
    ("notSupported", 1, ["expprogram"]),
])
def test_one_request_per_setting_or_one_whole_tree(bench, single, trees, asked):
    bench.camera.set_config_access(single=single)
    relay, _, _ = open_session(bench)
    relay.line(timeout=5, cameraParameters=DEFAULT_VALUES, cameraParametersUnavailable=False)
    whole, singles = bench.camera.config_accesses()
    assert len(whole) == trees
    assert [r["name"] for r in singles] == asked
    assert sum(r["requests"] for r in singles) == (14 if single == "native" else 0)


def test_a_camera_that_fails_a_single_access_is_unavailable(bench):
    # Only single access fails: the read ends there, without a whole tree,
    # and the camera stays open.
    bench.camera.set_result("get_single_config", GP_ERROR_IO)
    relay, _, _ = open_session(bench)
    relay.line(timeout=5, phase="ready", cameraParameters={}, cameraParametersUnavailable=True)
    first = reads(bench)[0]
    assert bench.camera.config_accesses() == ([], [first])
    relay.expect_no_line(0.5)
    assert bench.camera.records("exit") == []
