"""Smoke test of the bench with camrelay: the test copy runs inside a
testbed, loads the virtual camera driver from beside itself, and the harness
reads its status lines, plugs devices while it runs and sees it exit."""

from harness import MODELS, libusb_knows_20000


def test_idle_first_line_then_clean_exit_on_end_of_input(bench):
    relay = bench.relay()
    first = relay.line(phase="idle", error="", cameraId="", cameras=[])
    assert first["backend"] == "libgphoto2"
    bench.plug("trigger", bus=1, address=5, speed="5000")
    relay.close_stdin()
    assert relay.wait_exit() == 0


def test_discovers_plugged_devices_despite_inherited_camlibs(bench):
    # An inherited CAMLIBS pointing nowhere useful must not matter: the test
    # copy takes its drivers from beside its executable.
    relay = bench.relay(env=bench.env(CAMLIBS="/nonexistent", IOLIBS="/nonexistent"))
    relay.line(phase="idle")
    device = bench.plug("sony", bus=2, address=9, speed="480")
    line = relay.wait_for(lambda s: s["cameras"], timeout=15)
    assert line["cameras"] == [{"id": device.port, "name": MODELS["sony"].name,
                                "linkMbps": 480}]
    bench.unplug(device)
    relay.wait_for(lambda s: s["cameras"] == [], timeout=15)
    relay.close_stdin()
    assert relay.wait_exit() == 0


def test_link_speed_follows_the_sysfs_speed_of_each_device(bench):
    # libusb before 1.0.27 has no speed code for 20 Gbit/s and reports it as
    # unknown, which camrelay lists as 0.
    fastest = 20000 if libusb_knows_20000() else 0
    expected = {"1.5": 1.5, "12": 12, "480": 480, "5000": 5000, "10000": 10000,
                "20000": fastest}
    devices = {bench.plug("viewer", bus=bus, address=100 + bus, speed=speed).port: speed
               for bus, speed in enumerate(expected, start=1)}
    relay = bench.relay()
    relay.line(phase="idle")
    cameras = relay.wait_for(lambda s: s["cameras"])["cameras"]
    assert {c["id"]: c["linkMbps"] for c in cameras} == {
        port: expected[speed] for port, speed in devices.items()}
    relay.close_stdin()
    assert relay.wait_exit() == 0
