// Settings as the host sees them: widgets as entries, values checked and
// put, the capture target's words, ptp2's property-changed texts, and the
// busy retry. Reads and writes on a camera are tested on the camera bench
// (test_settings.py).
#include "settings.h"

#include <gtest/gtest.h>

#include <memory>

#include "busy_retry.h"
#include "capture_target.h"
#include "commands.h"
#include "property_changes.h"
#include "session.h"
#include "setting_values.h"
#include "status_capture.h"

namespace {

using nlohmann::json;
using Widget = std::unique_ptr<CameraWidget, int (*)(CameraWidget*)>;

Widget choiceWidget(std::initializer_list<const char*> choices, const char* value) {
  CameraWidget* widget = nullptr;
  gp_widget_new(GP_WIDGET_RADIO, "Choice", &widget);
  for (const char* choice : choices) gp_widget_add_choice(widget, choice);
  gp_widget_set_value(widget, value);
  return {widget, gp_widget_free};
}

Widget rangeWidget(float min, float max, float step, float value) {
  CameraWidget* widget = nullptr;
  gp_widget_new(GP_WIDGET_RANGE, "Range", &widget);
  gp_widget_set_range(widget, min, max, step);
  gp_widget_set_value(widget, &value);
  return {widget, gp_widget_free};
}

Widget intWidget(CameraWidgetType type, int value) {
  CameraWidget* widget = nullptr;
  gp_widget_new(type, "Int", &widget);
  gp_widget_set_value(widget, &value);
  return {widget, gp_widget_free};
}

Widget textWidget(const char* value) {
  CameraWidget* widget = nullptr;
  gp_widget_new(GP_WIDGET_TEXT, "Text", &widget);
  gp_widget_set_value(widget, value);
  return {widget, gp_widget_free};
}

std::string refusalKey(CameraWidget* widget, const json& value) {
  std::optional<Answer> problem = valueProblem(widget, value);
  return problem ? problem->refusal->key : "";
}

TEST(SettingEntries, EachKindGivesItsValueAndBounds) {
  Widget choice = choiceWidget({"f/2.8", "f/4", "bad\xff"}, "f/4");
  EXPECT_EQ(settingEntry(choice.get(), "f-number"),
            json({{"value", "f/4"},
                  {"kind", "choice"},
                  {"choices", {"f/2.8", "f/4", "bad\xEF\xBF\xBD"}},
                  {"readOnly", false},
                  {"label", "Choice"},
                  {"setting", "f-number"}}));
  Widget range = rangeWidget(1.0f / 3, 5.6f, 0.1f, 1e7f);
  json entry = settingEntry(range.get(), "r");
  EXPECT_EQ(entry["kind"], "range");
  EXPECT_EQ(
      entry["value"].dump() + entry["min"].dump() + entry["max"].dump() + entry["step"].dump(),
      "100000000.333333345.60.1");
  Widget toggle = intWidget(GP_WIDGET_TOGGLE, 2);
  gp_widget_set_readonly(toggle.get(), 1);
  EXPECT_EQ(settingEntry(toggle.get(), "t")["value"], true);
  EXPECT_EQ(settingEntry(toggle.get(), "t")["readOnly"], true);
  EXPECT_EQ(settingEntry(intWidget(GP_WIDGET_DATE, 1700000000).get(), "d")["value"], 1700000000);
  EXPECT_FALSE(settingEntry(textWidget("x").get(), "x").contains("choices"));
  EXPECT_TRUE(rangeNumber(std::numeric_limits<float>::infinity()).is_null());
}

TEST(SettingValues, EachWrongValueIsRefusedWithItsOwnKey) {
  Widget choice = choiceWidget({"Auto", "Daylight"}, "Auto");
  Widget range = rangeWidget(-3, 3, 0.5f, 0);
  Widget toggle = intWidget(GP_WIDGET_TOGGLE, 0);
  Widget date = intWidget(GP_WIDGET_DATE, 0);
  Widget text = textWidget("");
  const std::pair<CameraWidget*, std::vector<std::pair<json, std::string>>> cases[] = {
      {choice.get(),
       {{"Daylight", ""}, {"daylight", kNotAChoice}, {1, kInvalidField}, {true, kInvalidField}}},
      {range.get(),
       {{3, ""},
        {-3.0, ""},
        {0.25, ""},
        {3.01, kOutOfRange},
        {1e300, kOutOfRange},
        {"1", kInvalidField},
        {false, kInvalidField}}},
      {toggle.get(), {{true, ""}, {1, kInvalidField}, {"on", kInvalidField}}},
      {date.get(),
       {{0, ""},
        {2147483647, ""},
        {2147483648LL, kInvalidField},
        {1.5, kInvalidField},
        {"2024", kInvalidField}}},
      {text.get(), {{"", ""}, {"any words", ""}, {7, kInvalidField}}},
  };
  for (const auto& [widget, values] : cases) {
    for (const auto& [value, key] : values) EXPECT_EQ(refusalKey(widget, value), key) << value;
  }
  EXPECT_EQ(valueProblem(choice.get(), "x")->refusal->details,
            json({{"choices", {"Auto", "Daylight"}}}));
  EXPECT_EQ(valueProblem(range.get(), 4)->refusal->details,
            json({{"min", -3}, {"max", 3}, {"step", 0.5}}));
  gp_widget_set_readonly(choice.get(), 1);
  EXPECT_EQ(refusalKey(choice.get(), "Daylight"), kReadOnly);

  EXPECT_TRUE(malformedValue(std::string("a\0b", 3)));
  EXPECT_TRUE(malformedValue(std::string(513, 'x')));
  EXPECT_FALSE(malformedValue(std::string(512, 'x')));
}

TEST(SettingValues, AChoiceShownReplacedPutsTheCamerasOwnBytes) {
  Widget choice = choiceWidget({"A", "b\xff"}, "A");
  ASSERT_EQ(putValue(choice.get(), "b\xEF\xBF\xBD"), GP_OK);
  const char* value = nullptr;
  gp_widget_get_value(choice.get(), &value);
  EXPECT_STREQ(value, "b\xff");
  Widget range = rangeWidget(0, 10, 1, 0);
  ASSERT_EQ(putValue(range.get(), 5.6), GP_OK);
  EXPECT_EQ(settingValue(range.get()), 5.6);
}

TEST(CaptureTarget, EachMakersChoicesTakeTheHostsWords) {
  Widget nikon = choiceWidget({"Internal RAM", "Memory card"}, "Memory card");
  EXPECT_EQ(captureTargetEntry(nikon.get())["value"], "card");
  EXPECT_EQ(captureTargetEntry(nikon.get())["choices"], json({"memory", "card"}));
  EXPECT_EQ(cameraTarget(nikon.get(), "memory"), "Internal RAM");
  EXPECT_FALSE(cameraTarget(nikon.get(), "card and memory"));
  Widget sony = choiceWidget({"sdram", "card", "card+sdram", "other"}, "other");
  EXPECT_EQ(hostTargets(sony.get()), json({"memory", "card", "card and memory"}));
  EXPECT_EQ(cameraTarget(sony.get(), "card and memory"), "card+sdram");
  EXPECT_TRUE(captureTargetEntry(sony.get())["value"].is_null());
}

TEST(PropertyChanges, Ptp2sTextsNameTheSettingAndItsValue) {
  const std::pair<const char*, std::optional<std::pair<std::string, std::string>>> texts[] = {
      {"PTP Property 5007 changed, \"f-number\" to \"f/4\"", {{"f-number", "f/4"}}},
      {"PTP Property 5008 changed, \"focallength\" to \"85.000000\"", {{"focallength", "85"}}},
      {"PTP Property d100 changed, \"x\" to \"-0.333333\"", {{"x", "-0.333333"}}},
      {"PTP Property d101 changed, \"lens\" to \" say \"hi\" \"", {{"lens", "say \"hi\""}}},
      {"PTP Property 5007 changed, \"toggle\" to \"Unhandled type\"", std::nullopt},
      {"PTP Property 5007 changed, \"iso\" to \"  \"", std::nullopt},
      {"PTP Property 5007 changed", std::nullopt},
      {"PTP Property 5007 changed, \"\" to \"1\"", std::nullopt},
      {"PTP Property 5007 changed, \"iso\" to \"1\xff\"", std::nullopt},
      {"PTP Event c101", std::nullopt},
  };
  for (const auto& [text, wanted] : texts) {
    std::optional<PropertyChange> change = propertyChange(text);
    ASSERT_EQ(change.has_value(), wanted.has_value()) << text;
    if (change) {
      EXPECT_EQ(std::pair(change->setting, change->value), *wanted) << text;
    }
  }
}

using PropertyEventTest = FreshSessionTest;

TEST_F(PropertyEventTest, AChangeOfTheSettingThatSettledAKeyShowsAtOnce) {
  state.cameraParameters = {{"aperture", "f/2.8"}, {"iso", "100"}};
  state.parameterSettings = {{"aperture", "f-number"}, {"iso", "iso"}};
  state.parameterRead = ParameterRead{};
  state.parameterRead->settings = {{"aperture", "f-number"}};
  takeUnknownEvent("PTP Property 5007 changed, \"f-number\" to \"f/4\"");
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["cameraParameters"], json({{"aperture", "f/4"}, {"iso", "100"}}));
  EXPECT_EQ(state.parameterRead->values["aperture"], "f/4");  // a read that gave way
  takeUnknownEvent("PTP Property 5007 changed, \"f-number\" to \"f/4\"");
  takeUnknownEvent("PTP Property 5007 changed, \"aperture\" to \"f/8\"");
  EXPECT_TRUE(status.lines().empty());
}

TEST(BusyRetry, TriesAgainWhileBusyForTwoSecondsOrUntilACommandWaits) {
  static SteadyClock::time_point now;
  auto clock = [] { return now; };
  auto sleep = [](SteadyClock::duration d) { now += d; };
  auto busy = [](int result) { return result == GP_ERROR_CAMERA_BUSY; };
  int left = 3;
  auto busyThrice = [&left] { return left-- > 0 ? GP_ERROR_CAMERA_BUSY : GP_OK; };
  BusyRetry thrice([] { return false; }, clock, sleep);
  EXPECT_EQ(thrice.run(busyThrice, busy), GP_OK);
  EXPECT_EQ(thrice.tries(), 4);
  BusyRetry always([] { return false; }, clock, sleep);
  EXPECT_EQ(always.run([] { return GP_ERROR_CAMERA_BUSY; }, busy), GP_ERROR_CAMERA_BUSY);
  EXPECT_EQ(always.tries(), 20);  // at 0, 0.1, ..., 1.9 s
  BusyRetry waiting([] { return true; }, clock, sleep);
  waiting.run([] { return GP_ERROR_CAMERA_BUSY; }, busy);
  EXPECT_EQ(waiting.tries(), 1);
  BusyRetry failing([] { return false; }, clock, sleep);
  EXPECT_EQ(failing.run([] { return GP_ERROR_IO; }, busy), GP_ERROR_IO);
  EXPECT_EQ(failing.tries(), 1);  // a failure is never tried again
}

TEST(BusyRetry, Ptp2sDeviceBusyCountsWhateverResultItCameWith) {
  state = SessionState{};
  EXPECT_TRUE(busyAnswer(GP_ERROR_CAMERA_BUSY));
  EXPECT_FALSE(busyAnswer(GP_ERROR_BAD_PARAMETERS));
  state.contextErrors = {"The property 'F-Number' / 0x5007 was not set (0x2019: PTP Device Busy)",
                         "Property 'f-number' not found."};
  EXPECT_TRUE(busyAnswer(GP_ERROR_BAD_PARAMETERS));
  EXPECT_FALSE(busyAnswer(GP_OK));
  state = SessionState{};
}

}  // namespace
