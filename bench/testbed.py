"""What the scripts in bench/ share: they run inside a umockdev testbed, and
drive the virtual camera bench through tests/harness.py."""

import os
import shutil
import sys
from pathlib import Path
from types import ModuleType

SOURCE = Path(__file__).resolve().parent.parent


def rerun_under_umockdev(argv: list[str] = None) -> None:
    """Runs the calling script again under umockdev-wrapper, with `argv`
    (default: its own arguments), unless it already runs inside one; returns
    only inside one. Exits with a message when the wrapper is missing."""
    if "libumockdev-preload" in os.environ.get("LD_PRELOAD", ""):
        return
    if shutil.which("umockdev-wrapper") is None:
        sys.exit(f"bench/{Path(sys.argv[0]).name}: umockdev-wrapper is missing "
                 "(scripts/install-deps)")
    arguments = sys.argv[1:] if argv is None else argv
    os.execvp("umockdev-wrapper", ["umockdev-wrapper", sys.executable, sys.argv[0], *arguments])


def cpu_seconds(pid: int) -> float:
    """User plus system CPU time of a running process."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime, stime


def context_switches(pid: int) -> dict[int, int]:
    """Voluntary plus involuntary context switches of each thread of a
    running process, by thread ID. Each one is a wakeup: the thread slept
    or was put aside, and ran again."""
    switches = {}
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            status = (task / "status").read_text()
        except FileNotFoundError:  # the thread ended meanwhile
            continue
        switches[int(task.name)] = sum(
            int(line.split()[1]) for line in status.splitlines()
            if line.startswith(("voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:")))
    return switches


def load_harness(build: str) -> ModuleType:
    """tests/harness.py, pointed at the build folder `build` (it reads the
    folder when it is imported)."""
    os.environ["CAMRELAY_BUILD_DIR"] = str(Path(build).resolve())
    os.environ.setdefault("CAMRELAY_SOURCE_DIR", str(SOURCE))
    sys.path.insert(0, str(SOURCE / "tests"))
    import harness
    return harness
