// Word of USB devices being plugged in or out, and a cheap look at which
// devices are attached. Asking libgphoto2 for the cameras reloads every camera
// driver; these two let discovery ask only when the bus may have changed. On
// Linux both come from udev; a macOS back end would use IOKit's registry and
// its matching notifications.
#pragma once

#include <compare>
#include <optional>
#include <string_view>
#include <vector>

// One attached USB device, as far as telling two sets apart needs.
struct UsbDevice {
  unsigned long bus = 0;
  unsigned long address = 0;
  unsigned long vendor = 0;
  unsigned long product = 0;

  auto operator<=>(const UsbDevice&) const = default;
};

// Attached USB devices in ascending order, so that equal sets compare equal.
using UsbDeviceSet = std::vector<UsbDevice>;

// The attached USB devices. nullopt when they cannot be listed, or when one
// of them cannot be told apart from another: then only a full rescan can say
// what is attached. Cheap: it reads the device registry only, loading no
// driver and opening no device.
std::optional<UsbDeviceSet> readUsbDeviceSet();

// The device that udev describes by its BUSNUM and DEVNUM properties
// (decimal, zero-padded) and PRODUCT ("vendor/product/release" in hex).
// nullopt when one is missing or malformed.
std::optional<UsbDevice> usbDeviceFromProperties(std::string_view busnum, std::string_view devnum,
                                                 std::string_view product);

// Starts listening for USB devices being added or removed. false when no
// listener can be made; looking at the set now and then must do instead.
bool openHotplugMonitor();

// A descriptor that polls readable while word of a change waits, or -1 when
// no listener is open.
int hotplugDescriptor();

// Takes every waiting notice without blocking. true when there was at least
// one. A notice only says that the bus may have changed (which way is not
// reliable: an emulated removal can read as an addition), so the caller looks
// at the set again rather than trusting the notice.
bool drainHotplugNotices();

// Stops listening; does nothing when no listener is open.
void closeHotplugMonitor();
