"""Self-test of the virtual camera bench with Debian's gphoto2 program: if
gphoto2 sees, captures from, downloads from and configures the virtual
camera on the testbed, the bench is a faithful libgphoto2 camera, whatever
camrelay does with it."""

import ctypes
import re
import shutil
import subprocess

import pytest

from harness import (GP_ERROR, GP_ERROR_BAD_PARAMETERS, GP_ERROR_CAMERA_BUSY, GP_ERROR_IO,
                     GP_ERROR_IO_USB_CLAIM, GP_ERROR_IO_USB_FIND, GP_ERROR_NOT_SUPPORTED, MODELS,
                     TESTCOPY_DIR, CAPTURE_TARGET_LABELS, date, frame_number, frame_size, pattern_bytes, property_code,
                     radio, range_, section, text, toggle)


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


ERROR_FUNC = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
TEXT_WIDGETS, RANGE_WIDGET = (2, 5, 6), 3  # GP_WIDGET_TEXT, RADIO, MENU; GP_WIDGET_RANGE


class Gphoto2Library:
    """libgphoto2 called in this process (through ctypes), for what the
    gphoto2 program cannot show: one camera kept open across an unplug,
    writes that the program refuses itself, the context's error texts."""

    def __init__(self, bench, monkeypatch):
        monkeypatch.setenv("CAMLIBS", str(TESTCOPY_DIR / "camlibs"))
        monkeypatch.setenv("IOLIBS", str(TESTCOPY_DIR / "iolibs"))
        monkeypatch.setenv("VIRTUALCAM_DIR", str(bench.camera.directory))
        monkeypatch.setenv("HOME", str(bench.home))
        self.lib = ctypes.CDLL("libgphoto2.so.6")
        self.lib.gp_context_new.restype = ctypes.c_void_p
        ctypes.CDLL(None).free.argtypes = [ctypes.c_void_p]
        self.context = ctypes.c_void_p(self.lib.gp_context_new())
        self.errors = []
        self._on_error = ERROR_FUNC(lambda _, message, __: self.errors.append(message.decode()))
        self.lib.gp_context_set_error_func(self.context, self._on_error, None)
        self.camera = ctypes.c_void_p()
        assert self.lib.gp_camera_new(ctypes.byref(self.camera)) == 0
        assert self.lib.gp_camera_init(self.camera, self.context) == 0

    def _set_value(self, widget, value):
        kind = ctypes.c_int()
        self.lib.gp_widget_get_type(widget, ctypes.byref(kind))
        if kind.value in TEXT_WIDGETS:
            given = ctypes.c_char_p(value.encode())
        else:
            given = ctypes.byref(ctypes.c_float(value) if kind.value == RANGE_WIDGET
                                 else ctypes.c_int(value))
        assert self.lib.gp_widget_set_value(widget, given) == 0

    def set_single(self, name, value):
        """gp_camera_set_single_config of the widget that
        gp_camera_get_single_config gave, changed to `value`."""
        widget = ctypes.c_void_p()
        if self.lib.gp_camera_get_single_config(self.camera, name.encode(), ctypes.byref(widget),
                                                self.context) < 0:
            self.lib.gp_widget_new(2, b"made up", ctypes.byref(widget))
        try:
            self._set_value(widget, value)
            return self.lib.gp_camera_set_single_config(self.camera, name.encode(), widget,
                                                        self.context)
        finally:
            self.lib.gp_widget_free(widget)

    def set_tree(self, values):
        """gp_camera_set_config of the whole tree with `values` changed."""
        root, child = ctypes.c_void_p(), ctypes.c_void_p()
        assert self.lib.gp_camera_get_config(self.camera, ctypes.byref(root), self.context) == 0
        try:
            for name, value in values.items():
                assert self.lib.gp_widget_get_child_by_name(root, name.encode(),
                                                            ctypes.byref(child)) == 0
                self._set_value(child, value)
            return self.lib.gp_camera_set_config(self.camera, root, self.context)
        finally:
            self.lib.gp_widget_free(root)

    def preview(self):
        """gp_camera_capture_preview: its result, data and MIME type."""
        file, data, size, mime = (ctypes.c_void_p(), ctypes.c_void_p(), ctypes.c_ulong(),
                                  ctypes.c_char_p())
        assert self.lib.gp_file_new(ctypes.byref(file)) == 0
        try:
            result = self.lib.gp_camera_capture_preview(self.camera, file, self.context)
            self.lib.gp_file_get_data_and_size(file, ctypes.byref(data), ctypes.byref(size))
            self.lib.gp_file_get_mime_type(file, ctypes.byref(mime))
            return result, ctypes.string_at(data, size.value) if size.value else b"", mime.value
        finally:
            self.lib.gp_file_unref(file)

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


# A write of the default tree as ptp2 answers it: the result on the Nikon
# (and Sony) road, where a refused property ends in "not found", and on the
# Canon EOS road, where the refusal's own code stands; whether it took; the
# context error that tells why.
WRITES = [
    ("f-number", "f/8", GP_ERROR_BAD_PARAMETERS, GP_ERROR_CAMERA_BUSY, False, "0x2019"),  # busy
    ("f-number", "f/8", 0, 0, True, None),  # the busy count is spent
    ("iso", "800", 0, 0, True, None),
    ("whitebalance", "Shade", GP_ERROR_BAD_PARAMETERS, GP_ERROR, False, None),  # not a choice
    ("batterylevel", "50%", GP_ERROR_BAD_PARAMETERS, GP_ERROR_NOT_SUPPORTED, False, "0x5001"),
    ("focallength", 500.0, GP_ERROR_BAD_PARAMETERS, GP_ERROR, False, "0x201c"),  # past max
    ("exposurecompensation", "1", GP_ERROR_BAD_PARAMETERS, GP_ERROR, False, "0x201c"),  # refused
    ("focallength", 85.5, 0, 0, True, None),
    ("datetime", 1700000123, 0, 0, True, None),
    ("nosuch", "1", GP_ERROR_BAD_PARAMETERS, GP_ERROR_BAD_PARAMETERS, False, "not found"),
]


@pytest.mark.parametrize("vendor", ["nikon", "canon"])
def test_setting_writes_answer_as_ptp2_does(bench, monkeypatch, vendor):
    bench.plug("trigger")
    camera = bench.camera
    camera.set_vendor(vendor)
    camera.set_refused("exposurecompensation", ["1"])
    camera.set_busy("set_config", 1)
    library = Gphoto2Library(bench, monkeypatch)
    try:
        for name, value, nikon, canon, accepted, why in WRITES:
            library.errors.clear()
            before = camera.setting(name)
            assert library.set_single(name, value) == (nikon if vendor == "nikon" else canon), name
            assert camera.setting(name) == (value if accepted else before), name
            assert why is None or why in " ".join(library.errors), (name, library.errors)
        # The whole tree: a refused property is passed over on the Nikon
        # road and ends the call on the Canon EOS road.
        result = library.set_tree({"exposurecompensation": "1", "whitebalance": "Daylight"})
        assert result == (0 if vendor == "nikon" else GP_ERROR)
        assert camera.setting("whitebalance") == ("Daylight" if vendor == "nikon" else "Auto")
    finally:
        library.close()
    writes = [(r["name"], r["accepted"]) for r in camera.records("set_config")]
    assert writes[:len(WRITES)] == [(w[0], w[4]) for w in WRITES]


def test_written_settings_outlive_the_process_until_the_script_changes(bench):
    device = bench.plug("capture")
    camera = bench.camera
    camera.set_config([section("capturesettings", [
        radio("iso", "400", choices=["400", "800"]), text("artist", "A"),
        toggle("eosremoterelease", 0), date("datetime", 5)])])
    for change in ("iso=800", "artist=B C", "eosremoterelease=1", "datetime=1700000000"):
        result = bench.gphoto2("--port", device.port, "--set-config", change)
        assert result.returncode == 0, result.stderr
    assert "Current: 800" in get_config(bench, device, "iso")  # another process
    assert [camera.setting(n) for n in ("iso", "artist", "eosremoterelease", "datetime")] == [
        "800", "B C", 1, 1700000000]
    camera._script_widget("iso")["value"] = "800"  # the same value: the write stands
    camera._script_widget("artist")["value"] = "D"  # a new value starts from the script
    camera.write()
    assert (camera.setting("iso"), camera.setting("artist")) == ("800", "D")
    assert "Current: D" in get_config(bench, device, "artist")


def test_a_changed_setting_is_reported_with_its_value_when_the_event_comes(bench, monkeypatch):
    bench.plug("trigger")
    camera = bench.camera
    camera.turn("iso", "100")
    camera.turn("iso", "200")
    camera.turn("focallength", 85)
    camera.turn("viewfinder", 1)
    camera.turn("hidden", 3)
    library = Gphoto2Library(bench, monkeypatch)
    try:
        texts = []
        while library.wait_for_event(0) == (0, 0):
            texts.append(library.last_data.decode())
        assert library.set_single("iso", "800") == 0  # the body reports a host's write too
        assert library.wait_for_event(0) == (0, 0)
        texts.append(library.last_data.decode())
    finally:
        library.close()
    assert texts == ['PTP Property 500f changed, "iso" to "200"'] * 2 + [
        'PTP Property 5008 changed, "focallength" to "85.000000"',
        'PTP Property d1a2 changed, "viewfinder" to "Unhandled type"',
        f"PTP Property {property_code('hidden'):04x} changed",
        'PTP Property 500f changed, "iso" to "800"']


# Where a capture lands by the capture target: the capture's path, and
# whether the card holds a copy as well.
TARGETS = [
    ("capture", "nikon", "sdram", ("/", "capt0000.jpg"), False),
    ("capture", "nikon", "card", ("/store_00010001/DCIM/100VCAM", "IMG_0001.JPG"), True),
    ("sony-capture", "sony", "sdram", ("/", "capt0000.jpg"), False),
    ("sony-capture", "sony", "card+sdram", ("/", "capt0000.jpg"), True),
    ("sony-capture", "sony", "card", None, True),  # ptp2 waits for a photo in memory, gives up
]


@pytest.mark.parametrize("key, style, target, path, on_card", TARGETS)
def test_capture_target_decides_where_a_capture_lands(bench, tmp_path, key, style, target, path,
                                                      on_card):
    device = bench.plug(key)
    camera = bench.camera
    camera.set_capture(card_only_wait_ms=10)
    camera.add_capture_target(style, "sdram")
    shown = "Internal RAM" if style == "nikon" else "sdram"
    assert f"Current: {shown}" in get_config(bench, device, "capturetarget")
    value = CAPTURE_TARGET_LABELS[target] if style == "nikon" else target
    result = bench.gphoto2("--port", device.port, "--set-config", f"capturetarget={value}")
    assert result.returncode == 0, result.stderr
    if style == "nikon":  # ptp2 keeps it in libgphoto2's settings, not on the camera
        assert camera.host_settings()[("ptp2", "capturetarget")] == target
    bench.gphoto2("--port", device.port, "--capture-image-and-download", cwd=tmp_path)
    capture = camera.records("capture")[-1]
    assert (capture["target"], capture["result"]) == (target, 0 if path else GP_ERROR)
    if path:
        assert (capture["folder"], capture["name"]) == path
        assert (tmp_path / path[1]).read_bytes() == camera.capture_bytes()
    card = capture.get("card", capture if capture["folder"] != "/" else {})
    assert (card.get("name") == "IMG_0001.JPG") == on_card


def test_a_sony_trigger_to_the_card_alone_reports_nothing(bench):
    device = bench.plug("sony")
    bench.camera.add_capture_target("sony", "card")
    result = bench.gphoto2("--port", device.port, "--trigger-capture", "--wait-event=1s")
    assert result.returncode == 0, result.stderr
    assert b"FILEADDED" not in result.stdout
    assert bench.camera.records("trigger")[-1]["name"] == "IMG_0001.JPG"


def test_refused_captures_carry_their_text_and_a_busy_count(bench, tmp_path):
    device = bench.plug("trigger")
    camera = bench.camera
    camera.set_result("trigger", GP_ERROR, text="Canon EOS Capture failed to release: "
                      "Perhaps no focus?")
    result = bench.gphoto2("--port", device.port, "--trigger-capture")
    assert result.returncode != 0 and b"Perhaps no focus?" in result.stderr
    camera.set_result("trigger", None)
    camera.set_busy("capture", 1)  # counted across processes
    for expected in (GP_ERROR_CAMERA_BUSY, 0):
        bench.gphoto2("--port", device.port, "--capture-image-and-download", cwd=tmp_path)
        assert camera.records("capture")[-1]["result"] == expected


def jpeg_decoder(directory):
    """A program that decodes a JPEG with libjpeg and prints its width,
    height, first sample, whether every sample is the same and how many
    warnings libjpeg gave; None without a compiler or libjpeg."""
    source = directory / "decode.c"
    source.write_text(r"""
#include <stdio.h>
#include <stdlib.h>
#include <jpeglib.h>
int main(void) {
  struct jpeg_decompress_struct c; struct jpeg_error_mgr e;
  c.err = jpeg_std_error(&e); jpeg_create_decompress(&c); jpeg_stdio_src(&c, stdin);
  jpeg_read_header(&c, TRUE); jpeg_start_decompress(&c);
  JSAMPLE *row = malloc(c.output_width * c.output_components); int first = -1, plain = 1;
  while (c.output_scanline < c.output_height) {
    jpeg_read_scanlines(&c, &row, 1);
    for (unsigned i = 0; i < c.output_width * c.output_components; i++)
      if (first < 0) first = row[i]; else if (row[i] != first) plain = 0;
  }
  jpeg_finish_decompress(&c);
  printf("%u %u %d %d %ld\n", c.output_width, c.output_height, first, plain, e.num_warnings);
  return 0;
}""")
    program = directory / "decode"
    if not shutil.which("cc") or subprocess.run(["cc", "-o", str(program), str(source),
                                                 "-ljpeg"], capture_output=True).returncode:
        return None
    return lambda data: subprocess.run([str(program)], input=data, capture_output=True,
                                       check=True).stdout.split()


def test_live_view_delivers_numbered_jpeg_frames(bench, tmp_path):
    device = bench.plug("viewer")
    bench.camera.set_preview(width=321, height=240, frame_bytes=150_000)
    result = bench.gphoto2("--port", device.port, "--capture-movie=4", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    stream = (tmp_path / "movie.mjpg").read_bytes()
    frames = [b"\xff\xd8" + f for f in stream.split(b"\xff\xd8")[1:]]
    assert [frame_number(f) for f in frames] == list(range(1, len(frames) + 1))
    assert len(frames) >= 4
    assert {(frame_size(f), len(f)) for f in frames} == {((321, 240), 150_000)}
    decode = jpeg_decoder(tmp_path)
    if decode is None:
        pytest.skip("no C compiler with libjpeg to decode the frames")
    shades = [decode(f) for f in frames]
    assert all(s[:2] == [b"321", b"240"] and s[3:] == [b"1", b"0"] for s in shades), shades
    assert len({s[2] for s in shades}) == len(frames)  # each frame a shade of its own
    # The frame made the mirror go up; closing the camera brought it down.
    assert [(r["value"], r["by"]) for r in bench.camera.records("viewfinder")] == [
        (1, "preview"), (0, "exit")]


# A busy live view as each of ptp2's roads ends it: Nikon's with an empty
# frame, the others' with GP_ERROR_CAMERA_BUSY.
@pytest.mark.parametrize("vendor, busy", [("nikon", 0), ("canon", GP_ERROR_CAMERA_BUSY),
                                          ("sony", GP_ERROR_CAMERA_BUSY)])
def test_live_view_keeps_the_mirror_up_until_told(bench, monkeypatch, vendor, busy):
    device = bench.plug("trigger")
    camera = bench.camera
    camera.set_vendor(vendor)
    camera.set_preview(busy_ms=0)
    library = Gphoto2Library(bench, monkeypatch)
    try:
        result, data, mime = library.preview()
        assert (result, frame_number(data), mime) == (0, 1, b"image/jpeg")
        assert camera.viewfinder() == (vendor != "sony")  # Sony has no mirror to raise
        assert library.set_single("viewfinder", 0) == 0 and not camera.viewfinder()
        camera.set_busy("preview", 1)
        assert library.preview()[:2] == (busy, b"")
        assert frame_number(library.preview()[1]) == 2
        library.set_single("viewfinder", 1)
        camera.set_preview(False)
        assert library.preview()[0] == GP_ERROR_NOT_SUPPORTED
        camera.set_preview(True)
        bench.unplug(device)
        assert library.preview()[0] == GP_ERROR_IO
    finally:
        library.close()
    assert camera.viewfinder()  # nobody could tell the unplugged camera to end live view
