#include "parameters.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "session.h"
#include "status_capture.h"

// Which widget supplies each value is tested on the camera bench
// (test_parameters.py); these are the text rules and the change test.
namespace {

using ParametersTest = FreshSessionTest;

TEST(ParameterText, RangesAreFormattedAsPrintfDoesAndMustBeFinite) {
  EXPECT_EQ(rangeText(5.6f), "5.6");
  EXPECT_EQ(rangeText(1.0f / 3), "0.333333");
  EXPECT_EQ(rangeText(1e7f), "1e+07");
  EXPECT_EQ(rangeText(100.0f), "100");
  EXPECT_EQ(rangeText(-0.0f), "-0");
  EXPECT_EQ(rangeText(std::numeric_limits<float>::quiet_NaN()), "");
  EXPECT_EQ(rangeText(std::numeric_limits<float>::infinity()), "");
  EXPECT_EQ(rangeText(-std::numeric_limits<float>::infinity()), "");
}

TEST(ParameterText, TrimmingKeepsInnerSpacesAndDropsSeparatorsAtTheEnds) {
  EXPECT_EQ(trimmedText(" \t\r\n\x0B\x0C"
                        "a  b\xC2\x85\xE2\x80\x83\xE2\x80\xA9"),
            "a  b");
  EXPECT_EQ(trimmedText("\xC2\xA0\xE3\x80\x80\xE2\x80\xA8"), "");
  EXPECT_EQ(trimmedText("x\xE2\x80\x8B"), "x\xE2\x80\x8B");  // zero width: not a space
  EXPECT_EQ(trimmedText("\xF0\x9F\x93\xB7 "), "\xF0\x9F\x93\xB7");
}

TEST(ParameterText, LengthCountsUtf16Units) {
  EXPECT_EQ(utf16Length(""), 0u);
  EXPECT_EQ(utf16Length("a\xC3\xA9\xE2\x82\xAC"), 3u);
  EXPECT_EQ(utf16Length("\xF0\x9F\x93\xB7"), 2u);  // outside the BMP: a surrogate pair
}

TEST_F(ParametersTest, OnlyChangesOfWhatTheHostSeesWriteALine) {
  storeParameterRead(false, {});  // first read fails: only the flag changes
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["cameraParameters"], nlohmann::json::object());
  EXPECT_TRUE(lines[0]["cameraParametersUnavailable"]);

  storeParameterRead(true, {});  // nothing accepted: still unavailable, no line
  EXPECT_TRUE(status.lines().empty());

  storeParameterRead(true, {{"iso", "100"}});
  lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["cameraParameters"], (nlohmann::json{{"iso", "100"}}));
  EXPECT_FALSE(lines[0]["cameraParametersUnavailable"]);

  storeParameterRead(true, {{"iso", "100"}});
  EXPECT_TRUE(status.lines().empty());
  storeParameterRead(true, {{"iso", "200"}});
  EXPECT_EQ(status.lines().size(), 1u);
  storeParameterRead(true, {{"iso", "200"}, {"lens", "L"}});
  EXPECT_EQ(status.lines().size(), 1u);
  storeParameterRead(false, {});
  lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["cameraParameters"], nlohmann::json::object());
}

}  // namespace
