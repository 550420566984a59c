#include "parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "session.h"
#include "status_capture.h"

namespace {

// A configuration tree built in memory, freed with the test.
class Tree {
 public:
  Tree() { gp_widget_new(GP_WIDGET_WINDOW, "config", &root_); }
  ~Tree() { gp_widget_free(root_); }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  CameraWidget* add(CameraWidgetType type, const char* name) {
    CameraWidget* widget = nullptr;
    gp_widget_new(type, name, &widget);  // the label; lookups go by name
    gp_widget_set_name(widget, name);
    gp_widget_append(root_, widget);
    return widget;
  }
  void text(const char* name, const std::string& value, CameraWidgetType type = GP_WIDGET_RADIO) {
    gp_widget_set_value(add(type, name), value.c_str());
  }
  void range(const char* name, float value) {
    CameraWidget* widget = add(GP_WIDGET_RANGE, name);
    gp_widget_set_range(widget, -1e9f, 1e9f, 0);
    gp_widget_set_value(widget, &value);
  }
  CameraWidget* root() { return root_; }

 private:
  CameraWidget* root_ = nullptr;
};

class ParametersTest : public testing::Test {
 protected:
  void SetUp() override { state = SessionState{}; }
  void TearDown() override { state = SessionState{}; }
  StatusCapture status;
};

std::string repeat(const std::string& unit, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += unit;
  return text;
}

TEST_F(ParametersTest, TheFirstAcceptableCandidateSettlesAKey) {
  Tree tree;
  tree.text("aperture", "8");
  tree.text("f-number", "f/5.6");
  tree.text("shutterspeed", " \t\n");  // only white space: next candidate
  tree.text("shutterspeed2", "1/250");
  tree.text("expprogram", "");
  tree.text("exposuremode", "Manual");
  tree.text("iso", "  ISO 100 \r\n", GP_WIDGET_TEXT);
  tree.text("lensname",
            "\xE3\x80\x80"
            "FE 24-70mm F2.8 GM\xC2\x85\xE2\x80\xA8",
            GP_WIDGET_MENU);
  tree.text("whitebalance", "");  // no other candidate: the key stays out
  auto values = parameterValues(tree.root());
  EXPECT_EQ(values, (std::map<std::string, std::string>{
                        {"aperture", "f/5.6"},
                        {"shutterSpeed", "1/250"},
                        {"exposureMode", "Manual"},
                        {"iso", "ISO 100"},
                        {"lens", "FE 24-70mm F2.8 GM"},
                    }));
}

TEST_F(ParametersTest, AValueMayHoldAtMost512Utf16Units) {
  std::string astral = "\xF0\x9F\x93\xB7";  // U+1F4F7, two UTF-16 units
  EXPECT_EQ(utf16Length(astral), 2u);
  EXPECT_EQ(utf16Length("a\xC3\xA9\xE2\x82\xAC"), 3u);
  Tree tree;
  tree.text("lensname", repeat(astral, 256));
  tree.text("f-number", " " + repeat("a", 511) + astral + " ");  // 513 units
  tree.text("aperture", repeat("b", 512));
  tree.text("focusmode", repeat(astral, 256) + "x");  // 513 units
  auto values = parameterValues(tree.root());
  EXPECT_EQ(values["lens"], repeat(astral, 256));
  EXPECT_EQ(values["aperture"], repeat("b", 512));
  EXPECT_FALSE(values.contains("focusMode"));
}

TEST_F(ParametersTest, RangesAreFormattedAsPrintfDoesAndMustBeFinite) {
  EXPECT_EQ(rangeText(5.6f), "5.6");
  EXPECT_EQ(rangeText(1.0f / 3), "0.333333");
  EXPECT_EQ(rangeText(1e7f), "1e+07");
  EXPECT_EQ(rangeText(100.0f), "100");
  EXPECT_EQ(rangeText(-0.0f), "-0");
  EXPECT_EQ(rangeText(std::numeric_limits<float>::quiet_NaN()), "");
  EXPECT_EQ(rangeText(std::numeric_limits<float>::infinity()), "");
  EXPECT_EQ(rangeText(-std::numeric_limits<float>::infinity()), "");

  Tree tree;
  tree.range("focallength", 35.0f);
  tree.range("f-number", std::numeric_limits<float>::quiet_NaN());
  tree.range("aperture", 5.6f);
  auto values = parameterValues(tree.root());
  EXPECT_EQ(values["focalLength"], "35");
  EXPECT_EQ(values["aperture"], "5.6");
}

TEST_F(ParametersTest, WidgetsWithoutTextDoNotSettleAKey) {
  Tree tree;
  int on = 1;
  gp_widget_set_value(tree.add(GP_WIDGET_TOGGLE, "f-number"), &on);
  int when = 1700000000;
  gp_widget_set_value(tree.add(GP_WIDGET_DATE, "aperture"), &when);
  tree.text("aperture2", "f/2");
  tree.add(GP_WIDGET_SECTION, "iso");
  tree.add(GP_WIDGET_BUTTON, "batterylevel");
  auto values = parameterValues(tree.root());
  EXPECT_EQ(values, (std::map<std::string, std::string>{{"aperture", "f/2"}}));
}

TEST_F(ParametersTest, TrimmingKeepsInnerSpacesAndDropsSeparatorsAtTheEnds) {
  EXPECT_EQ(trimmedText("\x0B\x0C"
                        "a  b\xE2\x80\x83\xE2\x80\xA9"),
            "a  b");
  EXPECT_EQ(trimmedText("\xC2\xA0\xE3\x80\x80"), "");
  EXPECT_EQ(trimmedText("x\xE2\x80\x8B"), "x\xE2\x80\x8B");  // zero width: not a space
}

TEST_F(ParametersTest, OnlyChangesOfWhatTheHostSeesWriteALine) {
  auto before = WallClock::now();
  storeParameterRead(false, {});  // first read fails: only the flag changes
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["cameraParameters"], nlohmann::json::object());
  EXPECT_TRUE(lines[0]["cameraParametersUnavailable"]);
  ASSERT_TRUE(state.nextParameterRead.has_value());
  EXPECT_GE(*state.nextParameterRead, before + std::chrono::seconds(15));

  storeParameterRead(true, {});  // nothing accepted: still unavailable, no line
  EXPECT_TRUE(status.lines().empty());

  storeParameterRead(true, {{"iso", "100"}});
  lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["cameraParameters"], (nlohmann::json{{"iso", "100"}}));
  EXPECT_FALSE(lines[0]["cameraParametersUnavailable"]);
  EXPECT_LT(*state.nextParameterRead, WallClock::now() + std::chrono::seconds(4));

  storeParameterRead(true, {{"iso", "100"}});
  EXPECT_TRUE(status.lines().empty());
  storeParameterRead(true, {{"iso", "200"}});
  EXPECT_EQ(status.lines().size(), 1u);
  storeParameterRead(false, {});
  lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["cameraParameters"], nlohmann::json::object());
}

}  // namespace
