// The disk link probe: `camrelay --disk-link <directory>` tells over which
// interconnect, and for a disk on USB at what link speed, the disk holding the
// directory is attached.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class DeviceRegistry;

// What the probe found: the interconnect, and the USB link speed in Mbit/s
// when the disk sits on USB. Both are absent when nothing was found.
struct DiskLink {
  std::optional<std::string> protocol;
  std::optional<double> mbps;

  bool operator==(const DiskLink&) const = default;
};

// Runs the probe for `directory` and writes its one line to standard output.
// Failures leave values out; the result is always 0, the exit status.
int diskLinkProbe(const char* directory);

// The link of the disk whose device path (the mount source of a file system)
// is `devicePath`, found in `registry`. A path that does not begin with
// "/dev/" gives an empty result without consulting the registry.
DiskLink diskLinkForDevicePath(std::string_view devicePath, const DeviceRegistry& registry);

// The same on this machine's registry.
DiskLink diskLinkForDevicePath(std::string_view devicePath);

// The probe's output line without its "\n": compact JSON with "protocol"
// and "mbps" when present ({} when neither is).
std::string diskLinkLine(const DiskLink& link);
