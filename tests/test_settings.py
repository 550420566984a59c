"""The host sets the camera (protocol 2's "settings" and "set"), on the real
ptp2 driver's emulated D750 (tools/d750) and on the virtual camera."""

import sys
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "d750"))

import d750  # noqa: E402
import harness  # noqa: E402

needs_d750 = pytest.mark.skipif(d750.missing() is not None, reason=str(d750.missing()))
GERMAN = {"LANG": "de_DE.UTF-8", "LC_ALL": "de_DE.UTF-8", "LANGUAGE": "de"}


@pytest.fixture
def d750_bench(tmp_path):
    bench = d750.D750Bench(tmp_path / "bench", road="nikon")
    try:
        bench.plug()
        yield bench
    finally:
        bench.close()


def opened(bench, folder, **env):
    """camrelay in protocol 2 with the bench's camera open and read once."""
    relay = bench.relay(env=bench.env(CAMRELAY_LOG=str(folder / "camrelay.log"), **env))
    relay.hello()
    device = bench.devices[0]
    relay.wait_for(lambda s: s["cameras"])
    relay.started = relay.ask({"command": "start", "cameraId": device.port,
                               "directory": str(folder)})
    assert relay.started["ok"], relay.started
    relay.wait_for(lambda s: s["cameraParameters"])
    return relay


def line_after(relay, reply):
    """The line that came right after `reply`, once the reader has it."""
    deadline = time.monotonic() + harness.DEFAULT_TIMEOUT
    while len(lines := relay.transcript()) <= lines.index(reply) + 1:
        assert time.monotonic() < deadline, "no line after the reply"
        time.sleep(0.01)
    return lines[lines.index(reply) + 1]


@needs_d750
def test_d750_settings_have_their_choices_and_a_set_shows_at_once(d750_bench, tmp_path):
    relay = opened(d750_bench, tmp_path)
    settings = relay.ask({"command": "settings"})["settings"]
    assert set(settings) == {"aperture", "shutterSpeed", "exposureCompensation", "imageSize",
                             "battery", "captureTarget"}
    assert settings["aperture"]["choices"][:3] == ["f/2.8", "f/3.5", "f/4"]
    assert (settings["aperture"]["setting"], settings["aperture"]["readOnly"]) == ("f-number", False)
    assert settings["battery"] == {"value": "50%", "kind": "text", "readOnly": True,
                                   "label": "Battery Level", "setting": "batterylevel"}
    assert settings["captureTarget"]["choices"] == ["memory", "card"]

    for key, value in (("aperture", "f/8"), ("shutterSpeed", "0.0050s"),
                       ("exposureCompensation", "-1.5")):
        sets_before = [r for r in d750_bench.requests() if r.code == d750.SET_PROPERTY]
        reply = relay.ask({"command": "set", "key": key, "value": value})
        assert (reply["ok"], reply["value"]) == (True, value), reply
        assert line_after(relay, reply)["cameraParameters"][key] == value
        sets = [r for r in d750_bench.requests() if r.code == d750.SET_PROPERTY]
        assert len(sets) == len(sets_before) + 1  # one single-setting write
    assert len(relay.ask({"command": "settings", "all": True})["settings"]) > len(settings)


@needs_d750
def test_d750_refuses_bad_input_and_the_session_goes_on(d750_bench, tmp_path):
    relay = opened(d750_bench, tmp_path)
    refused = [
        ({"key": "aperture", "value": 5.6}, "invalidField"),
        ({"key": "aperture", "value": True}, "invalidField"),
        ({"key": "aperture", "value": None}, "invalidField"),
        ({"key": "aperture", "value": [1]}, "invalidField"),
        ({"key": "aperture"}, "invalidField"),
        ({"key": "aperture", "value": "f/4\0"}, "invalidField"),
        ({"key": "aperture", "value": "f" * 60000}, "invalidField"),
        ({"key": "aperture\0", "value": "f/4"}, "invalidField"),
        ({"key": 7, "value": "f/4"}, "invalidField"),
        ({"key": "aperture", "value": "f/99"}, "notAChoice"),
        ({"key": "battery", "value": "10%"}, "readOnly"),
        ({"key": "zoom", "value": "2x"}, "unknownSetting"),
        ({"key": "captureTarget", "value": 1}, "invalidField"),
        ({"key": "captureTarget", "value": "card and memory"}, "notAChoice"),
    ]
    for fields, key in refused:
        reply = relay.ask({"command": "set", **fields})
        assert reply["error"]["key"] == "tethering.error." + key, (fields, reply)
    assert reply["error"]["choices"] == ["memory", "card"]
    relay.send('{"command":"set","id":"twice","key":"aperture","key":"iso","value":"f/4"}\n')
    assert relay.reply("twice")["error"]["text"] == 'field "key" is given twice'
    relay.send(b'{"command":"set","key":"aperture","value":"f/4\xff"}\n')
    assert relay.reply(None)["error"]["key"] == "tethering.error.invalidLine"

    # Back to back, around a capture: each is answered in its turn, and the
    # last value stands.
    ids = [relay.command(command) for command in (
        {"command": "set", "key": "aperture", "value": "f/4"}, {"command": "capture"},
        {"command": "set", "key": "aperture", "value": "f/5.6"},
        {"command": "set", "key": "aperture", "value": "f/11"})]
    assert all(relay.reply(i, timeout=20)["ok"] for i in ids)
    assert [r["reply"] for r in relay.replies()][-4:] == ids
    relay.wait_for(lambda s: s["count"] == 1 and s["cameraParameters"]["aperture"] == "f/11")


@needs_d750
def test_d750_setting_turned_on_the_body_shows_without_a_read(d750_bench, tmp_path):
    relay = opened(d750_bench, tmp_path)
    d750_bench.turn(d750.F_NUMBER, 1100)
    relay.wait_for(lambda s: s["cameraParameters"]["aperture"] == "f/11")
    assert "the camera turned f-number to f/11" in (tmp_path / "camrelay.log").read_text()


@needs_d750
@pytest.mark.parametrize("env", [{}, GERMAN], ids=["default", "german"])
def test_d750_capture_target_is_kept_for_the_user_and_set_after_each_start(
        d750_bench, tmp_path, env):
    if env and not Path("/usr/share/locale/de/LC_MESSAGES/libgphoto2-6.mo").exists():
        pytest.skip("libgphoto2's German texts are not installed (libgphoto2-l10n)")
    relay = opened(d750_bench, tmp_path, **env)
    entry = relay.ask({"command": "settings"})["settings"]["captureTarget"]
    assert (entry["value"], entry["label"]) == ("memory", "Capture Target")
    assert relay.ask({"command": "set", "key": "captureTarget", "value": "card"})["value"] == "card"
    settings = d750_bench.home / ".gphoto" / "settings"
    assert "ptp2=capturetarget=card" in settings.read_text().splitlines()
    relay.ask({"command": "stop"})
    reply = relay.ask({"command": "start", "cameraId": d750.PORT, "directory": str(tmp_path)})
    assert reply["captureTarget"] == "card"
    relay.close_stdin()
    assert relay.wait_exit() == 0
    # libgphoto2 remembers it for the user, in a later run too, where the
    # host has chosen none yet.
    later = opened(d750_bench, tmp_path, **env)
    assert "captureTarget" not in later.started
    assert later.ask({"command": "settings"})["settings"]["captureTarget"]["value"] == "card"


def virtual(bench, folder, model="trigger"):
    bench.plug(model)
    return opened(bench, folder)


def set_(relay, key, value):
    return relay.ask({"command": "set", "key": key, "value": value})


@pytest.mark.parametrize("vendor", ["nikon", "canon"])
def test_virtual_refusals_keep_the_session_and_a_busy_camera_is_tried_again(
        bench, tmp_path, vendor):
    bench.camera.set_vendor(vendor)
    bench.camera.set_refused("iso", ["800"])
    bench.camera.set_readonly("whitebalance")
    relay = virtual(bench, tmp_path)
    refusal = set_(relay, "focalLength", 300)["error"]
    assert (refusal["key"], refusal["min"], refusal["max"], refusal["step"]) == (
        "tethering.error.outOfRange", 10, 200, 1)
    assert set_(relay, "iso", "800")["error"]["key"] == "tethering.error.settingRefused"
    assert set_(relay, "whitebalance", "Daylight")["error"]["key"] == "tethering.error.readOnly"
    reply = set_(relay, "focalLength", 85.5)
    assert reply["value"] == 85.5
    assert line_after(relay, reply)["cameraParameters"]["focalLength"] == "85.5"

    writes = len(bench.camera.records("set_config"))
    bench.camera.set_busy("set_config", 3)
    assert set_(relay, "iso", "200")["value"] == "200"
    assert len(bench.camera.records("set_config")) == writes + 4
    bench.camera.set_busy("set_config", 1000)
    assert set_(relay, "iso", "100")["error"]["key"] == "tethering.error.settingBusy"
    # A command that waits ends the retry at once.
    writes = len(bench.camera.records("set_config"))
    relay.send('{"command":"set","key":"iso","value":"100","id":"a"}\n{"command":"cameras"}\n')
    assert relay.reply("a")["error"]["key"] == "tethering.error.settingBusy"
    assert len(bench.camera.records("set_config")) == writes + 1
    assert relay.ask({"command": "capture"})["ok"]  # the session goes on


def test_virtual_setting_turned_on_the_body_shows_at_once(bench, tmp_path):
    relay = virtual(bench, tmp_path)
    bench.camera.turn("iso", "800")
    relay.wait_for(lambda s: s["cameraParameters"]["iso"] == "800")
    # Shown from the event, not from a read.
    assert "the camera turned iso to 800" in (tmp_path / "camrelay.log").read_text()


@pytest.mark.parametrize("style, choices, targets", [
    ("nikon", ["memory", "card"], {"card": "card", "memory": "sdram"}),
    # A Sony photo taken to the card alone is never announced (docs/protocol.md, "Capture target").
    ("sony", ["memory", "card", "card and memory"], {"card and memory": "card+sdram"}),
])
def test_virtual_capture_target_decides_where_a_capture_lands(
        bench, tmp_path, style, choices, targets):
    bench.camera.add_capture_target(style)
    relay = virtual(bench, tmp_path, "sony" if style == "sony" else "trigger")
    assert relay.ask({"command": "settings"})["settings"]["captureTarget"]["choices"] == choices
    for count, (word, target) in enumerate(targets.items(), 1):
        assert set_(relay, "captureTarget", word)["value"] == word
        assert relay.ask({"command": "capture"})["ok"]
        assert bench.camera.records("trigger")[-1]["target"] == target
        relay.wait_for(count=count)


def test_virtual_set_during_a_download_is_answered_after_it(bench, tmp_path):
    relay = virtual(bench, tmp_path)
    bench.camera.set_throttle(1 << 20)
    bench.camera.add_photo("/DCIM/100VCAM", "IMG_0001.JPG", size=1 << 20)
    relay.wait_for(phase="transferring")
    reply = set_(relay, "aperture", "f/8")
    lines = relay.transcript()
    assert lines.index(reply) > next(i for i, line in enumerate(lines) if line.get("count") == 1)


@pytest.mark.parametrize("single", ["unset", "notSupported"])
def test_virtual_set_through_the_whole_tree(bench, tmp_path, single):
    bench.camera.set_config_access(single=single)
    relay = virtual(bench, tmp_path)
    assert relay.ask({"command": "settings"})["settings"]["aperture"]["value"] == "f/5.6"
    assert set_(relay, "aperture", "f/8")["value"] == "f/8"
    assert bench.camera.setting("f-number") == "f/8"


def test_virtual_failed_write_takes_the_failure_road(bench, tmp_path):
    relay = virtual(bench, tmp_path)
    bench.camera.set_result("set_config", harness.GP_ERROR_IO)
    assert set_(relay, "iso", "200")["error"]["key"] == "tethering.error.cameraFailed"
    relay.wait_for(phase="error")
