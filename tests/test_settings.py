"""The host sets the camera (protocol 2's "settings" and "set"), on the real
ptp2 driver's emulated D750 (tools/d750) and on the virtual camera."""

import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "d750"))

import d750  # noqa: E402

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
    """The line that came right after `reply`."""
    lines = relay.transcript()
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
