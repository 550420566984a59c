#include "disk_link.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "device_registry.h"
#include "json_text.h"
#include "mount_source.h"

namespace {

constexpr std::string_view kDevicePrefix = "/dev/";

}  // namespace

DiskLink diskLinkForDevicePath(std::string_view devicePath, const DeviceRegistry& registry) {
  DiskLink link;
  if (!validUtf8(devicePath) || !devicePath.starts_with(kDevicePrefix)) return link;
  RegistryEntryRef entry = registry.entryForBsdName(registry.bsdNameOfDevicePath(devicePath));
  // Climb towards the root. Each step takes the parent before the child's
  // reference goes, and leaving the loop drops the last one.
  while (entry != nullptr) {
    if (std::optional<nlohmann::json> properties = entry->properties();
        properties && properties->is_object()) {
      auto characteristics = properties->find(kProtocolCharacteristicsKey);
      if (characteristics != properties->end() && characteristics->is_object()) {
        auto interconnect = characteristics->find(kPhysicalInterconnectKey);
        if (interconnect != characteristics->end() && interconnect->is_string())
          link.protocol = interconnect->get<std::string>();
      }
      auto speed = properties->find(kUsbLinkSpeedKey);
      if (speed != properties->end() && speed->is_number()) {
        const double bitsPerSecond = speed->get<double>();
        if (bitsPerSecond > 0) {  // false for NaN too
          link.mbps = bitsPerSecond / 1000000;
          link.protocol = "USB";
          return link;
        }
      }
    }
    entry = entry->parent();
  }
  return link;
}

DiskLink diskLinkForDevicePath(std::string_view devicePath) {
  // The registry is only opened for a device path.
  if (!devicePath.starts_with(kDevicePrefix)) return {};
  std::unique_ptr<DeviceRegistry> registry = openSystemDeviceRegistry();
  if (registry == nullptr) return {};
  return diskLinkForDevicePath(devicePath, *registry);
}

std::string diskLinkLine(const DiskLink& link) {
  nlohmann::ordered_json line = nlohmann::ordered_json::object();
  if (link.protocol) line["protocol"] = *link.protocol;
  if (link.mbps) {
    line["mbps"] = jsonNumber<nlohmann::ordered_json>(*link.mbps);
  }
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int diskLinkProbe(const char* directory) {
  std::string line = "{}";
  try {
    if (directory != nullptr && validUtf8(directory)) {
      if (std::optional<std::string> source = mountSourceOf(directory))
        line = diskLinkLine(diskLinkForDevicePath(*source));
    }
  } catch (...) {
    // Out of memory: reported like any other failure, as {}.
    line = "{}";
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  return 0;
}
