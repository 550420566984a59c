// The disk link walk over a registry of our own making, and the output line.
// The udev side is tested on umockdev testbeds in disk_link_udev_tests.cc,
// the mountinfo lookup in mount_source_test.cc.

#include "disk_link.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "device_registry.h"

namespace {

using nlohmann::json;

// A chain of entries from a disk (index 0) to the root, counting how many
// references the code under test takes and drops.
struct FakeTree {
  std::vector<std::optional<json>> properties;
  int obtained = 0;
  int released = 0;
  int lookups = 0;
  std::string lookedUp;
};

class FakeEntry : public RegistryEntry {
 public:
  FakeEntry(FakeTree& tree, std::size_t index) : tree_(tree), index_(index) { ++tree_.obtained; }
  ~FakeEntry() override { ++tree_.released; }
  std::optional<json> properties() const override { return tree_.properties[index_]; }
  RegistryEntryRef parent() const override {
    if (index_ + 1 >= tree_.properties.size()) return nullptr;
    return std::make_unique<FakeEntry>(tree_, index_ + 1);
  }

 private:
  FakeTree& tree_;
  std::size_t index_;
};

class FakeRegistry : public DeviceRegistry {
 public:
  explicit FakeRegistry(FakeTree& tree) : tree_(tree) {}
  RegistryEntryRef entryForBsdName(std::string_view bsdName) const override {
    ++tree_.lookups;
    tree_.lookedUp = bsdName;
    if (bsdName != "disk4s1" || tree_.properties.empty()) return nullptr;
    return std::make_unique<FakeEntry>(tree_, 0);
  }
  std::optional<std::string> usbSerialNumber(unsigned long, unsigned long) const override {
    return std::nullopt;
  }

 private:
  FakeTree& tree_;
};

json interconnect(const std::string& name) {
  return {{kProtocolCharacteristicsKey, {{kPhysicalInterconnectKey, name}}}};
}
json usbSpeed(json bitsPerSecond) {
  return {{kUsbLinkSpeedKey, bitsPerSecond}};
}

DiskLink walk(FakeTree& tree, std::string_view devicePath = "/dev/disk4s1") {
  FakeRegistry registry(tree);
  return diskLinkForDevicePath(devicePath, registry);
}

TEST(DiskLinkWalk, InterconnectNearestTheRootWinsAndUnusableValuesAreSkipped) {
  FakeTree tree;
  tree.properties = {
      json::object(),
      interconnect("Virtual Interface"),
      std::nullopt,  // properties cannot be read
      usbSpeed(0),
      usbSpeed(-480000000),
      usbSpeed(std::nan("")),
      usbSpeed("5000000000"),
      interconnect("SATA"),
      {{kProtocolCharacteristicsKey, "PCI-Express"}},
      {{kProtocolCharacteristicsKey, {{kPhysicalInterconnectKey, 7}}}},
      json::array(),
      json::object(),
  };
  EXPECT_EQ(walk(tree), (DiskLink{"SATA", std::nullopt}));
  EXPECT_EQ(tree.lookedUp, "disk4s1");
  EXPECT_EQ(tree.obtained, 12);
  EXPECT_EQ(tree.released, 12);
}

TEST(DiskLinkWalk, FirstPositiveUsbSpeedEndsTheWalkAsUsb) {
  json cardReader = interconnect("Secure Digital");
  cardReader[kUsbLinkSpeedKey] = 1500000;
  FakeTree tree;
  tree.properties = {
      interconnect("SATA"),        usbSpeed(0), cardReader, usbSpeed(5000000000.0),
      interconnect("PCI-Express"),
  };
  EXPECT_EQ(walk(tree), (DiskLink{"USB", 1.5}));
  EXPECT_EQ(tree.obtained, 3);
  EXPECT_EQ(tree.released, 3);
}

TEST(DiskLinkWalk, NothingFoundGivesAnEmptyResult) {
  FakeTree tree;
  tree.properties = {json::object(), std::nullopt};
  EXPECT_EQ(walk(tree), DiskLink{});
  EXPECT_EQ(tree.released, 2);

  EXPECT_EQ(walk(tree, "/dev/disk9"), DiskLink{});  // no entry by that name
  EXPECT_EQ(tree.lookedUp, "disk9");
}

TEST(DiskLinkWalk, OnlyDevicePathsConsultTheRegistry) {
  FakeTree tree;
  tree.properties = {interconnect("USB")};
  for (const char* source : {"tmpfs", "server:/export", "", "/devX/disk4s1", "dev/disk4s1",
                             "/dev/disk4s1\xff", "/dev/\xc0\xae"})
    EXPECT_EQ(walk(tree, source), DiskLink{}) << source;
  EXPECT_EQ(tree.lookups, 0);
}

TEST(DiskLinkLine, IsCompactJsonWithProtocolFirst) {
  EXPECT_EQ(diskLinkLine({}), "{}");
  EXPECT_EQ(diskLinkLine({"SATA", std::nullopt}), R"({"protocol":"SATA"})");
  EXPECT_EQ(diskLinkLine({"USB", 5000}), R"({"protocol":"USB","mbps":5000})");
  EXPECT_EQ(diskLinkLine({"USB", 1.5}), R"({"protocol":"USB","mbps":1.5})");
}

}  // namespace
