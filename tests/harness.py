"""Process-level test bench for camrelay.

The bench runs the test copy of camrelay (<build>/testcopy: a real copy of the
program with camlibs/ holding the system's camera drivers plus the virtual
camera driver, and iolibs/ with the system's port drivers) inside a umockdev
testbed, where virtual USB cameras can be plugged in and out while it runs.
Everything but the camera's firmware is real: libgphoto2, its usb1 port
driver and libusb see, open and claim the emulated device; the virtual camera
driver answers every camera call from a script that the test writes.

Tests must run under ``umockdev-wrapper`` (CTest does that). Typical use,
with the ``bench`` fixture of conftest.py::

    def test_download(bench, tmp_path):
        device = bench.plug("capture", bus=1, address=5, speed="480")
        relay = bench.relay()
        relay.line(phase="idle")                          # first line
        relay.wait_for(lambda s: s["cameras"])            # discovered
        relay.start(device.port, str(tmp_path))
        relay.line(phase="connecting")
        relay.line(phase="ready")
        data = bench.camera.add_photo("/DCIM/100VCAM", "IMG_0001.JPG", size=5000)
        relay.line(phase="transferring")
        relay.line(phase="ready", count=1)
        assert (tmp_path / "IMG_0001.JPG").read_bytes() == data

See tools/virtualcam/README.md for the script format.
"""

from __future__ import annotations

import fcntl
import functools
import hashlib
import json
import math
import os
import queue
import re
import resource
import signal
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Optional, Union

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

import pytest  # noqa: E402
from jsonschema import Draft202012Validator  # noqa: E402
from jsonschema.exceptions import best_match  # noqa: E402

SOURCE_DIR = Path(os.environ.get("CAMRELAY_SOURCE_DIR", Path(__file__).resolve().parent.parent))
BUILD_DIR = Path(os.environ.get("CAMRELAY_BUILD_DIR", SOURCE_DIR / "build"))
TESTCOPY_DIR = BUILD_DIR / "testcopy"
CAMRELAY = TESTCOPY_DIR / "camrelay"
# The virtual camera's built-in configuration tree, which the driver builds in.
DEFAULT_CONFIG = SOURCE_DIR / "tools" / "virtualcam" / "default_config.json"
PROTOCOL_SCHEMA = SOURCE_DIR / "docs" / "protocol.schema.json"

DEFAULT_TIMEOUT = 10.0

# libgphoto2 result codes that tests commonly script.
GP_ERROR = -1
GP_ERROR_BAD_PARAMETERS = -2
GP_ERROR_NOT_SUPPORTED = -6
GP_ERROR_IO = -7
GP_ERROR_TIMEOUT = -10
GP_ERROR_IO_USB_FIND = -52
GP_ERROR_IO_USB_CLAIM = -53
GP_ERROR_CAMERA_BUSY = -110

# Event types of gp_camera_wait_for_event.
EVENT_UNKNOWN = "unknown"
EVENT_TIMEOUT = "timeout"
EVENT_FILE_ADDED = "file_added"
EVENT_FOLDER_ADDED = "folder_added"
EVENT_CAPTURE_COMPLETE = "capture_complete"
EVENT_FILE_CHANGED = "file_changed"

# sysfs "speed" values, in Mbit/s, that the bench can give a device.
SPEEDS = ("1.5", "12", "480", "5000", "10000", "20000")

# How AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer begin a
# report (on a build with CAMRELAY_SANITIZE=ON).
SANITIZER_REPORT = re.compile(r"ERROR: \w+Sanitizer|runtime error:|SUMMARY: \w+Sanitizer")


@functools.cache
def protocol_validator(definition: str) -> Draft202012Validator:
    """A validator for one definition of docs/protocol.schema.json
    (commandLine, statusLine, diskLinkLine), built once per process: a long
    run validates tens of thousands of lines."""
    schema = json.loads(PROTOCOL_SCHEMA.read_text())
    Draft202012Validator.check_schema(schema)
    return Draft202012Validator({**schema, "$ref": f"#/$defs/{definition}"})


def protocol_problem(value: Any, definition: str) -> Optional[str]:
    """What makes `value` break the schema's `definition`, or None."""
    error = best_match(protocol_validator(definition).iter_errors(value))
    if error is None:
        return None
    where = "/".join(str(part) for part in error.absolute_path)
    return f"{error.message} (at {where or 'the top'})"


class InvalidStatusLine(ValueError):
    """A status line that is not JSON or breaks the protocol schema."""


def message_line(raw: Union[bytes, str]) -> Optional[dict]:
    """A reply or an event of protocol 2, parsed and checked against the
    schema's replyLine or eventLine; None for any other line (a status
    line). Raises InvalidStatusLine naming what is wrong."""
    try:
        line = json.loads(raw)
    except ValueError:
        return None
    if not isinstance(line, dict) or not ("reply" in line or "event" in line):
        return None
    if "reply" in line and "event" in line:
        raise InvalidStatusLine(f"a line is both a reply and an event: {raw!r}")
    definition = "replyLine" if "reply" in line else "eventLine"
    if problem := protocol_problem(line, definition):
        raise InvalidStatusLine(f"{definition} breaks the protocol schema: {problem}: {raw!r}")
    return line


def status_line(raw: Union[bytes, str]) -> dict:
    """The status line `raw`, parsed and checked against the schema's
    statusLine: every status line a test reads comes through here, so that
    a key, type or value the contract does not allow fails whichever test
    meets it. Raises InvalidStatusLine naming what is wrong."""
    try:
        line = json.loads(raw)
    except ValueError:
        raise InvalidStatusLine(f"status line is not JSON: {raw!r}") from None
    if problem := protocol_problem(line, "statusLine"):
        raise InvalidStatusLine(f"status line breaks the protocol schema: {problem}: {raw!r}")
    return line


def sanitizer_report(stderr: Union[str, bytes]) -> Optional[str]:
    """The standard error of a process when it holds a sanitizer report."""
    text = stderr.decode(errors="replace") if isinstance(stderr, bytes) else stderr
    return text if SANITIZER_REPORT.search(text) else None


def end_process(proc: subprocess.Popen, timeout: float = DEFAULT_TIMEOUT) -> None:
    """Ends a process with SIGTERM, so that it shuts down as it would for the
    host (and a leak checker gets to run), and with SIGKILL only when it does
    not end in time."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


@dataclass(frozen=True)
class Model:
    """One camera model of the virtual camera driver."""

    key: str
    name: str  # libgphoto2 model name, as autodetection lists it
    vendor: int
    product: int
    capture: bool  # GP_OPERATION_CAPTURE_IMAGE
    trigger: bool  # GP_OPERATION_TRIGGER_CAPTURE

    @property
    def can_capture(self) -> bool:
        return self.capture or self.trigger


MODELS = {
    m.key: m
    for m in (
        Model("trigger", "Virtual Camera Trigger", 0x1209, 0x0001, True, True),
        Model("capture", "Virtual Camera Capture", 0x1209, 0x0002, True, False),
        Model("viewer", "Virtual Camera Viewer", 0x1209, 0x0003, False, False),
        Model("sony", "Virtual Camera Sony", 0x054C, 0x0FF0, False, True),
        Model("sony-capture", "Virtual Camera Sony Capture", 0x054C, 0x0FF1, True, False),
    )
}


def pattern_bytes(size: int, seed: int = 0) -> bytes:
    """The bytes of a generated card file: byte i is (i + seed) % 251."""
    cycle = bytes(range(251))
    start = seed % 251
    rotated = cycle[start:] + cycle[:start]
    repeats = size // 251 + 1
    return (rotated * repeats)[:size]


def pattern_sha256(size: int, seed: int = 0) -> str:
    """SHA-256 of pattern_bytes(size, seed), computed piece by piece, for
    files too large to hold in memory."""
    digest = hashlib.sha256()
    block = 251 * 16384  # whole periods, so every block starts at phase `seed`
    whole = pattern_bytes(block, seed)
    for _ in range(size // block):
        digest.update(whole)
    digest.update(whole[:size % block])
    return digest.hexdigest()


def rss_anon_kib(pid: int) -> Optional[int]:
    """The process's resident anonymous memory (RssAnon) in KiB, or None
    once it has ended."""
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("RssAnon:"):
                return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return None


def minor_faults(pid: int) -> int:
    """Page faults the process has taken so far that needed no disk read
    (/proc/PID/stat's minflt): each first touch of a fresh page is one."""
    stat = Path(f"/proc/{pid}/stat").read_text()
    return int(stat[stat.rindex(")") + 2:].split()[7])


def file_sha256(path: Union[str, Path]) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 24):
            digest.update(chunk)
    return digest.hexdigest()


def _text(value: Union[str, bytes]) -> Any:
    """A name or value for the script: str as is, bytes as {"hex": ...}."""
    if isinstance(value, bytes):
        return {"hex": value.hex()}
    return value


def _number(value: Union[int, float, str]) -> Any:
    """A range value for the script; NaN, infinities and -0 go as text."""
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        if value == 0 and math.copysign(1, value) < 0:
            return "-0"
    return value


def _content(data: Optional[bytes], size: Optional[int], seed: Optional[int],
             path: Optional[Union[str, Path]]) -> tuple[dict, Optional[bytes]]:
    """Content keys for a card file, and the bytes it will have (None for a
    file on disk, which is read when it is downloaded)."""
    if path is not None:
        return {"path": str(path)}, None
    if data is not None:
        return {"hex": bytes(data).hex()}, bytes(data)
    size = 0 if size is None else size
    seed = 0 if seed is None else seed
    return {"size": size, "seed": seed}, pattern_bytes(size, seed) if size <= (64 << 20) else None


def usb_descriptors(vendor: int, product: int) -> bytes:
    """Device and configuration descriptors of a virtual camera: one
    vendor-specific interface (class 0xff) with one bulk IN and one bulk OUT
    endpoint and no interrupt endpoint (libgphoto2's usb1 driver would try an
    interrupt transfer on open, which the testbed cannot answer)."""
    device = bytes([0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
                    vendor & 0xFF, vendor >> 8, product & 0xFF, product >> 8,
                    0x00, 0x01, 0x01, 0x02, 0x03, 0x01])
    config = bytes([0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xC0, 0xFA])
    interface = bytes([0x09, 0x04, 0x00, 0x00, 0x02, 0xFF, 0x00, 0x00, 0x00])
    bulk_in = bytes([0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00])
    bulk_out = bytes([0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00])
    return device + config + interface + bulk_in + bulk_out


# The serial number string of a plugged camera unless told otherwise: the
# same body each time, as the default script's "serialnumber" setting says.
DEFAULT_SERIAL = "VC0001"


def device_description(vendor: int, product: int, bus: int, address: int, speed: str,
                       hub_port: int, serial: Optional[str] = None) -> str:
    """A umockdev device description (the format of umockdev-record) of a
    USB device at `bus` and `address` with sysfs attribute speed=`speed`,
    and with a serial number string (sysfs attribute serial, which the
    kernel reads from the string that the descriptor names) unless `serial`
    is None."""
    hexed = usb_descriptors(vendor, product).hex().upper()
    node = f"bus/usb/{bus:03d}/{address:03d}"
    return "\n".join([
        f"P: /devices/pci0000:00/0000:00:14.0/usb{bus}/{bus}-{hub_port}",
        f"N: {node}={hexed}",
        f"E: DEVNAME=/dev/{node}",
        "E: DEVTYPE=usb_device",
        "E: DRIVER=usb",
        f"E: PRODUCT={vendor:x}/{product:x}/100",
        "E: TYPE=0/0/0",
        f"E: BUSNUM={bus:03d}",
        f"E: DEVNUM={address:03d}",
        "E: SUBSYSTEM=usb",
        f"A: busnum={bus}",
        f"A: devnum={address}",
        f"A: speed={speed}",
        f"A: idVendor={vendor:04x}",
        f"A: idProduct={product:04x}",
        "A: bConfigurationValue=1",
        "A: bNumConfigurations=1",
        *([f"A: serial={serial}"] if serial is not None else []),
        f"H: descriptors={hexed}",
        "",
    ])


@dataclass
class Device:
    """A virtual camera plugged into the testbed."""

    model: Model
    bus: int
    address: int
    speed: str
    syspath: str
    plugged: bool = True

    @property
    def port(self) -> str:
        """libgphoto2's port path, the "id" of camrelay's camera entry."""
        return f"usb:{self.bus:03d},{self.address:03d}"

    @property
    def link_mbps(self) -> float:
        return float(self.speed)


# ---------------------------------------------------------------------------
# Widgets for Camera.set_config


def widget(type: str, name: Union[str, bytes], value: Any = None, *, label: Any = None,
           choices: Iterable[Union[str, bytes]] = (), readonly: bool = False,
           children: Iterable[dict] = (), min: Any = 0, max: Any = 100, step: Any = 1,
           code: int = None, refuse: Iterable[Any] = ()) -> dict:
    """One configuration widget. `type` is window, section, text, range,
    toggle, radio, menu, button or date. Names, labels and string values may
    be bytes (for bytes that are not UTF-8); range values may be any float
    (NaN, infinities, -0.0) or a fraction text such as "1/3". `code` is its
    PTP property code (default: property_code(name)); the camera answers a
    write of a value in `refuse` with "Invalid DeviceProp value"."""
    entry: dict[str, Any] = {"type": type, "name": _text(name)}
    if label is not None:
        entry["label"] = _text(label)
    if readonly:
        entry["readonly"] = True
    if code is not None:
        entry["code"] = code
    if refuse:
        entry["refuse"] = [_value(v) for v in refuse]
    if type in ("text", "radio", "menu"):
        if value is not None:
            entry["value"] = _text(value)
        entry["choices"] = [_text(c) for c in choices]
    elif type == "range":
        entry.update(value=_number(value if value is not None else 0), min=_number(min),
                    max=_number(max), step=_number(step))
    elif type in ("toggle", "date"):
        entry["value"] = int(value or 0)
    elif type in ("section", "window"):
        entry["children"] = list(children)
    return entry


def text(name, value, **kw) -> dict:
    return widget("text", name, value, **kw)


def radio(name, value, **kw) -> dict:
    return widget("radio", name, value, **kw)


def menu(name, value, **kw) -> dict:
    return widget("menu", name, value, **kw)


def range_(name, value, **kw) -> dict:
    return widget("range", name, value, **kw)


def toggle(name, value=0, **kw) -> dict:
    return widget("toggle", name, value, **kw)


def date(name, value=0, **kw) -> dict:
    return widget("date", name, value, **kw)


def button(name, **kw) -> dict:
    return widget("button", name, **kw)


def section(name, children, **kw) -> dict:
    return widget("section", name, children=children, **kw)


# ptp2's capture target: its own setting for Nikon, Canon and Panasonic
# (labels of "sdram" and "card"), a camera property (0xd222) for Sony.
CAPTURE_TARGET_LABELS = {"sdram": "Internal RAM", "card": "Memory card"}
SONY_CAPTURE_TARGETS = ("sdram", "card", "card+sdram")


def capture_target(style: str = "nikon", value: str = "sdram") -> dict:
    """The capture target widget "capturetarget" as ptp2 shows it: style
    "nikon" (also Canon's and Panasonic's; its value lives in libgphoto2's
    settings, so `value` here is only what the script says) or "sony" (a
    camera property with `value` one of SONY_CAPTURE_TARGETS)."""
    if style == "sony":
        return radio("capturetarget", value, label="Capture Target",
                     choices=SONY_CAPTURE_TARGETS, code=0xD222)
    return radio("capturetarget", CAPTURE_TARGET_LABELS[value], label="Capture Target",
                 choices=CAPTURE_TARGET_LABELS.values())


def _value(value: Any) -> Any:
    """A setting's value for the script: text as _text, a float as _number,
    a bool or int as an int."""
    if isinstance(value, (str, bytes)):
        return _text(value)
    if isinstance(value, float):
        return _number(value)
    return int(value)


def _from_script(value: Any) -> Any:
    """A value as the script holds it, for a test: {"hex"} as bytes."""
    if isinstance(value, dict) and "hex" in value:
        return bytes.fromhex(value["hex"])
    return value


def default_config() -> list[dict]:
    """The driver's built-in tree (default_config.json)."""
    return json.loads(DEFAULT_CONFIG.read_text())


def find_widget(widgets: Iterable[dict], name: str) -> Optional[dict]:
    """The first widget named `name` (at any depth), or None."""
    for described in widgets:
        if _from_script(described.get("name")) in (name, name.encode()):
            return described
        if found := find_widget(described.get("children", ()), name):
            return found
    return None


def _all_widgets(widgets: Iterable[dict]):
    """Every widget of a tree, depth first."""
    for described in widgets:
        yield described
        yield from _all_widgets(described.get("children", ()))


def property_code(name: Union[str, bytes]) -> int:
    """The PTP property code of a widget without "code": 0xD000 plus the low
    12 bits of the FNV-1a hash of its name (the default tree names its own)."""
    digest = 2166136261
    for byte in name.encode() if isinstance(name, str) else name:
        digest = ((digest ^ byte) * 16777619) & 0xFFFFFFFF
    return 0xD000 | (digest & 0x0FFF)


def _jpeg_segments(data: bytes):
    """(marker, payload) of each segment of a JPEG up to its scan."""
    if data[:2] != b"\xff\xd8":
        raise ValueError("not a JPEG")
    at = 2
    while at + 4 <= len(data) and data[at] == 0xFF:
        marker, length = data[at + 1], int.from_bytes(data[at + 2:at + 4], "big")
        yield marker, data[at + 4:at + 2 + length]
        if marker == 0xDA:
            return
        at += 2 + length
    raise ValueError("JPEG ends before its scan")


def frame_number(data: bytes) -> int:
    """The number of a live view frame of the virtual camera (its comment
    "virtualcam frame N")."""
    for marker, payload in _jpeg_segments(data):
        if marker == 0xFE and payload.startswith(b"virtualcam frame "):
            return int(payload[len(b"virtualcam frame "):])
    raise ValueError("no frame number")


def frame_size(data: bytes) -> tuple[int, int]:
    """The width and height of a baseline JPEG (its SOF0 segment)."""
    for marker, payload in _jpeg_segments(data):
        if marker == 0xC0:
            return int.from_bytes(payload[3:5], "big"), int.from_bytes(payload[1:3], "big")
    raise ValueError("no SOF0 segment")


# ---------------------------------------------------------------------------


class Camera:
    """The script of the virtual camera: a folder with script.json (rewritten
    atomically on every change, so the driver sees a change at once, even
    while camrelay runs), events.jsonl (appended) and record.jsonl (written
    by the driver). One Camera serves every plugged device unless a device
    has a folder of its own (Bench.camera_for)."""

    def __init__(self, directory: Union[str, Path], home: Union[str, Path] = None):
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.home = Path(home) if home is not None else None  # libgphoto2's settings
        self.script: dict[str, Any] = {"card": [], "results": {}}
        self._seed = 1
        self.write()

    # -- script.json ---------------------------------------------------------

    def write(self) -> None:
        """Writes script.json from self.script (after editing it by hand)."""
        path = self.directory / "script.json"
        temporary = self.directory / "script.json.tmp"
        temporary.write_text(json.dumps(self.script, allow_nan=False))
        os.replace(temporary, path)

    def _next_seed(self) -> int:
        self._seed += 1
        return self._seed

    def add_file(self, folder: Union[str, bytes], name: Union[str, bytes], data: bytes = None,
                 *, size: int = None, seed: int = None, path: Union[str, Path] = None,
                 mtime: int = None, result: int = None, fail_after: int = 0) -> Optional[bytes]:
        """Puts a file on the card and returns its bytes. Give `data`, or
        `size` (generated bytes, see pattern_bytes; seed defaults to a new
        one per file), or `path` (a file on disk, read piece by piece when it
        is downloaded). Returns None for a file on disk and for generated
        files above 64 MiB (compare those with pattern_sha256 and
        file_sha256). With `result`, downloads of this file
        fail with that code after `fail_after` bytes have been written."""
        if data is None and path is None and seed is None:
            seed = self._next_seed()
        keys, expected = _content(data, size, seed, path)
        entry = {"folder": _text(folder), "name": _text(name), **keys}
        if mtime is not None:
            entry["mtime"] = mtime
        if result is not None:
            entry.update(result=result, failAfter=fail_after)
        self.script.setdefault("card", []).append(entry)
        self.write()
        return expected

    def add_generated_files(self, files: Iterable[tuple[str, str, int, int]]) -> None:
        """Puts generated files, each (folder, name, size, seed), on the card
        with one write of the script (add_file writes once a file)."""
        card = self.script.setdefault("card", [])
        for folder, name, size, seed in files:
            card.append({"folder": _text(folder), "name": _text(name), "size": size, "seed": seed})
        self.write()

    def set_file_result(self, folder: Union[str, bytes], name: Union[str, bytes],
                        result: Optional[int], fail_after: int = 0) -> None:
        """Makes downloads of a card file fail with `result` after
        `fail_after` bytes, as add_file's `result` does (None: they no
        longer fail)."""
        for entry in self.script.get("card", []):
            if entry["folder"] == _text(folder) and entry["name"] == _text(name):
                entry.pop("result", None)
                entry.pop("failAfter", None)
                if result is not None:
                    entry.update(result=result, failAfter=fail_after)
        self.write()

    def remove_file(self, folder: Union[str, bytes], name: Union[str, bytes]) -> None:
        self.script["card"] = [f for f in self.script.get("card", [])
                               if not (f["folder"] == _text(folder) and f["name"] == _text(name))]
        self.write()

    def add_folder(self, folder: Union[str, bytes]) -> None:
        self.script.setdefault("folders", []).append(_text(folder))
        self.write()

    def set_result(self, operation: str, result: Optional[int], after_bytes: int = 0,
                   text: str = None) -> None:
        """Makes `operation` fail with `result` until changed again (None
        clears it). Operations: camera_init, exit, capture, trigger,
        wait_for_event, get_config (every configuration read),
        get_single_config (single-setting reads only), set_config (every
        settings write), preview, file_get. For file_get, `after_bytes` bytes
        are written before the failure. With `text` the driver reports it
        with gp_context_error first (ptp2: "Perhaps no focus?")."""
        results = self.script.setdefault("results", {})
        if result is None:
            results.pop(operation, None)
        elif after_bytes or text is not None:
            results[operation] = {"result": result}
            if after_bytes:
                results[operation]["afterBytes"] = after_bytes
            if text is not None:
                results[operation]["text"] = _text(text)
        else:
            results[operation] = result
        self.write()

    def set_config(self, widgets: Optional[list[dict]]) -> None:
        """Replaces the configuration tree: a list of widgets under the root
        window (see widget()), or None for a get_config that succeeds without
        a tree."""
        self.script["config"] = widgets
        self.write()

    def set_config_access(self, single: str = None, tree_widget_ms: float = None,
                          single_ms: float = None, padding: int = None) -> None:
        """How the driver serves its configuration. `single`: "native" (its
        own single-setting access), "unset" (none: libgphoto2 fetches the
        whole tree for each single access) or "notSupported" (it answers
        GP_ERROR_NOT_SUPPORTED); taken when a camera is opened. A whole-tree
        fetch takes `tree_widget_ms` for each value widget, a single access
        of a name that exists `single_ms`. `padding` text widgets are added
        to the tree. None leaves a setting as it is."""
        for key, value in (("singleConfig", single), ("treeWidgetDelayMs", tree_widget_ms),
                           ("singleConfigDelayMs", single_ms), ("paddingWidgets", padding)):
            if value is not None:
                self.script[key] = value
        self.write()

    def set_event_road(self, road: str, request_ms: float = None, trap_ms: float = None) -> None:
        """How a wait for events behaves, as a road of libgphoto2's ptp2
        driver: "interrupt" (the default: it sends nothing and ends at an
        event), "polling" (a request each round, recorded as `request` with
        the wait's `timeoutMs`, taking `request_ms`; libgphoto2's back-off
        between rounds) or "trap" (polling, and each round also takes
        `trap_ms`, 300 by default, until the first event)."""
        for key, value in (("eventRoad", road), ("requestMs", request_ms), ("trapMs", trap_ms)):
            if value is not None:
                self.script[key] = value
        self.write()

    def config_accesses(self) -> tuple[list[dict], list[dict]]:
        """The whole-tree fetches and the single-setting accesses so far.
        Each record's `requests` is what it cost the camera: one per value
        widget for a whole tree, one for a name that exists, none for a name
        that does not (or a refused access)."""
        accesses = self.records("get_config")
        return ([r for r in accesses if "name" not in r], [r for r in accesses if "name" in r])

    def default_config(self) -> None:
        """Goes back to the driver's built-in tree (all 14 parameters)."""
        self.script.pop("config", None)
        self.write()

    def tree(self) -> Optional[list[dict]]:
        """The tree the script gives (its own or the built-in one, with the
        serial number and padding widgets), with the script's values."""
        widgets = self.script["config"] if "config" in self.script else default_config()
        if widgets is None:
            return None
        widgets = json.loads(json.dumps(widgets))
        if "serial" in self.script:
            serial = [w for w in _all_widgets(widgets) if w.get("name") == "serialnumber"]
            for described in serial:
                described["value"] = self.script["serial"]
            if not serial:
                widgets.append(section("status", [text("serialnumber", None, readonly=True)]))
                widgets[-1]["children"][0]["value"] = self.script["serial"]
        if padding := self.script.get("paddingWidgets"):
            widgets.append(section("padding", [text(f"padding{i}", f"padding{i}")
                                               for i in range(1, padding + 1)]))
        return widgets

    def _script_widget(self, name: str) -> dict:
        """The widget `name` of script.json's tree, which takes a copy of the
        built-in tree first when the script has none."""
        if self.script.get("config") is None:
            self.script["config"] = default_config()
        described = find_widget(self.script["config"], name)
        if described is None:
            raise KeyError(f"no setting {name!r} in the tree")
        return described

    def set_refused(self, name: str, values: Iterable[Any]) -> None:
        """Values of setting `name` that the camera refuses ("Invalid
        DeviceProp value") when the host writes them."""
        self._script_widget(name)["refuse"] = [_value(v) for v in values]
        self.write()

    def set_readonly(self, name: str, readonly: bool = True) -> None:
        """Makes setting `name` read-only (or writable again)."""
        self._script_widget(name)["readonly"] = readonly
        self.write()

    def add_capture_target(self, style: str = "nikon", value: str = None) -> None:
        """Adds ptp2's capture target (capture_target()) to the tree's
        capture settings, or replaces it. For style "nikon" a `value`
        ("sdram", "card") goes where ptp2 keeps it, libgphoto2's settings in
        the bench's HOME; for "sony" it is the camera's value."""
        if self.script.get("config") is None:
            self.script["config"] = default_config()
        widgets = self.script["config"]
        for parent in [widgets, *(w["children"] for w in _all_widgets(widgets)
                                  if "children" in w)]:
            parent[:] = [w for w in parent if w.get("name") != "capturetarget"]
        settings = find_widget(widgets, "capturesettings")
        place = settings["children"] if settings else widgets
        place.append(capture_target(style, value or "sdram"))
        if style != "sony" and value is not None:
            self.set_host_setting("ptp2", "capturetarget", value)
        self.write()

    # -- the camera's state (state.json) and libgphoto2's settings -----------

    def state(self) -> dict:
        """state.json: the settings written or turned, busy answers used,
        the last live view frame's number."""
        try:
            return json.loads((self.directory / "state.json").read_text())
        except (FileNotFoundError, ValueError):
            return {}

    def _change_state(self, change: Callable[[dict], None]) -> None:
        """Edits state.json under the lock the driver takes too."""
        with open(self.directory / "state.lock", "a+") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            state = self.state()
            change(state)
            temporary = self.directory / "state.json.tmp"
            temporary.write_text(json.dumps(state, allow_nan=False))
            os.replace(temporary, self.directory / "state.json")

    def host_settings(self) -> dict[tuple[str, str], str]:
        """libgphoto2's settings ($HOME/.gphoto/settings of the bench) by
        (id, key), where ptp2 keeps its capture target."""
        path = self.home / ".gphoto" / "settings"
        settings = {}
        if path.exists():
            for line in path.read_text().splitlines():
                if line.count("=") >= 2:
                    id, key, value = line.split("=", 2)
                    settings[(id, key)] = value
        return settings

    def set_host_setting(self, id: str, key: str, value: Optional[str]) -> None:
        """Changes one of libgphoto2's settings as gp_setting_set would (None
        removes it). A process that has read them already keeps its copy."""
        settings = self.host_settings()
        if value is None:
            settings.pop((id, key), None)
        else:
            settings[(id, key)] = value
        path = self.home / ".gphoto" / "settings"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(f"{i}={k}={v}\n" for (i, k), v in settings.items()))

    def setting(self, name: str) -> Any:
        """What setting `name` holds now: the value the host wrote or the
        body turned, unless the script has given the widget another value
        since; else the script's (text, bytes for text that is not UTF-8, a
        number, or "nan"/"inf"/"-inf"/"-0"). ptp2's own capture target is
        read from libgphoto2's settings. None for a setting that neither the
        tree nor the state holds."""
        described = find_widget(self.tree() or [], name)
        if described is not None and described.get("name") == "capturetarget" and any(
                c in CAPTURE_TARGET_LABELS.values() for c in described.get("choices", ())):
            kept = self.host_settings().get(("ptp2", "capturetarget"), "sdram")
            return CAPTURE_TARGET_LABELS.get(kept, kept)
        scripted = described.get("value") if described else None
        entry = self.state().get("settings", {}).get(name)
        if entry is not None and entry.get("script") == scripted:
            return _from_script(entry["value"])
        return _from_script(scripted)

    def turn(self, name: str, value: Any, code: int = None) -> None:
        """Turns setting `name` to `value` on the body, as a photographer
        does: the camera holds it at once and reports a property-changed
        event (GP_EVENT_UNKNOWN, "PTP Property %04x changed, "name" to
        "value"", its text made from the value when it is delivered). `code`
        names the property of a setting that the tree lacks."""
        described = find_widget(self.tree() or [], name)
        scripted = described.get("value") if described else None
        self._change_state(lambda state: state.setdefault("settings", {}).update(
            {name: {"value": _value(value), "script": scripted}}))
        event = {"type": "property_changed", "name": name}
        if code is not None:
            event["code"] = code
        self.add_events([event])

    def viewfinder(self) -> bool:
        """Whether the camera is in live view (its mirror up) now."""
        return bool(self.setting("viewfinder"))

    def set_busy(self, operation: str, count: int) -> None:
        """The next `count` calls of `operation` find the camera busy:
        "capture" (captures and triggers), "preview" or "set_config" (writes
        that reach the camera). Starts the count again even when it is the
        same as before."""
        if operation == "set_config":
            self.script["setConfigBusy"] = count
        elif operation == "capture":
            self.script.setdefault("capture", {})["busy"] = count
        elif operation == "preview":
            preview = self.script.get("preview")
            if not isinstance(preview, dict):
                preview = self.script["preview"] = {"enabled": preview is not False}
            preview["busy"] = count
        else:
            raise ValueError(f"no busy count for {operation!r}")
        self._change_state(lambda state: state.setdefault("busy", {}).pop(operation, None))
        self.write()

    def set_vendor(self, vendor: Optional[str]) -> None:
        """Which of ptp2's vendor roads the camera plays for settings writes
        and live view: "nikon", "canon" (EOS) or "sony"; None: Sony's for the
        Sony models, Nikon's for the others."""
        if vendor is None:
            self.script.pop("vendor", None)
        else:
            self.script["vendor"] = vendor
        self.write()

    def set_write_events(self, enabled: bool) -> None:
        """Whether an accepted write is reported by a property-changed event
        (the default, as the bodies report every change)."""
        self.script["writeEvents"] = enabled
        self.write()

    def set_preview(self, enabled: bool = True, *, width: int = None, height: int = None,
                    frame_bytes: int = None, frame_ms: float = None, start_ms: float = None,
                    busy_ms: float = None) -> None:
        """Live view: whether the body has it (False: capture_preview answers
        GP_ERROR_NOT_SUPPORTED), the frame size, frames padded to
        `frame_bytes`, a frame every `frame_ms` (default 1000/30), what
        turning live view on takes and what a busy call takes. None keeps a
        value as it is; set_busy("preview", n) makes calls busy."""
        preview = self.script.get("preview")
        preview = dict(preview) if isinstance(preview, dict) else {}
        preview["enabled"] = enabled
        for key, value in (("width", width), ("height", height), ("frameBytes", frame_bytes),
                           ("frameMs", frame_ms), ("startMs", start_ms), ("busyMs", busy_ms)):
            if value is not None:
                preview[key] = value
        self.script["preview"] = preview
        self.write()

    def set_capture(self, folder: Union[str, bytes] = None, name: Union[str, bytes] = None,
                    data: bytes = None, *, size: int = 4096, seed: int = 7,
                    counter_start: int = None, trigger_delay_ms: int = 0,
                    complete_event: bool = False, ram: bool = False,
                    pair: str = None, pair_delay_ms: int = 0, ram_name: str = None,
                    card_name: str = None, card_only_wait_ms: float = None) -> None:
        """What a capture or trigger creates: a file in `folder` named from
        `name` (each run of '#' is a counter, zero-padded), with the given
        bytes. A trigger reports the file by a file-added event after
        `trigger_delay_ms` (preceded by capture-complete if asked). With
        `ram` the photo stays in camera memory (folder "/", default name
        capt####.jpg from 0); see the README. A capture target in the tree
        decides instead of `ram`; `ram_name` and `card_name` name the photos
        in memory and on the card apart. With `pair` (an extension) a
        trigger makes a RAW+JPEG pair, the second file `pair_delay_ms` later.
        `card_only_wait_ms`: how long a Sony capture to the card alone waits
        before it fails (ptp2: 35 s). A busy count (set_busy) stays."""
        keys, _ = _content(data, size, seed, None)
        entry = {"triggerDelayMs": trigger_delay_ms, "completeEvent": complete_event, **keys}
        for key, value in (("folder", folder), ("name", name), ("counterStart", counter_start),
                           ("ramName", ram_name), ("cardName", card_name)):
            if value is not None:
                entry[key] = _text(value)
        if ram:
            entry["ram"] = True
        if pair:
            entry.update(pairExtension=pair, pairDelayMs=pair_delay_ms)
        if card_only_wait_ms is not None:
            entry["cardOnlyWaitMs"] = card_only_wait_ms
        if "busy" in self.script.get("capture", {}):
            entry["busy"] = self.script["capture"]["busy"]
        self.script["capture"] = entry
        self.write()

    def capture_bytes(self) -> bytes:
        """The bytes of the files that captures create."""
        capture = self.script.get("capture")
        if capture is None or not any(k in capture for k in ("data", "hex", "path", "size")):
            return pattern_bytes(4096, 0)
        if "hex" in capture:
            return bytes.fromhex(capture["hex"])
        return pattern_bytes(capture.get("size", 0), capture.get("seed", 0))

    def set_throttle(self, bytes_per_second: int, chunk_size: int = None) -> None:
        """Limits download speed (0: full speed)."""
        self.script["throttle"] = bytes_per_second
        if chunk_size:
            self.script["chunkSize"] = chunk_size
        self.write()

    def set_append_failure_result(self, result: Optional[int]) -> None:
        """What a download returns when writing into the caller's file fails
        (ptp2: -7); None passes on gp_file_append's own result (-35)."""
        if result is None:
            self.script.pop("appendFailureResult", None)
        else:
            self.script["appendFailureResult"] = result
        self.write()

    def set_serial(self, serial: Optional[Union[str, bytes]]) -> None:
        """The body's serial number as its "serialnumber" setting gives it
        (as ptp2 serves the one it read at opening); None: the script's
        tree as it is (the default tree says VC0001)."""
        if serial is None:
            self.script.pop("serial", None)
        else:
            self.script["serial"] = _text(serial)
        self.write()

    def set_unplugged_result(self, result: int) -> None:
        """The result of every camera call once the device is unplugged
        (default -7, GP_ERROR_IO; 0 turns the unplug check off)."""
        self.script["unpluggedResult"] = result
        self.write()

    # -- events.jsonl --------------------------------------------------------

    def add_events(self, events: Iterable[dict]) -> None:
        """Appends events in one write. Each is a dict as add_event builds."""
        payload = "".join(json.dumps(e, allow_nan=False) + "\n" for e in events).encode()
        fd = os.open(self.directory / "events.jsonl", os.O_WRONLY | os.O_APPEND | os.O_CREAT,
                     0o644)
        try:
            while payload:
                payload = payload[os.write(fd, payload):]
        finally:
            os.close(fd)

    @staticmethod
    def event(type: Union[str, int], folder: Union[str, bytes] = None,
              name: Union[str, bytes] = None, text: Union[str, bytes] = None) -> dict:
        """An event for add_events: type is a name (file_added, folder_added,
        capture_complete, file_changed, unknown, timeout) or a number.
        Names longer than 127 bytes fill the 128-byte field without a NUL."""
        entry: dict[str, Any] = {"type": type}
        if folder is not None:
            entry["folder"] = _text(folder)
        if name is not None:
            entry["name"] = _text(name)
        if text is not None:
            entry["text"] = _text(text)
        return entry

    def add_event(self, type: Union[str, int], folder=None, name=None, text=None) -> None:
        self.add_events([self.event(type, folder, name, text)])

    def fail_event(self, result: int) -> None:
        """The next event wait fails once with `result`."""
        self.add_events([{"result": result}])

    @staticmethod
    def photo_event(folder: Union[str, bytes], name: Union[str, bytes], data: bytes = None, *,
                    size: int = 4096, seed: int = 0, ram: bool = False) -> dict:
        """A file-added event for add_events that carries its photo's content:
        the driver puts the photo on the card as it delivers the event,
        without a change to script.json, or with `ram` hands it to
        libgphoto2's cache as a photo of camera memory (folder "/")."""
        keys, _ = _content(data, size, seed, None)
        entry = {"type": EVENT_FILE_ADDED, "folder": "/" if ram else _text(folder),
                 "name": _text(name), **keys}
        if ram:
            entry["ram"] = True
        return entry

    def add_card_photos(self, folder: Union[str, bytes], names: Iterable[Union[str, bytes]],
                        data: bytes = None, *, size: int = 4096, seed: int = None) -> dict:
        """Announces new photos on the card in one write, their content in
        the events (see photo_event), each with a seed of its own unless
        given; returns their bytes by name. Unlike add_photo it leaves
        script.json as it is, so edits made to it meanwhile stay."""
        return self._announce(folder, names, data, size, seed, ram=False)

    def add_ram_photo(self, name: Union[str, bytes], data: bytes = None, *, size: int = 4096,
                      seed: int = None) -> bytes:
        """Announces a photo held in camera memory, in "/" (see the README);
        returns its bytes."""
        return self.add_ram_photos([name], data, size=size, seed=seed)[name]

    def add_ram_photos(self, names: Iterable[Union[str, bytes]], data: bytes = None, *,
                       size: int = 4096, seed: int = None) -> dict:
        """Announces photos held in camera memory in one write (a burst),
        each with its own seed unless given; returns their bytes by name."""
        return self._announce("/", names, data, size, seed, ram=True)

    def _announce(self, folder, names, data, size, seed, ram) -> dict:
        events, expected = [], {}
        for name in names:
            own = self._next_seed() if seed is None else seed
            events.append(self.photo_event(folder, name, data, size=size, seed=own, ram=ram))
            expected[name] = _content(data, size, own, None)[1]
        self.add_events(events)
        return expected

    def add_photo(self, folder: Union[str, bytes], name: Union[str, bytes], data: bytes = None,
                  **content) -> Optional[bytes]:
        """Puts a file on the card and reports it with a file-added event;
        returns its bytes (as add_file)."""
        expected = self.add_file(folder, name, data, **content)
        self.add_event(EVENT_FILE_ADDED, folder, name)
        return expected

    # -- record.jsonl --------------------------------------------------------

    def records(self, op: str = None) -> list[dict]:
        """What the driver did, oldest first, optionally only one operation:
        init, exit, capture, trigger, file_get, ram_handover, get_config,
        set_config, preview, viewfinder, event, request, script_error,
        event_error, config_error. Each has the time it happened, `at`, on
        the clock of time.monotonic."""
        path = self.directory / "record.jsonl"
        if not path.exists():
            return []
        entries = [json.loads(line) for line in path.read_text().splitlines() if line.strip()]
        return [e for e in entries if op is None or e.get("op") == op]

    def wait_for_record(self, op: str, where: Callable[[dict], bool] = lambda r: True,
                        timeout: float = DEFAULT_TIMEOUT) -> dict:
        """Waits for a record of `op` that satisfies `where`."""
        deadline = time.monotonic() + timeout
        while True:
            for entry in self.records(op):
                if where(entry):
                    return entry
            if time.monotonic() > deadline:
                pytest.fail(f"no {op!r} record within {timeout} s; records: {self.records()}")
            time.sleep(0.02)


# ---------------------------------------------------------------------------


def _matches(line: dict, fields: dict) -> bool:
    return all(k in line and line[k] == v for k, v in fields.items())


class Relay:
    """A running test copy of camrelay. Status lines are read by a thread
    into a queue; `line` takes them one by one with a deadline and fails the
    test at once, showing every line seen so far, when none comes. Replies
    and events (protocol 2) go to `messages` instead, in the order they
    came, each checked against the schema as it arrives; `reply`, `event`
    and `ask` wait for them. `transcript()` gives every line of every kind
    in the order camrelay wrote them."""

    def __init__(self, env: dict[str, str], args: Iterable[str] = (),
                 executable: Union[str, Path] = None, cwd: Union[str, Path] = None,
                 long_run: bool = False):
        self.executable = str(executable or CAMRELAY)
        # A long run judges replies and events itself (take_messages) and
        # keeps no transcript: a run of hours writes too many lines.
        self.long_run = long_run
        self._unread: list[Union[dict, str]] = []
        self.seen: list[Any] = []  # every status line taken so far, parsed
        self.seen_raw: list[bytes] = []  # the same lines as camrelay wrote them
        self.ended = False  # the output has ended
        self._queue: "queue.Queue[Optional[bytes]]" = queue.Queue()
        self._stderr = bytearray()
        self.messages: list[dict] = []  # replies and events, as they came
        # When each of `messages` was read, before its check, on the clock
        # of time.monotonic (for benches that time them from the host's side).
        self.message_times: list[float] = []
        self._taken: set[int] = set()  # indices of messages that event() returned
        self._problems: list[str] = []  # messages that broke the schema
        self._raw: list[bytes] = []  # every line, of every kind, in order
        self._arrived = threading.Condition()
        self._next_id = 0
        self.proc = subprocess.Popen([self.executable, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                     cwd=cwd)
        self._reader = threading.Thread(target=self._read_stdout, daemon=True)
        self._reader.start()
        self._err_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._err_reader.start()

    def _read_stdout(self) -> None:
        for raw in self.proc.stdout:
            received = time.monotonic()
            problem = None
            try:
                message = message_line(raw)
            except InvalidStatusLine as broken:
                message, problem = None, str(broken)
            with self._arrived:
                if self.long_run:
                    if problem is not None or message is not None:
                        self._unread.append(message if problem is None else problem)
                else:
                    self._raw.append(raw)
                    if problem is not None:
                        self._problems.append(problem)
                    elif message is not None:
                        self.messages.append(message)
                        self.message_times.append(received)
                self._arrived.notify_all()
            if message is None and problem is None:
                self._queue.put(raw)
        self._queue.put(None)  # end of output
        with self._arrived:
            self.ended = True
            self._arrived.notify_all()

    def _read_stderr(self) -> None:
        for raw in self.proc.stderr:
            self._stderr += raw

    # -- input ---------------------------------------------------------------

    def send(self, command: Union[dict, str, bytes]) -> None:
        """Writes a command: a dict as one JSON line; str or bytes as they
        are (add the "\\n" yourself)."""
        if isinstance(command, dict):
            data = (json.dumps(command) + "\n").encode()
        elif isinstance(command, str):
            data = command.encode()
        else:
            data = bytes(command)
        try:
            self.proc.stdin.write(data)
            self.proc.stdin.flush()
        except BrokenPipeError:
            pytest.fail(self._report("camrelay closed its standard input"))

    def start(self, camera_id: Any, directory: Any) -> None:
        self.send({"command": "start", "cameraId": camera_id, "directory": directory})

    def stop(self) -> None:
        self.send({"command": "stop"})

    def capture(self) -> None:
        self.send({"command": "capture"})

    def command(self, command: dict) -> Any:
        """Sends `command` with an id of its own (a counter) unless it has
        one; returns the id, for `reply`."""
        if "id" not in command:
            self._next_id += 1
            command = {**command, "id": self._next_id}
        self.send(command)
        return command["id"]

    def ask(self, command: dict, timeout: float = DEFAULT_TIMEOUT) -> dict:
        """Sends `command` (with an id of its own unless it has one) and
        returns its reply."""
        return self.reply(self.command(command), timeout)

    def hello(self, timeout: float = DEFAULT_TIMEOUT) -> dict:
        """Opts in to protocol 2; fails unless the reply accepts it."""
        reply = self.ask({"command": "hello", "protocol": 2}, timeout)
        if not reply["ok"] or reply["protocol"] != 2:
            pytest.fail(self._report(f"hello was refused: {reply}"))
        return reply

    def close_stdin(self) -> None:
        """End of input: camrelay should exit with status 0."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def send_signal(self, number: int = signal.SIGTERM) -> None:
        self.proc.send_signal(number)

    # -- output --------------------------------------------------------------

    def _report(self, message: str) -> str:
        shown = "\n".join("  " + (json.dumps(line) if isinstance(line, dict) else repr(line))
                          for line in self.seen)
        with self._arrived:
            others = [raw.decode(errors="replace").rstrip("\n") for raw in self._raw
                      if b'"reply"' in raw or b'"event"' in raw]
        stderr = self._stderr.decode(errors="replace").strip()
        return (f"{message}\nstatus lines seen so far ({len(self.seen)}):\n{shown or '  (none)'}"
                + (f"\nreplies and events so far ({len(others)}):\n  " + "\n  ".join(others)
                   if others else "")
                + (f"\nstderr:\n{stderr}" if stderr else ""))

    def _take(self, deadline: float, waiting_for: str) -> dict:
        remaining = deadline - time.monotonic()
        try:
            raw = self._queue.get(timeout=max(remaining, 0))
        except queue.Empty:
            pytest.fail(self._report(f"no status line {waiting_for}within the deadline"))
        if raw is None:
            self._queue.put(None)  # keep reporting the end
            pytest.fail(self._report(f"camrelay ended its output while waiting {waiting_for}"
                                     f"(exit status {self.proc.poll()})"))
        return self._accept(raw)

    def _accept(self, raw: bytes) -> dict:
        """The line parsed and kept in `seen`; fails the test when it breaks
        the protocol."""
        self.seen_raw.append(raw)
        try:
            parsed = status_line(raw)
        except InvalidStatusLine as problem:
            self.seen.append(raw)
            pytest.fail(self._report(str(problem)))
        self.seen.append(parsed)
        return parsed

    def line(self, timeout: float = DEFAULT_TIMEOUT, where: Callable[[dict], bool] = None,
             **fields: Any) -> dict:
        """The next status line, parsed. With `where` or field values
        (phase="ready", count=1, ...) the next line must match them; lines
        that do not match fail the test. See `wait_for` to skip lines."""
        line = self._take(time.monotonic() + timeout, "")
        if (where and not where(line)) or not _matches(line, fields):
            pytest.fail(self._report(f"unexpected status line; wanted {fields or ''}"
                                     f"{' and a predicate' if where else ''}"))
        return line

    def raw_line(self, timeout: float = DEFAULT_TIMEOUT) -> bytes:
        """The next status line as camrelay wrote it, its bytes with the line
        end, for a test that compares lines byte for byte; checked against
        the schema and kept in `seen` as `line` keeps it."""
        self._take(time.monotonic() + timeout, "")
        return self.seen_raw[-1]

    def wait_for(self, where: Callable[[dict], bool] = None, timeout: float = DEFAULT_TIMEOUT,
                 **fields: Any) -> dict:
        """Skips status lines until one matches `where` and the field values;
        returns it. Fails when none does before the deadline."""
        deadline = time.monotonic() + timeout
        wanted = f"matching {fields or ''}{' and a predicate' if where else ''} "
        while True:
            line = self._take(deadline, wanted)
            if (where is None or where(line)) and _matches(line, fields):
                return line

    def expect_no_line(self, seconds: float = 1.0) -> None:
        """Fails if a status line arrives within `seconds`."""
        try:
            raw = self._queue.get(timeout=seconds)
        except queue.Empty:
            return
        if raw is None:
            self._queue.put(None)
            return
        self.seen_raw.append(raw)
        try:
            self.seen.append(json.loads(raw))
        except ValueError:
            self.seen.append(raw)
        pytest.fail(self._report("a status line came although none was expected"))

    def take_line(self, timeout: float) -> Union[dict, str, None]:
        """The next status line without failing the test, for a caller that
        judges lines itself (a long run that counts what went wrong): the
        parsed line; for a line that breaks the protocol (status_line), the
        text that says how; or None when none came within `timeout` seconds
        or the output has ended (then `ended` is true). Lines taken so are
        not kept in `seen`: a run of hours writes too many."""
        try:
            raw = self._queue.get(timeout=max(timeout, 0))
        except queue.Empty:
            return None
        if raw is None:
            self._queue.put(None)  # keep reporting the end
            self.ended = True
            return None
        try:
            return status_line(raw)
        except InvalidStatusLine as problem:
            return str(problem)

    def take_messages(self) -> list[Union[dict, str]]:
        """The replies and events that have arrived since the last call, in
        order, for a long run (`long_run=True`) that judges them itself:
        each parsed, or for one that breaks the schema (message_line) the
        text that says how. Never fails; `reply`, `event` and `transcript`
        see none of them."""
        with self._arrived:
            taken, self._unread = self._unread, []
        return taken

    def pending_lines(self) -> list[dict]:
        """Takes every status line that has arrived, without waiting."""
        lines = []
        while True:
            try:
                raw = self._queue.get_nowait()
            except queue.Empty:
                return lines
            if raw is None:
                self._queue.put(None)
                return lines
            lines.append(self._accept(raw))

    def _wait_message(self, find: Callable[[], Any], timeout: float, waiting_for: str) -> Any:
        deadline = time.monotonic() + timeout
        with self._arrived:
            while True:
                if self._problems:
                    pytest.fail(self._report(self._problems[0]))
                found = find()
                if found is not None:
                    return found
                remaining = deadline - time.monotonic()
                if self.ended or remaining <= 0:
                    pytest.fail(self._report(f"no {waiting_for} "
                                             + ("before the output ended" if self.ended
                                                else "within the deadline")))
                self._arrived.wait(remaining)

    def reply(self, id: Any, timeout: float = DEFAULT_TIMEOUT) -> dict:
        """The reply whose id is `id` (the first, should there be more)."""
        def find():
            return next((m for m in self.messages if "reply" in m and m["reply"] == id
                         and type(m["reply"]) is type(id)), None)
        return self._wait_message(find, timeout, f"reply with id {id!r}")

    def replies(self) -> list[dict]:
        """Every reply so far, in order."""
        with self._arrived:
            return [m for m in self.messages if "reply" in m]

    def event(self, name: str = None, where: Callable[[dict], bool] = None,
              timeout: float = DEFAULT_TIMEOUT, **fields: Any) -> dict:
        """The first event not yet returned by this call that has the name
        and matches `where` and the field values; waits for one."""
        def find():
            for index, message in enumerate(self.messages):
                if (index not in self._taken and "event" in message
                        and (name is None or message["event"] == name)
                        and (where is None or where(message)) and _matches(message, fields)):
                    self._taken.add(index)
                    return message
            return None
        return self._wait_message(find, timeout, f"event {name or ''} matching {fields or ''}")

    def events(self, name: str = None) -> list[dict]:
        """Every event so far (of that name), in order."""
        with self._arrived:
            return [m for m in self.messages if "event" in m and name in (None, m["event"])]

    def transcript(self) -> list[dict]:
        """Every line camrelay has written so far, of every kind, parsed, in
        the order it wrote them."""
        with self._arrived:
            return [json.loads(raw) for raw in self._raw]

    def line_of_any_kind(self, index: int, timeout: float = DEFAULT_TIMEOUT) -> dict:
        """Line `index` (from 0) of everything camrelay has written, of every
        kind, parsed; waits for it. For a test that follows the output line
        by line whatever its kind, as a host of protocol 2 reads it."""
        def find():
            return json.loads(self._raw[index]) if len(self._raw) > index else None
        return self._wait_message(find, timeout, f"line {index + 1} of any kind")

    def raw_transcript(self) -> list[bytes]:
        """The same, as the bytes of each line (with its line end)."""
        with self._arrived:
            return list(self._raw)

    # -- exit ----------------------------------------------------------------

    def wait_exit(self, timeout: float = DEFAULT_TIMEOUT) -> int:
        """Waits for the process to end; returns its exit status (negative:
        killed by that signal). Kills it and fails the test on timeout."""
        try:
            status = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            end_process(self.proc)
            pytest.fail(self._report(f"camrelay did not exit within {timeout} s"))
        self._reader.join(timeout=5)
        self._err_reader.join(timeout=5)
        return status

    @property
    def stderr(self) -> str:
        return self._stderr.decode(errors="replace")

    def end(self) -> None:
        """Ends the process (end_process) and takes the rest of its output."""
        end_process(self.proc)
        self._reader.join(timeout=5)
        self._err_reader.join(timeout=5)


# ---------------------------------------------------------------------------


def libusb_knows_20000() -> bool:
    """Whether this libusb reports a 20000 Mbit/s sysfs speed as a speed
    code (1.0.27 added LIBUSB_SPEED_SUPER_PLUS_X2); older ones say unknown."""
    import ctypes

    class Version(ctypes.Structure):
        _fields_ = [("major", ctypes.c_uint16), ("minor", ctypes.c_uint16),
                    ("micro", ctypes.c_uint16), ("nano", ctypes.c_uint16)]

    library = ctypes.CDLL("libusb-1.0.so.0")
    library.libusb_get_version.restype = ctypes.POINTER(Version)
    v = library.libusb_get_version().contents
    return (v.major, v.minor, v.micro) >= (1, 0, 27)


def under_umockdev() -> bool:
    return "libumockdev-preload" in os.environ.get("LD_PRELOAD", "")


class Bench:
    """One umockdev testbed, the virtual camera's script folder and the
    processes started on them. Use one per test (the `bench` fixture)."""

    def __init__(self, directory: Union[str, Path]):
        if not under_umockdev():
            pytest.skip("process-level tests run under umockdev-wrapper (use ctest)")
        if not CAMRELAY.exists():
            pytest.fail(f"test copy of camrelay missing: {CAMRELAY} (build the project first)")
        self.directory = Path(directory)
        self.testbed = UMockdev.Testbed.new()
        self.root_dir = self.testbed.get_root_dir()
        self.home = self.directory / "home"  # libgphoto2 keeps its settings here
        self.home.mkdir(parents=True, exist_ok=True)
        self.camera = Camera(self.directory / "virtualcam", self.home)
        # What relay() starts; gphoto2() loads the drivers beside it.
        self.camrelay = CAMRELAY
        self.devices: list[Device] = []
        self.relays: list[Relay] = []
        self._hub_ports: dict[int, int] = {}

    # -- devices -------------------------------------------------------------

    def plug(self, model: Union[str, Model] = "trigger", bus: int = 1, address: int = 5,
             speed: str = "5000", *, vendor: int = None, product: int = None,
             complete: bool = True, serial: Optional[str] = DEFAULT_SERIAL) -> Device:
        """Plugs in a virtual camera of `model` (a key of MODELS) at `bus`
        and `address` with sysfs speed `speed` (one of SPEEDS, or any text).
        `vendor`/`product` override the model's ids (for a device that no
        driver knows). With complete=False the device has no descriptors in
        sysfs yet, so libusb and libgphoto2 cannot list it, while udev
        already names its ids; `complete` finishes it. `serial` is the USB
        device's serial number string (None: it has none); the same body
        plugged in again keeps it, another body of the model has another."""
        model = MODELS[model] if isinstance(model, str) else model
        hub_port = self._hub_ports.get(bus, 0) + 1
        self._hub_ports[bus] = hub_port
        description = device_description(vendor if vendor is not None else model.vendor,
                                         product if product is not None else model.product,
                                         bus, address, str(speed), hub_port, serial)
        if not complete:
            description = re.sub(r"^H: descriptors=.*\n", "", description, flags=re.M)
        if not self.testbed.add_from_string(description):
            pytest.fail(f"umockdev refused the device description:\n{description}")
        syspath = "/sys" + description.splitlines()[0][3:]
        self.testbed.uevent(syspath, "add")
        device = Device(model, bus, address, str(speed), syspath)
        self.devices.append(device)
        return device

    def complete(self, device: Device) -> None:
        """Gives a camera plugged with complete=False its descriptors and
        announces it with a "change" uevent, as udev does once it has set
        up a device."""
        descriptors = usb_descriptors(device.model.vendor, device.model.product)
        self.testbed.set_attribute_binary(device.syspath, "descriptors", descriptors)
        self.testbed.uevent(device.syspath, "change")

    def unplug(self, device: Device) -> None:
        """Removes the device from sysfs and /dev, as a cable pull would."""
        if device.plugged:
            self.testbed.uevent(device.syspath, "remove")
            self.testbed.remove_device(device.syspath)
            device.plugged = False

    def camera_for(self, device: Device) -> Camera:
        """A script folder used only by the camera on `device`'s port."""
        return Camera(self.camera.directory / device.port.replace(":", "-").replace(",", "-"),
                      self.home)

    # -- processes -----------------------------------------------------------

    def env(self, **extra: str) -> dict[str, str]:
        """Environment for child processes: the testbed (UMOCKDEV_DIR, which
        Python's os.environ does not see), the script folder and HOME."""
        env = dict(os.environ)
        env.update(UMOCKDEV_DIR=self.root_dir, VIRTUALCAM_DIR=str(self.camera.directory),
                   HOME=str(self.home))
        env.update(extra)
        return env

    def relay(self, *args: str, env: dict[str, str] = None, **kw) -> Relay:
        """Starts the bench's camrelay (the test copy), or `executable`, on
        this testbed."""
        kw.setdefault("executable", self.camrelay)
        relay = Relay(env or self.env(), args, **kw)
        self.relays.append(relay)
        return relay

    def gphoto2(self, *args: str, cwd: Union[str, Path] = None, timeout: float = 60,
                file_size_limit: int = None) -> subprocess.CompletedProcess:
        """Runs Debian's gphoto2 on this testbed with the camera and port
        drivers of the bench's camrelay. With `file_size_limit`, its writes
        past that many bytes of a file fail (EFBIG), as on a full disk."""
        drivers = self.camrelay.parent
        env = self.env(CAMLIBS=str(drivers / "camlibs"), IOLIBS=str(drivers / "iolibs"))
        if runtime := env.get("CAMRELAY_ASAN_RUNTIME"):
            # A sanitized driver needs its runtime in the program from the
            # start. Leaks are checked in camrelay, which loads the same
            # driver; here they would be gphoto2's own.
            env["LD_PRELOAD"] = f"{env.get('LD_PRELOAD', '')} {runtime}".strip()
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        def limit_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

        result = subprocess.run(["gphoto2", *args], env=env, cwd=cwd, capture_output=True,
                                timeout=timeout,
                                preexec_fn=limit_file_size if file_size_limit else None)
        if report := sanitizer_report(result.stderr):
            pytest.fail(f"sanitizer report from gphoto2 {' '.join(args)}:\n{report}")
        return result

    def close(self) -> None:
        """Ends every process started on the bench and removes every device;
        fails the test when a process left a sanitizer report."""
        reports = []
        for relay in self.relays:
            relay.end()
            if relay.proc.stdin:
                try:
                    relay.proc.stdin.close()
                except BrokenPipeError:
                    pass
            if report := sanitizer_report(relay.stderr):
                reports.append(report)
            reports.extend(relay._problems)  # replies and events that broke the schema
        for device in self.devices:
            if device.plugged:
                self.testbed.remove_device(device.syspath)
                device.plugged = False
        self.testbed = None  # the testbed removes its folder when freed
        if reports:
            pytest.fail("sanitizer report, or a line that breaks the protocol, from camrelay:\n"
                        + "\n".join(reports))
