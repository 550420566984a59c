"""The ground truth of an endurance shoot (endurance.py) and its figures.

A shoot's ledger believes neither camrelay's status lines nor its own
plans: it reads what the virtual camera did (record.jsonl: the files it
handed to camrelay, by event or as a capture's result, and the events it
took from events.jsonl), what camrelay logged (CAMRELAY_LOG: what it
queued, saved, and dropped by which rule), and what the folder holds.
Protocol 2's replies and events (Conversation) are held against these: a
reply to every command, a `photo` event for every photo saved, an event for
every log line that leaves a photo behind, gives one up or skips a file,
and for every capture its photos or its loss, attributed by camrelay's
documented rule (capture_rule).
"""

from __future__ import annotations

import json
import os
import re
from collections import Counter, OrderedDict, defaultdict, deque
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

from harness import Camera, pattern_bytes

# camrelay's wait for the second file of a RAW+JPEG pair (kPairWait,
# camrelay/captures.h), and how close to its end an announcement may come
# before the clocks of camrelay and of the camera's record could disagree on
# which side of it it fell.
PAIR_WAIT = 0.5
PAIR_WAIT_EDGE = 0.1
# Progress events come for files over this size (camrelay/downloads.cc).
PROGRESS_ABOVE = 1 << 20

TEMPORARY_PREFIX = ".lumetra-"
FILE_ADDED = 2  # GP_EVENT_FILE_ADDED, as record.jsonl gives event types
SONY_CAPTURE_PREFIX = "capt_"
# The faults a shoot plays.
FAULTS = (
    "unplug_idle", "unplug_after_burst", "unplug_mid_transfer", "unplug_while_taking_up",
    "camera_cut_off", "stop_with_queue", "stop_idle", "stop_after_burst", "capture_and_stop",
    "disk_full", "folder_moved", "download_failure", "event_failure", "names_taken",
    "announced_twice", "quick_stop")
# The rules by which a photo announced to camrelay ends unsaved: the reasons
# of its `photo not saved:` log line, and "failure" for a build that drops
# the queue at a failure (`queued photo dropped:`, or the failed download).
NOT_SAVED_REASONS = {
    "given up after two failures on the camera's side": "given_up_after_failures",
    "no longer on the camera": "no_longer_on_the_camera",
    "its copy out of libgphoto2's cache failed": "copy_failed",
    "a signal": "signal",
    "the program ending": "program_ending",
}
BOUND_REASON = re.compile(r"more than \d+ (photos left behind|bytes of photos held in memory)")
RULES = ("failure", "given_up_after_failures", "no_longer_on_the_camera", "bound", "copy_failed",
         "signal", "program_ending")
# What the shoot's end leaves unsaved, outside the goal: the last camrelay's
# SIGTERM, and the first's end of input with photos left behind for a body
# that did not come back.
END_RULES = ("signal", "program_ending")


def file_identity(folder: str, name: str) -> str:
    """A camera file as the diagnostic log names it: its folder and name
    joined by one "/" ("/capt0001.jpg" in the root folder)."""
    return f"{folder.rstrip('/')}/{name}"


@dataclass
class Photo:
    """One file the camera offers, named as the diagnostic log names it:
    camera folder + "/" + name."""

    folder: str
    name: str
    size: int
    seed: int
    photo: bool  # a photo name that camrelay saves; other files it ignores

    @property
    def identity(self) -> str:
        return file_identity(self.folder, self.name)

    def saved_names(self) -> set[str]:
        """The names camrelay may give it before numbering: its own, and on a
        Sony body a capture in camera memory without its "capt_" prefix."""
        names = {self.name}
        if self.folder == "/" and self.name.startswith(SONY_CAPTURE_PREFIX):
            names.add(self.name[len(SONY_CAPTURE_PREFIX):])
        return names


def same_pattern(path: Path, size: int, seed: int) -> bool:
    """Whether the file holds exactly pattern_bytes(size, seed)."""
    if path.stat().st_size != size:
        return False
    block = pattern_bytes(251 * 4096, seed)  # whole periods: each block starts at phase `seed`
    with open(path, "rb") as f:
        while chunk := f.read(len(block)):
            if chunk != block[:len(chunk)]:
                return False
    return True


def unnumbered(name: str) -> Optional[str]:
    """The name before camrelay numbered it (IMG_1_2.JPG -> IMG_1.JPG), if it
    looks numbered."""
    match = re.fullmatch(r"(.*)_\d+(\.[^.]*)?", name)
    return match.group(1) + (match.group(2) or "") if match else None


class Follower:
    """The lines appended to a file, read as they come. A file that its
    writer moves to FILE.1 to begin afresh (camrelay's log at 8 MiB) is
    followed across the move."""

    def __init__(self, path: Path):
        self.path = path
        self.inode = None
        self.offset = 0
        self.partial = b""

    def lines(self) -> list[str]:
        try:
            fd = os.open(self.path, os.O_RDONLY)
        except FileNotFoundError:
            return []
        try:
            inode = os.fstat(fd).st_ino
            lines = []
            if self.inode is not None and inode != self.inode:
                older = Path(f"{self.path}.1")
                try:
                    rotated = os.open(older, os.O_RDONLY)
                except FileNotFoundError:
                    rotated = None
                if rotated is not None:
                    try:
                        if os.fstat(rotated).st_ino == self.inode:
                            lines += self._read(rotated)
                    finally:
                        os.close(rotated)
                self.offset, self.partial = 0, b""
            self.inode = inode
            return lines + self._read(fd)
        finally:
            os.close(fd)

    def _read(self, fd: int) -> list[str]:
        pieces = []
        while piece := os.pread(fd, 1 << 20, self.offset):
            pieces.append(piece)
            self.offset += len(piece)
        *complete, self.partial = (self.partial + b"".join(pieces)).split(b"\n")
        return [line.decode(errors="replace") for line in complete]


class Epoch:
    """One opening of the camera (init to exit) in one process: the photos
    its triggers will announce."""

    def __init__(self):
        self.awaited: set[str] = set()  # identities of triggered photos not announced yet


class Records:
    """What the virtual camera did (record.jsonl): which photos it
    announced to camrelay, which captures it took, which events it took from
    events.jsonl."""

    def __init__(self, camera: Camera, captured: Callable[[str, str, bool], list[Photo]]):
        self.camera = camera
        self.follower = Follower(camera.directory / "record.jsonl")
        self.captured = captured  # the photos a capture or trigger record took
        self.announced: Counter = Counter()  # identity -> announcements
        self.file_events: Counter = Counter()  # pid -> files handed to camrelay
        self.epochs: dict[int, Epoch] = {}
        self.closed_awaiting: set[str] = set()  # triggered photos whose camera closed first
        # What capture_rule needs, by pid, in the order camrelay saw it:
        # ("capture" | "trigger", number, identity, name, at) for a capture
        # that worked (numbered as camrelay numbers them, from 1 in the
        # process), ("file", identity, name, at) for a file announced,
        # ("open" | "exit",) for the camera's opening and closing.
        self.timelines: defaultdict = defaultdict(list)
        self.captures_taken: Counter = Counter()  # pid -> captures that worked
        # The ground truth: pid -> identity -> the capture that took it.
        self.taken_by: defaultdict = defaultdict(dict)
        # The events.jsonl lines we wrote whose record is still to come:
        # (what the record will say, where the line ends in the file).
        self.written: deque = deque()

    def expect(self, events: list[dict]) -> None:
        """Notes events just appended to events.jsonl (by Camera.add_events)."""
        end = (self.camera.directory / "events.jsonl").stat().st_size
        texts = [json.dumps(event, allow_nan=False) + "\n" for event in events]
        position = end - sum(len(text.encode()) for text in texts)
        for event, text in zip(events, texts):
            position += len(text.encode())
            key = (("result", event["result"]) if "result" in event
                   else ("file", file_identity(event["folder"], event["name"])))
            self.written.append((key, position))

    def forget_taken(self) -> None:
        """After a process was killed between taking an event line and
        recording it: the lines before the driver's position are gone."""
        path = self.camera.directory / "events.pos"
        position = int(path.read_text() or 0) if path.exists() else 0
        while self.written and self.written[0][1] <= position:
            self.written.popleft()

    def _written(self, key) -> bool:
        """Takes the line whose record this is. The driver takes lines in
        order, so the lines before it had no record (a failed handover)."""
        for index, (waiting, _) in enumerate(self.written):
            if waiting == key:
                for _ in range(index + 1):
                    self.written.popleft()
                return True
        return False

    def refresh(self) -> bool:
        """Takes the new records; true when one of them moved a photo on
        (settings reads, which come every few seconds, do not)."""
        changed = False
        for text in self.follower.lines():
            if not text.strip():
                continue
            try:
                record = json.loads(text)
            except ValueError:
                continue
            changed = changed or record.get("op") != "get_config"
            self._take(record)
        return changed

    def _take(self, record: dict) -> None:
        op, pid = record.get("op"), record.get("pid")
        if op == "init":
            if record.get("result", 0) >= 0:
                self.epochs[pid] = Epoch()
                self.timelines[pid].append(("open",))
        elif op == "exit":
            epoch = self.epochs.pop(pid, None)  # its triggers' photos are never announced
            self.closed_awaiting |= epoch.awaited if epoch else set()
            self.timelines[pid].append(("exit",))
        elif op == "trigger" and record.get("result") == 0:
            photos = self.captured(record["folder"], record["name"], trigger=True)
            self._captured(op, record, photos)
            for photo in photos:
                self.epochs.setdefault(pid, Epoch()).awaited.add(photo.identity)
        elif op == "capture" and record.get("result") == 0:
            self.file_events[pid] += 1  # the capture's result hands the file to camrelay
            photos = self.captured(record["folder"], record["name"], trigger=False)
            self._captured(op, record, photos)
            for photo in photos:
                self.announced[photo.identity] += 1
        elif op == "event":
            if "result" in record:
                self._written(("result", record["result"]))
            elif record.get("type") == FILE_ADDED and "name" in record:
                identity = file_identity(record["folder"], record["name"])
                self.timelines[pid].append(("file", identity, record["name"], record["at"]))
                self.announced[identity] += 1
                self.file_events[pid] += 1
                if not self._written(("file", identity)) and (epoch := self.epochs.get(pid)):
                    epoch.awaited.discard(identity)

    def _captured(self, op: str, record: dict, photos: list[Photo]) -> None:
        pid = record["pid"]
        self.captures_taken[pid] += 1
        number = self.captures_taken[pid]
        self.timelines[pid].append((op, number, file_identity(record["folder"], record["name"]),
                                    record["name"], record["at"]))
        for photo in photos:
            self.taken_by[pid][photo.identity] = number

    def awaited(self, pid: int) -> set[str]:
        epoch = self.epochs.get(pid)
        return epoch.awaited if epoch else set()


LOG_LINE = re.compile(r"^[\d.]+ (.*)$")
CAMERA_FILE = re.compile(r"camera file (.*): (queued|no photo: ignored|saved or queued already)$")
SAVED = re.compile(r"saved (.*) as (.*): (\d+) bytes, transfer ")
DOWNLOAD_FAILED = re.compile(r"download of (.*) failed at (.*)$")
LEFT_BEHIND = re.compile(r"photo left behind(?: again)?: (.*?)(?:, (on the camera)|"
                         r", (held in memory) \(\d+ bytes, copied in [\d.]+ ms\))?$")
TAKEN_UP = re.compile(r"photo taken up again: (.*)$")
NOT_SAVED = re.compile(r"photo not saved: (.*): ([^:]*)$")
DROPPED = re.compile(r"queued photo dropped: (.*)$")  # a build that leaves nothing behind
FAILED = re.compile(r"failed: \S+ returned -?\d+ \(.*\) in phase \w+( after a signal)?$")


class Log:
    """What one camrelay says it did, from its diagnostic log: the files
    announced to it, what it queued, saved, left behind for a later session
    and dropped, and by which rule. A build that leaves photos behind (its
    log names each camera's identity) must name every photo that ends
    unsaved with a `photo not saved:` line; for an older one a failure's
    drops are read from its `queued photo dropped:` lines and the failed
    download before the failure."""

    def __init__(self, path: Path):
        self.follower = Follower(path)
        self.camera_files = 0  # "camera file" lines: one per file handed over
        self.session_saved = 0  # files saved since the camera was opened
        self.queued: OrderedDict = OrderedDict()  # identity -> None, not yet saved or dropped
        self.ignored: set[str] = set()  # not a photo name
        self.claims: list[tuple[str, str, int]] = []  # (identity, saved name, bytes) not checked yet
        self.drops: dict[str, str] = {}  # identity -> rule
        self.unexplained: list[str] = []  # dropped with no documented rule
        self.left_behind: set[str] = set()  # identities left behind by a failure
        self.named_twice: list[str] = []  # photos with a second `photo not saved:` line
        # The lines that protocol 2 answers with an event each, in order:
        # ("left", identity, held in memory or None when the line does not
        # say), ("notSaved", identity, reason), ("skipped", identity or None).
        self.words: list[tuple] = []
        self.saves: list[str] = []  # identities of the photos it saved, in order
        self.leaves_behind = False  # a build that leaves photos behind
        self.signalled = False
        self.failed = False  # a failure since the camera was opened
        self.failing_download: Optional[str] = None  # its rule comes with the next line

    def refresh(self) -> bool:
        """Takes the new lines; true when one of them tells of a photo."""
        changed = False
        for text in self.follower.lines():
            if match := LOG_LINE.match(text):
                changed = self._take(match.group(1)) or changed
        return changed

    def _drop(self, identity: str, rule: Optional[str]) -> None:
        self.queued.pop(identity, None)
        if rule is None:
            self.unexplained.append(identity)
        else:
            self.drops[identity] = rule

    def _take(self, text: str) -> bool:
        queued, dropped = len(self.queued), len(self.drops) + len(self.unexplained)
        claims = len(self.claims)
        self._read(text)
        return (len(self.queued), len(self.drops) + len(self.unexplained),
                len(self.claims)) != (queued, dropped, claims) or text.startswith("camera file ")

    def _read(self, text: str) -> None:
        text = text.replace(" //", " /")  # an older build's name of a root-folder photo
        if text.startswith("camera file "):
            self.camera_files += 1
            if text.startswith("camera file without a name"):
                self.words.append(("skipped", None))
            elif match := CAMERA_FILE.match(text):
                identity, outcome = match.groups()
                if outcome == "queued":
                    self.queued[identity] = None
                elif outcome.startswith("no photo"):
                    self.ignored.add(identity)
                    self.words.append(("skipped", identity))
        elif match := SAVED.match(text):
            identity, name, size = match.groups()
            self.queued.pop(identity, None)
            self.claims.append((identity, name, int(size)))
            self.saves.append(identity)
            self.session_saved += 1
        elif match := DOWNLOAD_FAILED.match(text):
            self.queued.pop(identity := match.group(1), None)
            self.failing_download = identity
        elif match := LEFT_BEHIND.match(text):
            # Saved by a later start, or named as not saved by the end.
            identity, on_camera, held = match.groups()
            self.words.append(("left", identity, None if on_camera is None and held is None
                               else held is not None))
            self.queued.pop(identity, None)
            self.left_behind.add(identity)
            if self.failing_download == identity:
                self.failing_download = None
        elif match := TAKEN_UP.match(text):
            self.queued[match.group(1)] = None
        elif match := NOT_SAVED.match(text):
            identity, reason = match.groups()
            self.words.append(("notSaved", identity, reason))
            if self.failing_download == identity:
                self.failing_download = None
            if identity in self.drops:
                self.named_twice.append(identity)
            rule = NOT_SAVED_REASONS.get(reason) or ("bound" if BOUND_REASON.fullmatch(reason)
                                                     else None)
            self._drop(identity, rule)
        elif match := DROPPED.match(text):
            self._drop(match.group(1), "signal" if self.signalled else
                       "failure" if self.failed else None)
        elif text.startswith("camera identity: "):
            self.leaves_behind = True
        elif match := FAILED.match(text):
            self.signalled = self.signalled or match.group(1) is not None
            self.failed = True
            self._settle_download()
        elif text.startswith("session fails in phase "):
            self.failed = True
            self._settle_download()
        elif text.startswith("SIGTERM or SIGINT: quitting"):
            self.signalled = True
        elif text.startswith("camera open: "):
            self.failed = False
            self.session_saved = 0
            self.abandon()

    def _settle_download(self) -> None:
        if self.failing_download is not None and not self.leaves_behind:
            self._drop(self.failing_download, "signal" if self.signalled else "failure")
            self.failing_download = None

    def abandon(self) -> None:
        """The camera is closed: what is still queued was dropped without a
        word."""
        for identity in list(self.queued):
            self._drop(identity, None)
        if self.failing_download is not None:
            self._drop(self.failing_download,
                       "signal" if self.signalled and not self.leaves_behind else None)
            self.failing_download = None


def camera_identity(event: dict) -> Optional[str]:
    """The identity of the camera file an event names, as the log names it."""
    camera = event.get("camera")
    return file_identity(camera["folder"], camera["name"]) if camera else None


class Conversation:
    """What one camrelay wrote beside its status lines: in protocol 2 a
    reply to each command, checked as it comes against the commands sent
    (one each, in order; a capture's number the next of the process), and
    the events, checked as far as they stand alone (progress against its
    download) and kept for the ledger. In protocol 1 there must be none.
    `problem` is called with each fault found."""

    def __init__(self, protocol: int, pid: int, problem: Callable[[str], None]):
        self.protocol, self.pid, self.problem = protocol, pid, problem
        self.unanswered: deque = deque()  # (id, command word), oldest first
        self.sent = 0
        self.replies = 0
        self.captures: list[int] = []  # the numbers of the captures' replies
        self.photos: list[dict] = []  # `photo` events
        self.left: list[dict] = []  # `photoLeftBehind` events
        self.words: list[tuple] = []  # as Log.words, from the events
        self.lost: dict[int, str] = {}  # capture -> reason, from `captureLost`
        self.reported: defaultdict = defaultdict(set)  # identity -> captures its events give
        self.accounted: set[int] = set()  # captures named by a photo's end: saved, left, given up
        self.download: Optional[dict] = None  # the last `download` event
        self.progress_bytes = -1
        self.progress = 0
        self.ended: Optional[str] = None  # "end of input", "SIGTERM" or "replaced"

    def sent_command(self, id, word: str) -> None:
        self.sent += 1
        if self.protocol >= 2:
            self.unanswered.append((id, word))

    def take(self, message) -> None:
        if isinstance(message, str):
            self.problem(f"a reply or event breaks the protocol: {message[:600]}")
        elif self.protocol < 2:
            self.problem(f"a protocol 1 host was sent {json.dumps(message)[:300]}")
        elif "reply" in message:
            self._reply(message)
        else:
            self._event(message)

    def _reply(self, reply: dict) -> None:
        shown = json.dumps(reply)[:300]
        if not self.unanswered:
            self.problem(f"a reply to no command waiting for one: {shown}")
            return
        id, word = self.unanswered[0]
        if reply["reply"] != id or type(reply["reply"]) is not type(id):
            self.problem(f"the reply to {word} (id {id!r}) is due, but came {shown}")
            # The reply of a later command: the ones before it got none.
            ids = [waiting for waiting, _ in self.unanswered]
            if reply["reply"] not in ids:
                return
            for _ in range(ids.index(reply["reply"])):
                self.unanswered.popleft()
            word = self.unanswered[0][1]
        self.unanswered.popleft()
        self.replies += 1
        if word == "hello" and not (reply["ok"] and reply.get("protocol") == 2):
            self.problem(f"hello was not answered with protocol 2: {shown}")
        elif word == "stop" and not reply["ok"]:
            self.problem(f"stop was refused: {shown}")
        elif word == "capture" and reply["ok"]:
            number = reply.get("capture")
            due = (self.captures[-1] if self.captures else 0) + 1
            if number != due:
                self.problem(f"capture number {number} where {due} is due: {shown}")
            self.captures.append(number if isinstance(number, int) else due)

    def _event(self, event: dict) -> None:
        name, identity = event["event"], camera_identity(event)
        if "capture" in event and identity is not None and name != "captureLost":
            self.reported[identity].add(event["capture"] or 0)
            if name != "download" and event["capture"]:
                self.accounted.add(event["capture"])
        if name == "download":
            self.download, self.progress_bytes = event, -1
        elif name == "progress":
            self.progress += 1
            self._check_progress(event)
        elif name == "photo":
            self.photos.append(event)
        elif name == "photoLeftBehind":
            self.left.append(event)
            self.words.append(("left", identity, event["heldInMemory"]))
        elif name == "photoNotSaved":
            self.words.append(("notSaved", identity, event["reason"]))
        elif name == "fileSkipped":
            self.words.append(("skipped", identity))
        elif name == "captureLost":
            if event["capture"] in self.lost:
                self.problem(f"capture {event['capture']} lost twice")
            self.lost[event["capture"]] = event["reason"]

    def _check_progress(self, event: dict) -> None:
        """Progress names the file of the last download, with its total,
        counts up, and comes only for a file over 1 MiB."""
        download, shown = self.download, json.dumps(event)[:300]
        if download is None or download["camera"] != event["camera"] \
                or download["total"] != event["total"]:
            self.problem(f"progress of no download under way: {shown}")
            return
        total = event["total"]
        if event["bytes"] < self.progress_bytes or (total is not None and event["bytes"] > total):
            self.problem(f"progress goes back or past its total: {shown}")
        if (total if total is not None else event["bytes"]) <= PROGRESS_ABOVE:
            self.problem(f"progress of a file of no more than 1 MiB: {shown}")
        self.progress_bytes = event["bytes"]

    def close(self, how: str) -> None:
        """The process has ended (`how`) and every line of it is taken: every
        command must have had its reply, unless the process was replaced."""
        self.ended = how
        if how != "replaced":
            for id, word in self.unanswered:
                self.problem(f"no reply to {word} (id {id!r}) before camrelay ended by {how}")


def _stem_and_extension(name: str) -> tuple[str, str]:
    """As camrelay/captures.cc splits a name."""
    dot = name.rfind(".")
    return (name, "") if dot < 0 else (name[:dot], name[dot + 1:].lower())


def capture_rule(timeline: list[tuple], lost: dict[int, str], reported: dict[str, set[int]],
                 photo: Callable[[str], bool]) -> tuple[dict[str, int], dict[int, str]]:
    """Which capture camrelay's documented rule (camrelay/captures.h) gives
    each file announced in one process, from the camera's record of that
    process (Records.timelines): each announced file that camrelay fetches
    (a photo, by `photo`, not announced before in the camera's session)
    ends the oldest capture in flight, unless it is the second file of a
    pair (within PAIR_WAIT of the capture's last photo, with its stem, or
    in another format with no capture in flight; one such file a photo);
    one that it does not
    fetch belongs to none and ends none. A capture that camrelay reported lost
    was never ended by a file (it would not have been lost), so it never
    enters the queue here. Where an announcement came so near the end of
    the pair wait that the two clocks could disagree, the side that
    camrelay's events report is taken. Returns (identity -> capture, 0 for
    none, at its first announcement; capture -> the identity of the file
    that ended it)."""
    in_flight: deque = deque()
    # [number, at, stem, extension, paired] of a capture's last photo
    last: Optional[list] = None
    given: dict[str, int] = {}
    ended_by: dict[int, str] = {}
    announced: set[str] = set()  # in the camera's session
    for entry in timeline:
        kind = entry[0]
        if kind in ("open", "exit"):
            in_flight.clear()
            announced.clear()
            last = None
        elif kind == "trigger":
            if entry[1] not in lost:
                in_flight.append(entry[1])
        elif kind == "capture":
            number, identity, name, at = entry[1:]
            last = [number, at, *_stem_and_extension(name), False]
            given.setdefault(identity, number)
            announced.add(identity)
        else:
            identity, name, at = entry[1:]
            fetched = photo(identity) and identity not in announced
            announced.add(identity)
            if not fetched:
                given.setdefault(identity, 0)
                continue
            stem, extension = _stem_and_extension(name)

            def second_of_pair(within: bool) -> bool:
                return last is not None and within and not last[4] and (
                    stem == last[2] or (extension != last[3] and not in_flight))

            gap = at - last[1] if last is not None else None
            paired = second_of_pair(gap is not None and gap <= PAIR_WAIT)
            if gap is not None and abs(gap - PAIR_WAIT) < PAIR_WAIT_EDGE:
                other = second_of_pair(gap > PAIR_WAIT)
                if other != paired:
                    pairs_with = last[0]
                    ends = in_flight[0] if in_flight else 0
                    told = reported.get(identity, set())
                    if (pairs_with if other else ends) in told:
                        paired = other
            if paired:
                number = last[0]
                last[1] = at
                last[4] = True
            elif in_flight:
                number = in_flight.popleft()
                last = [number, at, stem, extension, False]
                ended_by[number] = identity
            else:
                number = 0
            given.setdefault(identity, number)
    return given, ended_by


@dataclass
class Figures:
    """What a shoot found. `problems` describes each fault of camrelay."""

    seed: int
    photos_requested: int = 0
    photos_offered: int = 0
    other_files_offered: int = 0
    photos_announced: int = 0
    other_files_announced: int = 0
    saved: int = 0
    saved_in_moved_folders: int = 0
    left_behind: int = 0  # photos that a failure left behind
    left_behind_saved: int = 0  # of those, saved by a later start
    # Photos that the end gave up while they waited for a body that was not
    # started again (the others were queued when the end came).
    waiting_at_the_end: int = 0
    not_saved: Counter = field(default_factory=Counter)  # photos announced, by rule
    other_files_ignored: int = 0  # not a photo name, so never to be saved
    never_announced: int = 0
    losses: int = 0
    corrupt_files: int = 0  # files that hold no photo offered
    duplicates: int = 0
    overwrites: int = 0
    temporary_files: int = 0
    inconsistent_lines: int = 0
    unexpected_errors: int = 0
    hangs: int = 0
    crashes: int = 0
    faults: Counter = field(default_factory=Counter)
    plugs_same_body: int = 0  # after a cable pull
    plugs_other_body: int = 0
    deleted_on_the_camera: int = 0  # card photos left behind, deleted before their start
    skipped: list[str] = field(default_factory=list)
    rss_start: Optional[int] = None
    rss_peak: Optional[int] = None
    rss_end: Optional[int] = None
    rss_slope: Optional[float] = None  # KiB per 1000 photos, after warm-up
    rss_samples: int = 0
    # Protocol 2 (in a protocol 1 run only commands_sent).
    protocol: int = 2
    commands_sent: int = 0
    replies_checked: int = 0
    photo_events_checked: int = 0
    left_behind_events_checked: int = 0
    not_saved_events_checked: int = 0
    file_skipped_events_checked: int = 0
    progress_events_checked: int = 0
    # Log lines of a camrelay ended by SIGTERM after which it wrote nothing.
    events_unwritten_after_sigterm: int = 0
    captures_numbered: int = 0
    captures_with_photos: int = 0  # named by a photo's event (saved, left behind, given up)
    captures_lost: int = 0  # named by a captureLost event
    captures_unaccounted_after_sigterm: int = 0
    # Where the capture rule gives a photo another capture than the one
    # that took it: a photo of the camera's own button given a capture (one
    # announced while a capture was in flight, or in another format soon
    # after a capture's photo), and a capture's photo given another capture
    # or none.
    button_photos_given_a_capture: int = 0
    capture_photos_given_another: int = 0
    # Captures given more photos than a pair: a burst of the button's in
    # other formats, each within the pair wait of the one before.
    captures_given_more_than_a_pair: int = 0
    wall_seconds: float = 0.0
    relays: int = 0
    problems: list[str] = field(default_factory=list)  # the first 200
    problem_count: int = 0

    @property
    def failed(self) -> bool:
        """Any loss, duplicate, overwrite, temporary file, inconsistent or
        unexpected line, hang or crash."""
        return self.problem_count > 0

    def not_saved_percent(self, rules=RULES) -> float:
        """The share of the photos announced that ended unsaved by `rules`
        or lost."""
        unsaved = sum(self.not_saved[rule] for rule in rules) + self.losses
        return 100 * unsaved / self.photos_announced if self.photos_announced else 0.0

    def lines(self) -> list[str]:
        """`name: value` lines, as the benches print them; the shares are
        percentages of the photos announced."""
        share = lambda n: f"{100 * n / self.photos_announced:.2f}" if self.photos_announced else "0"
        within_goal = [rule for rule in RULES if rule not in END_RULES]
        rows = [
            ("seed", self.seed), ("photos_requested", self.photos_requested),
            ("photos_offered", self.photos_offered),
            ("other_files_offered", self.other_files_offered),
            ("photos_announced", self.photos_announced),
            ("other_files_announced", self.other_files_announced),
            ("saved", self.saved), ("saved_in_moved_folders", self.saved_in_moved_folders),
            ("left_behind", self.left_behind), ("left_behind_saved", self.left_behind_saved),
            ("left_behind_waiting_at_the_end", self.waiting_at_the_end),
            *((f"not_saved_{rule}", self.not_saved[rule]) for rule in RULES),
            ("other_files_ignored", self.other_files_ignored),
            ("never_announced", self.never_announced), ("losses", self.losses),
            ("corrupt_files", self.corrupt_files),
            ("duplicates", self.duplicates), ("overwrites", self.overwrites),
            ("temporary_files", self.temporary_files),
            ("inconsistent_lines", self.inconsistent_lines),
            ("unexpected_errors", self.unexpected_errors), ("hangs", self.hangs),
            ("crashes", self.crashes), ("camrelay_runs", self.relays),
            ("plugs_same_body", self.plugs_same_body),
            ("plugs_other_body", self.plugs_other_body),
            ("deleted_on_the_camera", self.deleted_on_the_camera),
            *((f"fault_{kind}", self.faults[kind]) for kind in FAULTS),
            *((f"skipped_{what}", why) for what, why in
              (entry.split(": ", 1) for entry in self.skipped)),
            ("rss_anon_kib_start", self.rss_start), ("rss_anon_kib_peak", self.rss_peak),
            ("rss_anon_kib_end", self.rss_end),
            ("rss_anon_slope_kib_per_1000_photos",
             "n/a" if self.rss_slope is None else f"{self.rss_slope:.2f}"),
            ("rss_anon_samples", self.rss_samples),
            ("protocol", self.protocol), ("commands_sent", self.commands_sent),
            ("replies_checked", self.replies_checked),
            ("photo_events_checked", self.photo_events_checked),
            ("left_behind_events_checked", self.left_behind_events_checked),
            ("not_saved_events_checked", self.not_saved_events_checked),
            ("file_skipped_events_checked", self.file_skipped_events_checked),
            ("progress_events_checked", self.progress_events_checked),
            ("events_unwritten_after_sigterm", self.events_unwritten_after_sigterm),
            ("captures_numbered", self.captures_numbered),
            ("captures_with_photos", self.captures_with_photos),
            ("captures_lost", self.captures_lost),
            ("captures_accounted", self.captures_with_photos + self.captures_lost),
            ("captures_unaccounted_after_sigterm", self.captures_unaccounted_after_sigterm),
            ("button_photos_given_a_capture", self.button_photos_given_a_capture),
            ("capture_photos_given_another", self.capture_photos_given_another),
            ("captures_given_more_than_a_pair", self.captures_given_more_than_a_pair),
            ("wall_seconds", f"{self.wall_seconds:.1f}"),
            *((f"not_saved_share_{rule}_percent", share(self.not_saved[rule])) for rule in RULES),
            ("losses_share_percent", share(self.losses)),
            ("photos_not_saved_percent", f"{self.not_saved_percent():.2f}"),
            ("photos_not_saved_but_signal_or_end_percent",
             f"{self.not_saved_percent(within_goal):.2f}"),
        ]
        return [f"{name}: {value}" for name, value in rows]


def within_slope(samples: list[tuple[int, float, int]]) -> Optional[float]:
    """Least-squares slope of y on x with an intercept of its own for each
    group: samples are (group, x, y)."""
    groups = defaultdict(list)
    for group, x, y in samples:
        groups[group].append((x, y))
    sxy = sxx = 0.0
    for points in groups.values():
        mx = sum(x for x, _ in points) / len(points)
        my = sum(y for _, y in points) / len(points)
        sxy += sum((x - mx) * (y - my) for x, y in points)
        sxx += sum((x - mx) ** 2 for x, _ in points)
    return sxy / sxx if sxx else None
