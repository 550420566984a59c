"""A long tethering shoot on the virtual camera bench, with faults at random
moments, and a ledger of every photo taken from the ground truth.

`shoot(bench, scratch, photos=N, seed=S)` plays a photographer's session
against one camrelay after another (`bench/endurance` prints its figures,
`test_endurance.py` runs a short one): photos come as the camera's
file-added events (bursts and singles, on the card and in camera memory,
sizes up to `max_size`, some files that are no photos) and from the host's
"capture" on bodies with and without trigger capture. Each fault of FAULTS
(endurance_ledger.py) happens several times, at moments the seed chooses;
after each the photographer fixes the cause and starts the camera into the
same folder again, after a cable pull mostly the same body (by its serial
number) under a new port, now and then with a photo it left behind deleted
on the camera meanwhile. The first camrelay ends by the end of its input
and the last by SIGTERM, each with photos queued. The host speaks protocol
2: each camrelay is sent "hello" first and every command carries an id
(`protocol=1` plays the same shoot with status lines alone, for a build
beside one that knows no protocol 2; its quick stops are plain stops).

The ledger does not believe camrelay. Each photo offered is, in the end:
saved exactly once with its bytes (found in the folder or in a copy that was
moved away), in the session that it was announced to or, left behind by a
failure, in a later one; not saved by a documented rule, as the diagnostic
log names it, and one that fits what the shoot did (Shoot._check_given_up);
or never announced to camrelay (the virtual camera's record.jsonl says what
it delivered). Anything else is a loss. Besides: files the host put in the
folder never change, no temporary file is left at quiet moments or at the
end, every status line keeps the protocol schema and has counters that agree
with the folder, nothing hangs (an awaited line missing for HANG_SECONDS) or
crashes, and every camrelay exits 0. In protocol 2 every command gets
exactly one reply, in order; every photo saved has exactly one `photo`
event that names the file found holding it; every log line that leaves a
photo behind, gives one up or skips a file has its event, in the log's
order (after SIGTERM camrelay writes nothing, and the log goes on alone);
and every capture's number leads to its photos or to its `captureLost`,
each photo carrying the capture that camrelay's documented rule gives it
(Shoot._check_messages). A protocol 1 camrelay writes no reply or event.
"""

from __future__ import annotations

import errno
import json
import os
import random
import re
import shutil
import signal
import subprocess
import threading
import time
from collections import Counter, defaultdict
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional

from endurance_ledger import (END_RULES, FAULTS, SONY_CAPTURE_PREFIX, TEMPORARY_PREFIX,
                              Conversation, Figures, Log, Photo, Records, camera_identity,
                              capture_rule, same_pattern, unnumbered, within_slope)
from harness import MODELS, Bench, Camera, rss_anon_kib

HANG_SECONDS = 30.0
CLOSED_PHASES = ("idle", "error", "disconnected")
STORE = "/store_00010001/DCIM"
PHOTO_EXTENSIONS = ("JPG", "JPG", "JPG", "NEF", "CR3", "ARW", "DNG", "RAF", "HEIC", "ORF")
OTHER_EXTENSIONS = ("MOV", "MP4", "WAV", "XMP", "THM", "TXT")
# camrelay's text for a full disk: the operating system's.
DISK_FULL_TEXT = os.strerror(errno.ENOSPC)

# The models of the bodies the photographer brings, with their weights.
BODIES = {"trigger": 4, "capture": 3, "sony": 2, "sony-capture": 2, "viewer": 1}
# How often a cable pull is followed by the same body plugged back in.
SAME_BODY_AGAIN = 0.75
# How often the photographer, with the cable pulled, deletes on the camera a
# card photo that the pull left behind.
DELETED_ON_THE_CAMERA = 0.1


@dataclass(frozen=True)
class Body:
    """A camera body: its model (a key of MODELS) and the serial number of
    its USB device, by which camrelay knows it again under a new port. All
    bodies share the bench's one card."""

    model: str
    serial: str


class Hang(Exception):
    """An awaited status line did not come within HANG_SECONDS."""


class Crash(Exception):
    """camrelay ended without being asked to, or exited with another status than 0."""


class Shoot:
    """The shoot's driver and its ledger (see the module's docstring)."""

    def __init__(self, bench: Bench, scratch: Path, photos: int, seed: int,
                 max_size: int = 40 << 20, progress: Callable[[str], None] = None,
                 protocol: int = 2):
        self.bench, self.camera = bench, bench.camera
        self.protocol = protocol
        self.scratch = Path(scratch)
        self.target = photos
        self.rng = random.Random(seed)
        self.max_size = max_size
        self.progress = progress or (lambda text: None)
        self.figures = Figures(seed=seed, protocol=protocol)
        self.faults_each = max(3, photos // 100)
        self.disk = self.scratch / "disk"  # the destination's file system
        self.mounted = False
        self.dest = self.disk / "photos"
        self.moved: list[Path] = []  # folders moved away, not scanned yet
        self.host_files: dict[Path, bytes] = {}
        self.photos: dict[str, Photo] = {}
        self.by_saved_name: dict[str, list[Photo]] = defaultdict(list)
        self.saved: Counter = Counter()  # identity -> files found
        self.saved_as: dict[str, set[str]] = defaultdict(set)  # identity -> names found under
        self.capture_specs: dict[int, tuple[int, int, Optional[str]]] = {}
        self.records = Records(self.camera, self.captured)
        self.logs: list[Log] = []
        self.conversations: list[Conversation] = []  # each camrelay's, beside its log
        self.talk: Optional[Conversation] = None  # the running camrelay's
        self.commands = 0  # the ids given so far
        self.serial = 0
        self.next_capture_spec = 0
        self.address = 4
        self.bus = 1
        self.device = None
        self.bodies: list[Body] = []
        self.body: Optional[Body] = None  # the body plugged in last
        self.undeliverable: set[str] = set()  # card photos the camera can no longer deliver
        self.deleted: set[str] = set()  # card photos left behind, then deleted on the camera
        # Photos a fault left behind: the camrelay (by number) and the body.
        self.left_by: dict[str, tuple[int, Body]] = {}
        self.ended_with: dict[int, Body] = {}  # the body open when camrelay N was ended
        self.relay = None
        self.log: Optional[Log] = None
        self.last: dict = {}
        self.expect_errors = False
        self.ending = False  # the host ended this camrelay: no further lines are judged
        self.rss_samples: list[tuple[int, float, int]] = []
        self.relay_began_at = 0
        self.sampler_stop = threading.Event()
        self.sampler = threading.Thread(target=self._sample_peak, daemon=True)
        self.requested = 0
        self.stop_losses: set[str] = set()
        self.unsettled = 0  # photo steps in a row that did not wait for a quiet moment

    # -- the run ---------------------------------------------------------------

    def run(self) -> Figures:
        began = time.monotonic()
        self._mount()
        self.dest.mkdir(parents=True, exist_ok=True)
        self.sampler.start()
        try:
            self._guarded(self._begin)
            schedule = self._schedule()
            halfway = False
            reported = 0
            while self.requested < self.target or schedule:
                if not halfway and self.requested >= self.target // 2:
                    halfway = True
                    self._guarded(self._end_by_end_of_input)
                elif schedule and schedule[0][0] <= self.requested:
                    kind = schedule.pop(0)[1]
                    self.figures.faults[kind] += 1
                    self._guarded(lambda: self._fault(kind))
                else:
                    self._guarded(self._photo_step)
                if self.requested // 500 > reported:
                    reported = self.requested // 500
                    self.progress(f"{self.requested} of {self.target} photos requested, "
                                  f"{time.monotonic() - began:.0f} s")
            self._guarded(self._end_by_sigterm)
            self._final_scan()
        finally:
            self.sampler_stop.set()
            if self.relay is not None and not self.talk.ended:
                self._end_relay("replaced")  # the shoot itself failed
            self._unmount()
        self.figures.wall_seconds = time.monotonic() - began
        self._ledger()
        return self.figures

    def _schedule(self) -> list[tuple[int, str]]:
        kinds = [kind for kind in FAULTS for _ in range(self.faults_each)]
        if not self.mounted:
            kinds = [kind for kind in kinds if kind != "disk_full"]
            self.figures.skipped.append("disk_full: not root, so no small file system to fill")
        low, high = max(1, self.target // 50), max(2, self.target - self.target // 50)
        return sorted((self.rng.randint(low, high), kind) for kind in kinds)

    def _guarded(self, step: Callable[[], None]) -> None:
        try:
            step()
        except Hang as hang:
            self.figures.hangs += 1
            self._problem(f"hang: {hang}")
            self._replace_relay()
        except Crash as crash:
            self.figures.crashes += 1
            self._problem(f"crash: {crash}")
            self._replace_relay()

    def _problem(self, text: str) -> None:
        self.figures.problem_count += 1
        if len(self.figures.problems) < 200:
            context = f" (after {self.requested} photos requested, seed {self.figures.seed})"
            self.figures.problems.append(text + context)

    # -- camrelay and the camera -------------------------------------------------

    def _begin(self) -> None:
        self.device = self._plug(self._new_body())
        self._new_relay()
        self._open_session()

    def _new_body(self) -> Body:
        model = self.rng.choices(list(BODIES), weights=list(BODIES.values()))[0]
        self.bodies.append(Body(model, f"VC{len(self.bodies) + 1:04d}"))
        return self.bodies[-1]

    def _body_after_pull(self) -> Body:
        """The body the photographer plugs in after a cable pull: mostly the
        same one, whose photos left behind camrelay then saves; otherwise
        another, one used before half the time."""
        if self.rng.random() < SAME_BODY_AGAIN:
            self.figures.plugs_same_body += 1
            self._delete_on_the_camera()
            return self.body
        self.figures.plugs_other_body += 1
        others = [body for body in self.bodies if body != self.body]
        if others and self.rng.random() < 0.5:
            return self.rng.choice(others)
        return self._new_body()

    def _delete_on_the_camera(self) -> None:
        """Now and then the photographer deletes on the camera a card photo
        that the body left behind and camrelay has not saved yet; its start
        then gives it up as no longer on the camera. The draws do not depend
        on what camrelay left behind, so that a seed plays the same shoot on
        a build that leaves nothing behind."""
        delete, which = self.rng.random() < DELETED_ON_THE_CAMERA, self.rng.random()
        waiting = sorted(identity for identity, (_, body) in self.left_by.items()
                         if body == self.body and not self.saved[identity]
                         and identity in self.photos and self.photos[identity].folder != "/"
                         and identity not in self.deleted | self.undeliverable)
        if delete and waiting:
            photo = self.photos[waiting[int(which * len(waiting))]]
            self.camera.remove_file(photo.folder, photo.name)
            self.deleted.add(photo.identity)
            self.figures.deleted_on_the_camera += 1

    def _plug(self, body: Body):
        """Plugs `body` in under the next port."""
        self.body = body
        self.address += 1
        if self.address > 120:
            self.address, self.bus = 5, self.bus % 8 + 1
        return self.bench.plug(body.model, bus=self.bus, address=self.address,
                               speed=self.rng.choice(("480", "5000")), serial=body.serial)

    def _new_relay(self) -> None:
        number = len(self.logs) + 1
        path = self.scratch / f"camrelay-{number}.log"
        self.log = Log(path)
        self.logs.append(self.log)
        self.relay = self.bench.relay(env=self.bench.env(CAMRELAY_LOG=str(path)), long_run=True)
        self.talk = Conversation(self.protocol, self.relay.proc.pid, self._problem)
        self.conversations.append(self.talk)
        self.figures.relays += 1
        self.relay_began_at = self.requested
        self.last = {}
        self.ending = False
        self._wait("the first line", lambda s: True)
        if self.protocol >= 2:
            self._send([{"command": "hello", "protocol": 2}])

    def _send(self, commands: list[dict]) -> None:
        """Writes `commands` in one write; in protocol 2 each with an id of
        its own (numbers and strings by turns), whose reply the
        conversation awaits."""
        payload = ""
        for command in commands:
            id = None
            if self.protocol >= 2:
                self.commands += 1
                id = self.commands if self.commands % 2 else f"c{self.commands}"
                command = {**command, "id": id}
            self.talk.sent_command(id, command["command"])
            payload += json.dumps(command) + "\n"
        self.relay.send(payload)

    def _messages(self) -> None:
        """Hands the replies and events that have come to the conversation."""
        for message in self.relay.take_messages():
            self.talk.take(message)

    def _end_relay(self, how: str) -> None:
        """Ends the running camrelay (if it still runs) and its
        conversation, which takes its last replies and events."""
        self.relay.end()
        self._messages()
        self.talk.close(how)

    def _replace_relay(self) -> None:
        """After a hang or a crash: the next camrelay takes over."""
        relay = self.relay
        if relay is not None:
            if relay.proc.poll() is None:
                relay.send_signal(signal.SIGTERM)
            try:
                relay.proc.wait(timeout=HANG_SECONDS)
            except subprocess.TimeoutExpired:
                relay.proc.kill()
                relay.proc.wait()
                self.records.forget_taken()
            if not self.talk.ended:
                self._end_relay("replaced")
            self._refresh()
            self.log.abandon()
        self.camera.set_throttle(0)
        self.camera.set_result("file_get", None)
        self._free_disk()
        self.expect_errors = False
        self._guarded_once(self._new_relay)
        self._guarded_once(self._open_session)

    def _guarded_once(self, step) -> None:
        try:
            step()
        except (Hang, Crash) as failure:
            self.figures.hangs += isinstance(failure, Hang)
            self.figures.crashes += isinstance(failure, Crash)
            self._problem(f"{type(failure).__name__.lower()} while recovering: {failure}")

    def _camera_open(self) -> bool:
        return bool(self.last.get("cameraId")) and self.last.get("phase") not in CLOSED_PHASES

    def _listed(self, line: dict, port: str) -> bool:
        return any(entry.get("id") == port for entry in line.get("cameras", []))

    def _open_session(self) -> None:
        """Opens the camera if none is open: plugs it in again if it was
        pulled, waits for it in `cameras`, and sends "start"."""
        if self._camera_open():
            return
        if not self.device.plugged:
            self.device = self._plug(self._body_after_pull())
        port = self.device.port
        if not self._listed(self.last, port):
            self._wait(f"{port} in cameras", lambda s: self._listed(s, port))
        for _ in range(3):
            self._send([{"command": "start", "cameraId": port, "directory": str(self.dest)}])
            self._wait("connecting", lambda s: s["phase"] == "connecting")
            line = self._wait("the answer to start", lambda s: s["phase"] in ("ready", "error"))
            if line["phase"] == "ready":
                break
        else:
            raise Hang(f"start of {port} keeps failing: {line['error']!r}")
        if self.figures.rss_start is None:
            self._sample_rss(closed=False)

    # -- status lines ------------------------------------------------------------

    def _take(self, timeout: float) -> Optional[dict]:
        line = self.relay.take_line(timeout)
        self._messages()
        if line is None:
            if self.relay.ended and not self.ending:
                try:
                    status = self.relay.proc.wait(timeout=HANG_SECONDS)
                except subprocess.TimeoutExpired:
                    status = "none (it still runs)"
                raise Crash(f"camrelay ended its output, exit status {status}")
            return None
        if isinstance(line, str):  # what makes it no valid status line
            self._inconsistent(line[:800])
            return None
        self._check_line(line)
        self.last = line
        return line

    def _wait(self, what: str, where: Callable[[dict], bool]) -> dict:
        """The first line that matches `where`. Each line that comes gives the
        wait HANG_SECONDS more, up to ten times that in all."""
        now = time.monotonic()
        deadline, limit = now + HANG_SECONDS, now + 10 * HANG_SECONDS
        while True:
            line = self._take(max(0.0, min(deadline, limit) - time.monotonic()))
            if line is not None:
                deadline = time.monotonic() + HANG_SECONDS
                if where(line):
                    return line
            if time.monotonic() >= min(deadline, limit):
                raise Hang(f"no line with {what} within {HANG_SECONDS:g} s; last line "
                           f"{json.dumps(self.last)}")

    def _inconsistent(self, text: str) -> None:
        self.figures.inconsistent_lines += 1
        self._problem(f"inconsistent line: {text}")

    def _check_line(self, line: dict) -> None:
        """Values that agree with each other (the take has checked the form
        against the protocol schema), and counters that agree with the
        folder and with the line before."""
        previous = self.last
        shown = json.dumps(line)[:600]
        if ((line["phase"] == "error" and (line["pendingCount"] or line["cameraId"]))
                or (line["phase"] == "idle" and line["cameraId"])
                or (not line["cameraId"] and line["canCapture"])):
            self._inconsistent(f"values: {shown}")
            return
        if not previous:
            return
        entered = (previous["phase"], previous["error"]) != ("error", line["error"])
        if line["phase"] == "error" and entered and not self.expect_errors:
            self.figures.unexpected_errors += 1
            self._problem(f"error without a fault: {shown}")
        if previous["phase"] in ("connecting", "capturing") and line["phase"] not in ("ready",
                                                                                       "error"):
            self._inconsistent(f"after {previous['phase']!r} came {line['phase']!r}: {shown}")
        if previous["phase"] == "connecting" and line["phase"] == "ready":
            if line["count"] or line["lastFile"] or line["lastTransfer"]:
                self._inconsistent(f"a new session that does not start from 0: {shown}")
            return
        same = (line["count"], line["lastFile"], line["lastTransfer"]) == (
            previous["count"], previous["lastFile"], previous["lastTransfer"])
        if line["count"] == previous["count"] and not same:
            self._inconsistent(f"lastFile or lastTransfer changed without count: {shown}")
        elif line["count"] == previous["count"] + 1:
            self._check_rise(line, shown)
        elif line["count"] != previous["count"]:
            self._inconsistent(f"count went from {previous['count']} to {line['count']}: {shown}")

    def _check_rise(self, line: dict, shown: str) -> None:
        name, size = line["lastFile"], line["lastTransfer"].get("bytes")
        if line["phase"] not in ("ready", "stopping"):
            self._inconsistent(f"count rose in phase {line['phase']!r}: {shown}")
        for folder in [self.dest, *self.moved]:
            path = folder / name
            if name and "/" not in name and path.is_file() and path not in self.host_files:
                if path.stat().st_size != size:
                    self._inconsistent(f"{name} has {path.stat().st_size} bytes: {shown}")
                return
        self._inconsistent(f"no file {name!r} in the folder: {shown}")

    # -- ground truth --------------------------------------------------------------

    def _refresh(self) -> bool:
        changed = self.records.refresh()
        return self.log.refresh() or changed

    def _quiet(self) -> bool:
        """Nothing is under way: every event written has been taken, every
        file handed over has been logged, nothing is queued or awaited, and
        the last line says so."""
        pid = self.relay.proc.pid
        if self.last.get("phase") in CLOSED_PHASES:
            return True
        # The log tells of a save just before the line does.
        return (self.last.get("phase") == "ready" and self.last.get("pendingCount") == 0
                and self.last.get("count") == self.log.session_saved
                and not self.records.written and not self.records.awaited(pid)
                and self.records.file_events[pid] == self.log.camera_files
                and not self.log.queued)

    def _settle(self, what: str = "a quiet moment") -> None:
        """Waits until nothing is under way, each line or photo's step giving
        the wait HANG_SECONDS more (up to ten times that in all); then
        checks the folder."""
        deadline = time.monotonic() + HANG_SECONDS
        limit = time.monotonic() + 10 * HANG_SECONDS
        quiet_since = None
        while True:
            line = self._take(0.05)
            changed = self._refresh()
            now = time.monotonic()
            if line is not None or changed:
                deadline = now + HANG_SECONDS
                quiet_since = None
            if self._quiet():
                # A closed camera has said all it will once no line came for
                # a moment; what it left queued unlogged is then abandoned.
                quiet_since = quiet_since or now
                if self._camera_open() or now - quiet_since >= 0.3:
                    break
            elif now >= min(deadline, limit):
                raise Hang(f"{what} did not come within {HANG_SECONDS:g} s; last line "
                           f"{json.dumps(self.last)}; queued {list(self.log.queued)[:5]}, "
                           f"awaited {sorted(self.records.awaited(self.relay.proc.pid))[:5]}, "
                           f"events not taken {len(self.records.written)}")
        if not self._camera_open():
            self.log.abandon()
            self._sample_rss(closed=True)
        self._scan()

    # -- the folder ------------------------------------------------------------

    def _scan(self) -> None:
        """Checks every file in the folder and in the copies moved away, at a
        quiet moment: host files unchanged, no temporary file, every other
        file a photo saved whole, each claim of the log where it says; then
        takes the photos out (as the host imports them)."""
        found: dict[str, list[str]] = defaultdict(list)  # name -> identities
        for folder in [self.dest, *self.moved]:
            if not folder.is_dir():
                continue
            for entry in os.scandir(folder):
                path = Path(entry.path)
                if path in self.host_files:
                    continue
                if entry.name.startswith(TEMPORARY_PREFIX):
                    self.figures.temporary_files += 1
                    self._problem(f"temporary file {entry.name} in {folder.name} at a quiet "
                                  f"moment ({entry.stat().st_size} bytes)")
                else:
                    photo = self._identify(path)
                    if photo is None:
                        self.figures.corrupt_files += 1
                        self._problem(f"{folder.name}/{entry.name} ({entry.stat().st_size} "
                                      "bytes) holds no photo offered, byte for byte")
                    else:
                        self.saved[photo.identity] += 1
                        self.saved_as[photo.identity].add(entry.name)
                        self.figures.saved_in_moved_folders += folder != self.dest
                        found[entry.name].append(photo.identity)
                path.unlink()
        self._check_host_files()
        for folder in self.moved:
            if folder.is_dir():
                shutil.rmtree(folder)
        self.moved.clear()
        for log in self.logs:
            for identity, name, size in log.claims:
                if identity not in found.get(name, []):
                    self.figures.overwrites += 1
                    self._problem(f"the log saved {identity} as {name} ({size} bytes), but "
                                  f"{name} holds {found.get(name) or 'nothing of ours'}")
            log.claims.clear()

    def _identify(self, path: Path) -> Optional[Photo]:
        size = path.stat().st_size
        names = [path.name] + ([base] if (base := unnumbered(path.name)) else [])
        for name in names:
            for photo in self.by_saved_name.get(name, []):
                if photo.size == size and same_pattern(path, photo.size, photo.seed):
                    return photo
        return None

    def _check_host_files(self) -> None:
        for path, data in list(self.host_files.items()):
            try:
                now = path.read_bytes()
            except FileNotFoundError:
                now = None
            if now != data:
                self.figures.overwrites += 1
                self._problem(f"host file {path.parent.name}/{path.name} changed or vanished")
            if path.parent != self.dest:
                del self.host_files[path]  # in a folder moved away, which goes now

    def _final_scan(self) -> None:
        self._refresh()
        for log in self.logs:
            log.abandon()
        self._scan()
        for path in list(self.host_files):
            path.unlink(missing_ok=True)
        self.host_files.clear()

    # -- photos --------------------------------------------------------------------

    def _size(self) -> int:
        """Most photos small, a few up to max_size: 4 KiB * (max/4 KiB)^(u^2)."""
        ratio = self.max_size / 4096
        return int(4096 * ratio ** (self.rng.random() ** 2)) + self.rng.randint(0, 4095)

    def _register(self, photo: Photo) -> Photo:
        if photo.identity not in self.photos:
            self.photos[photo.identity] = photo
            for name in photo.saved_names():
                self.by_saved_name[name].append(photo)
        return self.photos[photo.identity]

    def _new_photo(self, ram: bool, other: bool = False, size: int = None) -> Photo:
        self.serial += 1
        if other:
            extension = self.rng.choice(OTHER_EXTENSIONS)
        else:
            extension = self.rng.choice(PHOTO_EXTENSIONS)
            self.requested += 1
        if ram:
            sony = self.device is not None and self.device.model.vendor == MODELS["sony"].vendor
            name = (f"capt_R{self.serial:06d}.{extension}" if sony
                    else f"capt{self.serial:06d}.{extension.lower()}")
            folder = "/"
        else:
            name = f"E{self.serial:06d}.{extension}"
            folder = f"{STORE}/{100 + self.serial // 400 % 800}VCAM"
        return self._register(Photo(folder, name, size or self._size(), self.serial,
                                    photo=not other))

    def _burst(self, count: int, ram: float = 0.0, others: float = 0.08,
               size: int = None) -> list[Photo]:
        """`count` new photos (each in camera memory with probability `ram`)
        and perhaps some other files among them."""
        photos = []
        for _ in range(count):
            if self.rng.random() < others:
                photos.append(self._new_photo(self.rng.random() < ram, other=True))
            photos.append(self._new_photo(self.rng.random() < ram, size=size))
        return photos

    def _announce(self, photos: list[Photo], extra: list[dict] = ()) -> None:
        """Announces `photos` with one write of events. A photo of the card
        is put on it first, in the script, where it outlives the camera's
        session as on a real card (a file that an event itself brings is
        gone when the camera closes), so that a start after a failure can
        fetch it; a photo of camera memory comes with its event."""
        card = {p.identity: p for p in photos if p.folder != "/"}.values()
        if card:
            self.camera.add_generated_files((p.folder, p.name, p.size, p.seed) for p in card)
        events = [Camera.photo_event(p.folder, p.name, size=p.size, seed=p.seed, ram=True)
                  if p.folder == "/" else Camera.event("file_added", p.folder, p.name)
                  for p in photos]
        self._write_events(events + list(extra))

    def _write_events(self, events: list[dict]) -> None:
        self.camera.add_events(events)
        self.records.expect(events)

    def captured(self, folder: str, name: str, trigger: bool) -> list[Photo]:
        """The photos a capture or trigger of the camera took (called for its
        record): the file, and the second of a pair."""
        match = re.search(r"C(\d{6})_", name)
        if not match or int(match.group(1)) not in self.capture_specs:
            return []
        size, seed, pair = self.capture_specs[int(match.group(1))]
        photos = [self._register(Photo(folder, name, size, seed, photo=True))]
        if pair and trigger:
            second = name[:name.rfind(".")] + "." + pair
            photos.append(self._register(Photo(folder, second, size, seed, photo=True)))
        return photos

    def _prepare_capture(self, delay_ms: int = None) -> int:
        """Sets what the next captures take; returns how many photos each
        capture makes."""
        self.next_capture_spec += 1
        number = self.next_capture_spec
        model = self.device.model
        ram = self.rng.random() < 0.5
        sony = model.vendor == MODELS["sony"].vendor
        pair = "NEF" if model.trigger and self.rng.random() < 0.25 else None
        size, seed = self._size(), self.rng.randint(0, 250)
        if ram:
            name = (f"{SONY_CAPTURE_PREFIX}C{number:06d}_#.ARW" if sony
                    else f"captC{number:06d}_#.jpg")
        else:
            name = f"C{number:06d}_#.{'ARW' if sony else 'JPG'}"
        self.capture_specs[number] = (size, seed, pair)
        self.camera.set_capture(folder=None if ram else f"{STORE}/100VCAM", name=name, size=size,
                                seed=seed, ram=ram, complete_event=self.rng.random() < 0.3,
                                trigger_delay_ms=(self.rng.randint(0, 600) if delay_ms is None
                                                  else delay_ms),
                                pair=pair, pair_delay_ms=self.rng.randint(0, 300))
        return 2 if pair else 1

    def _photo_step(self) -> None:
        self._open_session()
        choice = self.rng.random()
        if choice < 0.3 and self.device.model.can_capture:
            count = self.rng.choice((1, 1, 1, 2, 3))
            self.requested += count * self._prepare_capture()
            self._send([{"command": "capture"}] * count)
            # Until camrelay has answered them, nothing shows the captures
            # are under way: a quiet moment must not be taken before that.
            for _ in range(count):
                self._wait("capturing", lambda s: s["phase"] == "capturing")
                self._wait("the answer to capture", lambda s: s["phase"] in ("ready", "error"))
        elif choice < 0.55:
            self._announce(self._burst(self.rng.randint(2, 8), ram=0.3))
        elif choice < 0.7:
            self._announce(self._burst(self.rng.randint(2, 6), ram=1.0))
        else:
            self._announce(self._burst(1, ram=0.4))
        if self.rng.random() < 0.6 or self.unsettled >= 2:
            self.unsettled = 0
            self._settle()
        else:
            self.unsettled += 1
            while self._take(0) is not None:  # the next photos come while these download
                self._refresh()

    # -- faults ----------------------------------------------------------------------

    def _fault(self, kind: str) -> None:
        self._open_session()
        self._settle(f"a quiet moment before {kind}")
        self.expect_errors = True
        left = set(self.log.left_behind)
        try:
            getattr(self, f"_fault_{kind}")()
            self._settle(f"a quiet moment after {kind}")
            for identity in self.log.left_behind - left:
                self.left_by[identity] = (len(self.logs), self.body)
        finally:
            self.camera.set_throttle(0)
            self.camera.set_result("file_get", None)
            self._free_disk()
            self.expect_errors = False
        self._open_session()

    def _gone(self, port: str) -> None:
        self._wait(f"{port} gone from cameras",
                   lambda s: s["phase"] in ("error", "disconnected") and not self._listed(s, port))

    def _fault_unplug_idle(self) -> None:
        self.bench.unplug(self.device)
        self._gone(self.device.port)

    def _fault_unplug_after_burst(self) -> None:
        self._announce(self._burst(self.rng.randint(2, 8), ram=0.5))
        self.bench.unplug(self.device)
        self._gone(self.device.port)

    def _throttled_burst(self, count: int, low: int, high: int, ram: float = 0.0) -> list[Photo]:
        """Card photos sent at 4 MB/s, so that the first is still coming when
        the caller acts on the "transferring" line it waits for (each photo
        in camera memory instead with probability `ram`)."""
        self.camera.set_throttle(4_000_000)
        photos = [self._new_photo(ram=self.rng.random() < ram, size=self.rng.randint(low, high))
                  for _ in range(count)]
        self._announce(photos)
        self._wait("transferring", lambda s: s["phase"] in ("transferring", "stopping")
                   and s["pendingCount"] > 0)
        return photos

    def _fault_unplug_mid_transfer(self) -> None:
        self._throttled_burst(self.rng.randint(1, 3), 400_000, 1_500_000)
        time.sleep(self.rng.uniform(0, 0.08))
        self.bench.unplug(self.device)
        self._gone(self.device.port)

    def _fault_unplug_while_taking_up(self) -> None:
        """The cable pulled during a burst, and pulled again while the same
        body, plugged back, saves what the first pull left behind."""
        self._throttled_burst(self.rng.randint(2, 6), 150_000, 600_000, ram=0.3)
        self.bench.unplug(self.device)
        self._gone(self.device.port)
        self.device = self._plug(self.body)
        # Whatever camrelay does, the shoot goes on the same way (the same
        # draws, the second pull), so that a seed plays it on any build.
        delay = self.rng.uniform(0, 0.05)
        self._open_session()
        if self.last["pendingCount"] > 0:
            self._wait("transferring", lambda s: s["phase"] == "transferring")
            time.sleep(delay)
        self.bench.unplug(self.device)
        self._gone(self.device.port)

    def _fault_camera_cut_off(self) -> None:
        photo = self._new_photo(ram=False)
        self.camera.add_file(photo.folder, photo.name, size=photo.size, seed=photo.seed,
                             result=self.rng.choice((-7, -10, -1)),
                             fail_after=self.rng.randint(0, photo.size - 1))
        self._write_events([Camera.event("file_added", photo.folder, photo.name)])
        self._announce(self._burst(self.rng.randint(0, 3), ram=0.3))
        self._wait("the cut-off download's error", lambda s: s["phase"] == "error")
        self._settle()
        # Most cut-offs are the moment's (the link, the camera busy): the
        # file is whole on the card and comes with the next start. One in
        # four is a file the camera cannot deliver, given up after its
        # second failure.
        if self.rng.random() < 0.75:
            self.camera.set_file_result(photo.folder, photo.name, None)
        else:
            self.undeliverable.add(photo.identity)

    def _stop_and_wait(self, commands: list[dict] = ({"command": "stop"},)) -> None:
        """Sends `commands` ("stop" last) in one write and waits for "idle".
        A capture in flight that the camera announces within the documented
        bounds (every shoot's delays are) must be saved before it: a camera
        closed first is a loss, not a photo never announced."""
        self._refresh()
        self.records.closed_awaiting.clear()
        self._send(list(commands))
        self._wait("idle after stop", lambda s: s["phase"] == "idle")
        self._refresh()
        for identity in sorted(self.records.closed_awaiting):
            self.stop_losses.add(identity)
            self._problem(f"loss: stop closed the camera before {identity}, a capture in "
                          "flight, was announced")

    def _fault_stop_with_queue(self) -> None:
        # Some photos over 1 MiB, which take long enough at 4 MB/s for
        # progress events.
        self._throttled_burst(self.rng.randint(2, 5), 100_000, 2_500_000)
        self._stop_and_wait()

    def _fault_stop_idle(self) -> None:
        self._stop_and_wait()

    def _fault_stop_after_burst(self) -> None:
        self._announce(self._burst(self.rng.randint(2, 8), ram=0.5))
        self._stop_and_wait()

    def _fault_quick_stop(self) -> None:
        """A quick stop while a queue downloads: the queue, and the download
        it cuts short, are left behind for the next start of the body (a
        protocol 1 host's "leave" is no word of its protocol: its stop saves
        the queue first)."""
        self._throttled_burst(self.rng.randint(2, 5), 200_000, 1_500_000, ram=0.3)
        time.sleep(self.rng.uniform(0, 0.1))
        self._stop_and_wait([{"command": "stop", "leave": True}])

    def _fault_capture_and_stop(self) -> None:
        count = self.rng.choice((1, 1, 2))
        if self.device.model.can_capture:
            self.requested += count * self._prepare_capture(delay_ms=self.rng.randint(0, 1500))
        self._stop_and_wait([{"command": "capture"}] * count + [{"command": "stop"}])

    def _fault_disk_full(self) -> None:
        filler = self.disk / "filler"
        usage = os.statvfs(self.disk)
        margin = self.rng.randint(0, 256 << 10)
        free = usage.f_bavail * usage.f_frsize
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            # The file system's own bookkeeping may not let the last pages go.
            for reserve in range(margin, free, 256 << 10):
                try:
                    os.posix_fallocate(fd, 0, max(4096, free - reserve))
                    break
                except OSError as failure:
                    if failure.errno != errno.ENOSPC:
                        raise
        finally:
            os.close(fd)
        usage = os.statvfs(self.disk)
        left = usage.f_bavail * usage.f_frsize
        photos = [self._new_photo(ram=self.rng.random() < 0.4,
                                  size=left + self.rng.randint(64 << 10, 1 << 20))]
        self._announce(photos + self._burst(self.rng.randint(0, 3)))
        line = self._wait("the full disk's error", lambda s: s["phase"] == "error")
        if line["error"] != DISK_FULL_TEXT:
            self._inconsistent(f"a full disk told as {line['error']!r}")
        self._settle()

    def _free_disk(self) -> None:
        (self.disk / "filler").unlink(missing_ok=True)

    def _fault_folder_moved(self) -> None:
        self._throttled_burst(self.rng.randint(2, 6), 150_000, 500_000)
        time.sleep(self.rng.uniform(0, 0.05))
        away = self.disk / f"photos.moved-{self.serial}"
        self.dest.rename(away)
        self.moved.append(away)
        self.host_files = {away / path.name if path.parent == self.dest else path: data
                           for path, data in self.host_files.items()}
        time.sleep(self.rng.choice((0, 0, 0.01, 0.1)))
        self.dest.mkdir()

    def _fault_download_failure(self) -> None:
        self.camera.set_result("file_get", self.rng.choice((-7, -10, -1)),
                               after_bytes=self.rng.choice((0, 0, 1000, 70_000)))
        photos = [self._new_photo(ram=False, size=self.rng.randint(100_000, 400_000))]
        self._announce(photos + self._burst(self.rng.randint(0, 3)))
        self._wait("the failed download's error", lambda s: s["phase"] == "error")

    def _fault_event_failure(self) -> None:
        photos = self._burst(self.rng.randint(0, 6), ram=0.4)
        self._announce(photos, extra=[{"result": self.rng.choice((-7, -10, -1, -52))}])
        self._wait("the failed event wait's error", lambda s: s["phase"] == "error")

    def _fault_names_taken(self) -> None:
        photos = self._burst(self.rng.randint(1, 4), ram=0.3, others=0)
        sony = self.device.model.vendor == MODELS["sony"].vendor
        for photo in photos:
            # The name camrelay will give it on this body.
            name = min(photo.saved_names(), key=len) if sony else photo.name
            taken = [name]
            if self.rng.random() < 0.4:  # the first numbered name is taken too
                stem, dot, extension = name.rpartition(".")
                taken.append(f"{stem}_1.{extension}")
            for taken_name in taken:
                data = os.urandom(self.rng.randint(10, 5000))
                (self.dest / taken_name).write_bytes(data)
                self.host_files[self.dest / taken_name] = data
        self._announce(photos)

    def _fault_announced_twice(self) -> None:
        photos = self._burst(self.rng.randint(1, 4), ram=0.4, others=0)
        twice = photos + [self.rng.choice(photos)]
        self.rng.shuffle(twice)
        self._announce(twice)

    # -- the two ends ----------------------------------------------------------------

    def _end_by_end_of_input(self) -> None:
        """The host quits with photos queued: they are saved, then camrelay
        exits 0 without an "idle" line."""
        self._open_session()
        self._settle()
        self.ended_with[len(self.logs)] = self.body
        self._throttled_burst(self.rng.randint(2, 5), 100_000, 400_000)
        self.ending = True
        self.relay.close_stdin()
        self._drain_to_exit("end of input")
        self.camera.set_throttle(0)
        self._new_relay()
        self._open_session()

    def _end_by_sigterm(self) -> None:
        """SIGTERM with photos queued: camrelay exits 0 at once; the queue is
        dropped by the signal rule."""
        self._open_session()
        self._settle()
        self.ended_with[len(self.logs)] = self.body
        self._sample_rss(closed=False, end=True)
        self._throttled_burst(self.rng.randint(2, 5), 200_000, 600_000)
        time.sleep(self.rng.uniform(0, 0.2))
        self.ending = True
        self.relay.send_signal(signal.SIGTERM)
        self._drain_to_exit("SIGTERM")
        self.camera.set_throttle(0)

    def _drain_to_exit(self, how: str) -> None:
        deadline = time.monotonic() + HANG_SECONDS
        while not self.relay.ended:
            line = self._take(0.1)
            if line is not None:
                deadline = time.monotonic() + HANG_SECONDS
                if line["phase"] == "idle" and how == "end of input":
                    self._inconsistent("an \"idle\" line after the end of input")
            elif time.monotonic() >= deadline:
                raise Hang(f"camrelay still writing lines {HANG_SECONDS:g} s after {how}")
        try:
            status = self.relay.proc.wait(timeout=HANG_SECONDS)
        except subprocess.TimeoutExpired:
            raise Hang(f"camrelay did not exit within {HANG_SECONDS:g} s of {how}")
        self._refresh()
        self.log.abandon()
        if status != 0:
            raise Crash(f"exit status {status} after {how}")
        self._end_relay(how)

    # -- memory ----------------------------------------------------------------------

    def _sample_rss(self, closed: bool, end: bool = False) -> None:
        kib = rss_anon_kib(self.relay.proc.pid)
        if kib is None:
            return
        if self.figures.rss_start is None:
            self.figures.rss_start = kib
        self.figures.rss_peak = max(self.figures.rss_peak or 0, kib)
        if end or closed:
            self.figures.rss_end = kib
        warm = self.requested - self.relay_began_at >= max(20, self.target // 20)
        if closed and warm:
            self.rss_samples.append((len(self.logs), self.requested, kib))

    def _sample_peak(self) -> None:
        while not self.sampler_stop.wait(0.25):
            relay = self.relay
            if relay is not None and (kib := rss_anon_kib(relay.proc.pid)) is not None:
                self.figures.rss_peak = max(self.figures.rss_peak or 0, kib)

    # -- the disk --------------------------------------------------------------------

    def _mount(self) -> None:
        """A small tmpfs of our own for the destination when we are root,
        so that it can be filled."""
        self.disk.mkdir(parents=True, exist_ok=True)
        if os.geteuid() != 0 or shutil.which("mount") is None:
            return
        size = max(512 << 20, 16 * self.max_size)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs",
                               str(self.disk)], capture_output=True)
        self.mounted = done.returncode == 0

    def _unmount(self) -> None:
        if self.mounted:
            subprocess.run(["umount", "-l", str(self.disk)], capture_output=True)
            self.mounted = False

    # -- the ledger ------------------------------------------------------------------

    def _ledger(self) -> None:
        figures = self.figures
        figures.photos_requested = self.requested
        drops: dict[str, str] = {}
        ignored: set[str] = set()
        unexplained: set[str] = set()
        left_behind: set[str] = set()
        for log in self.logs:
            drops.update(log.drops)
            ignored |= log.ignored
            unexplained.update(log.unexplained)
            left_behind |= log.left_behind
            for identity in log.named_twice:
                self._problem(f"{identity} named as not saved twice")
        for identity, photo in self.photos.items():
            announced = self.records.announced[identity] > 0
            saved = self.saved[identity]
            if photo.photo:
                figures.photos_offered += 1
                figures.photos_announced += announced
            else:
                figures.other_files_offered += 1
                figures.other_files_announced += announced
            if identity in left_behind:
                figures.left_behind += 1
                figures.left_behind_saved += saved > 0
            if saved:
                figures.saved += photo.photo
                figures.duplicates += saved - 1
                if identity in drops:
                    self._problem(f"{identity} saved, but named as not saved ({drops[identity]})")
                if saved > 1:
                    self._problem(f"{identity} saved {saved} times")
                if not photo.photo:
                    figures.losses += 1
                    self._problem(f"{identity} is no photo, but was saved")
                if not announced:
                    self._problem(f"{identity} saved though never announced")
            elif identity in self.stop_losses:
                figures.losses += 1
            elif not announced:
                figures.never_announced += 1
            elif not photo.photo:
                if identity in ignored:
                    figures.other_files_ignored += 1
                else:
                    figures.losses += 1
                    self._problem(f"{identity} (no photo) announced, but not logged as ignored")
            elif identity in drops and self._rule_fits(identity, drops[identity]):
                figures.not_saved[drops[identity]] += 1
                figures.waiting_at_the_end += drops[identity] in END_RULES and \
                    identity in left_behind
            else:
                figures.losses += 1
                if identity not in drops:
                    why = "dropped without a documented rule" if identity in unexplained else \
                        "neither saved nor dropped"
                    self._problem(f"loss: {identity} ({photo.size} bytes) announced, {why}")
        figures.rss_samples = len(self.rss_samples)
        slope = within_slope(self.rss_samples)
        figures.rss_slope = None if slope is None else slope * 1000
        self._check_messages()

    # -- protocol 2 ------------------------------------------------------------------

    def _check_messages(self) -> None:
        """Each camrelay's replies (checked as they came) and events against
        its log, the folder and the camera's record: one `photo` event for
        each photo saved, matching the file; an event for each log line that
        leaves a photo behind, gives one up or skips a file; and for each
        capture its photos or its loss, by camrelay's rule. A camrelay ended
        by SIGTERM writes nothing from the signal on; one replaced after a
        hang or crash has had its problem counted."""
        figures = self.figures
        photo_events: Counter = Counter()
        unwritten: Counter = Counter()  # identity -> saves after a signal
        for log, talk in zip(self.logs, self.conversations):
            figures.commands_sent += talk.sent
            figures.replies_checked += talk.replies
            figures.progress_events_checked += talk.progress
            if self.protocol < 2:
                continue
            silenced = talk.ended in ("SIGTERM", "replaced")
            told = [camera_identity(event) for event in talk.photos]
            self._check_in_order(talk, "photo", log.saves, told, silenced)
            unwritten.update(log.saves[len(told):])
            self._check_words(log, talk, silenced)
            for event in talk.photos:
                photo_events[camera_identity(event)] += 1
                self._check_photo_event(event, log)
            for event in talk.left:
                self._check_left_event(event)
            self._check_captures(talk, silenced)
        if self.protocol < 2:
            return
        for identity in set(self.saved) | set(photo_events):
            saved, told = self.saved[identity], photo_events[identity]
            if told != saved and told + unwritten[identity] != saved:
                self._problem(f"{identity} saved {saved} time(s), with {told} photo event(s)")

    def _check_in_order(self, talk: Conversation, what: str, logged: list, told: list,
                        silenced: bool) -> int:
        """Events that answer log lines, one each, in the log's order, as
        `what` names them; a camrelay ended by a signal wrote none from the
        signal on, when its log goes on alone (counted). Returns how many
        matched."""
        def same(line, event) -> bool:
            if not isinstance(line, tuple):
                return line == event
            return len(line) == len(event) and line[0] == event[0] and all(
                a is None or b is None or a == b for a, b in zip(line[1:], event[1:]))

        matched = 0
        for line, event in zip(logged, told):
            if not same(line, event):
                self._problem(f"camrelay {talk.pid}: after {matched} {what} events that match "
                              f"its log, the log says {line}, the event {event}")
                return matched
            matched += 1
        if len(told) > len(logged):
            self._problem(f"camrelay {talk.pid}: {what} events with no log line: "
                          f"{told[len(logged):][:5]}")
        elif len(told) < len(logged):
            if silenced:
                self.figures.events_unwritten_after_sigterm += len(logged) - len(told)
            else:
                self._problem(f"camrelay {talk.pid}: {len(logged) - len(told)} log lines without "
                              f"their {what} event: {logged[len(told):][:5]}")
        return matched

    def _check_words(self, log: Log, talk: Conversation, silenced: bool) -> None:
        """photoLeftBehind, photoNotSaved and fileSkipped: one for each log
        line that leaves a photo behind, gives one up (with its reason) or
        skips a file, in the log's order."""
        matched = self._check_in_order(talk, "photoLeftBehind, photoNotSaved or fileSkipped",
                                       log.words, talk.words, silenced)
        kinds = Counter(line[0] for line in log.words[:matched])
        self.figures.left_behind_events_checked += kinds["left"]
        self.figures.not_saved_events_checked += kinds["notSaved"]
        self.figures.file_skipped_events_checked += kinds["skipped"]

    def _check_photo_event(self, event: dict, log: Log) -> None:
        """A photo event names the file that the folder held: its name and
        path, its bytes byte for byte (the scan's identification), the
        camera file offered, and whether a failure had left it behind."""
        self.figures.photo_events_checked += 1
        identity, shown = camera_identity(event), json.dumps(event)[:500]
        photo = self.photos.get(identity)
        if photo is None or not photo.photo:
            self._problem(f"a photo event for no photo offered: {shown}")
            return
        if event["file"] not in self.saved_as[identity]:
            self._problem(f"a photo event names a file that was not found holding {identity}: "
                          f"{shown} (found as {sorted(self.saved_as[identity])})")
        if event["path"] != str(self.dest / event["file"]):
            self._problem(f"a photo event with another path: {shown}")
        if event["bytes"] != photo.size or event.get("cameraBytes", photo.size) != photo.size:
            self._problem(f"a photo event with other sizes than the photo's {photo.size}: {shown}")
        if event["leftBehind"] != (identity in log.left_behind):
            self._problem(f"a photo event that says leftBehind {event['leftBehind']} for a photo "
                          f"{'' if identity in log.left_behind else 'not '}left behind: {shown}")

    def _check_left_event(self, event: dict) -> None:
        """A photo left behind names the body it waits for and the folder."""
        body = event["body"]
        known = {b.serial: MODELS[b.model].name for b in self.bodies}
        if known.get(body["serial"]) != body["model"] or event["directory"] != str(self.dest):
            self._problem(f"a photo left behind for another body or folder: "
                          f"{json.dumps(event)[:500]}")

    def _check_captures(self, talk: Conversation, silenced: bool) -> None:
        """Every capture that got a number leads to its photos (their events
        name it) or to its captureLost event; and every photo's capture is
        the one camrelay's documented rule gives it (capture_rule), which
        may differ from the capture that took it: a photo of the camera's
        own button while a capture is in flight is taken for the capture's,
        and one in another format soon after a capture's photo for the
        second of its pair (counted, not a fault)."""
        figures = self.figures
        figures.captures_numbered += len(talk.captures)
        taken = self.records.captures_taken[talk.pid]
        if not silenced and len(talk.captures) != taken:
            self._problem(f"camrelay {talk.pid} numbered {len(talk.captures)} captures, the camera "
                          f"took {taken}")
        given, ended_by = capture_rule(
            self.records.timelines[talk.pid], talk.lost, talk.reported,
            lambda identity: identity in self.photos and self.photos[identity].photo)
        truth = self.records.taken_by[talk.pid]
        for identity, told in talk.reported.items():
            if len(told) > 1:
                self._problem(f"the events of {identity} name captures {sorted(told)}")
                continue
            number = next(iter(told))
            if identity not in given:
                self._problem(f"events of {identity}, which the camera never announced to "
                              f"camrelay {talk.pid}")
            elif number != given[identity]:
                self._problem(f"the events of {identity} name capture {number or None}, the rule "
                              f"gives it {given[identity] or None}")
            if number != truth.get(identity, 0):
                if identity in truth:
                    figures.capture_photos_given_another += 1
                else:
                    figures.button_photos_given_a_capture += 1
        photos = Counter(n for told in talk.reported.values() for n in told if n)
        figures.captures_given_more_than_a_pair += sum(1 for n in photos.values() if n > 2)
        for number in talk.captures:
            if number in talk.lost:
                figures.captures_lost += 1
            elif number in talk.accounted:
                figures.captures_with_photos += 1
            elif silenced:
                figures.captures_unaccounted_after_sigterm += 1
            else:
                by = ended_by.get(number)
                self._problem(f"capture {number} of camrelay {talk.pid}: no event names it, "
                              "neither a photo's nor captureLost"
                              + (f" (by the rule {by} ended it)" if by else ""))

    def _rule_fits(self, identity: str, rule: str) -> bool:
        """Whether the rule by which the log gave a photo up fits what the
        shoot did; otherwise the photo is a loss. A photo given up on the
        camera's account must be one the shoot made undeliverable (a passing
        fault uses up one try at most), and one given up as no longer on
        the camera one that the photographer deleted: the card keeps every
        other photo. One that the end gave up must have been left behind by a body
        that was not started again: camrelay is ended with a body open (into
        the same folder) at a quiet moment, by which it has saved what that
        body left behind."""
        left = self.left_by.get(identity)
        if rule == "no_longer_on_the_camera" and identity not in self.deleted:
            self._problem(f"loss: {identity} given up as no longer on the camera, which has it")
        elif rule == "given_up_after_failures" and identity not in self.undeliverable:
            self._problem(f"loss: {identity} given up after failures, though the camera delivers "
                          "it")
        elif rule in END_RULES and left and self.ended_with.get(left[0]) == left[1]:
            self._problem(f"loss: {identity}, left behind by {left[1]}, was not saved though that "
                          "body was started again into the same folder")
        else:
            return True
        return False


def shoot(bench: Bench, scratch: Path, photos: int, seed: int, max_size: int = 40 << 20,
          progress: Callable[[str], None] = None, protocol: int = 2) -> Figures:
    """Runs one shoot on `bench` (see the module's docstring); `scratch` is
    a folder of its own for the destination and the diagnostic logs. The
    host speaks `protocol`: 2 (hello first, an id on every command, every
    reply and event checked) or 1 (status lines only, as before protocol 2,
    for a build beside one that knows no protocol 2)."""
    return Shoot(bench, scratch, photos, seed, max_size, progress, protocol).run()
