"""Process-level tests of memtally: argument handling, vanished processes,
footprint values, and refused queries."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

import preload

MEMTALLY = os.path.join(os.environ.get("CAMRELAY_BUILD_DIR", "build"), "bin", "memtally")
MIB = 1 << 20

# Never a live PID: the kernel caps pid_max at 2^22.
ABSENT_PID = "2147483647"

# Idles until told to go on, then allocates and touches 64 MiB of private
# memory, and idles again until its standard input ends.
HELPER = """
import sys
print("idle", flush=True)
sys.stdin.readline()
block = bytearray(64 << 20)
for i in range(0, len(block), 4096):
    block[i] = 1
print("touched", flush=True)
sys.stdin.readline()
"""

# Preloaded into memtally to make its reads of /proc/PID/status fail in ways
# that cannot be produced on demand: a refused open, and a process that ends
# between the open and the read.
FAULT_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int statusFd = -1;

static const char* mode(void) {
  const char* m = getenv("MEMTALLY_TEST_FAULT");
  return m != NULL ? m : "";
}

static int isStatus(const char* path) {
  size_t n = strlen(path);
  return strncmp(path, "/proc/", 6) == 0 && n > 7 && strcmp(path + n - 7, "/status") == 0;
}

static int openCommon(int dirfd, const char* path, int flags, mode_t perm) {
  if (isStatus(path) && strcmp(mode(), "open-eacces") == 0) {
    errno = EACCES;
    return -1;
  }
  static int (*realOpenat)(int, const char*, int, ...);
  if (realOpenat == NULL) realOpenat = dlsym(RTLD_NEXT, "openat");
  int fd = realOpenat(dirfd, path, flags, perm);
  if (fd >= 0 && isStatus(path)) statusFd = fd;
  return fd;
}

#define OPEN_WRAPPER(name)                          \
  int name(const char* path, int flags, ...) {      \
    va_list args;                                   \
    va_start(args, flags);                          \
    mode_t perm = va_arg(args, int);                \
    va_end(args);                                   \
    return openCommon(AT_FDCWD, path, flags, perm); \
  }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

#define OPENAT_WRAPPER(name)                             \
  int name(int dirfd, const char* path, int flags, ...) { \
    va_list args;                                        \
    va_start(args, flags);                               \
    mode_t perm = va_arg(args, int);                     \
    va_end(args);                                        \
    return openCommon(dirfd, path, flags, perm);         \
  }
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

ssize_t read(int fd, void* buffer, size_t count) {
  if (fd >= 0 && fd == statusFd) {
    if (strcmp(mode(), "read-esrch") == 0) {
      errno = ESRCH;
      return -1;
    }
    if (strcmp(mode(), "read-empty") == 0) return 0;
  }
  static ssize_t (*realRead)(int, void*, size_t);
  if (realRead == NULL) realRead = dlsym(RTLD_NEXT, "read");
  return realRead(fd, buffer, count);
}

ssize_t __read_chk(int fd, void* buffer, size_t count, size_t size) {
  (void)size;
  return read(fd, buffer, count);
}
"""


def run(*args, env=None, stdout=subprocess.PIPE):
    return subprocess.run(
        [MEMTALLY, *args], stdout=stdout, stderr=subprocess.PIPE, env=env, timeout=30
    )


def tally(*args, env=None):
    """Runs memtally and returns the sum it printed, checking the output form."""
    result = run(*args, env=env)
    assert result.returncode == 0, result
    assert result.stderr == b""
    text = result.stdout.decode()
    assert text.endswith("\n") and text[:-1].isdigit() and text == f"{int(text)}\n"
    return int(text)


def assert_failed(result):
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr == b""


@pytest.fixture(scope="module", autouse=True)
def built():
    if not os.access(MEMTALLY, os.X_OK):
        pytest.fail(f"memtally not built at {MEMTALLY}")


@pytest.fixture
def helper():
    proc = subprocess.Popen(
        ["/usr/bin/python3", "-c", HELPER],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout.readline() == "idle\n"
    yield proc
    proc.stdin.close()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


@pytest.fixture(scope="module")
def fault_shim(tmp_path_factory):
    return preload.build(tmp_path_factory.mktemp("shim"), FAULT_SHIM, "fault_shim")


def shim_env(shim, fault):
    return preload.chained(os.environ, shim, MEMTALLY_TEST_FAULT=fault)


def test_no_arguments_fails():
    assert_failed(run())


@pytest.mark.parametrize(
    "argument", ["12abc", "0", "-4", "", "2147483648", "99999999999999999999", "7 ", "0x10"]
)
def test_rejected_argument_fails(argument):
    assert_failed(run(argument))


def test_valid_pid_followed_by_rejected_argument_fails(helper):
    assert_failed(run(str(helper.pid), "12abc"))
    assert_failed(run(ABSENT_PID, "0"))


def test_absent_processes_count_zero():
    assert tally(ABSENT_PID) == 0

    child = subprocess.Popen(["/bin/true"])
    child.wait()
    if os.path.exists(f"/proc/{child.pid}"):
        pytest.skip("reaped child's PID was reused at once")
    assert tally(str(child.pid)) == 0


def test_zombie_counts_zero():
    child = subprocess.Popen(["/bin/true"])
    try:
        # Wait for the exit without reaping, so the child stays a zombie.
        os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)
        with open(f"/proc/{child.pid}/stat") as stat:
            assert stat.read().rsplit(")", 1)[1].split()[0] == "Z"
        assert tally(str(child.pid)) == 0
    finally:
        child.wait()


THREADED = """
import sys, threading
done = threading.Event()
worker = threading.Thread(target=done.wait)
worker.start()
print(worker.native_id, flush=True)
sys.stdin.readline()
done.set()
"""


def test_a_thread_id_is_no_process():
    # /proc/TID/status exists for a thread too; it must not add its process.
    proc = subprocess.Popen(["/usr/bin/python3", "-c", THREADED], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    try:
        thread_id = proc.stdout.readline().strip()
        assert thread_id.isdigit() and int(thread_id) != proc.pid
        assert tally(thread_id) == 0
        assert tally(str(proc.pid)) > 0
    finally:
        proc.stdin.close()
        proc.wait(timeout=10)


def test_same_pid_twice_counts_twice(helper):
    once = tally(str(helper.pid))
    assert once > 0
    assert once % 1024 == 0
    assert tally(str(helper.pid), str(helper.pid)) == 2 * once
    # Forms that strtol accepts name the same process; an absent one adds 0.
    assert tally(f"+{helper.pid}", f"  {helper.pid}", f"00{helper.pid}", ABSENT_PID) == 3 * once


def test_footprint_follows_touched_allocation(helper):
    before = tally(str(helper.pid))
    helper.stdin.write("go\n")
    helper.stdin.flush()
    assert helper.stdout.readline() == "touched\n"
    after = tally(str(helper.pid))
    assert 60 * MIB <= after - before <= 72 * MIB


def test_unwritable_output_fails():
    with open("/dev/full", "wb") as full:
        result = run(ABSENT_PID, stdout=full)
    assert result.returncode == 1
    assert result.stderr == b""


def test_refused_open_fails(fault_shim, helper):
    assert_failed(run(str(helper.pid), env=shim_env(fault_shim, "open-eacces")))
    assert_failed(run(ABSENT_PID, str(helper.pid), env=shim_env(fault_shim, "open-eacces")))


@pytest.mark.parametrize("fault", ["read-esrch", "read-empty"])
def test_process_ending_during_read_counts_zero(fault_shim, helper, fault):
    assert tally(str(helper.pid), env=shim_env(fault_shim, fault)) == 0


def test_query_refused_by_kernel_fails():
    """An unprivileged user cannot read other users' processes on a /proc
    mounted with hidepid=1; the refusal must not pass for a vanished process."""
    if os.geteuid() != 0:
        pytest.skip("needs root to mount a private /proc")
    if not (shutil.which("unshare") and shutil.which("setpriv")):
        pytest.skip("needs unshare and setpriv")
    # Copy the binary where an unprivileged user can run it.
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        binary = os.path.join(folder, "memtally")
        shutil.copy(MEMTALLY, binary)
        os.chmod(binary, 0o755)
        target = subprocess.Popen(["sleep", "60"])
        try:
            script = (
                "mount -t proc -o hidepid=1 proc /proc || exit 77; "
                'exec setpriv --reuid 65534 --regid 65534 --clear-groups "$0" "$1"'
            )

            def run_hidden(pid):
                return subprocess.run(
                    ["unshare", "-m", "sh", "-c", script, binary, pid],
                    stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE,
                    timeout=30,
                )

            control = run_hidden(ABSENT_PID)
            if control.returncode == 77 or control.returncode != 0:
                pytest.skip(f"cannot set up a private /proc: {control.stderr!r}")
            assert control.stdout == b"0\n"
            assert_failed(run_hidden(str(target.pid)))
        finally:
            target.send_signal(signal.SIGKILL)
            target.wait()
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    sys.exit(pytest.main(["-q", __file__]))
