"""Process-level tests of camrelay's tethering mode without a camera: the
first status line, command framing, input limits, signals, start-up failure,
where the drivers are taken from, and the relocatable install."""

import ctypes
import json
import os
import select
import shutil
import signal
import subprocess
import time

import pytest

import preload
from harness import end_process, sanitizer_report, status_line

BUILD = os.environ.get("CAMRELAY_BUILD_DIR", "build")
CAMRELAY = os.path.join(BUILD, "bin", "camrelay")
LIMIT = 65536
DEADLINE = 20.0

# Preloaded into camrelay to see what it hands libgphoto2 at start-up, and to
# make the driver load fail: libgphoto2 skips missing, empty and unreadable
# driver folders without an error, so only a refusal at its interface can
# exercise that path.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <gphoto2/gphoto2.h>

int gp_abilities_list_load(CameraAbilitiesList* list, GPContext* context) {
  const char* fail = getenv("SHIM_FAIL_LOAD");
  if (fail != NULL) return atoi(fail);
  int (*real)(CameraAbilitiesList*, GPContext*) = dlsym(RTLD_NEXT, "gp_abilities_list_load");
  int result = real(list, context);
  const char* report = getenv("SHIM_REPORT");
  if (report != NULL) {
    FILE* out = fopen(report, "w");
    if (out != NULL) {
      const char* camlibs = getenv("CAMLIBS");
      const char* iolibs = getenv("IOLIBS");
      fprintf(out, "{\"CAMLIBS\":\"%s\",\"IOLIBS\":\"%s\",\"models\":%d}\n",
              camlibs ? camlibs : "", iolibs ? iolibs : "", gp_abilities_list_count(list));
      fclose(out);
    }
  }
  return result;
}
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    return preload.build(tmp_path_factory.mktemp("shim"), SHIM)


def preload_env(library, **extra):
    return preload.chained(os.environ, library, **extra)


def library_version():
    lib = ctypes.CDLL("libgphoto2.so.6")
    lib.gp_library_version.restype = ctypes.POINTER(ctypes.c_char_p)
    return lib.gp_library_version(0)[0].decode()


class Relay:
    """camrelay as a child process with a pipe at each end."""

    def __init__(self, argv=None, env=None, cwd=None):
        self.proc = subprocess.Popen(argv or [CAMRELAY], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, cwd=cwd)
        self.pending = b""
        self.seen = []

    def send(self, data):
        if isinstance(data, dict):
            data = (json.dumps(data) + "\n").encode()
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def line(self, timeout=DEADLINE):
        """The next status line; fails at once when it does not come."""
        end = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = end - time.monotonic()
            ready, _, _ = select.select([self.proc.stdout], [], [], max(left, 0))
            chunk = os.read(self.proc.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                pytest.fail(f"no status line (exit {self.proc.poll()}); seen: {self.seen}")
            self.pending += chunk
        raw, self.pending = self.pending.split(b"\n", 1)
        status = status_line(raw)
        self.seen.append(status)
        return status

    def finish(self, timeout=DEADLINE):
        """Closes standard input; returns the exit status and the lines still unread."""
        if not self.proc.stdin.closed:
            self.proc.stdin.close()
        rest = self.proc.stdout.read()
        code = self.proc.wait(timeout)
        lines = [status_line(l) for l in (self.pending + rest).splitlines()]
        self.pending = b""
        return code, lines

    def close(self):
        end_process(self.proc)
        report = sanitizer_report(self.proc.stderr.read())
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            stream.close()
        if report:
            pytest.fail(f"sanitizer report from camrelay:\n{report}")


@pytest.fixture
def relay():
    started = []

    def start(**kwargs):
        r = Relay(**kwargs)
        started.append(r)
        return r

    yield start
    for r in started:
        r.close()


def test_first_line_reports_the_initial_state(relay):
    r = relay()
    first = r.line()
    assert first == {
        "phase": "idle", "error": "", "cameraId": "", "canCapture": False, "pendingCount": 0,
        "lastTransfer": {}, "count": 0, "lastFile": "", "cameras": [], "cameraParameters": {},
        "cameraParametersUnavailable": False, "backend": "libgphoto2",
        "libraryVersion": library_version(),
    }
    raw = subprocess.run([CAMRELAY], stdin=subprocess.DEVNULL, capture_output=True).stdout
    assert raw.count(b"\n") == 1 and b" " not in raw.strip()


def test_input_already_at_end_gives_one_line_and_exit_0():
    done = subprocess.run([CAMRELAY], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=DEADLINE)
    assert done.returncode == 0
    assert [status_line(l)["phase"] for l in done.stdout.splitlines()] == ["idle"]
    assert done.stderr == b""


def test_commands_in_one_write_are_carried_out_in_order(relay):
    r = relay()
    r.line()
    r.send(b'{"command":"capture"}\n{"command":"stop"}\n'
           b'{"command":"start","cameraId":"usb:001,005","directory":"/tmp"}\n')
    phases = [(s["phase"], s["error"]) for s in (r.line() for _ in range(4))]
    assert phases == [("idle", ""), ("stopping", ""), ("idle", ""),
                      ("error", "tethering.error.cameraUnavailable")]


def test_a_split_command_is_carried_out_when_its_line_end_arrives(relay):
    r = relay()
    r.line()
    r.send(b'{"comm')
    r.send(b'and":"')
    # The line end brings the command: its one line is the first one after.
    r.send(b'stop"}\n')
    assert r.line()["phase"] == "stopping"
    assert r.line()["phase"] == "idle"


def test_only_json_objects_get_a_line(relay):
    r = relay()
    r.line()
    r.send(b'\n[1,2,3]\nnot json\n"start"\n{"command":"start"\n{}\n{"command":"zoom"}\n'
           b'{"command":["stop"]}\n')
    code, lines = r.finish()
    assert code == 0
    assert len(lines) == 3
    assert all(l["phase"] == "idle" for l in lines)


def test_a_line_of_exactly_the_limit_is_accepted(relay):
    r = relay()
    r.line()
    head = b'{"command":"x","pad":"'
    line = head + b"a" * (LIMIT - len(head) - 3) + b'"}\n'
    assert len(line) == LIMIT
    r.send(line)
    assert r.line()["phase"] == "idle"
    code, lines = r.finish()
    assert (code, lines) == (0, [])


def test_overrun_is_reported_at_once_and_ends_the_program(relay):
    r = relay()
    r.line()
    # No line end at all: the program must not wait for one.
    r.send(b"x" * (LIMIT + 1))
    status = r.line()
    assert (status["phase"], status["error"]) == ("error", "tethering.error.helperProtocol")
    assert r.proc.wait(DEADLINE) == 0
    assert r.proc.stdout.read() == b""


def test_overrun_counts_the_read_that_completes_the_line(relay):
    r = relay()
    r.line()
    r.send(b"{" + b" " * (LIMIT - 1) + b"}\n")
    status = r.line()
    assert status["error"] == "tethering.error.helperProtocol"
    assert r.proc.wait(DEADLINE) == 0


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_signals_end_the_program_quietly(relay, signum):
    r = relay()
    r.line()
    # Right after the first line the first discovery may be running: the
    # signal cuts it short, and that is no failure to report.
    r.proc.send_signal(signum)
    assert r.proc.wait(DEADLINE) == 0
    assert r.proc.stdout.read() == b""
    assert r.proc.stderr.read() == b""


def test_a_driver_load_failure_exits_1_after_one_error_line(shim):
    done = subprocess.run([CAMRELAY], stdin=subprocess.DEVNULL, capture_output=True,
                          env=preload_env(shim, SHIM_FAIL_LOAD="-3"), timeout=DEADLINE)
    assert done.returncode == 1
    lines = [status_line(l) for l in done.stdout.splitlines()]
    assert len(lines) == 1
    assert lines[0]["phase"] == "error"
    assert lines[0]["error"] == "Out of memory"


def drivers_seen(shim, argv, tmp_path, cwd=None, path=None):
    report = tmp_path / "drivers.json"
    env = preload_env(shim, SHIM_REPORT=str(report), CAMLIBS="/inherited/camlibs",
                      IOLIBS="/inherited/iolibs")
    if path is not None:
        env["PATH"] = path
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                          cwd=cwd, timeout=DEADLINE)
    assert done.returncode == 0, done.stdout
    return json.loads(report.read_text())


def test_drivers_come_from_beside_the_real_executable(shim, tmp_path):
    real = os.path.dirname(os.path.realpath(CAMRELAY))
    expected = {"CAMLIBS": real + "/camlibs", "IOLIBS": real + "/iolibs"}

    seen = drivers_seen(shim, [CAMRELAY], tmp_path)
    assert {k: seen[k] for k in expected} == expected
    assert seen["models"] > 0

    links = tmp_path / "links"
    links.mkdir()
    (links / "camrelay").symlink_to(os.path.realpath(CAMRELAY))
    seen = drivers_seen(shim, [str(links / "camrelay")], tmp_path)
    assert {k: seen[k] for k in expected} == expected

    # Started by a bare name through PATH from a folder that has camlibs of
    # its own: the working folder must not matter.
    work = tmp_path / "work"
    (work / "camlibs").mkdir(parents=True)
    seen = drivers_seen(shim, ["camrelay"], tmp_path, cwd=work,
                        path=f"{links}:{os.environ.get('PATH', '')}")
    assert {k: seen[k] for k in expected} == expected


def test_the_installed_folder_still_works_after_it_is_moved(shim, tmp_path):
    first = tmp_path / "first"
    # Stripped, as `make install` ships it.
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(first), "--strip"], check=True,
                   capture_output=True)
    for name in ("camlibs", "iolibs"):
        folder = first / name
        assert folder.is_dir() and not folder.is_symlink()
        assert any(f.suffix == ".so" and not f.is_symlink() for f in folder.iterdir())
    assert (first / "memtally").is_file()

    moved = tmp_path / "elsewhere" / "moved"
    moved.parent.mkdir()
    shutil.move(str(first), str(moved))
    seen = drivers_seen(shim, [str(moved / "camrelay")], tmp_path)
    assert seen["CAMLIBS"] == str(moved / "camlibs")
    assert seen["IOLIBS"] == str(moved / "iolibs")
    assert seen["models"] > 0


def test_a_closed_standard_input_ends_the_program_like_an_empty_one():
    done = subprocess.run([CAMRELAY], stdout=subprocess.PIPE,
                          preexec_fn=lambda: os.close(0), timeout=DEADLINE)
    assert done.returncode == 0
    assert [status_line(l)["phase"] for l in done.stdout.splitlines()] == ["idle"]


def test_a_host_that_stops_reading_leaves_it_running_until_its_input_ends():
    proc = subprocess.Popen([CAMRELAY], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        proc.stdout.readline()
        proc.stdout.close()
        for _ in range(3):  # each answer meets a pipe without a reader
            proc.stdin.write(b'{"command":"x"}\n')
            proc.stdin.flush()
            time.sleep(0.1)
        assert proc.poll() is None
        proc.stdin.close()
        assert proc.wait(DEADLINE) == 0
    finally:
        end_process(proc)


def test_a_closed_standard_output_is_held_by_dev_null():
    """A parent may leave standard output closed. The next file opened would
    then take its number, and status lines would be written into it (a photo
    being downloaded, say)."""
    proc = subprocess.Popen([CAMRELAY], stdin=subprocess.PIPE, preexec_fn=lambda: os.close(1))
    try:
        deadline = time.monotonic() + DEADLINE
        held = None
        while held != "/dev/null" and time.monotonic() < deadline:
            try:
                held = os.readlink(f"/proc/{proc.pid}/fd/1")
            except OSError:
                held = None
            time.sleep(0.01)
        assert held == "/dev/null"
        proc.stdin.close()
        assert proc.wait(DEADLINE) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
