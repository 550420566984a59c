"""The endurance shoot in its short form: 200 photos with every fault a few
times, on the virtual camera bench (bench/endurance_shoot.py; bench/endurance runs
the long form), the host speaking protocol 2. Fails on any loss, overwrite,
temporary file, hang, crash or inconsistent line, photo left behind and not
saved by the next start of its body, missing or extra reply, or event that
does not match what happened, and names the seed that replays the shoot.

The seed is fixed, so that CI runs the same shoot every time; set
CAMRELAY_ENDURANCE_SEED to try another."""

import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import endurance_shoot as endurance  # noqa: E402

SEED = int(os.environ.get("CAMRELAY_ENDURANCE_SEED", "17"))
PHOTOS = 200
MAX_MB = 1  # small photos keep the short form short


def test_a_short_shoot_accounts_for_every_photo(bench, tmp_path):
    replay = f"bench/endurance --photos {PHOTOS} --seed {SEED} --max-mb {MAX_MB}"
    print(f"endurance seed {SEED}; replay with: {replay}")
    figures = endurance.shoot(bench, tmp_path, photos=PHOTOS, seed=SEED,
                              max_size=int(MAX_MB * 1e6))
    table = "\n".join(figures.lines() + [f"problem: {p}" for p in figures.problems])
    assert not figures.failed, f"replay with: {replay}\n{table}"
    skipped = {entry.split(":")[0] for entry in figures.skipped}
    assert all(figures.faults[kind] >= 3 for kind in endurance.FAULTS if kind not in skipped), table
    assert figures.saved > PHOTOS // 2, table
    # The faults leave photos behind, and the starts after them save them:
    # what ends unsaved is either named by the end or a file the camera
    # cannot deliver (the ledger checks each such photo).
    assert figures.left_behind_saved > 0, table
    assert not any(figures.not_saved[rule] for rule in ("failure", "bound", "copy_failed")), table
    # Protocol 2's checks had something to check.
    assert figures.replies_checked == figures.commands_sent, table
    assert figures.photo_events_checked and figures.left_behind_events_checked, table
    assert figures.captures_numbered, table
