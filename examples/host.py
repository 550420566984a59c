#!/usr/bin/python3
"""A minimal camrelay host, meant to be copied.

It starts camrelay as a child process, writes command lines to its standard
input and reads its status lines. camrelay reports its whole state on every
line, so a host only ever needs the latest line; `wait_for` reads lines until
one satisfies a condition.

Run on its own it tethers the first camera it finds:

    examples/host.py path/to/camrelay /absolute/folder [captures]
"""

import json
import os
import select
import subprocess
import sys
import time


class CamrelayError(Exception):
    """camrelay ended, or a status line did not come in time."""


class Camrelay:
    def __init__(self, executable, env=None, on_status=None):
        self.process = subprocess.Popen(
            [executable], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.latest = None
        self.on_status = on_status  # called with every status line, raw and parsed
        self._pending = b""

    def send(self, command, **fields):
        """Writes one command line: start, stop or capture."""
        line = json.dumps({"command": command, **fields}) + "\n"
        self.process.stdin.write(line.encode())
        self.process.stdin.flush()

    def start(self, camera_id, directory):
        self.send("start", cameraId=camera_id, directory=directory)

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
        """Ends camrelay by closing its input; returns its exit status."""
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


def tether(relay, directory, captures, log=print):
    """Opens the first camera, takes `captures` photos and waits for them."""
    status = relay.wait_for(lambda s: s["cameras"], what="a camera")
    camera = status["cameras"][0]
    log(f"camera: {camera['name']} at {camera['id']}, {camera['linkMbps']} Mbit/s")
    relay.start(camera["id"], directory)
    status = relay.wait_for(lambda s: s["phase"] in ("ready", "error"), what="the camera")
    if status["phase"] == "error":
        raise CamrelayError(f"cannot open the camera: {status['error']}")
    for _ in range(captures):
        before = status["count"]
        relay.send("capture")
        status = relay.wait_for(
            lambda s: s["phase"] == "error" or (s["count"] > before and not s["pendingCount"]),
            what="the photo")
        if status["phase"] == "error":
            raise CamrelayError(f"capture failed: {status['error']}")
    return status


def main(argv):
    if len(argv) < 3 or not os.path.isabs(argv[2]):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    captures = int(argv[3]) if len(argv) > 3 else 1
    relay = Camrelay(argv[1], on_status=lambda raw, status: print(describe(status)))
    try:
        tether(relay, argv[2], captures)
        relay.send("stop")
        relay.wait_for(lambda s: s["phase"] == "idle", what="the stop")
    finally:
        relay.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
