#include "commands.h"

#include <gtest/gtest.h>

#include "session.h"
#include "status_capture.h"

namespace {

using nlohmann::json;

class CommandsTest : public FreshSessionTest {
 protected:
  void TearDown() override {
    // An unopened camera object stands in for an open camera in some tests.
    if (state.camera != nullptr) gp_camera_free(state.camera);
    if (state.ports != nullptr) gp_port_info_list_free(state.ports);
    FreshSessionTest::TearDown();
  }

  void listCamera() { state.devices = {{"usb:001,004", "Virtual Camera", 480}}; }
  void pretendCameraOpen() { ASSERT_EQ(gp_camera_new(&state.camera), GP_OK); }
};

TEST_F(CommandsTest, StartNamingNoListedCameraIsUnavailable) {
  // Before the first discovery nothing is listed.
  handleStart({{"command", "start"}, {"cameraId", "usb:001,004"}, {"directory", "/tmp"}});
  listCamera();
  handleStart({{"command", "start"}, {"cameraId", "usb:001,005"}, {"directory", "/tmp"}});
  handleStart({{"command", "start"}, {"cameraId", 4}, {"directory", "/tmp"}});
  handleStart({{"command", "start"}, {"directory", "/tmp"}});
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 4u);
  for (const json& line : lines) {
    EXPECT_EQ(line["phase"], "error");
    EXPECT_EQ(line["error"], kCameraUnavailable);
    EXPECT_EQ(line["cameraId"], "");
  }
  EXPECT_EQ(state.destination, "");
}

TEST_F(CommandsTest, StartWithoutAnAbsoluteFolderAsksForOne) {
  listCamera();
  state.destination = "/earlier";
  std::vector<json> directories;
  directories.push_back(json());  // missing
  directories.push_back(7);
  directories.push_back("photos");
  directories.push_back("~/photos");
  directories.push_back("");
  directories.push_back(std::string("/tmp\0/x", 7));
  for (const json& directory : directories) {
    json command = {{"command", "start"}, {"cameraId", "usb:001,004"}};
    if (!directory.is_null()) command["directory"] = directory;
    handleStart(command);
    auto lines = status.lines();
    ASSERT_EQ(lines.size(), 1u) << directory;
    EXPECT_EQ(lines[0]["phase"], "error");
    EXPECT_EQ(lines[0]["error"], kChooseFolder);
  }
  EXPECT_EQ(state.destination, "/earlier");
}

TEST_F(CommandsTest, StartWhileACameraIsOpenIsIgnored) {
  listCamera();
  pretendCameraOpen();
  state.phase = "ready";
  state.selected = "usb:001,004";
  handleStart({{"command", "start"}, {"cameraId", "usb:001,004"}, {"directory", "/other"}});
  EXPECT_TRUE(status.lines().empty());
  EXPECT_EQ(state.phase, "ready");
  EXPECT_EQ(state.destination, "");
}

TEST_F(CommandsTest, FailedOpenReportsConnectingThenTheErrorAndKeepsTheOldSession) {
  // Without a loaded abilities list the model lookup fails, after the line
  // that announces the attempt.
  listCamera();
  state.phase = "error";
  state.failure = kCameraUnavailable;
  state.saved = 3;
  state.lastFile = "IMG_0003.JPG";
  handleStart({{"command", "start"}, {"cameraId", "usb:001,004"}, {"directory", "/photos"}});
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["phase"], "connecting");
  EXPECT_EQ(lines[0]["error"], "");
  EXPECT_EQ(lines[0]["cameraId"], "usb:001,004");
  EXPECT_EQ(lines[1]["phase"], "error");
  EXPECT_EQ(lines[1]["error"], gp_result_as_string(GP_ERROR_BAD_PARAMETERS));
  EXPECT_EQ(lines[1]["cameraId"], "");
  EXPECT_EQ(lines[1]["count"], 3);
  EXPECT_EQ(lines[1]["lastFile"], "IMG_0003.JPG");
  EXPECT_EQ(state.destination, "/photos");
  EXPECT_EQ(state.camera, nullptr);
}

TEST_F(CommandsTest, StopAlwaysEndsIdleWithoutError) {
  for (const char* phase : {"idle", "error", "disconnected"}) {
    state.phase = phase;
    state.failure = "I/O problem";
    handleStop({{"command", "stop"}});
    auto lines = status.lines();
    ASSERT_EQ(lines.size(), 2u) << phase;
    EXPECT_EQ(lines[0]["phase"], "stopping");
    EXPECT_EQ(lines[0]["error"], "I/O problem");  // the stopping line still shows it
    EXPECT_EQ(lines[1]["phase"], "idle");
    EXPECT_EQ(lines[1]["error"], "");
  }
}

TEST_F(CommandsTest, CaptureWithoutACapableCameraWritesOneUnchangedLine) {
  state.phase = "error";
  state.failure = "I/O problem";
  handleCapture({{"command", "capture"}});
  pretendCameraOpen();
  state.phase = "ready";
  state.failure = "";
  handleCapture({{"command", "capture"}});  // canCapture is false
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["phase"], "error");
  EXPECT_EQ(lines[0]["error"], "I/O problem");
  EXPECT_EQ(lines[1]["phase"], "ready");
  EXPECT_NE(state.camera, nullptr);
}

}  // namespace

namespace {

TEST(ExposureSeconds, ReadsTheWaysCamerasWriteAShutterSpeed) {
  const std::pair<const char*, double> read[] = {
      {"1/125", 1.0 / 125}, {"30", 30},         {"2.5", 2.5}, {"0.8", 0.8},
      {"30\"", 30},         {"1/3\"", 1.0 / 3}, {"15s", 15},  {"1/4000", 1.0 / 4000}};
  for (const auto& [text, seconds] : read) {
    ASSERT_TRUE(exposureSeconds(text).has_value()) << text;
    EXPECT_DOUBLE_EQ(*exposureSeconds(text), seconds) << text;
  }
  for (const char* none :
       {"", "Bulb", "bulb", "auto", "1/0", "-1", "0", "1/", "30 s", "inf", "nan"})
    EXPECT_FALSE(exposureSeconds(none).has_value()) << none;
}

}  // namespace
