// The device that a directory's file system was mounted from: the path that
// mount(8) was given, such as "/dev/sdb1", or a name that is no device path
// at all ("tmpfs", "proc", "server:/export", "overlay").
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

// The mount source of the file system that holds `directory`, or nullopt when
// the directory cannot be examined or no mounted file system matches it. A
// device path that does not exist (the kernel's "/dev/root") is replaced by
// "/dev/block/MAJOR:MINOR" of the directory's device.
std::optional<std::string> mountSourceOf(const char* directory);

// The mount source, read from the text of a /proc/<pid>/mountinfo file, of the
// file system with device number `device` that holds `canonicalPath` (the
// directory with its symbolic links resolved, "" when unknown). When several
// mounts share the device, the one with the longest mount point above
// `canonicalPath` wins, else the last listed. When none has the device (a
// btrfs subvolume has its own), the mount with the longest mount point above
// `canonicalPath` is taken.
std::optional<std::string> mountSourceFromMountinfo(std::string_view mountinfo, dev_t device,
                                                    std::string_view canonicalPath);
