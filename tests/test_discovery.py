"""Camera discovery on the virtual camera bench: which cameras are listed, in
which order, with which link speed, and when a status line is written.

Real libgphoto2 autodetection and real libusb run against umockdev devices. A
small preloaded wrapper around gp_camera_autodetect counts the discoveries
(so that a test can wait for one instead of sleeping), and can make
autodetection fail or add entries that no real USB bus can produce."""

import ctypes
import re
import time

import pytest

import preload

from harness import (DEFAULT_TIMEOUT, GP_ERROR_IO, GP_ERROR_IO_USB_CLAIM, SPEEDS,
                     libusb_knows_20000)

WRAPPER = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <gphoto2/gphoto2.h>

/* "-" is a missing text; anything else is hex, so any bytes can be given. */
static char* unhex(const char* text) {
  if (strcmp(text, "-") == 0) return NULL;
  size_t n = strlen(text) / 2;
  char* out = calloc(n + 1, 1);
  for (size_t i = 0; i < n; ++i) sscanf(text + 2 * i, "%2hhx", (unsigned char*)&out[i]);
  return out;
}

/* AUTODETECT_COUNT: a file that gets one byte per call.
   AUTODETECT_CONTROL: lines "fail CODE" (return CODE at once) or
   "add PORT MODEL" (append an entry after the real ones). */
int gp_camera_autodetect(CameraList* list, GPContext* context) {
  int (*real)(CameraList*, GPContext*) =
      (int (*)(CameraList*, GPContext*))dlsym(RTLD_NEXT, "gp_camera_autodetect");
  const char* count = getenv("AUTODETECT_COUNT");
  if (count != NULL) {
    FILE* out = fopen(count, "a");
    if (out != NULL) { fputc('.', out); fclose(out); }
  }
  const char* control = getenv("AUTODETECT_CONTROL");
  FILE* in = control != NULL ? fopen(control, "r") : NULL;
  char line[1024];
  if (in != NULL) {
    int code;
    while (fgets(line, sizeof line, in) != NULL) {
      if (sscanf(line, "fail %d", &code) == 1) { fclose(in); return code; }
    }
    rewind(in);
  }
  int result = real(list, context);
  if (in != NULL) {
    char port[512], model[512];
    while (result >= 0 && fgets(line, sizeof line, in) != NULL) {
      if (sscanf(line, "add %511s %511s", port, model) != 2) continue;
      char* p = unhex(port);
      char* m = unhex(model);
      gp_list_append(list, m, p);
      free(p);
      free(m);
    }
    fclose(in);
  }
  return result;
}
"""


@pytest.fixture(scope="module")
def wrapper(tmp_path_factory):
    return preload.build(tmp_path_factory.mktemp("wrapper"), WRAPPER, "autodetect")


def gp_text(code):
    library = ctypes.CDLL("libgphoto2.so.6")
    library.gp_result_as_string.restype = ctypes.c_char_p
    return library.gp_result_as_string(code).decode()


class Watched:
    """camrelay with the autodetection wrapper preloaded."""

    def __init__(self, bench, wrapper, tmp_path):
        self.count_file = tmp_path / "discoveries"
        self.control_file = tmp_path / "control"
        self.control_file.write_text("")
        env = preload.chained(bench.env(), wrapper, AUTODETECT_COUNT=str(self.count_file),
                              AUTODETECT_CONTROL=str(self.control_file))
        self.relay = bench.relay(env=env)

    def control(self, *lines):
        temporary = self.control_file.with_suffix(".tmp")
        temporary.write_text("".join(line + "\n" for line in lines))
        temporary.replace(self.control_file)

    def discoveries(self):
        return self.count_file.stat().st_size if self.count_file.exists() else 0

    def wait_discoveries(self, count):
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        while self.discoveries() < count:
            assert time.monotonic() < deadline, f"fewer than {count} discoveries"
            time.sleep(0.02)

    def quiet(self):
        """Waits until a whole discovery has begun and ended after this call,
        then asserts that no status line came meanwhile."""
        self.wait_discoveries(self.discoveries() + 2)
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
    relay.line(phase="idle", cameras=[])
    watched.quiet()  # no camera: the first discovery changes nothing

    first = bench.plug("trigger", bus=1, address=5, speed="480")
    relay.line(phase="idle", cameras=[entry(first)])
    watched.quiet()

    # Two cameras of one model are two entries, in autodetection order.
    second = bench.plug("trigger", bus=1, address=6, speed="480")
    line = relay.line(phase="idle")
    order = autodetection_order(bench)
    assert sorted(order) == [first.port, second.port]
    by_port = {first.port: entry(first), second.port: entry(second)}
    assert line["cameras"] == [by_port[port] for port in order]
    watched.quiet()

    bench.unplug(first)
    relay.line(phase="idle", cameras=[entry(second)])
    watched.quiet()
    bench.unplug(second)
    relay.line(phase="idle", cameras=[])
    watched.quiet()


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
    relay.line(phase="error", error=gp_text(GP_ERROR_IO), cameras=[entry(device)])
