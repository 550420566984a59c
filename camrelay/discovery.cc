#include "discovery.h"

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <string_view>
#include <vector>

#include "device_registry.h"
#include "diagnostic_log.h"
#include "hotplug.h"
#include "json_text.h"
#include "session.h"

namespace {

// Indexed by libusb speed code minus one.
constexpr double kSpeedTable[6] = {1.5, 12, 480, 5000, 10000, 20000};

// Largest value a number keeps while it is read; anything above it is no bus
// or address anyway.
constexpr unsigned long kSaturated = ULONG_MAX;

// Reads one unsigned decimal number at `pos` the way scanf's %u does (leading
// white space and a sign allowed), but saturating instead of wrapping.
bool readNumber(const std::string& text, std::size_t& pos, unsigned long& value) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos]))) return false;
  value = 0;
  for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos) {
    unsigned digit = static_cast<unsigned>(text[pos] - '0');
    value = value > (kSaturated - digit) / 10 ? kSaturated : value * 10 + digit;
  }
  // A negative number cannot name a bus; make sure it matches none.
  if (negative && value != 0) value = kSaturated;
  return true;
}

}  // namespace

double usbSpeedMbps(int code) {
  if (code < 1 || code > 6) return 0.0;
  return kSpeedTable[code - 1];
}

std::optional<UsbLocation> parsePortPath(const std::string& portPath) {
  if (portPath.compare(0, 4, "usb:") != 0) return std::nullopt;
  UsbLocation location;
  std::size_t pos = 4;
  if (!readNumber(portPath, pos, location.bus)) return std::nullopt;
  if (pos >= portPath.size() || portPath[pos] != ',') return std::nullopt;
  ++pos;
  if (!readNumber(portPath, pos, location.address)) return std::nullopt;
  return location;
}

std::optional<std::string> usbSerialOf(const std::string& portPath) {
  std::optional<UsbLocation> location = parsePortPath(portPath);
  if (!location) return std::nullopt;
  std::unique_ptr<DeviceRegistry> registry = openSystemDeviceRegistry();
  if (registry == nullptr) return std::nullopt;
  return registry->usbSerialNumber(location->bus, location->address);
}

double linkSpeedOf(const std::string& portPath) {
  std::optional<UsbLocation> location = parsePortPath(portPath);
  if (!location) return 0;

  // A private context: no libusb state outlives this lookup.
  libusb_context* context = nullptr;
  if (int result = libusb_init(&context); result != 0) {
    logEvent("link speed of ", portPath, ": libusb_init returned ", result);
    return 0;
  }

  double speed = 0.0;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* device = list[i];
    if (libusb_get_bus_number(device) != location->bus) continue;
    if (libusb_get_device_address(device) != location->address) continue;
    // The first match decides, whatever its speed code.
    speed = usbSpeedMbps(libusb_get_device_speed(device));
    break;
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  libusb_exit(context);
  return speed;
}

namespace {

// The USB devices seen just before the last discovery that succeeded; none
// while there was no such discovery or the set could not be read. Taken
// before asking libgphoto2, so that a device plugged in meanwhile still
// reads as a change at the next look.
std::optional<UsbDeviceSet> discoveredSet;

// Publishes `found` as `devices`, with a status line when it changed.
void publish(std::vector<CameraEntry> found) {
  if (found == state.devices) return;
  state.devices = std::move(found);
  emit();
}

// The cameras of a discovery, for the diagnostic log.
std::string describe(const std::vector<CameraEntry>& cameras) {
  std::string text = std::to_string(cameras.size()) + " camera(s)";
  for (const CameraEntry& camera : cameras) {
    text += "; " + camera.id + " \"" + camera.name + "\" " +
            jsonNumber<nlohmann::json>(camera.linkMbps).dump() + " Mbit/s";
  }
  return text;
}

// How many of `present` some camera driver in `abilities` claims by USB
// vendor and product id. Reads the loaded list only: no camera is asked.
std::size_t devicesClaimedByDrivers(CameraAbilitiesList* abilities, const UsbDeviceSet& present) {
  // One pass over the list, however many devices: each entry is copied out.
  std::vector<bool> claimed(present.size(), false);
  int count = gp_abilities_list_count(abilities);
  for (int i = 0; i < count; ++i) {
    CameraAbilities entry;
    if (gp_abilities_list_get_abilities(abilities, i, &entry) < 0) continue;
    // Entries without a vendor id (serial cameras, matches by interface
    // class) claim no device by its ids, as in libgphoto2's own detection.
    if ((entry.port & GP_PORT_USB) == 0 || entry.usb_vendor == 0) continue;
    for (std::size_t d = 0; d < present.size(); ++d) {
      if (present[d].vendor == static_cast<unsigned long>(entry.usb_vendor) &&
          present[d].product == static_cast<unsigned long>(entry.usb_product)) {
        claimed[d] = true;
      }
    }
  }
  return static_cast<std::size_t>(std::count(claimed.begin(), claimed.end(), true));
}

// One discovery, given the USB devices attached just before it; `reason`
// says why it is made.
ScanOutcome discoverAmong(std::optional<UsbDeviceSet> present, std::string_view reason) {
  discoveredSet.reset();
  if (logging()) {
    logEvent("discovery (", reason, ") among ",
             present ? std::to_string(present->size()) : std::string("unknown"), " USB devices");
  }
  // No USB device means no USB camera. Asking libgphoto2 anyway would cost
  // a driver reload, and its usb1 port driver leaks memory on every call
  // that finds no device at all.
  if (present && present->empty()) {
    logEvent("discovery: no USB device, so no camera");
    publish({});
    discoveredSet = std::move(present);
    return ScanOutcome::kDone;
  }

  CameraList* list = nullptr;
  if (!check(gp_list_new(&list), "gp_list_new")) return ScanOutcome::kDone;
  int result = gp_camera_autodetect(list, state.context);
  if (result < 0) {
    gp_list_free(list);
    check(result, "gp_camera_autodetect");
    return ScanOutcome::kDone;
  }

  std::vector<CameraEntry> found;
  for (int i = 0; i < gp_list_count(list); ++i) {
    const char* name = nullptr;
    const char* value = nullptr;
    gp_list_get_name(list, i, &name);
    gp_list_get_value(list, i, &value);
    std::string portPath = utf8OrEmpty(value);
    if (portPath.compare(0, 4, "usb:") != 0) continue;
    found.push_back(CameraEntry{portPath, utf8OrEmpty(name), linkSpeedOf(portPath)});
  }
  gp_list_free(list);
  if (logging()) logEvent("discovery: ", describe(found));
  // With no more devices than cameras listed none can be missing: the
  // lookup is spared.
  std::size_t claimed = present && present->size() > found.size()
                            ? devicesClaimedByDrivers(state.abilities, *present)
                            : 0;
  publish(std::move(found));
  discoveredSet = std::move(present);
  if (claimed <= state.devices.size()) return ScanOutcome::kDone;
  logEvent("discovery listed fewer cameras than the ", claimed,
           " USB device(s) that a camera driver claims");
  return ScanOutcome::kMissedCamera;
}

}  // namespace

ScanOutcome discover(const char* reason) {
  return discoverAmong(readUsbDeviceSet(), reason);
}

ScanOutcome rediscoverIfChanged(const char* trigger) {
  std::optional<UsbDeviceSet> present = readUsbDeviceSet();
  const char* change = !present                     ? "USB devices unreadable"
                       : !discoveredSet             ? "no successful scan yet"
                       : *present != *discoveredSet ? "USB devices changed"
                                                    : nullptr;
  if (change == nullptr) return ScanOutcome::kSkipped;
  return discoverAmong(std::move(present),
                       logging() ? std::string(trigger) + ", " + change : std::string());
}
