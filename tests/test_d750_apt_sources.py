"""tools/d750/apt_sources: the deb-src entries it makes of apt's own lists,
read through a scratch apt configuration (APT_CONFIG)."""

import os
import subprocess
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[1] / "tools" / "d750" / "apt_sources"

KEY = "Signed-By:\n -----BEGIN PGP PUBLIC KEY BLOCK-----\n .\n -----END PGP PUBLIC KEY BLOCK-----\n"
OFF = "Enabled: no\nTypes: deb\nURIs: http://off.example/debian\nSuites: bookworm\n"
SECURITY = "Types: deb-src\nURIs: http://sec.example/d\nSuites: s-security\nComponents: main\n"
DEB822 = (f"# mirror\nTypes: deb deb-src\nURIs: http://a.example/d\n  http://b.example/d\n"
          f"Suites: s\nComponents: main\n contrib\n{KEY}\n\n{OFF}\n{SECURITY.lower()}")
ONE_LINE = """# the main list
deb [ arch=amd64,i386 signed-by=/k.gpg ] http://a.example/d s main  # note
deb-src [arch=amd64,i386 signed-by=/k.gpg] http://a.example/d s main
  deb http://sec.example/d s-security main
deb [trusted=yes arch+=arm64 lang-=de] http://flat.example/repo ./
"""
IGNORED = {f"parts/{name}": ONE_LINE
           for name in ["x.list.disabled-by-farm", "x.list.save", "a b.list"]}


def stanza(uri, suite, fields):
    return f"Types: deb-src\nURIs: {uri}\nSuites: {suite}\n{fields}"


# The files of a scratch apt configuration, and the stanzas printed (None:
# a failure, for want of any entry).
CASES = {
    "deb822": ({"parts/d.sources": DEB822, **IGNORED}, [
        stanza("http://a.example/d", "s", "Components: main contrib\n" + KEY),
        stanza("http://b.example/d", "s", "Components: main contrib\n" + KEY),
        SECURITY,
    ]),
    "one-line, with a deb822 repeat": ({"sources.list": ONE_LINE, "parts/s.sources": SECURITY}, [
        stanza("http://a.example/d", "s",
               "Components: main\nArchitectures: amd64,i386\nSigned-By: /k.gpg\n"),
        SECURITY,
        stanza("http://flat.example/repo", "./",
               "Trusted: yes\nArchitectures-Add: arm64\nLanguages-Remove: de\n"),
    ]),
    "no enabled entry": ({"sources.list": "# none\n\n", "parts/off.sources": OFF}, None),
    "no files apt reads": (IGNORED, None),
}


@pytest.mark.parametrize("files, expected", CASES.values(), ids=CASES.keys())
def test_deb_src_entries(tmp_path, files, expected):
    (tmp_path / "parts").mkdir()
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    config = tmp_path / "apt.conf"
    config.write_text(f'Dir::Etc::sourcelist "{tmp_path}/sources.list";\n'
                      f'Dir::Etc::sourceparts "{tmp_path}/parts";\n')
    done = subprocess.run([str(SCRIPT)], env={**os.environ, "APT_CONFIG": str(config)},
                          capture_output=True, text=True)
    if expected is None:
        assert (done.returncode != 0, done.stdout) == (True, "")
        assert "no package source" in done.stderr
    else:
        assert (done.returncode, done.stderr, done.stdout) == (0, "", "\n".join(expected))
