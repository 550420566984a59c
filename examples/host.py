#!/usr/bin/python3
"""A minimal camrelay host, meant to be copied.

It starts camrelay as a child process, says hello for protocol 2, writes
command lines and reads camrelay's three kinds of line: status lines (its
whole state: only the latest matters), replies (one per command, in order)
and events (what becomes of each photo). Each answer of "Writing a host"
and "Writing a protocol 2 host" in docs/protocol.md is here in code:
`open_camera`, `take_photo` and `finish` wait for a command's reply;
`take_photo` follows the capture's number to its photo; `describe_event`
shows which capture made each photo and the progress of large files;
`waiting_photos` and `failure_report` tell the user which photos wait for
the next start and which are lost; `find_cameras` tells "no camera" from
"still scanning"; `check_folder` comes before "start"; `explain` words
failures for a user; `gone` and `reconnect` follow an unplug.

With --protocol1 it speaks protocol 1 instead, as a host that never says
hello: status lines only, each command's answer told from them by the rules
of "Which line answers which command".

Run on its own it tethers the first camera it finds:

    examples/host.py [--validate] [--protocol1] path/to/camrelay /absolute/folder [captures]

With --validate every command line it sends and every line it reads is
checked against docs/protocol.schema.json (this needs the jsonschema
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

# What to tell the user for each key, of a status line's "error" or of a
# refusal. A host that checks folders and follows "cameras" meets
# cameraUnavailable and chooseFolder only in a race; the refusals that
# change nothing (an invalid line, id or field, an unknown command) only
# through a fault of its own.
MESSAGES = {
    "tethering.error.cameraBusy": "Another program is using the camera. Eject it in the "
                                  "file manager, quit other photo programs and try again.",
    "tethering.error.writeFailed": "The photo could not be saved in the folder.",
    "tethering.error.cameraUnavailable": "The camera is no longer connected.",
    "tethering.error.chooseFolder": "Choose a folder for the photos.",
    "tethering.error.helperProtocol": "Internal error: the tethering helper has stopped.",
    "tethering.error.captureBusy": "The camera is busy. Try again in a moment.",
    "tethering.error.focusFailed": "The camera could not focus. Check the focus and try again.",
    "tethering.error.cannotCapture": "This camera cannot take photos from the computer.",
    "tethering.error.noCamera": "No camera is open.",
}

REFUSALS = ("tethering.error.cameraUnavailable", "tethering.error.chooseFolder")

# What to add after a failure in a session, in protocol 1: camrelay keeps
# the photos the camera had announced and saves them at the next start of
# the same camera into the same folder. A photo not yet announced (a capture
# in flight) is not among them, so promise no more.
LEFT_BEHIND = ("The photos the camera had sent will be fetched when you reconnect; "
               "a photo still being taken may be on the camera's card.")

# The operating system's error texts, which come only from the photo folder.
SYSTEM_TEXTS = {os.strerror(code) for code in range(1, 256)}

MIB = 1 << 20


class CamrelayError(Exception):
    """camrelay failed, ended, refused a command, or a line did not come in time."""


def schema_validators():
    """A validator for each line camrelay and its host exchange, by the name
    of its definition in the schema."""
    import jsonschema  # only when asked for: the host runs without it

    schema = json.loads(SCHEMA.read_text())
    return {name: jsonschema.Draft202012Validator({**schema, "$ref": f"#/$defs/{name}"})
            for name in ("commandLine", "statusLine", "replyLine", "eventLine")}


def line_kind(line):
    """Which definition of the schema a line of camrelay's is."""
    return "replyLine" if "reply" in line else "eventLine" if "event" in line else "statusLine"


class Camrelay:
    """camrelay as a child process. In protocol 2 (the default) it says hello
    at once; `request` sends a command and returns its reply. Status lines
    go to `latest`, events to `events`; `on_status` and `on_event` are
    called with each, raw and parsed."""

    def __init__(self, executable, env=None, on_status=None, on_event=None, validate=False,
                 protocol=2):
        self.process = subprocess.Popen(
            [executable], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.protocol = protocol
        self.latest = None
        self.events = []  # every event so far, in order
        self.features = set()
        self.on_status = on_status
        self.on_event = on_event
        self._replies = {}  # replies not yet taken, by id
        self._next_id = 0
        self._pending = b""
        self._validators = schema_validators() if validate else None
        if protocol == 2:
            reply = self.request("hello", protocol=2)
            if not reply["ok"]:
                raise CamrelayError(f"camrelay does not speak protocol 2: {reply['error']}")
            self.features = set(reply["features"])

    def _check(self, definition, line):
        """With validation on, raises CamrelayError when `line` breaks the schema."""
        if self._validators is None:
            return
        error = next(self._validators[definition].iter_errors(line), None)
        if error is not None:
            raise CamrelayError(f"{definition} breaks the protocol schema: {error.message}: "
                                f"{json.dumps(line)}")

    def send(self, command, **fields):
        """Writes one command line without waiting for anything."""
        line = {"command": command, **fields}
        self._check("commandLine", line)
        self.process.stdin.write((json.dumps(line) + "\n").encode())
        self.process.stdin.flush()

    def request(self, command, timeout=60, **fields):
        """Protocol 2: sends the command with an id of its own and returns its
        reply, which comes once the command's work is done."""
        self._next_id += 1
        id = self._next_id
        self.send(command, id=id, **fields)
        deadline = time.monotonic() + timeout
        while id not in self._replies:
            if self.next_line(max(deadline - time.monotonic(), 0)) is None:
                raise CamrelayError(f"no reply to {command} in time; last: {self.latest}")
        return self._replies.pop(id)

    def next_line(self, timeout):
        """Reads the next line of any kind and files it; returns it, or None
        when none came within `timeout` seconds."""
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
        line = json.loads(raw)
        kind = line_kind(line)
        self._check(kind, line)
        if kind == "replyLine":
            self._replies[line["reply"]] = line
        elif kind == "eventLine":
            self.events.append(line)
            if self.on_event:
                self.on_event(raw.decode(), line)
        else:
            self.latest = line
            if self.on_status:
                self.on_status(raw.decode(), line)
        return line

    def next_status(self, timeout):
        """The next status line, or None when none came within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.next_line(max(deadline - time.monotonic(), 0))
            if line is None or line_kind(line) == "statusLine":
                return line

    def wait_for(self, condition, timeout=30, what="the expected status"):
        """Reads lines until a status line satisfies `condition`; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            status = self.next_status(max(deadline - time.monotonic(), 0))
            if status is None:
                raise CamrelayError(f"timed out waiting for {what}; last: {self.latest}")
            if condition(status):
                return status

    def wait_event(self, condition, since=0, timeout=30, what="the expected event"):
        """The first event from index `since` on that satisfies `condition`;
        reads lines until one comes. None when the camera fails first."""
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events[since:]:
                if condition(event):
                    return event
            since = len(self.events)
            if failed(self.latest):
                return None
            if self.next_line(max(deadline - time.monotonic(), 0)) is None:
                raise CamrelayError(f"timed out waiting for {what}; last: {self.latest}")

    def close(self, timeout=10):
        """Ends camrelay by closing its input, which first saves the photos
        still queued; returns its exit status. (SIGTERM would quit at once
        and drop them.)"""
        if not self.process.stdin.closed:
            self.process.stdin.close()
        while True:
            try:
                if self.next_line(timeout) is None:
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


def made_by(event):
    """Which capture made the photo of `event`, in words."""
    if event.get("leftBehind"):
        return "left behind earlier"
    if event["capture"] is None:
        return "the camera's own button"
    return f"capture {event['capture']}"


def describe_event(event):
    """One readable line per event."""
    name = event.get("camera", {}).get("name", "?")
    kind = event["event"]
    if kind == "download":
        size = f", {event['total'] / MIB:.1f} MiB" if event["total"] is not None else ""
        return f"downloading {name}{size} ({made_by(event)})"
    if kind == "progress":
        total = f" of {event['total'] / MIB:.1f}" if event["total"] is not None else ""
        return f"{name}: {event['bytes'] / MIB:.1f}{total} MiB"
    if kind == "photo":
        return f"saved {event['path']} ({made_by(event)})"
    if kind == "photoLeftBehind":
        return (f"waiting: {name} will be saved when {event['body']['model']} is started "
                f"into {event['directory']} again")
    if kind == "photoNotSaved":
        return f"lost: {name} ({event['reason']}); it may still be on the camera's card"
    if kind == "captureLost":
        return (f"capture {event['capture']} lost ({event['reason']}); "
                f"its photo may be on the camera's card")
    return f"not fetched: {name} ({event['reason']})"


def explain(error, doing):
    """A message for the user: `error` is a status line's "error", or a
    refusal's "error" object; `doing` what the host asked for when it came
    (libgphoto2's texts are technical)."""
    if isinstance(error, dict):
        key, text = error["key"], error["text"]
        if key == "tethering.error.systemFailed":
            return f"Photos cannot be saved in the folder ({text})."
        error = key if key in MESSAGES else text
    if error in MESSAGES:
        return MESSAGES[error]
    if error in SYSTEM_TEXTS:
        return f"Photos cannot be saved in the folder ({error})."
    return f"Could not {doing} ({error})."


def failed(status):
    return status is not None and status["phase"] in ("error", "disconnected")


def failure_report(relay, since=0):
    """Protocol 2: what became of the photos in the making, from the events
    from index `since` on, in words for the user."""
    waiting = [e for e in relay.events[since:] if e["event"] == "photoLeftBehind"]
    lost = [e for e in relay.events[since:] if e["event"] in ("captureLost", "photoNotSaved")]
    text = ""
    if waiting:
        text += (f" {len(waiting)} photo(s) will be saved when you reconnect the camera "
                 f"and start it into the same folder.")
    if lost:
        text += (f" {len(lost)} photo(s) did not reach the computer; look for them on the "
                 f"camera's card.")
    return text


def waiting_photos(relay):
    """Protocol 2: the photos left behind, each waiting for the next start of
    its camera into its folder."""
    return relay.request("leftBehind")["photos"]


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
        finish(relay)  # "start" while a camera is open is refused (protocol 1: no answer)
    if relay.protocol == 2:
        reply = relay.request("start", cameraId=camera["id"], directory=folder)
        if not reply["ok"]:
            raise CamrelayError(explain(reply["error"], "open the camera"))
        return relay.latest
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
    """Fires the shutter and waits for the photo. Protocol 2: returns its
    "photo" event (the first of a RAW+JPEG pair); protocol 1: the "ready"
    line that names it in "lastFile"."""
    if not relay.latest["canCapture"]:
        raise CamrelayError(MESSAGES["tethering.error.cannotCapture"])
    if relay.protocol == 1:
        return take_photo_protocol1(relay)
    since = len(relay.events)
    reply = relay.request("capture")
    if not reply["ok"]:
        # A busy camera or a focus miss leaves the session open; any other
        # refusal is a failure that closed it.
        report = failure_report(relay, since) if failed(relay.latest) else ""
        raise CamrelayError(explain(reply["error"], "take the photo") + report)
    number = reply["capture"]
    # The photo comes later, in its own events: a "photo" with the
    # capture's number, or "captureLost" when the session gives up on it.
    event = relay.wait_event(lambda e: e.get("capture") == number
                             and e["event"] in ("photo", "captureLost"), since, what="the photo")
    if event is not None and event["event"] == "photo":
        return event
    # Only a failure gives up on a capture here; its "error" line follows
    # the events of what it left behind and lost.
    status = relay.latest if failed(relay.latest) else relay.wait_for(failed, what="the failure")
    raise CamrelayError(explain(status["error"], "take the photo") + failure_report(relay, since))


def take_photo_protocol1(relay):
    before = relay.latest["count"]
    relay.send("capture")
    relay.wait_for(lambda s: s["phase"] == "capturing", what="the capture")
    status = relay.wait_for(lambda s: s["phase"] in ("ready", "error"), what="the shutter")
    if not failed(status):
        # The photo comes in lines of its own: from the capture itself, or
        # from the camera's event a moment later. A failure leaves it behind
        # for the next start of this camera into this folder, if the camera
        # had announced it by then.
        status = relay.wait_for(lambda s: failed(s) or s["count"] > before, what="the photo")
    if failed(status):
        raise CamrelayError(f"{explain(status['error'], 'take the photo')} {LEFT_BEHIND}")
    return status


def reconnect(relay, model, folder, timeout=60):
    """Opens the camera again once it is back: under a new id (the port path
    changes), so matched by model. Two bodies of one model share a name; a
    real host would ask the user which one (protocol 2's "cameras" gives
    their serial numbers). Into the same folder as before, the photos that
    the failure left behind are saved first."""
    status = relay.wait_for(lambda s: any(c["name"] == model for c in s["cameras"]),
                            timeout, "the camera to come back")
    return open_camera(relay, next(c for c in status["cameras"] if c["name"] == model), folder)


def finish(relay):
    """Closes the camera the safe way: "stop" saves the queued photos first
    and always ends with "idle"."""
    if relay.protocol == 2:
        relay.request("stop", timeout=120)
        return relay.latest
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
    options = {"--validate", "--protocol1"}
    args = [arg for arg in argv if arg not in options]
    if len(args) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    captures = int(args[3]) if len(args) > 3 else 1
    relay = Camrelay(args[1], on_status=lambda raw, status: print(describe(status)),
                     on_event=lambda raw, event: print(f"  {describe_event(event)}"),
                     validate="--validate" in argv,
                     protocol=1 if "--protocol1" in argv else 2)
    try:
        tether(relay, args[2], captures)
        finish(relay)
        if relay.protocol == 2:
            for photo in waiting_photos(relay):
                print(f"still waiting: {photo['camera']['name']} for {photo['body']['model']} "
                      f"in {photo['directory']}")
    except CamrelayError as problem:
        print(problem, file=sys.stderr)
        return 1
    finally:
        relay.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
