// A small view of the machine's device registry: the tree of devices that the
// kernel knows, searched by disk name and climbed from a device towards the
// root. Each entry offers a few properties under the names that the disk link
// probe reads; on Linux the tree is the one that udev exposes under /sys. The
// registry also names a USB device's serial number, which tells one camera
// body from another of the same model.
#pragma once

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Property names of a registry entry. "Protocol Characteristics" holds an
// object whose "Physical Interconnect" names the storage transport that the
// entry stands for ("USB", "SATA", ...); "UsbLinkSpeed" is the negotiated
// link speed of a USB device in bits per second.
inline constexpr char kProtocolCharacteristicsKey[] = "Protocol Characteristics";
inline constexpr char kPhysicalInterconnectKey[] = "Physical Interconnect";
inline constexpr char kUsbLinkSpeedKey[] = "UsbLinkSpeed";

// One reference to a registry entry. Destroying it drops the reference, so
// every entry obtained is released exactly once.
class RegistryEntry {
 public:
  RegistryEntry() = default;
  RegistryEntry(const RegistryEntry&) = delete;
  RegistryEntry& operator=(const RegistryEntry&) = delete;
  virtual ~RegistryEntry() = default;

  // The entry's properties as a JSON object, or nullopt when they cannot be
  // read.
  virtual std::optional<nlohmann::json> properties() const = 0;

  // A new reference to the entry's first parent, or null at the root.
  virtual std::unique_ptr<RegistryEntry> parent() const = 0;
};

using RegistryEntryRef = std::unique_ptr<RegistryEntry>;

class DeviceRegistry {
 public:
  virtual ~DeviceRegistry() = default;

  // The disk name of a device path that begins with "/dev/": its last
  // component. A platform may first resolve names that only point at a disk
  // (on Linux "/dev/mapper/x" names the "dm-N" device it stands for).
  virtual std::string bsdNameOfDevicePath(std::string_view devicePath) const {
    std::size_t slash = devicePath.rfind('/');
    return std::string(slash == std::string_view::npos ? devicePath : devicePath.substr(slash + 1));
  }

  // The entry of the disk or partition called `bsdName`, or null when there
  // is none.
  virtual RegistryEntryRef entryForBsdName(std::string_view bsdName) const = 0;

  // The serial number string of the USB device at `bus` and `address`, as
  // the device's descriptor gives it and the system has read it already (no
  // request goes to the device), or nullopt when the device has none, is
  // not attached, or cannot be read.
  virtual std::optional<std::string> usbSerialNumber(unsigned long bus,
                                                     unsigned long address) const = 0;
};

// The registry of the running machine, or null when it cannot be opened.
std::unique_ptr<DeviceRegistry> openSystemDeviceRegistry();
