"""Camera discovery on the virtual camera bench: which cameras are listed, in
which order, with which link speed, and when a status line is written.

Real libgphoto2 autodetection, real libusb and real udev run against umockdev
devices, which announce their plugging with uevents. A small preloaded watcher
logs the discoveries, the looks at the USB device set and the hot-plug
notices (so that a test can wait for one instead of sleeping, and see what led
to what), can make autodetection fail, wait, or list entries that no real USB
bus can produce, and can take the hot-plug listener or the device set away."""

import ctypes
import re
import signal
import time
from pathlib import Path

import pytest

import preload

from harness import (DEFAULT_TIMEOUT, GP_ERROR_IO, GP_ERROR_IO_USB_CLAIM, SPEEDS,
                     libusb_knows_20000)

SOURCE = Path(__file__).resolve().parent


@pytest.fixture(scope="module")
def wrapper(tmp_path_factory):
    """The discovery watcher (discovery_preload.c), built for this run."""
    return preload.build(tmp_path_factory.mktemp("wrapper"), SOURCE / "discovery_preload.c",
                         "discovery_preload")


def gp_text(code):
    library = ctypes.CDLL("libgphoto2.so.6")
    library.gp_result_as_string.restype = ctypes.c_char_p
    return library.gp_result_as_string(code).decode()


class Watched:
    """camrelay with the discovery watcher preloaded."""

    def __init__(self, bench, wrapper, tmp_path, **switches):
        self.log_file = tmp_path / "discoveries"
        self.control_file = tmp_path / "control"
        self.control_file.write_text("")
        env = preload.chained(bench.env(), wrapper, DISCOVERY_LOG=str(self.log_file),
                              AUTODETECT_CONTROL=str(self.control_file), **switches)
        self.relay = bench.relay(env=env)

    def control(self, *lines):
        temporary = self.control_file.with_suffix(".tmp")
        temporary.write_text("".join(line + "\n" for line in lines))
        temporary.replace(self.control_file)

    def log(self):
        """What camrelay did so far: see discovery_preload.c."""
        return self.log_file.read_text() if self.log_file.exists() else ""

    def discoveries(self):
        return self.log().count("a")

    def wait_log(self, event, count, timeout=DEFAULT_TIMEOUT):
        deadline = time.monotonic() + timeout
        while self.log().count(event) < count:
            assert time.monotonic() < deadline, f"fewer than {count} {event!r} in {self.log()!r}"
            time.sleep(0.02)

    def quiet(self, looks=2):
        """Waits until camrelay has made `looks` more whole looks at the USB
        devices (two: a whole look and any discovery it led to ended after
        this call), then asserts that no status line came meanwhile. A look
        still reading the set when the test changes the bus would see the
        change before its notice, so the last look must have ended too. The
        3-s looks of a slow (sanitized, loaded) build may take longer than
        one default timeout."""
        self.wait_log("s", self.log().count("s") + looks, timeout=3 * DEFAULT_TIMEOUT)
        self.wait_log("e", self.log().count("s"), timeout=3 * DEFAULT_TIMEOUT)
        assert self.relay.pending_lines() == []


@pytest.fixture
def watched(bench, wrapper, tmp_path):
    return Watched(bench, wrapper, tmp_path)


def hexed(text):
    if text is None:
        return "-"
    return (text if isinstance(text, bytes) else text.encode()).hex()


def autodetection_order(bench):
    """Ports in the order Debian's gphoto2 autodetection lists them."""
    result = bench.gphoto2("--auto-detect")
    assert result.returncode == 0, result.stderr
    rows = result.stdout.decode().splitlines()[2:]
    return [re.split(r"\s{2,}", row.strip())[-1] for row in rows if row.strip()]


def entry(device, mbps=None):
    return {"id": device.port, "name": device.model.name,
            "linkMbps": device.link_mbps if mbps is None else mbps}


def test_plugging_and_unplugging_yield_one_line_each(bench, watched):
    relay = watched.relay
    seen = 0

    def discoveries_since():
        """One discovery, after the hot-plug notice, or none at all."""
        nonlocal seen
        watched.quiet()
        log, seen = watched.log()[seen:], len(watched.log())
        assert log.count("a") == 0 or (log.count("a") == 1 and -1 < log.find("n") < log.find("a")), log
        return log.count("a")

    relay.line(phase="idle", cameras=[])
    # No USB device: an empty list without asking libgphoto2.
    assert discoveries_since() == 0

    first = bench.plug("trigger", bus=1, address=5, speed="480")
    relay.line(phase="idle", cameras=[entry(first)])
    assert discoveries_since() == 1

    # Two cameras of one model are two entries, in autodetection order.
    second = bench.plug("trigger", bus=1, address=6, speed="480")
    line = relay.line(phase="idle")
    order = autodetection_order(bench)
    assert sorted(order) == [first.port, second.port]
    by_port = {first.port: entry(first), second.port: entry(second)}
    assert line["cameras"] == [by_port[port] for port in order]
    assert discoveries_since() == 1

    bench.unplug(first)
    relay.line(phase="idle", cameras=[entry(second)])
    assert discoveries_since() == 1
    bench.unplug(second)
    relay.line(phase="idle", cameras=[])
    assert discoveries_since() == 0


def test_a_quiet_bus_costs_no_discovery_and_a_non_camera_one_per_notice(bench, watched):
    camera = bench.plug("trigger", bus=1, address=5, speed="480")
    watched.relay.wait_for(lambda s: s["cameras"] == [entry(camera)])
    before = watched.discoveries()
    other = bench.plug(bus=1, address=6, vendor=0xDEAD, product=0xBEEF)
    watched.quiet(looks=4)  # the plug's look, then three 3-s looks
    assert watched.discoveries() - before == 1
    bench.testbed.uevent(other.syspath, "change")
    watched.quiet(looks=3)
    assert watched.discoveries() - before == 2


def test_a_camera_that_scans_missed_is_found_at_its_change_notice(bench, wrapper, tmp_path):
    # Known to udev by its ids, not yet usable by libgphoto2.
    device = bench.plug("trigger", bus=1, address=5, speed="480", complete=False)
    log = tmp_path / "camrelay.log"
    watched = Watched(bench, wrapper, tmp_path, CAMRELAY_LOG=str(log))
    watched.relay.line(phase="idle", cameras=[])
    # The start-up scan and its two retries miss it; then the bus is quiet.
    watched.wait_log("a", 3)
    watched.quiet()
    bench.complete(device)
    watched.relay.line(phase="idle", cameras=[entry(device)])
    assert re.findall(r"discovery \((.*)\) among", log.read_text()) == [
        "start-up, no successful scan yet", *["retry after a missed camera"] * 2,
        "hot-plug notice"]


@pytest.mark.parametrize("switches,rescans", [
    ({"FAIL_MONITOR": "1"}, False),  # the 3-s look alone
    ({"FAIL_USB_SET": "1"}, True),  # a rescan on every notice and every 3 s
    ({"FAIL_MONITOR": "1", "FAIL_USB_SET": "1"}, True),  # a rescan every 3 s
])
def test_without_listener_or_device_set_cameras_are_still_found(bench, wrapper, tmp_path,
                                                                 switches, rescans):
    watched = Watched(bench, wrapper, tmp_path, **switches)
    relay = watched.relay
    relay.line(phase="idle", cameras=[])
    device = bench.plug("trigger", bus=1, address=5, speed="480")
    relay.line(phase="idle", cameras=[entry(device)])
    bench.unplug(device)
    relay.line(phase="idle", cameras=[])
    before = watched.discoveries()
    watched.quiet()
    assert (watched.discoveries() > before) == rescans
    assert "FAIL_MONITOR" not in switches or "n" not in watched.log()


def test_a_signal_during_a_discovery_ends_it_without_a_line(bench, watched):
    relay = watched.relay
    relay.line(phase="idle")
    watched.control("hold")
    bench.plug("trigger", bus=1, address=5, speed="480")
    watched.wait_log("h", 1)
    relay.send_signal(signal.SIGTERM)
    watched.control()
    assert relay.wait_exit() == 0
    assert relay.pending_lines() == []


def test_link_speed_for_every_sysfs_speed(bench, watched):
    expected = {"1.5": 1.5, "12": 12, "480": 480, "5000": 5000, "10000": 10000,
                "20000": 20000 if libusb_knows_20000() else 0, "42": 0}
    devices = [bench.plug("capture", bus=bus, address=3, speed=speed)
               for bus, speed in enumerate([*SPEEDS, "42"], start=1)]
    assert set(expected) == {d.speed for d in devices}
    line = watched.relay.wait_for(lambda s: len(s["cameras"]) == len(devices))
    speeds = {c["id"]: c["linkMbps"] for c in line["cameras"]}
    assert speeds == {d.port: expected[d.speed] for d in devices}


def test_leading_zeros_in_the_port_path_are_decimal(bench, watched):
    # Read as octal, "usb:010,010" would be bus 8, address 8: the other camera.
    ten = bench.plug("capture", bus=10, address=10, speed="480")
    eight = bench.plug("capture", bus=8, address=8, speed="12")
    line = watched.relay.wait_for(lambda s: len(s["cameras"]) == 2)
    speeds = {c["id"]: c["linkMbps"] for c in line["cameras"]}
    assert speeds == {"usb:010,010": 480, "usb:008,008": 12}
    assert ten.port == "usb:010,010" and eight.port == "usb:008,008"


def test_entries_that_no_bus_can_hold(bench, watched):
    real = bench.plug("trigger", bus=1, address=5, speed="480")
    not_utf8 = hexed(b"Bad \xff UTF-8")
    watched.control(
        # Above 255 nothing matches, even where 8 bits would wrap onto the
        # real camera at bus 1, address 5.
        f"add {hexed('usb:257,005')} {hexed('Bus Too High')}",
        f"add {hexed('usb:001,261')} {hexed('Address Too High')}",
        f"add {hexed('usb:4294967297,005')} {hexed('Wraps To One')}",
        f"add {hexed('usb:')} {hexed('No Numbers')}",
        f"add {hexed('usb:001,005')} -",  # no model: ""
        f"add {hexed('usb:001,006')} {not_utf8}",  # not UTF-8: ""
        # Not USB, or no port at all: left out.
        f"add {hexed('ptpip:192.168.1.5')} {hexed('Network Camera')}",
        f"add {hexed('USB:001,005')} {hexed('Capital Prefix')}",
        f"add - {hexed('No Port')}",
    )
    line = watched.relay.wait_for(lambda s: len(s["cameras"]) >= 2)
    assert line["cameras"] == [
        entry(real),
        {"id": "usb:257,005", "name": "Bus Too High", "linkMbps": 0},
        {"id": "usb:001,261", "name": "Address Too High", "linkMbps": 0},
        {"id": "usb:4294967297,005", "name": "Wraps To One", "linkMbps": 0},
        {"id": "usb:", "name": "No Numbers", "linkMbps": 0},
        {"id": "usb:001,005", "name": "", "linkMbps": 480},
        {"id": "usb:001,006", "name": "", "linkMbps": 0},
    ]


def test_failed_autodetection_repeats_and_a_later_success_keeps_the_error(bench, watched):
    relay = watched.relay
    watched.control(f"fail {GP_ERROR_IO_USB_CLAIM}")
    relay.line(phase="idle")
    # A device that is no camera: now libgphoto2 has to be asked.
    bench.plug(bus=1, address=9, vendor=0xDEAD, product=0xBEEF)
    # Each scheduled discovery reports the failure again.
    for _ in range(2):
        relay.line(phase="error", error="tethering.error.cameraBusy", cameras=[])
    watched.control(f"fail {GP_ERROR_IO}")
    relay.wait_for(phase="error", error=gp_text(GP_ERROR_IO))
    relay.line(phase="error", error=gp_text(GP_ERROR_IO), cameras=[])

    # Success: the list is published, the failure stays shown.
    device = bench.plug("trigger", bus=1, address=5, speed="480")
    watched.control()
    relay.wait_for(lambda s: s["cameras"] == [entry(device)], phase="error",
                   error=gp_text(GP_ERROR_IO))
    watched.quiet()

    # A failure leaves "cameras" as it was.
    watched.control(f"fail {GP_ERROR_IO}")
    bench.plug(bus=1, address=10, vendor=0xDEAD, product=0xBEEF)
    relay.line(phase="error", error=gp_text(GP_ERROR_IO), cameras=[entry(device)])
