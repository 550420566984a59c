// The device registry on Linux: udev's view of /sys. Entries are udev devices,
// an entry's parent is udev's parent device (the nearest folder above it in
// /sys/devices that is a device), and the properties are derived from the
// device's subsystem, type, driver and attributes through one table.

#include <dirent.h>
#include <libudev.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "device_registry.h"

namespace {

// How a device that stands for a storage transport is recognised, and the
// "Physical Interconnect" name it gets. Empty fields match anything; a device
// without a subsystem (libata ports, SAS and Fibre Channel ports) has "" as
// its subsystem. Only the device that is the disk's own transport is named,
// never a bus that many kinds of device share (PCI bridges, USB hubs, SCSI
// hosts), so that the entry nearest the root that names one is the disk's
// link and not the machine's.
struct InterconnectRule {
  std::string_view subsystem;
  std::string_view devtype;
  std::string_view driver;
  std::string_view sysnamePrefix;
  std::string_view attribute;  // when not empty, must hold `value`
  std::string_view value;
  const char* interconnect;
};

constexpr InterconnectRule kInterconnectRules[] = {
    // USB mass storage: the interface bound to the Bulk-Only or the UAS driver.
    {"usb", "usb_interface", "usb-storage", "", "", "", "USB"},
    {"usb", "usb_interface", "uas", "", "", "", "USB"},
    // A libata port: the disk hangs off a SATA (or libata PATA) link.
    {"", "ata_port", "", "", "", "", "SATA"},
    // An NVMe controller, local over PCI Express or remote over Fibre Channel.
    {"nvme", "", "", "", "transport", "pcie", "PCI-Express"},
    {"nvme", "", "", "", "transport", "fc", "Fibre Channel"},
    // SAS and Fibre Channel transport classes name their port devices.
    {"", "", "", "end_device-", "", "", "SAS"},
    {"", "", "", "rport-", "", "", "Fibre Channel"},
    // An SBP-2 unit on a FireWire node.
    {"firewire", "", "firewire_sbp2", "", "", "", "FireWire"},
    // An MMC/SD host controller.
    {"mmc_host", "", "", "", "", "", "Secure Digital"},
    // Paravirtual disks of virtual machines.
    {"virtio", "", "virtio_blk", "", "", "", "Virtual Interface"},
    {"virtio", "", "virtio_scsi", "", "", "", "Virtual Interface"},
    {"xen", "", "vbd", "", "", "", "Virtual Interface"},
    {"vmbus", "", "hv_storvsc", "", "", "", "Virtual Interface"},
};

// Stacked block devices (device mapper, md) name the devices below them in
// slaves/; this bounds the descent should a broken tree loop.
constexpr int kMaxStackDepth = 16;

std::string_view orEmpty(const char* text) {
  return text == nullptr ? std::string_view() : text;
}

const char* interconnectOf(udev_device* device) {
  const std::string_view subsystem = orEmpty(udev_device_get_subsystem(device));
  const std::string_view devtype = orEmpty(udev_device_get_devtype(device));
  const std::string_view driver = orEmpty(udev_device_get_driver(device));
  const std::string_view sysname = orEmpty(udev_device_get_sysname(device));
  for (const InterconnectRule& rule : kInterconnectRules) {
    if (!rule.subsystem.empty() && rule.subsystem != subsystem) continue;
    if (!rule.devtype.empty() && rule.devtype != devtype) continue;
    if (!rule.driver.empty() && rule.driver != driver) continue;
    if (!sysname.starts_with(rule.sysnamePrefix)) continue;
    if (!rule.attribute.empty() && orEmpty(udev_device_get_sysattr_value(
                                       device, std::string(rule.attribute).c_str())) != rule.value)
      continue;
    return rule.interconnect;
  }
  return nullptr;
}

// The text of a sysfs attribute without the line end the kernel adds ("" when
// the device has no such attribute).
std::string_view attributeText(udev_device* device, const char* name) {
  std::string_view text = orEmpty(udev_device_get_sysattr_value(device, name));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  return text;
}

// The link speed of a USB device in bits per second, from its "speed"
// attribute in Mbit/s ("1.5", "12", "480", "5000", ...).
std::optional<double> usbLinkSpeedOf(udev_device* device) {
  if (orEmpty(udev_device_get_subsystem(device)) != "usb" ||
      orEmpty(udev_device_get_devtype(device)) != "usb_device")
    return std::nullopt;
  std::string_view text = attributeText(device, "speed");
  double mbps = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mbps);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(mbps))
    return std::nullopt;
  return mbps * 1e6;
}

using UdevContext = std::shared_ptr<udev>;

class UdevEntry final : public RegistryEntry {
 public:
  // Takes over one reference to `device`.
  UdevEntry(UdevContext context, udev_device* device)
      : context_(std::move(context)), device_(device) {}
  ~UdevEntry() override { udev_device_unref(device_); }

  std::optional<nlohmann::json> properties() const override {
    nlohmann::json properties = nlohmann::json::object();
    if (const char* interconnect = interconnectOf(device_))
      properties[kProtocolCharacteristicsKey] = {{kPhysicalInterconnectKey, interconnect}};
    if (std::optional<double> speed = usbLinkSpeedOf(device_))
      properties[kUsbLinkSpeedKey] = *speed;
    return properties;
  }

  RegistryEntryRef parent() const override {
    // The parent belongs to the child; the new reference keeps it alive
    // after the child is released.
    udev_device* parent = udev_device_get_parent(device_);
    if (parent == nullptr) return nullptr;
    return std::make_unique<UdevEntry>(context_, udev_device_ref(parent));
  }

 private:
  UdevContext context_;
  udev_device* device_;
};

// The names in <syspath>/<folder> (the "slaves" of a stacked volume, the
// "multipath" paths of an NVMe head), sorted so that "first" does not depend
// on the order in which the kernel lists them.
std::vector<std::string> namesIn(udev_device* device, const char* folder) {
  std::vector<std::string> names;
  const char* syspath = udev_device_get_syspath(device);
  if (syspath == nullptr) return names;
  DIR* listing = opendir((std::string(syspath) + "/" + folder).c_str());
  if (listing == nullptr) return names;
  while (dirent* item = readdir(listing)) {
    std::string_view name = item->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

bool isPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

class UdevRegistry final : public DeviceRegistry {
 public:
  explicit UdevRegistry(UdevContext context) : context_(std::move(context)) {}

  std::string bsdNameOfDevicePath(std::string_view devicePath) const override {
    // mount(8) names device-mapper volumes "/dev/mapper/<name>"; the block
    // device behind one is the dm-N whose dm/name is <name>.
    constexpr std::string_view kMapper = "/dev/mapper/";
    if (devicePath.starts_with(kMapper)) {
      if (std::optional<std::string> sysname = deviceMapperNamed(devicePath.substr(kMapper.size())))
        return *sysname;
    }
    // "/dev/block/MAJOR:MINOR" is the kernel's name by device number.
    constexpr std::string_view kByNumber = "/dev/block/";
    if (devicePath.starts_with(kByNumber)) {
      if (std::optional<std::string> sysname =
              blockDeviceNumbered(devicePath.substr(kByNumber.size())))
        return *sysname;
    }
    // Other links under /dev (/dev/disk/by-uuid/..., /dev/<vg>/<lv>) lead to
    // the kernel's own name.
    if (char* resolved = realpath(std::string(devicePath).c_str(), nullptr)) {
      std::string target = resolved;
      std::free(resolved);
      if (target.starts_with("/dev/")) return DeviceRegistry::bsdNameOfDevicePath(target);
    }
    return DeviceRegistry::bsdNameOfDevicePath(devicePath);
  }

  RegistryEntryRef entryForBsdName(std::string_view bsdName) const override {
    if (!isPlainName(bsdName)) return nullptr;
    udev_device* device = blockDevice(bsdName);
    if (device == nullptr) return nullptr;
    // A device-mapper or md volume (LUKS, LVM, RAID) is virtual; the disk
    // holding it is the one below, so that an encrypted volume on a USB disk
    // reports that disk.
    for (int depth = 0; depth < kMaxStackDepth; ++depth) {
      udev_device* below = firstBlockDeviceIn(device, "slaves");
      if (below == nullptr) break;
      udev_device_unref(device);
      device = below;
    }
    // Under native NVMe multipath a namespace is a head in
    // /devices/virtual/nvme-subsystem, below no controller; the disk (the
    // head of a partition) lists its paths in multipath/, and each path sits
    // below the controller that it goes through. The first path stands for
    // the disk.
    udev_device* head = orEmpty(udev_device_get_devtype(device)) == "partition"
                            ? udev_device_get_parent(device)
                            : device;
    if (head != nullptr) {
      if (udev_device* path = firstBlockDeviceIn(head, "multipath")) {
        udev_device_unref(device);
        device = path;
      }
    }
    return std::make_unique<UdevEntry>(context_, device);
  }

  std::optional<std::string> usbSerialNumber(unsigned long bus,
                                             unsigned long address) const override {
    udev_enumerate* enumerate = udev_enumerate_new(context_.get());
    if (enumerate == nullptr) return std::nullopt;
    std::optional<std::string> serial;
    // The kernel read the descriptor's string when the device was plugged
    // in; its "serial" attribute is absent when the device names none.
    std::string busText = std::to_string(bus);
    std::string addressText = std::to_string(address);
    if (udev_enumerate_add_match_subsystem(enumerate, "usb") >= 0 &&
        udev_enumerate_add_match_property(enumerate, "DEVTYPE", "usb_device") >= 0 &&
        udev_enumerate_add_match_sysattr(enumerate, "busnum", busText.c_str()) >= 0 &&
        udev_enumerate_add_match_sysattr(enumerate, "devnum", addressText.c_str()) >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
      udev_list_entry* first = udev_enumerate_get_list_entry(enumerate);
      udev_device* device = first == nullptr ? nullptr
                                             : udev_device_new_from_syspath(
                                                   context_.get(), udev_list_entry_get_name(first));
      if (device != nullptr) {
        if (std::string_view text = attributeText(device, "serial"); !text.empty())
          serial = std::string(text);
        udev_device_unref(device);
      }
    }
    udev_enumerate_unref(enumerate);
    return serial;
  }

 private:
  udev_device* blockDevice(std::string_view sysname) const {
    return udev_device_new_from_subsystem_sysname(context_.get(), "block",
                                                  std::string(sysname).c_str());
  }

  // A new reference to the block device named first in <syspath>/<folder>
  // of `device`, or null when there is none.
  udev_device* firstBlockDeviceIn(udev_device* device, const char* folder) const {
    std::vector<std::string> names = namesIn(device, folder);
    if (names.empty() || !isPlainName(names.front())) return nullptr;
    return blockDevice(names.front());
  }

  std::optional<std::string> blockDeviceNumbered(std::string_view number) const {
    unsigned int majorNumber = 0;
    unsigned int minorNumber = 0;
    const char* const last = number.data() + number.size();
    auto [colon, error] = std::from_chars(number.data(), last, majorNumber);
    if (error != std::errc() || colon == last || *colon != ':') return std::nullopt;
    auto [end, minorError] = std::from_chars(colon + 1, last, minorNumber);
    if (minorError != std::errc() || end != last) return std::nullopt;
    udev_device* device =
        udev_device_new_from_devnum(context_.get(), 'b', makedev(majorNumber, minorNumber));
    if (device == nullptr) return std::nullopt;
    std::optional<std::string> sysname;
    if (const char* name = udev_device_get_sysname(device)) sysname = name;
    udev_device_unref(device);
    return sysname;
  }

  std::optional<std::string> deviceMapperNamed(std::string_view name) const {
    if (!isPlainName(name)) return std::nullopt;
    udev_enumerate* enumerate = udev_enumerate_new(context_.get());
    if (enumerate == nullptr) return std::nullopt;
    std::optional<std::string> sysname;
    if (udev_enumerate_add_match_subsystem(enumerate, "block") >= 0 &&
        udev_enumerate_add_match_sysattr(enumerate, "dm/name", std::string(name).c_str()) >= 0 &&
        udev_enumerate_scan_devices(enumerate) >= 0) {
      if (udev_list_entry* first = udev_enumerate_get_list_entry(enumerate)) {
        // The list holds syspaths; the kernel name is the last component.
        sysname = DeviceRegistry::bsdNameOfDevicePath(orEmpty(udev_list_entry_get_name(first)));
      }
    }
    udev_enumerate_unref(enumerate);
    return sysname;
  }

  UdevContext context_;
};

}  // namespace

std::unique_ptr<DeviceRegistry> openSystemDeviceRegistry() {
  udev* context = udev_new();
  if (context == nullptr) return nullptr;
  return std::make_unique<UdevRegistry>(UdevContext(context, udev_unref));
}
