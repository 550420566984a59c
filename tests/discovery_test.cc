#include "discovery.h"

#include <gtest/gtest.h>
#include <libusb.h>

namespace {

TEST(UsbSpeedTest, SixCodesHaveRatesAndEveryOtherCodeIsZero) {
  EXPECT_EQ(usbSpeedMbps(LIBUSB_SPEED_LOW), 1.5);
  EXPECT_EQ(usbSpeedMbps(LIBUSB_SPEED_FULL), 12);
  EXPECT_EQ(usbSpeedMbps(LIBUSB_SPEED_HIGH), 480);
  EXPECT_EQ(usbSpeedMbps(LIBUSB_SPEED_SUPER), 5000);
  EXPECT_EQ(usbSpeedMbps(LIBUSB_SPEED_SUPER_PLUS), 10000);
  // Code 6 is USB 3.2 Gen 2x2, which this libusb's header may not name.
  EXPECT_EQ(usbSpeedMbps(6), 20000);
  for (int code : {static_cast<int>(LIBUSB_SPEED_UNKNOWN), 7, 100, -1})
    EXPECT_EQ(usbSpeedMbps(code), 0) << code;
}

TEST(PortPathTest, ReadsBusAndAddressInDecimal) {
  auto location = parsePortPath("usb:001,005");
  ASSERT_TRUE(location);
  EXPECT_EQ(location->bus, 1u);
  EXPECT_EQ(location->address, 5u);
  // Leading zeros never make a number octal: 020 is twenty, 009 is nine.
  location = parsePortPath("usb:020,009");
  ASSERT_TRUE(location);
  EXPECT_EQ(location->bus, 20u);
  EXPECT_EQ(location->address, 9u);
}

TEST(PortPathTest, PathsWithoutBothNumbersHoldNoLocation) {
  for (const char* path :
       {"usb:", "usb:3", "usb:3,", "usb:x,4", "usb:3;4", "USB:1,2", "ptpip:1,2", ""}) {
    EXPECT_FALSE(parsePortPath(path)) << path;
  }
}

TEST(PortPathTest, HugeNumbersSaturateInsteadOfWrappingOntoARealBus) {
  // 2^32 + 1 would wrap to bus 1 in a 32-bit read.
  auto location = parsePortPath("usb:4294967297,18446744073709551617");
  ASSERT_TRUE(location);
  EXPECT_GT(location->bus, 255u);
  EXPECT_GT(location->address, 255u);
  // A negative number names no bus either.
  location = parsePortPath("usb:-1,2");
  ASSERT_TRUE(location);
  EXPECT_GT(location->bus, 255u);
}

TEST(LinkSpeedTest, NoLocationOrAnImpossibleBusGivesZero) {
  EXPECT_EQ(linkSpeedOf("usb:"), 0);
  EXPECT_EQ(linkSpeedOf("usb:256,1"), 0);
  EXPECT_EQ(linkSpeedOf("usb:1,256"), 0);
  EXPECT_EQ(linkSpeedOf("usb:4294967297,1"), 0);
}

}  // namespace
