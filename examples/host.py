#!/usr/bin/python3
"""A minimal camrelay host, meant to be copied.

It starts camrelay as a child process, writes command lines to its standard
input and reads its status lines. camrelay reports its whole state on every
line, so a host only ever needs the latest line; `wait_for` reads lines until
one satisfies a condition. Each answer of "Writing a host" in
docs/protocol.md is here in code: `open_camera`, `take_photo` and `finish`
tell a command's answer from other lines; `find_cameras` tells "no camera"
from "still scanning"; `check_folder` comes before "start"; `explain` words
failures for a user; `gone` and `reconnect` follow an unplug.

Run on its own it tethers the first camera it finds:

    examples/host.py [--validate] path/to/camrelay /absolute/folder [captures]

With --validate every command line it sends and every status line it reads
is checked against docs/protocol.schema.json (this needs the jsonschema
package: Debian's python3-jsonschema); a line that breaks it ends the run.
A host's own tests can do the same.
"""

import json
import os
import select
import subprocess
import sys
import time
from pathlib import Path

SCHEMA = Path(__file__).resolve().parent.parent / "docs" / "protocol.schema.json"

# The first scan ends well within a second of the first line; with nothing
# attached no line follows, so "no camera" is only known after waiting.
FIRST_SCAN_GRACE = 2.0

# What to tell the user for each key. A host that checks folders and follows
# "cameras" meets the last three only in a race or through a fault of its own.
MESSAGES = {
    "tethering.error.cameraBusy": "Another program is using the camera. Eject it in the "
                                  "file manager, quit other photo programs and try again.",
    "tethering.error.writeFailed": "The photo could not be saved in the folder.",
    "tethering.error.cameraUnavailable": "The camera is no longer connected.",
    "tethering.error.chooseFolder": "Choose a folder for the photos.",
    "tethering.error.helperProtocol": "Internal error: the tethering helper has stopped.",
}

REFUSALS = ("tethering.error.cameraUnavailable", "tethering.error.chooseFolder")

# What to add after a failure in a session: camrelay keeps the photos it
# could not save yet and saves them at the next start of the same camera
# into the same folder.
LEFT_BEHIND = "The photos not yet saved will be fetched when you reconnect."

# The operating system's error texts, which come only from the photo folder.
SYSTEM_TEXTS = {os.strerror(code) for code in range(1, 256)}


class CamrelayError(Exception):
    """camrelay failed, ended, or a status line did not come in time."""


def schema_validators():
    """A validator for each line camrelay and its host exchange, by the name
    of its definition in the schema."""
    import jsonschema  # only when asked for: the host runs without it

    schema = json.loads(SCHEMA.read_text())
    return {name: jsonschema.Draft202012Validator({**schema, "$ref": f"#/$defs/{name}"})
            for name in ("commandLine", "statusLine")}


class Camrelay:
    def __init__(self, executable, env=None, on_status=None, validate=False):
        self.process = subprocess.Popen(
            [executable], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.latest = None
        self.on_status = on_status  # called with every status line, raw and parsed
        self._pending = b""
        self._validators = schema_validators() if validate else None

    def _check(self, definition, line):
        """With validation on, raises CamrelayError when `line` breaks the schema."""
        if self._validators is None:
            return
        error = next(self._validators[definition].iter_errors(line), None)
        if error is not None:
            raise CamrelayError(f"{definition} breaks the protocol schema: {error.message}: "
                                f"{json.dumps(line)}")

    def send(self, command, **fields):
        """Writes one command line: start, stop or capture."""
        line = {"command": command, **fields}
        self._check("commandLine", line)
        self.process.stdin.write((json.dumps(line) + "\n").encode())
        self.process.stdin.flush()

    def next_status(self, timeout):
        """The next status line, or None when none came within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([self.process.stdout], [], [], left)
            if not ready:
                return None
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise CamrelayError(f"camrelay ended with status {self.process.wait()}")
            self._pending += chunk
        raw, self._pending = self._pending.split(b"\n", 1)
        self.latest = json.loads(raw)
        self._check("statusLine", self.latest)
        if self.on_status:
            self.on_status(raw.decode(), self.latest)
        return self.latest

    def wait_for(self, condition, timeout=30, what="the expected status"):
        """Reads status lines until `condition(status)` holds; returns that line."""
        deadline = time.monotonic() + timeout
        while True:
            status = self.next_status(max(deadline - time.monotonic(), 0))
            if status is None:
                raise CamrelayError(f"timed out waiting for {what}; last: {self.latest}")
            if condition(status):
                return status

    def close(self, timeout=10):
        """Ends camrelay by closing its input, which first saves the photos
        still queued; returns its exit status. (SIGTERM would quit at once
        and drop them.)"""
        if not self.process.stdin.closed:
            self.process.stdin.close()
        while True:
            try:
                if self.next_status(timeout) is None:
                    break
            except CamrelayError:
                break
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            return self.process.wait()


def describe(status):
    """One readable line per status."""
    text = (f"phase={status['phase']} count={status['count']} "
            f"lastFile={status['lastFile'] or '-'} pendingCount={status['pendingCount']}")
    if status["error"]:
        text += f" error={status['error']}"
    return text


def explain(error, doing):
    """A message for the user: `error` is the line's "error", `doing` what
    the host asked for when it came (libgphoto2's texts are technical)."""
    if error in MESSAGES:
        return MESSAGES[error]
    if error in SYSTEM_TEXTS:
        return f"Photos cannot be saved in the folder ({error})."
    return f"Could not {doing} ({error})."


def failed(status):
    return status["phase"] in ("error", "disconnected")


def find_cameras(relay, grace=FIRST_SCAN_GRACE):
    """The cameras of the first scan, or [] when none came within `grace`."""
    status = relay.latest or relay.next_status(30)
    deadline = time.monotonic() + grace
    while status is not None and not status["cameras"]:
        status = relay.next_status(max(deadline - time.monotonic(), 0))
    return status["cameras"] if status else []


def gone(status, camera_id):
    """Whether the camera has been unplugged: its id left "cameras". The
    phase alone does not say so ("disconnected" only follows some unplugs)."""
    return all(camera["id"] != camera_id for camera in status["cameras"])


def check_folder(folder):
    """Why photos cannot go to `folder`, or None. camrelay accepts any
    absolute path, and a bad one fails only at the first photo."""
    if "\0" in folder or not os.path.isabs(folder):
        return "Choose a folder for the photos."
    if not os.path.isdir(folder):
        return f"The folder {folder} does not exist."
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"The folder {folder} cannot be written."
    return None


def open_camera(relay, camera, folder):
    """Opens `camera`, an entry of the latest "cameras"; returns its "ready" line."""
    problem = check_folder(folder)
    if problem:
        raise CamrelayError(problem)
    if relay.latest["cameraId"]:
        finish(relay)  # "start" while a camera is open gets no answer at all
    relay.send("start", cameraId=camera["id"], directory=folder)
    # A refused start is one "error" line with one of two keys, which a host
    # that checks the folder and reads "cameras" should meet only in a race.
    # Otherwise the line right after "connecting" is the answer.
    status = relay.wait_for(lambda s: s["phase"] == "connecting" or s["error"] in REFUSALS,
                            what="the start")
    if status["phase"] == "connecting":
        status = relay.wait_for(lambda s: s["phase"] in ("ready", "error"), what="the camera")
    if failed(status):
        raise CamrelayError(explain(status["error"], "open the camera"))
    return status


def take_photo(relay):
    """Fires the shutter and waits for the photo; returns the "ready" line
    that names it in "lastFile"."""
    if not relay.latest["canCapture"]:
        # "capture" would get one unchanged line, like any other.
        raise CamrelayError("This camera cannot take photos from the computer.")
    before = relay.latest["count"]
    relay.send("capture")
    relay.wait_for(lambda s: s["phase"] == "capturing", what="the capture")
    status = relay.wait_for(lambda s: s["phase"] in ("ready", "error"), what="the shutter")
    if not failed(status):
        # The photo comes in lines of its own: from the capture itself, or
        # from the camera's event a moment later. A failure leaves it behind
        # for the next start of this camera into this folder.
        status = relay.wait_for(lambda s: failed(s) or s["count"] > before, what="the photo")
    if failed(status):
        raise CamrelayError(f"{explain(status['error'], 'take the photo')} {LEFT_BEHIND}")
    return status


def reconnect(relay, model, folder, timeout=60):
    """Opens the camera again once it is back: under a new id (the port path
    changes), so matched by model. Two bodies of one model share a name; a
    real host would ask the user which one. Into the same folder as before,
    the photos that the failure left behind are saved first."""
    status = relay.wait_for(lambda s: any(c["name"] == model for c in s["cameras"]),
                            timeout, "the camera to come back")
    return open_camera(relay, next(c for c in status["cameras"] if c["name"] == model), folder)


def finish(relay):
    """Closes the camera the safe way: "stop" saves the queued photos first
    and always ends with "idle"."""
    relay.send("stop")
    relay.wait_for(lambda s: s["phase"] == "stopping", what="the stop")
    return relay.wait_for(lambda s: s["phase"] == "idle", what="the stop")


def tether(relay, folder, captures, log=print):
    """Opens the first camera and takes `captures` photos; returns its entry."""
    cameras = find_cameras(relay)
    if not cameras:
        raise CamrelayError("No camera is connected.")  # a real host keeps listening
    camera = cameras[0]
    log(f"camera: {camera['name']} at {camera['id']}, {camera['linkMbps']} Mbit/s")
    open_camera(relay, camera, folder)
    for _ in range(captures):
        take_photo(relay)
    return camera


def main(argv):
    validate = "--validate" in argv
    argv = [arg for arg in argv if arg != "--validate"]
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    captures = int(argv[3]) if len(argv) > 3 else 1
    relay = Camrelay(argv[1], on_status=lambda raw, status: print(describe(status)),
                     validate=validate)
    try:
        tether(relay, argv[2], captures)
        finish(relay)
    except CamrelayError as problem:
        print(problem, file=sys.stderr)
        return 1
    finally:
        relay.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
