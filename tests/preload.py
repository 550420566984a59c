"""Small LD_PRELOAD libraries that tests and benchmarks build on the fly, to
see or bend what a program asks of libgphoto2 or the C library."""

import subprocess
from pathlib import Path
from typing import Mapping, Union


def build(folder: Union[str, Path], source: Union[str, Path], name: str = "preload") -> str:
    """Compiles C `source` (its text, or the Path of a .c file) into
    folder/name.so with the C compiler of build-essential; returns its path."""
    folder = Path(folder)
    if not isinstance(source, Path):
        (folder / f"{name}.c").write_text(source)
        source = folder / f"{name}.c"
    library = folder / f"{name}.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source), "-ldl"],
                   check=True)
    return str(library)


def chained(env: Mapping[str, str], library: str, **extra: str) -> dict:
    """A copy of `env` that preloads `library` before whatever `env` already
    preloads (umockdev's library among them), with `extra` variables set."""
    result = dict(env)
    result["LD_PRELOAD"] = " ".join(p for p in (library, env.get("LD_PRELOAD")) if p)
    result.update(extra)
    return result
