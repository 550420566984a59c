"""Process-level tests of `camrelay --disk-link DIR`: the line it prints for
folders of the machine running the tests, for a USB disk on a umockdev
testbed, and which command lines select the mode at all."""

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import protocol_problem, status_line

SOURCE_DIR = Path(os.environ.get("CAMRELAY_SOURCE_DIR", Path(__file__).resolve().parent.parent))
BUILD_DIR = Path(os.environ.get("CAMRELAY_BUILD_DIR", SOURCE_DIR / "build"))
CAMRELAY = BUILD_DIR / "bin" / "camrelay"
TESTBEDS = SOURCE_DIR / "tests" / "data" / "disk_link"
USB_PARTITION = ("devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0"
                 "/block/sdb/sdb1")


def machine_env():
    """The environment without a umockdev testbed: camrelay sees the real
    /sys even when the tests run under umockdev-wrapper."""
    env = dict(os.environ)
    env.pop("UMOCKDEV_DIR", None)
    return env


def run(*args, program=CAMRELAY, env=None):
    return subprocess.run([str(program), *args], stdin=subprocess.DEVNULL, capture_output=True,
                          env=env if env is not None else machine_env(), timeout=60)


def disk_link(directory, program=CAMRELAY, env=None):
    """Runs the probe and checks the form of its output: one compact JSON
    object on one line that keeps the protocol schema, nothing on standard
    error, exit status 0."""
    result = run("--disk-link", directory, program=program, env=env)
    assert result.returncode == 0
    assert result.stderr == b""
    text = result.stdout.decode()
    assert text.endswith("\n") and text.count("\n") == 1
    line = json.loads(text)
    assert protocol_problem(line, "diskLinkLine") is None
    assert text == json.dumps(line, separators=(",", ":"), ensure_ascii=False) + "\n"
    return line


def root_device():
    """The kernel name of the block device mounted at /, or None."""
    for entry in Path("/proc/self/mountinfo").read_text().splitlines():
        fields = entry.split(" ")
        if fields[4] == "/":
            source = fields[fields.index("-", 6) + 2]
            if source.startswith("/dev/"):
                return Path(os.path.realpath(source)).name
    return None


def test_root_folder_reports_the_disk_of_this_machine():
    line = disk_link("/")
    name = root_device()
    if name and "/virtio" in os.path.realpath(f"/sys/class/block/{name}"):
        assert line == {"protocol": "Virtual Interface"}


def test_folders_not_on_a_disk_give_an_empty_object(tmp_path):
    assert disk_link(str(tmp_path / "missing")) == {}
    assert disk_link("") == {}
    assert disk_link("/proc") == {}
    assert disk_link("/proc/self") == {}
    if os.path.isdir("/dev/shm"):
        assert disk_link("/dev/shm") == {}


def test_probe_needs_nothing_beside_the_executable(tmp_path):
    alone = tmp_path / "camrelay"
    shutil.copy2(CAMRELAY, alone)
    assert disk_link("/", program=alone) == disk_link("/")


@pytest.mark.parametrize("args", [
    ["--disk-link"],
    ["--disk-link", "/", "/tmp"],
    ["--disk-link", "/", "/tmp", "/var"],
    ["--Disk-Link", "/"],
])
def test_other_command_lines_run_tethering_mode(args):
    result = run(*args)
    assert result.returncode == 0
    lines = result.stdout.decode().splitlines()
    assert len(lines) == 1
    assert status_line(lines[0])["phase"] == "idle"


@pytest.mark.skipif("umockdev" not in os.environ.get("LD_PRELOAD", ""),
                    reason="needs umockdev-wrapper")
def test_folder_on_a_usb_disk_of_a_testbed(tmp_path):
    # The testbed stands in for /sys and /dev, and a mountinfo of its own
    # says that the file system of tmp_path was mounted from the USB disk.
    import gi
    gi.require_version("UMockdev", "1.0")
    from gi.repository import UMockdev

    testbed = UMockdev.Testbed.new()
    try:
        testbed.add_from_file(str(TESTBEDS / "usb3_disk.umockdev"))
        device = os.stat(tmp_path).st_dev
        proc = Path(testbed.get_root_dir()) / "proc" / "self"
        proc.mkdir(parents=True)
        (proc / "mountinfo").write_text(
            f"26 1 {os.major(device)}:{os.minor(device)} / / rw - exfat /dev/sdb1 rw\n")
        env = machine_env()
        env["UMOCKDEV_DIR"] = testbed.get_root_dir()
        assert disk_link(str(tmp_path), env=env) == {"protocol": "USB", "mbps": 5000}

        # A root file system that the kernel mounted itself is "/dev/root",
        # which does not exist; its device number names the disk.
        testbed.set_property("/sys/" + USB_PARTITION, "MAJOR", str(os.major(device)))
        testbed.set_property("/sys/" + USB_PARTITION, "MINOR", str(os.minor(device)))
        (Path(testbed.get_sys_dir()) / "dev" / "block" / f"{os.major(device)}:{os.minor(device)}"
         ).symlink_to("../../" + USB_PARTITION)
        (proc / "mountinfo").write_text(
            f"26 1 {os.major(device)}:{os.minor(device)} / / rw - ext4 /dev/root rw\n")
        assert disk_link(str(tmp_path), env=env) == {"protocol": "USB", "mbps": 5000}

        (proc / "mountinfo").write_text(
            f"26 1 {os.major(device)}:{os.minor(device)} / / rw - nfs4 server:/export rw\n")
        assert disk_link(str(tmp_path), env=env) == {}
    finally:
        del testbed
