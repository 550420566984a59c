// Lists the attached USB cameras with their link speed.
#pragma once

#include <optional>
#include <string>

// What a call for a scan came to, so that the caller can tell when to scan
// again.
enum class ScanOutcome {
  kSkipped,  // no scan: the USB devices were those of the last successful one
  kDone,     // a scan ran: it listed every camera it could, or it failed
  // A scan succeeded but listed fewer cameras than there are attached USB
  // devices that a camera driver claims by vendor and product id. Such a
  // device is often not usable yet (descriptors, device node or permissions
  // still being set up), and udev need not say when it becomes usable.
  kMissedCamera,
};

// Rescans the cameras and replaces `devices` when the list changed, writing
// one status line then. A failed autodetection is reported through check();
// a successful one never touches the phase or the failure text. With no USB
// device attached at all the list is empty without asking libgphoto2.
// `reason` says why, for the diagnostic log.
ScanOutcome discover(const char* reason);

// Discovers only when the USB devices differ from those attached at the
// last successful discovery, or when they cannot be read: the cheap check
// that stands in for rescanning on a timer while no camera is open.
// `trigger` says what made the look, for the diagnostic log.
ScanOutcome rediscoverIfChanged(const char* trigger);

// Megabits per second for a libusb device speed code: 1.5, 12, 480, 5000,
// 10000 and 20000 for codes 1 to 6, 0 for every other code. Indexed by the
// number rather than by libusb's names so that code 6 reads right even with
// a libusb that predates its name.
double usbSpeedMbps(int code);

// Bus number and device address of a libgphoto2 USB port path.
struct UsbLocation {
  unsigned long bus = 0;
  unsigned long address = 0;
};

// Reads "usb:<bus>,<address>" as two unsigned decimal numbers (leading zeros
// stay decimal). Numbers too large to be a bus or an address saturate rather
// than wrap, so they can never match a device. nullopt when the path does
// not hold both numbers.
std::optional<UsbLocation> parsePortPath(const std::string& portPath);

// The serial number string of the USB device at `portPath`, as the system
// read it from the device's descriptor (no request goes to the device), or
// nothing when the device has none, is not attached or cannot be read.
std::optional<std::string> usbSerialOf(const std::string& portPath);

// The negotiated speed in Mbit/s of the USB device at `portPath`, looked up
// on a libusb context of its own; 0 when the path holds no location, libusb
// cannot start, no device matches, or the speed is not in the table.
double linkSpeedOf(const std::string& portPath);
