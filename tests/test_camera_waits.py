"""How camrelay waits while a camera is open, on the virtual camera's event
roads: which road it learns, what its waits cost the camera at rest, and a
settings read that gives way to the host's commands. How long anything
takes is measured by bench/latency, not here."""

import itertools
import time

import pytest

from harness import Bench

SETTINGS = 14  # keys of the virtual camera's built-in tree


def open_camera(bench: Bench, log=None):
    device = bench.plug("trigger")
    relay = bench.relay(env=bench.env(CAMRELAY_LOG=str(log)) if log else None)
    relay.wait_for(lambda s: s["cameras"], timeout=15)
    relay.start(device.port, str(bench.directory))
    relay.wait_for(phase="ready")
    return relay


def first_access_of_a_read(bench):
    return bench.camera.wait_for_record("get_config", lambda r: r.get("name") == "expprogram",
                                        timeout=15)


# The gap that the pace leaves at least between two requests of waits at
# rest: the back-off's first step, and on the trap road twice what a wait
# costs there (the camera's own cost of it is added on top).
@pytest.mark.parametrize("road, learnt, gap", [
    ("interrupt", "interrupt", None),
    ("polling", "polling", 0.025),
    ("trap", "polling", 0.6),
])
def test_the_road_is_learnt_and_waits_at_rest_cost_what_it_allows(bench, tmp_path, road, learnt,
                                                                   gap):
    bench.camera.set_event_road(road)
    log = tmp_path / "camrelay.log"
    relay = open_camera(bench, log)
    relay.wait_for(lambda s: s["cameraParameters"], timeout=15)
    time.sleep(3)
    requests = bench.camera.records("request")
    relay.close_stdin()
    assert relay.wait_exit() == 0
    assert f"event waits take the {learnt} road" in log.read_text()
    if gap is None:
        assert requests == []
        return
    # After the first wait, of 1 ms, which showed the road, each wait makes
    # one round.
    paced = list(itertools.dropwhile(lambda r: r["timeoutMs"] == 1, requests))
    assert len(paced) >= 3
    assert all(r["timeoutMs"] == 0 for r in paced)
    gaps = [b["at"] - a["at"] for a, b in zip(paced, paced[1:])]
    assert min(gaps) >= gap, gaps


def test_a_settings_read_gives_way_to_a_command_and_goes_on_after_it(bench):
    bench.camera.set_config_access(single_ms=200)
    # The capture makes no photo: a saved one would move the next read.
    bench.camera.set_capture(name="CMD_####.TXT")
    relay = open_camera(bench)
    first_access_of_a_read(bench)
    relay.capture()
    relay.wait_for(phase="capturing")
    relay.wait_for(phase="ready")
    relay.wait_for(lambda s: s["cameraParameters"], timeout=15)
    trigger = bench.camera.records("trigger")[0]
    accesses = [r for r in bench.camera.records("get_config") if r["result"] == 0]
    assert trigger["at"] < accesses[-1]["at"]  # carried out inside the read
    # The read went on where it stopped: every setting was asked for once.
    assert [r["name"] for r in accesses].count("expprogram") == 1
    assert len(accesses) == SETTINGS
    relay.close_stdin()
    assert relay.wait_exit() == 0
    assert all(len(line["cameraParameters"]) in (0, SETTINGS) for line in relay.seen)


def test_an_input_overrun_during_a_read_closes_the_camera_and_ends(bench):
    bench.camera.set_config_access(single_ms=200)
    relay = open_camera(bench)
    first_access_of_a_read(bench)
    relay.send(b"x" * 70000)
    relay.wait_for(phase="error", error="tethering.error.helperProtocol")
    assert relay.wait_exit() == 0
    assert len(bench.camera.records("exit")) == 1
    assert len(bench.camera.config_accesses()[1]) < SETTINGS
