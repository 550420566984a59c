// Lists the attached USB cameras with their link speed.
#pragma once

#include <optional>
#include <string>

// Rescans the cameras and replaces `devices` when the list changed, writing
// one status line then. A failed autodetection is reported through check();
// a successful one never touches the phase or the failure text. With no USB
// device attached at all the list is empty without asking libgphoto2.
void discover();

// Discovers only when the USB devices differ from those attached at the
// last successful discovery, or when they cannot be read: the cheap check
// that stands in for rescanning on a timer while no camera is open.
// `trigger` says why, for the diagnostic log.
void rediscoverIfChanged(const char* trigger);

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

// The negotiated speed in Mbit/s of the USB device at `portPath`, looked up
// on a libusb context of its own; 0 when the path holds no location, libusb
// cannot start, no device matches, or the speed is not in the table.
double linkSpeedOf(const std::string& portPath);
