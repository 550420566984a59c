#include "hotplug.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

TEST(UsbDevicePropertiesTest, ReadsDecimalLocationsAndHexIds) {
  struct Case {
    const char* busnum;
    const char* devnum;
    const char* product;
    std::optional<UsbDevice> expected;
  };
  const Case cases[] = {
      {"001", "005", "1209/1/100", UsbDevice{1, 5, 0x1209, 0x0001}},
      // Zero-padded numbers stay decimal: 008 is eight, not a bad octal.
      {"008", "019", "54c/ff0/0", UsbDevice{8, 19, 0x054C, 0x0FF0}},
      {"1", "2", "DEAD/beef/", UsbDevice{1, 2, 0xDEAD, 0xBEEF}},
      {"", "5", "1209/1/100", std::nullopt},
      {"1", "5x", "1209/1/100", std::nullopt},
      {"-1", "5", "1209/1/100", std::nullopt},
      {"1", "5", "1209/1", std::nullopt},
      {"1", "5", "/1/100", std::nullopt},
      {"1", "5", "1209/g/100", std::nullopt},
      {"1", "5", "", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(usbDeviceFromProperties(c.busnum, c.devnum, c.product), c.expected)
        << c.busnum << " " << c.devnum << " " << c.product;
  }
}

}  // namespace
