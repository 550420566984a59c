#include "disk_link.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "device_registry.h"
#include "mount_source.h"

namespace {

constexpr std::string_view kDevicePrefix = "/dev/";

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF).
bool isUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t codePoint;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if ((length == 3 && (codePoint < 0x800 || (codePoint >= 0xD800 && codePoint <= 0xDFFF))) ||
        (length == 4 && (codePoint < 0x10000 || codePoint > 0x10FFFF)))
      return false;
    i += length;
  }
  return true;
}

}  // namespace

DiskLink diskLinkForDevicePath(std::string_view devicePath, const DeviceRegistry& registry) {
  DiskLink link;
  if (!isUtf8(devicePath) || !devicePath.starts_with(kDevicePrefix)) return link;
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
    // Whole speeds are written without a fraction ("5000", not "5000.0");
    // a JSON reader takes both as the same number.
    const double mbps = *link.mbps;
    if (std::isfinite(mbps) && std::trunc(mbps) == mbps && std::fabs(mbps) < 9.0e15)
      line["mbps"] = static_cast<std::int64_t>(mbps);
    else
      line["mbps"] = mbps;
  }
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int diskLinkProbe(const char* directory) {
  std::string line = "{}";
  try {
    if (directory != nullptr && isUtf8(directory)) {
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
