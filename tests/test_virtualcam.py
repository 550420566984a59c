"""Self-test of the virtual camera bench with Debian's gphoto2 program: if
gphoto2 sees, captures from, downloads from and configures the virtual
camera on the testbed, the bench is a faithful libgphoto2 camera, whatever
camrelay does with it."""

import ctypes
import re

import pytest

from harness import (GP_ERROR, GP_ERROR_IO, GP_ERROR_IO_USB_CLAIM, GP_ERROR_IO_USB_FIND, MODELS,
                     TESTCOPY_DIR, pattern_bytes, radio, range_, section, text, toggle)


def autodetected(bench):
    result = bench.gphoto2("--auto-detect")
    assert result.returncode == 0, result.stderr
    rows = result.stdout.decode().splitlines()[2:]
    return [tuple(re.split(r"\s{2,}", row.strip())) for row in rows if row.strip()]


def test_autodetect_lists_each_model_once_at_its_port(bench):
    devices = [bench.plug(key, bus=bus, address=address, speed=speed)
               for key, bus, address, speed in [("trigger", 1, 5, "5000"),
                                                ("capture", 1, 9, "480"),
                                                ("viewer", 2, 3, "12"),
                                                ("sony", 3, 17, "10000"),
                                                ("sony-capture", 4, 127, "1.5")]]
    listed = autodetected(bench)
    assert sorted(listed) == sorted((d.model.name, d.port) for d in devices)

    bench.unplug(devices[0])
    assert (devices[0].model.name, devices[0].port) not in autodetected(bench)


def test_unknown_usb_device_is_not_listed(bench):
    bench.plug("trigger", vendor=0x1209, product=0x7FFF)
    assert autodetected(bench) == []


@pytest.mark.parametrize("key, ram", [("trigger", False), ("capture", False),
                                      ("sony-capture", False), ("capture", True)])
def test_capture_image_and_download_is_byte_exact(bench, tmp_path, key, ram):
    device = bench.plug(key, bus=1, address=5)
    data = pattern_bytes(300_001, 9)
    folder, name = ("/", "capt0000.jpg") if ram else ("/store_00010001/DCIM/100VCAM",
                                                       "DSC00001.JPG")
    bench.camera.set_capture(None if ram else folder, None if ram else "DSC#####.JPG", data,
                             ram=ram)
    out = tmp_path / "out"
    out.mkdir()
    result = bench.gphoto2("--port", device.port, "--camera", device.model.name,
                           "--capture-image-and-download", "--keep", cwd=out)
    assert result.returncode == 0, result.stderr
    assert (out / name).read_bytes() == data
    capture = bench.camera.records("capture")
    assert [(c["folder"], c["name"]) for c in capture] == [(folder, name)]
    # A photo in camera memory comes from libgphoto2's cache, not the driver.
    assert len(bench.camera.records("file_get")) == (0 if ram else 1)
    assert len(bench.camera.records("ram_handover")) == (1 if ram else 0)
    assert bench.camera.records("exit"), "the camera was not closed"


REFUSED = b"You need to specify a folder starting with /store_xxxxxxxxx/"


@pytest.mark.parametrize("reset", [False, True], ids=["kept", "after_reset"])
def test_cache_keeps_the_three_newest_ram_photos(bench, tmp_path, reset):
    # libgphoto2's cache frees the oldest photo while it holds more than
    # two, then adds the new one; older photos reach the driver, which
    # refuses "/" as ptp2 does. A card file rewritten by an event resets
    # libgphoto2's filesystem, and the driver gives the cache back its photos.
    device = bench.plug("capture")
    camera = bench.camera
    camera.add_file("/DCIM", "A.JPG", size=10)
    names = [f"capt{n:04d}.jpg" for n in range(5)]
    expected = camera.add_ram_photos(names)
    if reset:
        camera.add_events([{"type": "file_added", "folder": "/DCIM", "name": "A.JPG", "size": 20}])
    result = bench.gphoto2("--port", device.port, f"--wait-event={len(names) + reset}",
                           "--folder=/", *(f"--get-file={n}" for n in names), cwd=tmp_path)
    assert REFUSED in result.stderr
    assert sorted(p.name for p in tmp_path.glob("capt*")) == names[2:]
    assert all((tmp_path / n).read_bytes() == expected[n] for n in names[2:])
    assert [(r["name"], r["result"]) for r in camera.records("file_get")] == [
        (n, GP_ERROR) for n in names[:2]]
    assert [r["name"] for r in camera.records("ram_handover")] == names


def test_failed_writes_into_the_target(bench, tmp_path):
    # The driver's failed gp_file_append gives -35 unless the script names
    # another code (ptp2 gives -7). libgphoto2 copies a cached photo itself;
    # when that copy fails it asks the driver, which refuses "/".
    device = bench.plug("capture")
    camera = bench.camera
    camera.add_file("/DCIM", "A.JPG", size=100_000)
    for replacement in (None, GP_ERROR_IO):
        camera.set_append_failure_result(replacement)
        camera.add_ram_photo("capt0000.jpg", size=100_000)
        result = bench.gphoto2("--port", device.port, "--wait-event=1", "--get-file=/DCIM/A.JPG",
                               "--folder=/", "--get-file=capt0000.jpg", cwd=tmp_path,
                               file_size_limit=5000)
        assert REFUSED in result.stderr
    assert [(r["name"], r.get("appendResult"), r["result"])
            for r in camera.records("file_get")] == [
        ("A.JPG", -35, -35), ("capt0000.jpg", None, GP_ERROR),
        ("A.JPG", -35, GP_ERROR_IO), ("capt0000.jpg", None, GP_ERROR)]


def test_camera_without_image_capture_refuses(bench, tmp_path):
    device = bench.plug("viewer")
    result = bench.gphoto2("--port", device.port, "--capture-image-and-download", cwd=tmp_path)
    assert result.returncode != 0
    assert bench.camera.records("capture") == []


def test_card_files_download_byte_exact_including_large_and_disk_backed(bench, tmp_path):
    device = bench.plug("capture")
    small = bench.camera.add_file("/DCIM/100VCAM", "IMG_0001.JPG", b"\xff\xd8hello\xff\xd9")
    large = bench.camera.add_file("/DCIM/100VCAM", "IMG_0002.CR3", size=24 << 20)
    source = tmp_path / "on-disk.nef"
    source.write_bytes(pattern_bytes(1_000_003, 77))
    bench.camera.add_file("/DCIM/101VCAM", "IMG_0003.NEF", path=source)
    out = tmp_path / "out"
    out.mkdir()

    listing = bench.gphoto2("--port", device.port, "--list-files")
    assert listing.returncode == 0, listing.stderr
    for name in (b"IMG_0001.JPG", b"IMG_0002.CR3", b"IMG_0003.NEF"):
        assert name in listing.stdout

    result = bench.gphoto2("--port", device.port, "--get-all-files", cwd=out)
    assert result.returncode == 0, result.stderr
    assert (out / "IMG_0001.JPG").read_bytes() == small
    assert (out / "IMG_0002.CR3").read_bytes() == large
    assert (out / "IMG_0003.NEF").read_bytes() == source.read_bytes()


def test_scripted_download_failure_after_partial_write(bench, tmp_path):
    device = bench.plug("capture")
    bench.camera.add_file("/DCIM", "BAD.JPG", size=100_000, result=GP_ERROR_IO, fail_after=4096)
    result = bench.gphoto2("--port", device.port, "--get-file", "/DCIM/BAD.JPG", cwd=tmp_path)
    assert result.returncode != 0
    record = bench.camera.records("file_get")[-1]
    assert record["result"] == GP_ERROR_IO and record["bytes"] == 4096


def test_camera_init_result_is_scripted(bench):
    device = bench.plug("trigger")
    bench.camera.set_result("camera_init", GP_ERROR_IO_USB_CLAIM)
    result = bench.gphoto2("--port", device.port, "--summary")
    assert result.returncode != 0
    assert [r["result"] for r in bench.camera.records("init")] == [GP_ERROR_IO_USB_CLAIM]

    bench.camera.set_result("camera_init", None)
    result = bench.gphoto2("--port", device.port, "--summary")
    assert result.returncode == 0, result.stderr


def get_config(bench, device, name):
    result = bench.gphoto2("--port", device.port, "--get-config", name)
    assert result.returncode == 0, result.stderr
    return result.stdout.decode(errors="replace")


def test_get_config_reads_scripted_widgets(bench):
    device = bench.plug("trigger")
    padded = "  Manual \n"
    long_value = "\U0001F4F7" * 256 + "a"  # 513 UTF-16 units
    bench.camera.set_config([
        section("capturesettings", [
            radio("expprogram", padded, choices=["Manual", "Auto"]),
            range_("f-number", 5.6, min=1, max=22, step=0.1),
            range_("aperture", "1/3"),
            range_("focallength", float("nan")),
            range_("exposurecompensation", -0.0, min=-3, max=3),
        ]),
        section("status", [
            text("lensname", long_value),
            text("batterylevel", ""),
            text("serialnumber", b"\xc3\x28bad utf-8"),
            toggle("viewfinder", 1),
        ]),
    ])
    assert "Type: RADIO" in get_config(bench, device, "expprogram")
    assert "Current:   Manual \n" in get_config(bench, device, "expprogram")
    assert "Current: 5.6" in get_config(bench, device, "f-number")
    assert "Current: 0.333333" in get_config(bench, device, "aperture")
    assert re.search(r"Current: -?nan", get_config(bench, device, "focallength"))
    assert "Current: -0" in get_config(bench, device, "exposurecompensation")
    assert long_value in get_config(bench, device, "lensname")
    assert "Current: \n" in get_config(bench, device, "batterylevel")
    assert "Type: TOGGLE" in get_config(bench, device, "viewfinder")


def test_default_config_offers_the_polled_parameters(bench):
    device = bench.plug("capture")
    result = bench.gphoto2("--port", device.port, "--list-config")
    assert result.returncode == 0, result.stderr
    listed = result.stdout.decode().split()
    for name in ["/main/capturesettings/f-number", "/main/capturesettings/shutterspeed",
                 "/main/capturesettings/iso", "/main/status/batterylevel",
                 "/main/status/lensname"]:
        assert name in listed


def test_get_config_failure_is_scripted(bench):
    device = bench.plug("capture")
    bench.camera.set_result("get_config", GP_ERROR_IO)
    result = bench.gphoto2("--port", device.port, "--get-config", "iso")
    assert result.returncode != 0


def test_wait_event_reports_scripted_and_triggered_events(bench):
    device = bench.plug("trigger")
    camera = bench.camera
    camera.set_capture("/", "capt_####.ARW", size=10, trigger_delay_ms=300,
                       complete_event=True)
    camera.add_events([camera.event("folder_added", "/DCIM", "100VCAM"),
                       camera.event("unknown", text="PTP Property 5001 changed"),
                       camera.event("file_added", "/DCIM/100VCAM", "IMG_0001.JPG")])
    result = bench.gphoto2("--port", device.port, "--trigger-capture", "--wait-event=8",
                           "--keep")
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "FOLDERADDED 100VCAM /DCIM" in out
    assert "PTP Property 5001 changed" in out
    assert "FILEADDED IMG_0001.JPG /DCIM/100VCAM" in out
    assert "FILEADDED capt_0001.ARW /" in out
    assert "CAPTURECOMPLETE" in out
    events = [r["type"] for r in camera.records("event")]
    assert events.count(2) == 2 and events.count(4) == 1


class Gphoto2Library:
    """libgphoto2 called in this process (through ctypes), for what the
    gphoto2 program cannot show: one camera kept open across an unplug."""

    def __init__(self, bench, monkeypatch):
        monkeypatch.setenv("CAMLIBS", str(TESTCOPY_DIR / "camlibs"))
        monkeypatch.setenv("IOLIBS", str(TESTCOPY_DIR / "iolibs"))
        monkeypatch.setenv("VIRTUALCAM_DIR", str(bench.camera.directory))
        monkeypatch.setenv("HOME", str(bench.home))
        self.lib = ctypes.CDLL("libgphoto2.so.6")
        self.lib.gp_context_new.restype = ctypes.c_void_p
        ctypes.CDLL(None).free.argtypes = [ctypes.c_void_p]
        self.context = ctypes.c_void_p(self.lib.gp_context_new())
        self.camera = ctypes.c_void_p()
        assert self.lib.gp_camera_new(ctypes.byref(self.camera)) == 0
        assert self.lib.gp_camera_init(self.camera, self.context) == 0

    def wait_for_event(self, timeout_ms):
        kind, data = ctypes.c_int(-1), ctypes.c_void_p()
        result = self.lib.gp_camera_wait_for_event(self.camera, timeout_ms, ctypes.byref(kind),
                                                   ctypes.byref(data), self.context)
        self.last_data = None
        if data:
            if kind.value in (2, 3, 5):  # a CameraFilePath: name[128], folder[1024]
                self.last_data = ctypes.string_at(data, 1152)
            elif kind.value == 0:
                self.last_data = ctypes.string_at(data)
            ctypes.CDLL(None).free(ctypes.c_void_p(data.value))
        return result, kind.value

    def file_get(self, folder, name):
        file = ctypes.c_void_p()
        assert self.lib.gp_file_new(ctypes.byref(file)) == 0
        try:
            result = self.lib.gp_camera_file_get(self.camera, folder.encode(), name.encode(), 1,
                                                 file, self.context)  # GP_FILE_TYPE_NORMAL
            data, size = ctypes.c_void_p(), ctypes.c_ulong()
            self.lib.gp_file_get_data_and_size(file, ctypes.byref(data), ctypes.byref(size))
            return result, ctypes.string_at(data, size.value) if result == 0 else None
        finally:
            self.lib.gp_file_unref(file)

    def close(self):
        self.lib.gp_camera_exit(self.camera, self.context)
        self.lib.gp_camera_free(self.camera)


def test_open_camera_fails_its_calls_once_unplugged(bench, monkeypatch):
    device = bench.plug("trigger")
    bench.camera.set_unplugged_result(GP_ERROR_IO_USB_FIND)
    library = Gphoto2Library(bench, monkeypatch)
    try:
        assert library.wait_for_event(50) == (0, 1)  # GP_EVENT_TIMEOUT
        bench.camera.fail_event(GP_ERROR_IO)
        assert library.wait_for_event(50)[0] == GP_ERROR_IO
        assert library.wait_for_event(50) == (0, 1)  # a scripted failure is consumed
        bench.unplug(device)
        assert library.wait_for_event(50)[0] == GP_ERROR_IO_USB_FIND
    finally:
        library.close()
    assert bench.camera.records("exit")


def test_event_paths_are_filled_as_libgphoto2_hands_them_over(bench, monkeypatch):
    bench.plug("trigger")
    camera = bench.camera
    full = b"F" * 124 + b".JPG"  # 128 bytes: no room for a NUL
    cases = [
        ("/DCIM/100VCAM", "IMG_0001.JPG"),
        ("/DCIM/100VCAM", b"IMG_\xff\xfe.JPG"),
        (b"/DCIM/\xc3(", "IMG_0002.JPG"),
        ("/DCIM/100VCAM", full),
        ("/DCIM/100VCAM", "sub/IMG_0003.JPG"),
        ("/", "capt_0000.ARW"),
    ]
    camera.add_events([camera.event("file_added", folder, name) for folder, name in cases])
    camera.add_events([camera.event("capture_complete"), camera.event("unknown"),
                       camera.event("unknown", text="hello"), camera.event("timeout"),
                       camera.event(99)])
    library = Gphoto2Library(bench, monkeypatch)
    try:
        for folder, name in cases:
            assert library.wait_for_event(0) == (0, 2)
            raw_name, raw_folder = library.last_data[:128], library.last_data[128:]
            name = name.encode() if isinstance(name, str) else name
            folder = folder.encode() if isinstance(folder, str) else folder
            assert raw_name == name.ljust(128, b"\0")
            assert raw_folder == folder.ljust(1024, b"\0")
        assert library.wait_for_event(0) == (0, 4)
        assert library.wait_for_event(0) == (0, 0) and library.last_data is None
        assert library.wait_for_event(0) == (0, 0) and library.last_data == b"hello"
        assert library.wait_for_event(0) == (0, 1)
        assert library.wait_for_event(0) == (0, 99)
        assert library.wait_for_event(0) == (0, 1)  # nothing queued
    finally:
        library.close()


NEW_FILES = {"addition": ("/DCIM/100VCAM", "B.JPG"), "new_folder": ("/DCIM/101VCAM", "B.JPG"),
             "new_folders": ("/NEW/SUB", "B.JPG")}


@pytest.mark.parametrize("change", ["throttle", "removal", *NEW_FILES])
def test_ram_photos_outlive_every_script_change(bench, monkeypatch, change):
    new_file = NEW_FILES.get(change)
    bench.plug("capture")
    camera = bench.camera
    camera.add_file("/DCIM/100VCAM", "A.JPG", size=10)
    photo = camera.add_ram_photo("capt0000.jpg")
    library = Gphoto2Library(bench, monkeypatch)
    try:
        assert library.wait_for_event(0) == (0, 2)
        assert library.file_get("/DCIM/100VCAM", "A.JPG")[0] == 0  # libgphoto2 listed the card
        if change == "throttle":
            camera.set_throttle(1_000_000)
        elif change == "removal":
            camera.remove_file("/DCIM/100VCAM", "A.JPG")
        else:
            data = camera.add_file(*new_file, size=10)
        assert library.wait_for_event(0) == (0, 1)  # the driver takes in the change
        assert library.file_get("/", "capt0000.jpg") == (0, photo)
        if new_file:
            assert library.file_get(*new_file) == (0, data)
        assert (library.file_get("/DCIM/100VCAM", "A.JPG")[0] == 0) == (change != "removal")
    finally:
        library.close()


def test_event_bursts_are_delivered_in_order(bench, monkeypatch):
    bench.plug("capture")
    camera = bench.camera
    camera.add_events([camera.event("file_added", "/DCIM", f"IMG_{i:04d}.JPG")
                       for i in range(150)])
    library = Gphoto2Library(bench, monkeypatch)
    try:
        names = []
        while library.wait_for_event(0) == (0, 2):
            names.append(library.last_data[:128].rstrip(b"\0").decode())
    finally:
        library.close()
    assert names == [f"IMG_{i:04d}.JPG" for i in range(150)]


def test_models_have_the_documented_abilities(bench):
    result = bench.gphoto2("--list-cameras")
    assert result.returncode == 0
    out = result.stdout.decode()
    for model in MODELS.values():
        assert f'"{model.name}"' in out


@pytest.mark.parametrize("single, trees, singles", [
    ("native", 0, 1),
    ("unset", 1, 0),  # libgphoto2 fetches the whole tree and copies one widget out
    ("notSupported", 1, 1),  # handed on to gphoto2, which then fetches the whole tree
])
def test_single_setting_access_as_scripted(bench, single, trees, singles):
    device = bench.plug("trigger")
    bench.camera.set_config_access(single=single)
    assert "Current: 400" in get_config(bench, device, "iso")
    whole, one = bench.camera.config_accesses()
    assert (len(whole), len(one)) == (trees, singles)
