#include "session.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "status_capture.h"

namespace {

using SessionTest = FreshSessionTest;

std::set<std::string> keysOf(const nlohmann::json& object) {
  std::set<std::string> keys;
  for (const auto& item : object.items()) keys.insert(item.key());
  return keys;
}

TEST_F(SessionTest, FirstLineHasAllThirteenKeysAtTheirInitialValues) {
  emit();
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  nlohmann::json expected = {
      {"phase", "idle"},
      {"error", ""},
      {"cameraId", ""},
      {"canCapture", false},
      {"pendingCount", 0},
      {"lastTransfer", nlohmann::json::object()},
      {"count", 0},
      {"lastFile", ""},
      {"cameras", nlohmann::json::array()},
      {"cameraParameters", nlohmann::json::object()},
      {"cameraParametersUnavailable", false},
      {"backend", "libgphoto2"},
      {"libraryVersion", gp_library_version(GP_VERSION_SHORT)[0]},
  };
  EXPECT_EQ(lines[0], expected);
}

TEST_F(SessionTest, TheLineHasExactlyTheKeysOfTheProtocolSchema) {
  // Hosts generate their types from docs/protocol.schema.json, and it admits
  // no other keys: a key added to the line and not to the schema fails here.
  std::ifstream file(CAMRELAY_PROTOCOL_SCHEMA);
  ASSERT_TRUE(file.is_open()) << CAMRELAY_PROTOCOL_SCHEMA;
  const nlohmann::json defs = nlohmann::json::parse(file)["$defs"];
  state.devices = {{"usb:001,005", "A", 5000}};
  nlohmann::json line = statusSnapshot();
  EXPECT_EQ(keysOf(line), keysOf(defs["statusLine"]["properties"]));
  EXPECT_EQ(keysOf(line), defs["statusLine"]["required"].get<std::set<std::string>>());
  EXPECT_EQ(keysOf(line["cameras"][0]), keysOf(defs["camera"]["properties"]));
  EXPECT_EQ(keysOf(line["cameras"][0]), defs["camera"]["required"].get<std::set<std::string>>());
}

TEST_F(SessionTest, CheckPassesResultsThatAreNotNegativeSilently) {
  EXPECT_TRUE(check(GP_OK));
  EXPECT_TRUE(check(7));
  EXPECT_TRUE(status.lines().empty());
  EXPECT_EQ(state.phase, "idle");
}

TEST_F(SessionTest, CheckReportsClaimFailureAsCameraBusy) {
  EXPECT_FALSE(check(GP_ERROR_IO_USB_CLAIM));
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["phase"], "error");
  EXPECT_EQ(lines[0]["error"], kCameraBusy);
  EXPECT_FALSE(check(GP_ERROR_IO));
  EXPECT_EQ(status.lines().at(0)["error"], gp_result_as_string(GP_ERROR_IO));
}

TEST_F(SessionTest, CheckAfterASignalClosesQuietly) {
  state.cancelled = 1;
  state.selected = "usb:001,005";
  state.pendingFiles.append("/DCIM/a.jpg");
  EXPECT_FALSE(check(GP_ERROR_CANCEL));
  EXPECT_TRUE(status.lines().empty());
  EXPECT_EQ(state.phase, "idle");
  EXPECT_EQ(state.selected, "");
  EXPECT_TRUE(state.pendingFiles.empty());
}

TEST_F(SessionTest, NoLineIsWrittenAfterASignal) {
  // What the iteration in progress still finishes (a saved file, a capture,
  // a failure of its own) stays unreported once the host asked us to quit.
  state.cancelled = 1;
  emit();
  failSession(kWriteFailed);
  EXPECT_TRUE(status.lines().empty());
}

TEST_F(SessionTest, FailureResetsTheCameraButKeepsWhatWasSaved) {
  state.selected = "usb:001,005";
  state.canCapture = state.canTrigger = state.sonyCaptureNames = true;
  state.transferring = true;
  state.pendingFiles.append("/DCIM/a.jpg");
  state.pendingPaths["/DCIM/a.jpg"] = CameraFilePath{};
  state.received.append("/DCIM/b.jpg");
  state.cameraParameters = {{"iso", "100"}};
  state.cameraParametersUnavailable = true;
  state.timers.setNow(Timer::kParameterRead);
  state.saved = 3;
  state.lastFile = "b.jpg";
  state.lastTransfer = {{"bytes", 10}, {"transferMs", 1.5}, {"flushMs", 0.5}};
  state.destination = "/photos";

  failSession(kWriteFailed);

  auto line = status.lines().at(0);
  EXPECT_EQ(line["phase"], "error");
  EXPECT_EQ(line["error"], kWriteFailed);
  EXPECT_EQ(line["cameraId"], "");
  EXPECT_EQ(line["canCapture"], false);
  EXPECT_EQ(line["pendingCount"], 0);
  EXPECT_EQ(line["cameraParameters"], nlohmann::json::object());
  EXPECT_EQ(line["cameraParametersUnavailable"], false);
  EXPECT_EQ(line["count"], 3);
  EXPECT_EQ(line["lastFile"], "b.jpg");
  EXPECT_EQ(line["lastTransfer"]["bytes"], 10);
  EXPECT_TRUE(state.received.contains("/DCIM/b.jpg"));
  EXPECT_TRUE(state.pendingPaths.empty());
  EXPECT_FALSE(state.canTrigger || state.sonyCaptureNames);
  EXPECT_FALSE(state.timers.isSet(Timer::kParameterRead));
  EXPECT_EQ(state.destination, "/photos");
}

TEST_F(SessionTest, CamerasPrintWholeSpeedsWithoutAFraction) {
  state.devices = {{"usb:001,005", "A", 5000}, {"usb:001,006", "B", 1.5}, {"usb:", "", 0}};
  std::string raw = statusSnapshot().dump();
  EXPECT_NE(raw.find(R"("linkMbps":5000,)"), std::string::npos) << raw;
  EXPECT_NE(raw.find(R"("linkMbps":1.5,)"), std::string::npos) << raw;
  EXPECT_NE(raw.find(R"("linkMbps":0,)"), std::string::npos) << raw;
}

TEST_F(SessionTest, PendingCountIncludesTheFileInFlight) {
  state.pendingFiles.append("/a.jpg");
  state.transferring = true;
  EXPECT_EQ(statusSnapshot()["pendingCount"], 2);
}

TEST(Utf8Test, CStringsThatAreNotUtf8ReadAsEmpty) {
  EXPECT_EQ(utf8OrEmpty(nullptr), "");
  EXPECT_EQ(utf8OrEmpty("caf\xc3\xa9"), "caf\xc3\xa9");
  EXPECT_EQ(utf8OrEmpty("\xf0\x9f\x93\xb7.jpg"), "\xf0\x9f\x93\xb7.jpg");
  EXPECT_EQ(utf8OrEmpty("bad\xff.jpg"), "");
  EXPECT_EQ(utf8OrEmpty("\xc0\xaf"), "");          // overlong "/"
  EXPECT_EQ(utf8OrEmpty("\xed\xa0\x80"), "");      // surrogate
  EXPECT_EQ(utf8OrEmpty("\xf4\x90\x80\x80"), "");  // above U+10FFFF
  EXPECT_EQ(utf8OrEmpty("cut\xc3"), "");
}

TEST(Utf8Test, FixedFieldsAreNeverReadPastTheirEnd) {
  char field[8] = {'a', 'b', 'c', 0, 'x', 'x', 'x', 'x'};
  EXPECT_EQ(utf8OrEmpty(field, sizeof field), "abc");
  char full[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  EXPECT_EQ(utf8OrEmpty(full, sizeof full), "");
}

TEST(OrderedSetTest, KeepsInsertionOrderAndIgnoresRepeats) {
  OrderedSet set;
  set.append("b");
  set.append("a");
  set.append("b");
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(set.front(), "b");
  set.popFront();
  EXPECT_FALSE(set.contains("b"));
  EXPECT_EQ(set.front(), "a");
}

}  // namespace
