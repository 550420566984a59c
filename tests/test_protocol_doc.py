"""docs/protocol.md held against the program on the virtual camera bench:
its example sessions of protocols 1 and 2 line for line, and the keys,
phases, error keys, refusals and events of its tables; and against
docs/protocol.schema.json, which mirrors them."""

import json
import re
from pathlib import Path

import pytest

import preload
from harness import GP_ERROR_IO_USB_CLAIM, PROTOCOL_SCHEMA, protocol_problem, status_line

SOURCE = Path(__file__).resolve().parent.parent
PROTOCOL = (SOURCE / "docs" / "protocol.md").read_text()
README = (SOURCE / "README.md").read_text()
README_STATUS = re.search(r"^\{\"backend\".*$", README, re.M).group(0)  # its sample line
DISK_LINK = (SOURCE / "docs" / "disk_link.md").read_text()
SCHEMA = json.loads(PROTOCOL_SCHEMA.read_text())["$defs"]
EXAMPLE_FOLDER = "/home/ann/Shoot"  # the example's folder; a real one replaces it

# Every fsync fails, so that the first photo of a session cannot be flushed.
FAILING_FSYNC = """
#include <errno.h>
int fsync(int fd) { (void)fd; errno = EIO; return -1; }
"""


def first_column(heading):
    """The names in the first column of the table under `heading`."""
    section = PROTOCOL.split(f"\n{heading}\n", 1)[1].split("\n#", 1)[0]
    return re.findall(r"^\| `([^`]+)` \|", section, re.M)


COMMAND_FIELDS = set(first_column("## Command lines (host → camrelay)"))
COMMAND_FIELDS_2 = set(first_column("### Command lines in protocol 2"))
COMMANDS_2 = set(first_column("### Replies"))
REFUSAL_KEYS = set(first_column("### Refusals"))
EVENTS = set(first_column("### Events"))
NOT_SAVED_REASONS = set(first_column("#### photoNotSaved"))
LOST_REASONS = set(first_column("#### captureLost"))
STATUS_KEYS = set(first_column("## Status lines (camrelay → host)"))
PARAMETER_KEYS = set(first_column("### Camera parameters"))
PHASES = set(first_column("### Phases"))
ERROR_KEYS = first_column("### Error texts")


def example(heading):
    """(mark, text) for each line of the example session under `heading`:
    ">" sent, "<" written, "#" a comment."""
    block = PROTOCOL.split(f"\n{heading}\n", 1)[1].split("```\n", 2)[1]
    return [(line[0], line[2:]) for line in block.splitlines()]


EXAMPLE = example("## Example session")
EXAMPLE_2 = example("### Example session in protocol 2")
PROTOCOL_2 = PROTOCOL.split("\n## Protocol 2\n", 1)[1].split("\n## ", 1)[0]


def comparable(line):
    """The line with what differs between runs replaced by its JSON type."""
    line = dict(line, libraryVersion=type(line["libraryVersion"]).__name__)
    if line["lastTransfer"]:
        line["lastTransfer"] = {k: v if k == "bytes" else type(v).__name__
                                for k, v in line["lastTransfer"].items()}
    return line


def comparable_2(line):
    """A line of protocol 2 with what differs between runs replaced by its
    JSON type: a status line as `comparable` does, camrelay's version, and a
    photo's timings."""
    if "reply" not in line and "event" not in line:
        return comparable(line)
    masked = {"version"} if "reply" in line else {"transferMs", "flushMs"}
    return {k: type(v).__name__ if k in masked else v for k, v in line.items()}


def test_the_example_session_comes_out_line_for_line(bench, tmp_path):
    # The bench's own camera, as it comes: its settings and its photos.
    device = bench.plug("trigger", bus=1, address=5)
    events = {"The cable is pulled": lambda: bench.unplug(device),
              "The camera is plugged in again": lambda: bench.plug("trigger", bus=1, address=6)}
    relay = bench.relay()
    for mark, text in EXAMPLE:
        if mark == ">":
            relay.send(text.replace(EXAMPLE_FOLDER, str(tmp_path)) + "\n")
        elif mark == "<":
            assert comparable(relay.line()) == comparable(json.loads(text))
        else:
            events.get(text.split(":")[0], lambda: None)()
    relay.close_stdin()
    assert relay.wait_exit() == 0
    assert relay.pending_lines() == []
    assert {line["phase"] for line in relay.seen} == PHASES
    # README's sample line is one of them.
    assert ("<", README_STATUS) in EXAMPLE


FOLDER = "/store_00010001/DCIM/100VCAM"
HALF_MIB = 512 << 10


def test_the_protocol_2_session_comes_out_line_for_line(bench, tmp_path):
    device = bench.plug("trigger", bus=1, address=5)
    camera = bench.camera

    def button_photos(*names, seed=1):
        """Photos of the camera's own button, each downloading for a second."""
        camera.set_throttle(HALF_MIB)
        for n, name in enumerate(names):
            camera.add_file(FOLDER, name, size=HALF_MIB, seed=seed + n)
        camera.add_events([camera.event("file_added", FOLDER, name) for name in names])

    def slow_capture_and_two_photos():
        camera.set_capture(trigger_delay_ms=60_000)  # its photo never comes in time
        button_photos("IMG_0100.JPG", "IMG_0101.JPG")

    def plugged_again():
        camera.set_throttle(0)
        bench.plug("trigger", bus=1, address=6)

    relay = bench.relay()
    events = {"Two photos taken with the camera's own button": slow_capture_and_two_photos,
              "The cable is pulled": lambda: bench.unplug(device),
              "The same body is plugged in again": plugged_again,
              "Another photo from the camera's button": lambda: button_photos("IMG_0102.JPG",
                                                                                seed=3),
              "The host closes camrelay's input": relay.close_stdin}
    written = 0
    for mark, text in EXAMPLE_2:
        text = text.replace(EXAMPLE_FOLDER, str(tmp_path))
        if mark == ">":
            relay.send(text + "\n")
        elif mark == "<":
            line = relay.line_of_any_kind(written)
            if "reply" not in line and "event" not in line:
                status_line(relay.raw_transcript()[written])
            assert comparable_2(line) == comparable_2(json.loads(text)), written
            written += 1
        else:
            next((act for start, act in events.items() if text.startswith(start)),
                 lambda: None)()
    assert relay.wait_exit() == 0
    assert len(relay.raw_transcript()) == written


def test_the_schema_mirrors_the_tables():
    # The harness holds every status line to the schema, so with this the
    # lines keep to the tables too.
    status = SCHEMA["statusLine"]
    assert set(status["required"]) == set(status["properties"]) == STATUS_KEYS
    assert set(SCHEMA["commandLine"]["properties"]) == COMMAND_FIELDS_2 > COMMAND_FIELDS
    assert set(SCHEMA["commandLine"]["properties"]["command"]["enum"]) == COMMANDS_2
    assert set(SCHEMA["refusal"]["properties"]["key"]["enum"]) == REFUSAL_KEYS
    events = SCHEMA["eventLine"]
    assert set(events["properties"]["event"]["enum"]) == EVENTS
    reasons = {rule["if"]["properties"]["event"]["const"]:
               set(rule["then"].get("properties", {}).get("reason", {}).get("enum", []))
               for rule in events["allOf"]}
    assert reasons["photoNotSaved"] == NOT_SAVED_REASONS
    assert reasons["captureLost"] == LOST_REASONS
    assert set(SCHEMA["cameraParameters"]["propertyNames"]["enum"]) == PARAMETER_KEYS
    assert set(SCHEMA["phase"]["enum"]) == PHASES
    assert status["properties"]["error"]["anyOf"][0]["enum"] == ["", *ERROR_KEYS]


def test_the_documents_lines_keep_the_schema():
    for mark, text in EXAMPLE:
        if mark == "<":
            status_line(text)
    commands = [text for mark, text in EXAMPLE if mark == ">"]
    commands += re.findall(r"^\{\"command\".*$", README, re.M)
    disk_links = re.findall(r"`(\{[^`]*\})`", DISK_LINK + PROTOCOL.split("## Disk link mode")[1])
    assert commands and disk_links
    for text in commands:
        assert protocol_problem(json.loads(text), "commandLine") is None, text
    for text in disk_links:
        assert protocol_problem(json.loads(text), "diskLinkLine") is None, text
    # Every line that protocol 2's part shows, in its examples and its text.
    shown = re.findall(r"^(?:[<>] )?(\{.*\})$", PROTOCOL_2, re.M)
    assert len(shown) > len(EXAMPLE_2) // 2
    for text in shown:
        line = json.loads(text)
        kind = ("commandLine" if "command" in line else "replyLine" if "reply" in line
                else "eventLine" if "event" in line else "statusLine")
        assert protocol_problem(line, kind) is None, text


def status(**changes):
    """README's sample status line with some values changed."""
    return dict(json.loads(README_STATUS), **changes)


TRANSFER = {"bytes": 10, "transferMs": 1.5, "flushMs": 0.5}

# Lines that a definition must refuse: what a host should not send, and
# what camrelay must not write.
REFUSED = [
    ("statusLine", status(lastTransfer={"bytes": 10, "transferMs": 1.5})),
    ("statusLine", status(lastTransfer=dict(TRANSFER, bytes=10.5))),
    ("statusLine", status(lastTransfer=dict(TRANSFER, speed=1))),
    ("statusLine", status(cameraParameters={"iso": ""})),
    ("statusLine", status(cameraParameters={"iso": 400})),
    ("statusLine", status(cameraParameters={"zoom": "2x"})),
    ("statusLine", status(cameras=[{"id": "usb:001,005", "name": "A"}])),
    ("statusLine", status(phase="paused")),
    ("statusLine", status(error="tethering.error.diskFull")),
    ("commandLine", {"command": "Start", "cameraId": "usb:001,005", "directory": "/tmp"}),
    ("commandLine", {"command": "start", "cameraId": "usb:001,005"}),
    ("commandLine", {"command": "start", "cameraId": "usb:001,005", "directory": "~/Shoot"}),
    ("commandLine", {"command": "start", "cameraId": "usb:001,005", "directory": "/a\0b"}),
    ("commandLine", {"command": "capture", "camera": "usb:001,005"}),
    ("commandLine", {"cameraId": "usb:001,005"}),
    ("diskLinkLine", {"protocol": "SATA", "mbps": 6000}),
    ("diskLinkLine", {"protocol": "USB", "mbps": 0}),
    ("diskLinkLine", {"mbps": 480}),
    ("diskLinkLine", {"protocol": "USB", "speed": 480}),
    ("commandLine", {"command": "hello"}),
    ("replyLine", {"reply": 1, "ok": False}),
    ("replyLine", {"reply": 1, "ok": False, "capture": 1,
                   "error": {"key": "tethering.error.noCamera", "text": "no camera is open"}}),
    ("eventLine", {"event": "photo", "file": "a.jpg", "path": "/a.jpg",
                   "camera": {"folder": "/", "name": "a.jpg"}, "bytes": 1, "leftBehind": False,
                   "transferMs": 1, "flushMs": 1}),
]


@pytest.mark.parametrize("definition, value", REFUSED)
def test_the_schema_refuses_what_the_protocol_does_not_allow(definition, value):
    assert protocol_problem(value, definition) is not None


@pytest.fixture(scope="module")
def failing_fsync(tmp_path_factory):
    return preload.build(tmp_path_factory.mktemp("fsync"), FAILING_FSYNC, "failing_fsync")


START = '{{"command":"start","cameraId":"{port}","directory":"{folder}"}}\n'

# For each error key: what camera_init is scripted to give, and the input that
# raises the key. A photo waits on the camera in every case; only a session
# that opens fetches it, and with every fsync failing it cannot be saved.
PROVOKE = {
    "tethering.error.helperProtocol": (None, "x" * 65537),
    "tethering.error.cameraBusy": (GP_ERROR_IO_USB_CLAIM, START),
    "tethering.error.cameraUnavailable": (None, START.replace("{port}", "usb:009,009")),
    "tethering.error.chooseFolder": (None, START.replace("{folder}", "Shoot")),
    "tethering.error.writeFailed": (None, START),
}


@pytest.mark.parametrize("key", ERROR_KEYS)
def test_each_documented_error_key_comes_from_the_program(bench, tmp_path, failing_fsync, key):
    device = bench.plug("capture", bus=1, address=5)
    init_result, command = PROVOKE[key]
    bench.camera.set_result("camera_init", init_result)
    bench.camera.add_photo("/DCIM", "IMG_0001.JPG", size=1000)
    relay = bench.relay(env=preload.chained(bench.env(), failing_fsync))
    relay.wait_for(lambda s: s["cameras"])
    relay.send(command.format(port=device.port, folder=tmp_path))
    relay.wait_for(phase="error", error=key)
