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


def load_harness(build: str) -> ModuleType:
    """tests/harness.py, pointed at the build folder `build` (it reads the
    folder when it is imported)."""
    os.environ["CAMRELAY_BUILD_DIR"] = str(Path(build).resolve())
    os.environ.setdefault("CAMRELAY_SOURCE_DIR", str(SOURCE))
    sys.path.insert(0, str(SOURCE / "tests"))
    import harness
    return harness
