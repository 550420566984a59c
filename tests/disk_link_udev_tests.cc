// The disk link probe against udev device trees built by umockdev. Must run
// under umockdev-wrapper, whose preload library shows the testbed as /sys and
// /dev to libudev in this process.
//
// Testbed files live in $CAMRELAY_TEST_DATA/disk_link. umockdev insists on a
// subsystem for every device; a device that has none in the kernel (libata
// ports, SAS ports) is written with "SUBSYSTEM=none", and load() takes that
// subsystem away again.

#include <gtest/gtest.h>
#include <umockdev.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "disk_link.h"

namespace {

namespace fs = std::filesystem;

const std::string kUsbDisk = "/devices/pci0000:00/0000:00:14.0/usb2/2-1";
const std::string kUsbInterface = kUsbDisk + "/2-1:1.0";

class Testbed {
 public:
  Testbed() : testbed_(umockdev_testbed_new()) {}
  ~Testbed() { g_object_unref(testbed_); }
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  void load(const std::string& name) {
    const char* data = std::getenv("CAMRELAY_TEST_DATA");
    ASSERT_NE(data, nullptr) << "CAMRELAY_TEST_DATA is not set";
    GError* error = nullptr;
    const std::string file = std::string(data) + "/disk_link/" + name;
    if (!umockdev_testbed_add_from_file(testbed_, file.c_str(), &error)) {
      std::string message = error != nullptr ? error->message : "unknown error";
      g_clear_error(&error);
      FAIL() << "cannot load " << file << ": " << message;
    }
    dropPlaceholderSubsystems();
  }

  // Replaces a sysfs attribute of the device at `devpath` ("/devices/...").
  void setAttribute(const std::string& devpath, const char* name, const char* value) {
    umockdev_testbed_set_attribute(testbed_, ("/sys" + devpath).c_str(), name, value);
  }

  void setDriver(const std::string& devpath, const std::string& driver) {
    const fs::path link = sysPath(devpath) / "driver";
    fs::remove(link);
    fs::create_symlink("../../../../../bus/usb/drivers/" + driver, link);
  }

  // Writes a file below the device folder, making folders as needed
  // (umockdev's attributes cannot live in subfolders such as dm/).
  void writeFile(const std::string& devpath, const std::string& relative,
                 const std::string& contents) {
    const fs::path file = sysPath(devpath) / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << contents;
  }

 private:
  // The testbed's /sys folder (umockdev hands over a copy to free).
  fs::path sysDir() const {
    gchar* folder = umockdev_testbed_get_sys_dir(testbed_);
    fs::path path = folder;
    g_free(folder);
    return path;
  }

  fs::path sysPath(const std::string& devpath) const { return sysDir() / devpath.substr(1); }

  void dropPlaceholderSubsystems() {
    const fs::path devices = sysDir() / "devices";
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(devices)) {
      if (entry.path().filename() != "subsystem" || !entry.is_symlink()) continue;
      if (fs::read_symlink(entry.path()).filename() != "none") continue;
      fs::remove(entry.path());
      const fs::path uevent = entry.path().parent_path() / "uevent";
      std::ifstream in(uevent);
      std::ostringstream kept;
      for (std::string line; std::getline(in, line);)
        if (line != "SUBSYSTEM=none") kept << line << '\n';
      in.close();
      std::ofstream(uevent) << kept.str();
    }
  }

  UMockdevTestbed* testbed_;
};

std::string probe(const std::string& devicePath) {
  return diskLinkLine(diskLinkForDevicePath(devicePath));
}

class DiskLinkUdev : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* preload = std::getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && std::string(preload).find("umockdev") != std::string::npos)
        << "run these tests under umockdev-wrapper";
  }
  Testbed testbed;
};

TEST_F(DiskLinkUdev, PartitionOnUsbDiskReportsUsbAndLinkSpeed) {
  testbed.load("usb3_disk.umockdev");
  EXPECT_EQ(probe("/dev/sdb1"), R"({"protocol":"USB","mbps":5000})");
  EXPECT_EQ(probe("/dev/sdb"), R"({"protocol":"USB","mbps":5000})");
  EXPECT_EQ(probe("/dev/block/8:17"), R"({"protocol":"USB","mbps":5000})");
  testbed.setDriver(kUsbInterface, "usb-storage");
  EXPECT_EQ(probe("/dev/sdb1"), R"({"protocol":"USB","mbps":5000})");
}

TEST_F(DiskLinkUdev, EveryUsbLinkSpeedIsReportedInMbps) {
  testbed.load("usb3_disk.umockdev");
  const std::pair<const char*, const char*> speeds[] = {
      {"1.5", R"({"protocol":"USB","mbps":1.5})"},
      {"12", R"({"protocol":"USB","mbps":12})"},
      {"480", R"({"protocol":"USB","mbps":480})"},
      {"10000", R"({"protocol":"USB","mbps":10000})"},
      {"20000", R"({"protocol":"USB","mbps":20000})"},
  };
  for (const auto& [speed, line] : speeds) {
    testbed.setAttribute(kUsbDisk, "speed", speed);
    EXPECT_EQ(probe("/dev/sdb1"), line) << "speed " << speed;
  }
}

TEST_F(DiskLinkUdev, UnusableSpeedPassesOnToTheHubAbove) {
  testbed.load("usb3_disk.umockdev");
  testbed.setAttribute("/devices/pci0000:00/0000:00:14.0/usb2", "speed", "480");
  for (const char* speed : {"0", "unknown", ""}) {
    testbed.setAttribute(kUsbDisk, "speed", speed);
    EXPECT_EQ(probe("/dev/sdb1"), R"({"protocol":"USB","mbps":480})") << "speed '" << speed << "'";
  }
}

TEST_F(DiskLinkUdev, InternalDisksReportTheirOwnTransport) {
  testbed.load("sata_disk.umockdev");
  testbed.load("nvme_disk.umockdev");
  testbed.load("virtio_disk.umockdev");
  testbed.load("sas_disk.umockdev");
  testbed.load("firewire_disk.umockdev");
  EXPECT_EQ(probe("/dev/sda2"), R"({"protocol":"SATA"})");
  EXPECT_EQ(probe("/dev/sda"), R"({"protocol":"SATA"})");
  EXPECT_EQ(probe("/dev/nvme0n1p3"), R"({"protocol":"PCI-Express"})");
  EXPECT_EQ(probe("/dev/vda"), R"({"protocol":"Virtual Interface"})");
  EXPECT_EQ(probe("/dev/sdc"), R"({"protocol":"SAS"})");
  EXPECT_EQ(probe("/dev/sdd"), R"({"protocol":"FireWire"})");
}

TEST_F(DiskLinkUdev, NvmeUnderNativeMultipathReportsItsFirstPathsController) {
  // The namespace is a head in /devices/virtual/nvme-subsystem; its paths
  // nvme0c0n1 and nvme0c1n1 sit below controllers nvme0 and nvme1.
  testbed.load("nvme_multipath.umockdev");
  EXPECT_EQ(probe("/dev/nvme0n1p2"), R"({"protocol":"PCI-Express"})");
  EXPECT_EQ(probe("/dev/nvme0n1"), R"({"protocol":"PCI-Express"})");
  testbed.setAttribute("/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "transport",
                       "tcp");
  EXPECT_EQ(probe("/dev/nvme0n1p2"), "{}");
}

TEST_F(DiskLinkUdev, RemoteNvmeIsNotCalledPciExpress) {
  testbed.load("nvme_disk.umockdev");
  testbed.setAttribute("/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "transport",
                       "tcp");
  EXPECT_EQ(probe("/dev/nvme0n1p3"), "{}");
}

TEST_F(DiskLinkUdev, UsbLinkReplacesTheInterconnectNamedBelowIt) {
  // An SD card in a USB card reader: the MMC host names "Secure Digital",
  // but the USB device above it carries the link.
  testbed.load("sd_reader_on_usb.umockdev");
  EXPECT_EQ(probe("/dev/mmcblk0p1"), R"({"protocol":"USB","mbps":480})");
  testbed.setAttribute("/devices/pci0000:00/0000:00:14.0/usb1/1-4", "speed", "0");
  testbed.setAttribute("/devices/pci0000:00/0000:00:14.0/usb1", "speed", "0");
  EXPECT_EQ(probe("/dev/mmcblk0p1"), R"({"protocol":"Secure Digital"})");
}

TEST_F(DiskLinkUdev, DeviceWithoutPropertiesOrUnknownNameGivesNothing) {
  testbed.load("loop_device.umockdev");
  EXPECT_EQ(probe("/dev/loop0"), "{}");
  EXPECT_EQ(probe("/dev/sdz9"), "{}");
  EXPECT_EQ(probe("/dev/"), "{}");
  EXPECT_EQ(probe("/dev/.."), "{}");
  EXPECT_EQ(probe("/dev/block/8:99"), "{}");
  EXPECT_EQ(probe("/dev/block/8:"), "{}");
  EXPECT_EQ(probe("tmpfs"), "{}");
}

TEST_F(DiskLinkUdev, StackedVolumesReportTheDiskBelow) {
  // LVM inside LUKS on a USB partition: dm-1 over dm-0 over sdb1.
  testbed.load("usb3_disk.umockdev");
  testbed.load("stacked_volumes.umockdev");
  testbed.writeFile("/devices/virtual/block/dm-0", "dm/name", "luks-usb\n");
  testbed.writeFile("/devices/virtual/block/dm-0", "slaves/sdb1", "");
  testbed.writeFile("/devices/virtual/block/dm-1", "dm/name", "vault-home\n");
  testbed.writeFile("/devices/virtual/block/dm-1", "slaves/dm-0", "");
  const std::string usb = R"({"protocol":"USB","mbps":5000})";
  EXPECT_EQ(probe("/dev/dm-0"), usb);
  EXPECT_EQ(probe("/dev/dm-1"), usb);
  EXPECT_EQ(probe("/dev/mapper/luks-usb"), usb);
  EXPECT_EQ(probe("/dev/mapper/vault-home"), usb);
  EXPECT_EQ(probe("/dev/mapper/missing"), "{}");
}

}  // namespace
