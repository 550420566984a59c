// USB hot-plug on Linux: udev's monitor for word of changes, and udev's view
// of /sys for the set of attached devices.

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "hotplug.h"

namespace {

// The listener and the udev context it holds, while one is open.
udev_monitor* monitor = nullptr;

// Notices taken per drain; a flood is finished in the next iterations
// instead of holding up the loop.
constexpr int kNoticesPerDrain = 256;

// The whole of `text` as one number in `base`; nullopt for anything else.
std::optional<unsigned long> wholeNumber(std::string_view text, int base) {
  unsigned long value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::string_view orEmpty(const char* text) {
  return text == nullptr ? std::string_view() : text;
}

// Reads the USB devices among `entries`: nullopt as soon as one of them
// cannot be told apart. A device that went away since the scan is left out.
std::optional<UsbDeviceSet> devicesOf(udev* context, udev_list_entry* entries) {
  UsbDeviceSet found;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, entries) {
    // The kernel names a device's interfaces "<device>:<configuration>.<n>";
    // skipping them by name spares reading each one's properties.
    std::string_view path = orEmpty(udev_list_entry_get_name(entry));
    if (path.empty() || path.substr(path.rfind('/') + 1).find(':') != std::string_view::npos) {
      continue;
    }
    udev_device* device = udev_device_new_from_syspath(context, path.data());
    if (device == nullptr) continue;
    std::optional<UsbDevice> read;
    bool isDevice = orEmpty(udev_device_get_devtype(device)) == "usb_device";
    if (isDevice) {
      read = usbDeviceFromProperties(orEmpty(udev_device_get_property_value(device, "BUSNUM")),
                                     orEmpty(udev_device_get_property_value(device, "DEVNUM")),
                                     orEmpty(udev_device_get_property_value(device, "PRODUCT")));
    }
    udev_device_unref(device);
    if (!isDevice) continue;  // on the bus, but no device of its own
    if (!read) return std::nullopt;
    found.push_back(*read);
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

std::optional<UsbDevice> usbDeviceFromProperties(std::string_view busnum, std::string_view devnum,
                                                 std::string_view product) {
  std::optional<unsigned long> bus = wholeNumber(busnum, 10);
  std::optional<unsigned long> address = wholeNumber(devnum, 10);
  std::size_t first = product.find('/');
  std::size_t second = first == std::string_view::npos ? first : product.find('/', first + 1);
  if (!bus || !address || second == std::string_view::npos) return std::nullopt;
  std::optional<unsigned long> vendor = wholeNumber(product.substr(0, first), 16);
  std::optional<unsigned long> model =
      wholeNumber(product.substr(first + 1, second - first - 1), 16);
  if (!vendor || !model) return std::nullopt;
  return UsbDevice{*bus, *address, *vendor, *model};
}

std::optional<UsbDeviceSet> readUsbDeviceSet() {
  udev* context = udev_new();
  if (context == nullptr) return std::nullopt;
  std::optional<UsbDeviceSet> result;
  udev_enumerate* enumerate = udev_enumerate_new(context);
  if (enumerate != nullptr && udev_enumerate_add_match_subsystem(enumerate, "usb") >= 0 &&
      udev_enumerate_scan_devices(enumerate) >= 0) {
    result = devicesOf(context, udev_enumerate_get_list_entry(enumerate));
  }
  if (enumerate != nullptr) udev_enumerate_unref(enumerate);
  udev_unref(context);
  return result;
}

bool openHotplugMonitor() {
  if (monitor != nullptr) return true;
  udev* context = udev_new();
  if (context == nullptr) return false;
  // "udev" rather than "kernel": word comes once udev has set the device
  // up, so that libgphoto2 can open what it finds.
  monitor = udev_monitor_new_from_netlink(context, "udev");
  udev_unref(context);  // the monitor holds its own reference
  if (monitor == nullptr) return false;
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
      udev_monitor_enable_receiving(monitor) < 0 || udev_monitor_get_fd(monitor) < 0) {
    closeHotplugMonitor();
    return false;
  }
  return true;
}

int hotplugDescriptor() {
  return monitor == nullptr ? -1 : udev_monitor_get_fd(monitor);
}

bool drainHotplugNotices() {
  if (monitor == nullptr) return false;
  for (int taken = 0; taken < kNoticesPerDrain; ++taken) {
    // The monitor's socket does not block: null with EAGAIN once it is empty.
    errno = 0;
    udev_device* device = udev_monitor_receive_device(monitor);
    if (device == nullptr) {
      // Any other failure (notices dropped when the socket overflowed, say)
      // may hide a change as well.
      return taken > 0 || (errno != 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }
    udev_device_unref(device);
  }
  return true;
}

void closeHotplugMonitor() {
  if (monitor != nullptr) udev_monitor_unref(monitor);
  monitor = nullptr;
}
