"""Protocol 1 held byte for byte: a recorded session replayed on the virtual
camera bench.

A host that never says hello must read exactly the lines that camrelay
writes today. tests/data/protocol1_session.txt is such a session: lines
beginning "> " are written to camrelay (consecutive ones in one write, so
that camrelay carries them out before any camera work; "␀" stands for a NUL
byte and /home/ann/Shoot for the test's folder), "< " are its status lines
as it wrote them, "! " bench actions (ACTIONS: "name" or "name: arguments"),
"# " comments (which say what each step shows). Each step (a write or an
action) is taken only once every line of the step before it has come, so
the lines come in one order. The replay compares each line byte for byte,
key order, escaping and number formatting included; only what differs from
run to run is masked: the numbers of "transferMs" and "flushMs" and the
"libraryVersion" text. At the end of input camrelay must exit 0 without
another line.

To record it again (only for a change of protocol 1's lines that every host
is told of), edit the ">", "!" and "#" lines and run this file with
CAMRELAY_RECORD_PROTOCOL1=1:

    CAMRELAY_RECORD_PROTOCOL1=1 CAMRELAY_BUILD_DIR=$PWD/build \\
        CAMRELAY_SOURCE_DIR=$PWD umockdev-wrapper /usr/bin/python3 -m pytest \\
        -q -p no:cacheprovider tests/test_protocol1_replay.py

It takes the same steps and writes the "<" lines from what camrelay writes,
taking a step's lines until camrelay has been silent for RECORD_QUIET
seconds (a few minutes in all). Replay it several times before committing.
"""

import os
import re
import time
from pathlib import Path

import pytest

import harness
from harness import EVENT_FILE_ADDED

TRANSCRIPT = Path(__file__).resolve().parent / "data" / "protocol1_session.txt"
RECORDING = os.environ.get("CAMRELAY_RECORD_PROTOCOL1") == "1"
# Longer than any silence within a step: a stop waits 3 s after a trigger.
RECORD_QUIET = 5.0
FOLDER = "/home/ann/Shoot"  # the transcript's name for the test's folder
CARD = "/store_00010001/DCIM/100VCAM"
# A setting whose text the status line must escape: quotes, a backslash, a
# control character; and bytes beyond ASCII, which it writes as they are.
LENS = 'Zoom "Ω" 24–70 C:\\lens\x01'

RUN_DEPENDENT = [(re.compile(rb'("(?:transferMs|flushMs)":)[-+.0-9eE]+'), rb"\1<ms>"),
                 (re.compile(rb'("libraryVersion":)"[^"]*"'), rb"\1<version>")]


def masked(line: bytes) -> bytes:
    for pattern, mask in RUN_DEPENDENT:
        line = pattern.sub(mask, line)
    return line


class Session:
    """What the steps act on: the bench, the camrelay started last, and the
    cameras plugged so far by port (each one the same body, serial VC0001,
    unless its model differs)."""

    def __init__(self, bench):
        self.bench, self.camera, self.relay, self.devices = bench, bench.camera, None, {}

    def plug(self, model, port, speed="5000"):
        bus, address = (int(n) for n in port.removeprefix("usb:").split(","))
        self.devices[port] = self.bench.plug(model, bus=bus, address=address, speed=speed)

    def slow_card_burst(self, *names):
        """1 MiB photos on the card (in the script: they outlive the camera's
        session), announced in one write and fetched at 100 kB/s: the first
        takes 10 s, so that a cable pulled after its "transferring" line (by
        the recorder RECORD_QUIET later) cuts its download."""
        self.camera.set_throttle(100_000)
        self.camera.add_generated_files((CARD, name, 1 << 20, seed) for seed, name in
                                        enumerate(names, 60))
        self.camera.add_events(self.camera.event(EVENT_FILE_ADDED, CARD, name) for name in names)


ACTIONS = {
    "camrelay starts": lambda s: setattr(s, "relay", s.bench.relay()),
    "end of input": lambda s: s.relay.close_stdin(),
    "plug": Session.plug,
    "unplug": lambda s, port: s.bench.unplug(s.devices[port]),
    "shutter button, on the card": lambda s, *names: s.camera.add_card_photos(CARD, names),
    "shutter button, in camera memory": lambda s, *names: s.camera.add_ram_photos(names),
    "trigger answers": lambda s, result: s.camera.set_result(
        "trigger", None if result == "ok" else int(result)),
    "slow card burst": Session.slow_card_burst,
    "full speed": lambda s: s.camera.set_throttle(0),
    "settings with a lens name to escape": lambda s: s.camera.set_config(
        [harness.text("lensname", LENS)]),
    "default settings": lambda s: s.camera.default_config(),
}


def lines_until_quiet(relay):
    """What camrelay writes until it has been silent for RECORD_QUIET s."""
    first, last = len(relay.seen_raw), time.monotonic()
    while time.monotonic() - last < RECORD_QUIET:
        time.sleep(0.05)
        if relay.pending_lines():
            last = time.monotonic()
    return relay.seen_raw[first:]


def test_a_host_without_hello_reads_todays_lines_byte_for_byte(bench, tmp_path):
    folder = tmp_path / "Shoot"
    folder.mkdir()
    session = Session(bench)
    recorded, batch, step_open = [], [], False

    def end_step():
        """Writes the batched lines; when recording, takes the step's lines."""
        nonlocal step_open
        if batch:
            session.relay.send(b"".join(batch))
            batch.clear()
        if RECORDING and step_open and session.relay:
            recorded.extend("< " + raw.decode().removesuffix("\n")
                            for raw in lines_until_quiet(session.relay))
        step_open = False

    previous = ""
    for number, line in enumerate(TRANSCRIPT.read_text().splitlines(), 1):
        mark, text = line[:1], line[2:]
        assert mark in ("<", ">", "!", "#"), f"line {number}: no mark: {line!r}"
        if mark != ">" or previous != ">":
            end_step()
        previous = mark
        if RECORDING and mark != "<":
            recorded.append(line)
        if mark == ">":
            batch.append(text.replace(FOLDER, str(folder)).replace("␀", "\0").encode() + b"\n")
            step_open = True
        elif mark == "!":
            name, _, arguments = text.partition(": ")
            ACTIONS[name](session, *arguments.split())
            step_open = True
        elif mark == "<" and not RECORDING:
            written = session.relay.raw_line()
            shown = written.decode(errors="replace")
            assert masked(written) == masked(text.encode() + b"\n"), (
                f"line {number} of {TRANSCRIPT.name}; camrelay wrote:\n{shown}")
    end_step()

    assert session.relay.wait_exit() == 0
    assert session.relay.pending_lines() == []
    # Every line camrelay wrote was a status line, and was compared: no
    # reply or event ever reaches a host that did not say hello.
    assert session.relay.raw_transcript() == session.relay.seen_raw
    if RECORDING:
        TRANSCRIPT.write_text("\n".join(recorded) + "\n")
        pytest.skip(f"recorded {TRANSCRIPT.name}: replay it to check it")
