// The Linux mount source lookup: the mountinfo text of a file system, and
// the running system's own.

#include "mount_source.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <optional>

namespace {

// Three mounts of the same ext4 device (the root and a bind mount of one of
// its folders), a tmpfs, and a btrfs file system whose subvolumes have device
// numbers of their own.
constexpr char kMountinfo[] =
    "26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "30 26 0:24 / /dev/shm rw,nosuid,nodev shared:2 - tmpfs tmpfs rw\n"
    "31 26 8:17 / /media/My\\040Disk rw,relatime shared:5 master:1 - exfat /dev/sdb1 rw\n"
    "32 26 254:0 /srv /mnt/srv rw,relatime - ext4 /dev/vda rw\n"
    "malformed line\n"
    "33 26 0:45 / /data rw - btrfs /dev/nvme0n1p2 rw\n"
    "34 26 8:17 / /media/backup rw - exfat /dev/disk/by-label/BACKUP rw";

TEST(MountSource, MatchesTheDeviceNumberAndPrefersTheDeepestMountPoint) {
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(254, 0), "/home/ann"), "/dev/vda");
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(0, 24), "/dev/shm/x"), "tmpfs");
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(8, 17), "/media/My Disk/photos"),
            "/dev/sdb1");
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(8, 17), "/media/backup"),
            "/dev/disk/by-label/BACKUP");
  // Same device, path unknown: the last mount listed.
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(8, 17), ""), "/dev/disk/by-label/BACKUP");
}

TEST(MountSource, FallsBackOnTheMountPointWhenNoDeviceMatches) {
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(0, 51), "/data/subvolume/x"),
            "/dev/nvme0n1p2");
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(0, 51), "/database"), "/dev/vda");
  EXPECT_EQ(mountSourceFromMountinfo(kMountinfo, makedev(0, 51), ""), std::nullopt);
  EXPECT_EQ(mountSourceFromMountinfo("", makedev(254, 0), "/"), std::nullopt);
}

TEST(MountSource, OfTheRunningSystem) {
  EXPECT_EQ(mountSourceOf("/no/such/folder"), std::nullopt);
  EXPECT_EQ(mountSourceOf("/proc"), "proc");
}

}  // namespace
