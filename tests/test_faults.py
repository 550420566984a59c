"""Fault injection at every call that camrelay makes to libgphoto2, libusb
and the file system. Each row fails one call (two where the second is only
made after the first has failed) through the preloaded interposer
(fault_preload.c), in the phase where camrelay makes it, and checks the one
road that the failure takes: exactly the expected status lines, the camera
closed, no temporary file left, and then a "start" that works and a clean
exit. Calls whose results camrelay rightly ignores share one row, which must
leave a whole session unchanged."""

import errno
import os
from dataclasses import dataclass
from typing import Any

import pytest

from harness import GP_ERROR, GP_ERROR_IO_USB_CLAIM
from test_downloads import FOLDER, file_gets, leftovers

GP_ERROR_BAD_PARAMETERS = -2
GP_ERROR_NO_MEMORY = -3
LIBUSB_ERROR_OTHER = -99
UNSPECIFIED = "Unspecified error"  # libgphoto2's text for GP_ERROR
WRITE_FAILED = "tethering.error.writeFailed"

# The two cameras of every row as discovery lists them: autodetection lists
# the one plugged in last first.
CAPTURE = {"id": "usb:001,005", "name": "Virtual Camera Capture", "linkMbps": 5000}
TRIGGER = {"id": "usb:001,006", "name": "Virtual Camera Trigger", "linkMbps": 5000}

# Every call whose result camrelay ignores: a release, and the two calls that
# only ask the disk to start writing a fetch early.
IGNORED = ("gp_list_free,gp_port_info_list_free,gp_widget_free,gp_file_free,close,"
           "sync_file_range,gp_camera_exit,gp_camera_free,gp_abilities_list_free")


@dataclass(frozen=True)
class Fault:
    call: str  # FAULT_CALL
    result: int  # FAULT_RESULT: a library code, or an errno value
    phase: str  # a key of PHASES
    lines: tuple = ()  # phases of the status lines that the failure writes
    error: str = ""  # "error" of the last of them
    skip: int = 0  # FAULT_SKIP
    model: str = "capture"
    # For a fault without a failure line: what the host sees instead.
    outcome: Any = None
    kept: tuple = ()  # photos that stay after the failure
    leftover: int = 0  # temporary files that must stay (none can be removed)
    single: str = "native"  # the driver's single-setting access (Camera.set_config_access)

    def __str__(self):
        missing = "-missing" if self.result == GP_ERROR_BAD_PARAMETERS else ""
        single = "" if self.single == "native" else f"-{self.single}"
        return f"{self.call}-{self.skip}{missing}{single}"


def startup(bench, relay, fault, folder):
    assert relay.wait_exit() == 1
    return None


def discovery(bench, relay, fault, folder):
    # Two cameras, so that a fault in one entry shows beside the other.
    line = relay.wait_for(lambda s: s["cameras"], timeout=15)
    assert line["cameras"] == fault.outcome
    if len(fault.outcome) < 2:
        # A scan that missed a camera is made again, and then lists both.
        relay.line(cameras=[TRIGGER, CAPTURE])
    return next(d for d in bench.devices if d.port == fault.outcome[-1]["id"])


def start(bench, relay, fault, folder):
    device = listed(relay, bench.devices[0])
    relay.start(device.port, str(folder))
    expect(relay, fault, cameraId="", canCapture=False)
    return device


def capture(bench, relay, fault, folder):
    device = opened(bench, relay, folder)
    relay.capture()
    expect(relay, fault)
    bench.camera.wait_for_record("exit")
    return device


def event_wait(bench, relay, fault, folder):
    device = opened(bench, relay, folder)
    expect(relay, fault)
    bench.camera.wait_for_record("exit")
    return device


def download(bench, relay, fault, folder):
    device = opened(bench, relay, folder, parameters=True)
    camera = bench.camera
    data = {name: camera.add_file(FOLDER, name, size=5000) for name in ("A.JPG", "B.JPG")}
    camera.add_events([camera.event("file_added", FOLDER, n) for n in ("A.JPG", "B.JPG")])
    if fault.outcome is not None:
        # No failure: both files arrive; the first as the outcome describes.
        lines = []
        for count, name in enumerate(("A.JPG", "B.JPG"), 1):
            relay.line(phase="transferring")
            lines.append(relay.line(phase="ready", count=count, lastFile=name))
            assert (folder / name).read_bytes() == data[name]
        assert fault.outcome(lines[0]), lines[0]
        return device
    expect(relay, fault, pendingCount=0, count=0, lastFile="")
    camera.wait_for_record("exit")
    # Nothing was fetched before a "transferring" line, and the other file
    # was dropped with the queue.
    fetched = [r["name"] for r in file_gets(bench)]
    assert fetched == [] or (fetched == ["A.JPG"] and "transferring" in fault.lines)
    assert len(leftovers(folder)) == fault.leftover
    kept = tuple(p.name for p in folder.iterdir() if not p.name.startswith(".lumetra-"))
    assert kept == fault.kept
    return device


def parameter_read(bench, relay, fault, folder):
    device = opened(bench, relay, folder)
    line = relay.line(phase="ready", timeout=5)
    assert fault.outcome(line), line
    return device


def session(bench, relay, fault, folder):
    # A whole session with every ignored result failing once: nothing shows.
    device = opened(bench, relay, folder, parameters=True)
    size = 9 << 20  # early writing starts after 8 MiB
    data = bench.camera.add_photo(FOLDER, "A.JPG", size=size)
    relay.line(phase="transferring")
    line = relay.line(phase="ready", count=1, lastFile="A.JPG")
    assert line["lastTransfer"]["bytes"] == size
    assert (folder / "A.JPG").read_bytes() == data
    return device


PHASES = {
    "startup": startup,
    "discovery": discovery,
    "start": start,
    "capture": capture,
    "event wait": event_wait,
    "download": download,
    "parameter read": parameter_read,
    "session": session,
}


def lacks(key):
    return lambda s: key not in s["cameraParameters"] and len(s["cameraParameters"]) == 13


def unreadable(line):
    return line["cameraParametersUnavailable"] and line["cameraParameters"] == {}


TABLE = [
    # start-up: the failure line, then exit status 1
    *(Fault(call, GP_ERROR, "startup", ("error",), UNSPECIFIED)
      for call in ("gp_abilities_list_new", "gp_abilities_list_load", "gp_port_info_list_new")),
    # discovery: a failed list or autodetection is reported; the next one lists
    *(Fault(call, GP_ERROR, "discovery", ("error",), UNSPECIFIED, outcome=[TRIGGER, CAPTURE])
      for call in ("gp_list_new", "gp_camera_autodetect")),
    # ... a failed entry read, count or link speed only shows in the list
    Fault("gp_list_count", GP_ERROR, "discovery", skip=1, outcome=[TRIGGER]),
    Fault("gp_list_get_value", GP_ERROR, "discovery", outcome=[CAPTURE]),
    Fault("gp_list_get_name", GP_ERROR, "discovery", outcome=[{**TRIGGER, "name": ""}, CAPTURE]),
    *(Fault(call, LIBUSB_ERROR_OTHER, "discovery", outcome=[{**TRIGGER, "linkMbps": 0}, CAPTURE])
      for call in ("libusb_init", "libusb_get_device_list")),
    # start: "connecting", then the failure line (start-up made the first list)
    Fault("gp_port_info_list_new", GP_ERROR, "start", ("connecting", "error"), UNSPECIFIED, skip=1),
    *(Fault(call, GP_ERROR, "start", ("connecting", "error"), UNSPECIFIED)
      for call in ("gp_port_info_list_load",
                   "gp_abilities_list_lookup_model", "gp_abilities_list_get_abilities",
                   "gp_port_info_list_lookup_path", "gp_port_info_list_get_info", "gp_camera_new",
                   "gp_camera_set_abilities", "gp_camera_set_port_info")),
    Fault("gp_camera_init", GP_ERROR_IO_USB_CLAIM, "start", ("connecting", "error"),
          "tethering.error.cameraBusy"),
    Fault("gp_camera_trigger_capture", GP_ERROR, "capture", ("capturing", "error"), UNSPECIFIED,
          model="trigger"),
    Fault("gp_camera_capture", GP_ERROR, "capture", ("capturing", "error"), UNSPECIFIED),
    Fault("gp_camera_wait_for_event", GP_ERROR, "event wait", ("error",), UNSPECIFIED),
    # downloads: before the fetch no "transferring" line
    Fault("open", errno.EACCES, "download", ("error",), os.strerror(errno.EACCES)),
    Fault("openat", errno.EACCES, "download", ("error",), os.strerror(errno.EACCES)),
    Fault("gp_file_new_from_handler", GP_ERROR_NO_MEMORY, "download", ("error",),
          "Out of memory"),
    Fault("gp_camera_file_get", GP_ERROR, "download", ("transferring", "error"), UNSPECIFIED),
    # ... a full disk is the disk's failure, whatever the driver makes of it
    Fault("pwrite", errno.ENOSPC, "download", ("transferring", "error"),
          os.strerror(errno.ENOSPC)),
    Fault("fsync", errno.EIO, "download", ("transferring", "error"), WRITE_FAILED),
    Fault("renameat2", errno.EXDEV, "download", ("transferring", "error"), WRITE_FAILED),
    # ... the folder flush: the photo is in place already and stays
    Fault("fsync", errno.EIO, "download", ("transferring", "error"), WRITE_FAILED, skip=1,
          kept=("A.JPG",)),
    Fault("fsync,unlinkat", errno.EIO, "download", ("transferring", "error"), WRITE_FAILED,
          leftover=1),
    Fault("fstat", errno.EIO, "download", outcome=lambda s: s["lastTransfer"]["bytes"] == 0),
    # parameter reads: no failure line, the values go missing: all of them
    # when the camera cannot be read, one key when its setting is missing
    # (also after three keys were settled)
    *(Fault("gp_camera_get_single_config", GP_ERROR, "parameter read", outcome=unreadable,
            skip=skip) for skip in (0, 3)),
    *(Fault(call, result, "parameter read", outcome=lacks("exposureMode"))
      for call, result in (("gp_camera_get_single_config", GP_ERROR_BAD_PARAMETERS),
                           ("gp_widget_get_type", GP_ERROR), ("gp_widget_get_value", GP_ERROR))),
    # ... and from a driver without single-setting access, from the whole tree
    Fault("gp_camera_get_config", GP_ERROR, "parameter read", outcome=unreadable, single="unset"),
    Fault("gp_widget_get_child_by_name", GP_ERROR, "parameter read", outcome=lacks("exposureMode"),
          single="unset"),
    Fault(IGNORED, GP_ERROR, "session"),
]


def listed(relay, device):
    relay.wait_for(lambda s: any(c["id"] == device.port for c in s["cameras"]), timeout=15)
    return device


def opened(bench, relay, folder, parameters=False):
    """Opens the first camera; with `parameters`, also waits for the first
    parameter read, so that later lines come only from what follows."""
    device = listed(relay, bench.devices[0])
    relay.start(device.port, str(folder))
    relay.line(phase="connecting")
    relay.line(phase="ready")
    if parameters:
        relay.line(phase="ready", timeout=5, where=lambda s: s["cameraParameters"])
    return device


def expect(relay, fault, **fields):
    """The failure's status lines, in order; the last one with its error."""
    for phase in fault.lines[:-1]:
        relay.line(phase=phase)
    relay.line(phase=fault.lines[-1], error=fault.error, **fields)


@pytest.mark.parametrize("fault", TABLE, ids=str)
def test_each_failed_call_takes_its_one_road(bench, faults, tmp_path, fault):
    folder = tmp_path / "photos"
    folder.mkdir()
    bench.camera.set_config_access(single=fault.single)
    for model, address in ((fault.model, 5), ("trigger", 6)):
        bench.plug(model, address=address)
    relay = bench.relay(env=faults(bench, fault.call, fault.result, fault.skip))
    if fault.phase != "startup":
        relay.line(phase="idle")
    if fault.phase in ("startup", "discovery") and fault.lines:
        expect(relay, fault, cameras=[])
    device = PHASES[fault.phase](bench, relay, fault, folder)
    if device is not None:
        # The failure is behind: the session ends, a camera can be opened
        # again, and the program ends cleanly.
        relay.expect_no_line(0.3)
        relay.stop()
        relay.line(phase="stopping")
        relay.line(phase="idle", error="")
        relay.start(device.port, str(folder))
        relay.line(phase="connecting", error="")
        relay.line(phase="ready", cameraId=device.port)
        relay.close_stdin()
        assert relay.wait_exit() == 0
    # Every call of the row was made, and failed once.
    log = bench.directory / "faults.log"
    assert sorted(log.read_text().split()) == sorted(fault.call.split(","))
