#include "live_view.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "commands.h"
#include "session.h"
#include "status_capture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

TEST(LiveView, FramesKeepThePaceUntilTheyFallAWholeIntervalBehind) {
  const SteadyClock::time_point due{10s};
  // How late the call began, and when the next frame is due: a fresh start
  // rather than a burst once a whole interval late.
  for (auto [late, next] : {std::pair{0ms, 50ms}, {49ms, 50ms}, {50ms, 100ms}, {400ms, 450ms}}) {
    EXPECT_EQ(nextFrameDue(due, due + late, 50ms), due + next) << late.count();
  }
}

TEST(LiveView, OnlyThePortFailingIsTheCamerasFailure) {
  state = SessionState{};
  for (int result : {GP_ERROR_IO, GP_ERROR_TIMEOUT, GP_ERROR_IO_USB_FIND, GP_ERROR_HAL}) {
    EXPECT_TRUE(cameraFailure(result)) << result;
  }
  for (int result : {GP_ERROR, GP_ERROR_NOT_SUPPORTED, GP_ERROR_FIXED_LIMIT_EXCEEDED,
                     GP_ERROR_CAMERA_BUSY, GP_ERROR_NO_MEMORY}) {
    EXPECT_FALSE(cameraFailure(result)) << result;
  }
}

// Protocol 2 commands with no camera, or a camera object never opened:
// every refusal here comes before the first camera call.
class LiveViewCommandTest : public FreshSessionTest {
 protected:
  void SetUp() override {
    FreshSessionTest::SetUp();
    state.protocol = 2;
    char pattern[] = "/tmp/camrelay-liveview-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override {
    if (state.camera != nullptr) gp_camera_free(state.camera);
    state.camera = nullptr;
    fs::remove_all(folder);
    FreshSessionTest::TearDown();
  }

  // "key: text" of the refusal of live view on `path`, with `fps` unless
  // null, or "ok".
  std::string on(const std::string& path, json fps = json()) {
    json command = {{"command", "liveView"}, {"id", 1}, {"on", true}, {"path", path}};
    if (!fps.is_null()) command["fps"] = fps;
    carryOutCommand(command);
    std::vector<json> lines = status.lines();
    if (lines.size() != 1 || lines[0]["ok"] == true) return lines.size() == 1 ? "ok" : "lines";
    return lines[0]["error"]["key"].get<std::string>() + ": " +
           lines[0]["error"]["text"].get<std::string>();
  }

  fs::path folder;
};

TEST_F(LiveViewCommandTest, AFrameRateAboveZeroAndAtMostThirtyIsTaken) {
  const std::string frame = (folder / "frame.jpg").string();
  EXPECT_EQ(on(frame, "15"), "tethering.error.invalidField: field \"fps\" must be a number");
  for (const json& fps : {json(0), json(-0.5), json(30.01)}) {
    EXPECT_EQ(on(frame, fps),
              "tethering.error.invalidField: field \"fps\" must be above 0 and at most 30")
        << fps;
  }
  for (const json& fps : {json(30), json(0.5), json(json::value_t::null)}) {
    EXPECT_EQ(on(frame, fps), "tethering.error.noCamera: no camera is open") << fps;
  }
}

TEST_F(LiveViewCommandTest, TheFrameFileIsAFileOfItsOwnInAFolderThatExists) {
  ASSERT_EQ(gp_camera_new(&state.camera), GP_OK);
  fs::create_directories(folder / "photos");
  fs::create_symlink(folder / "photos", folder / "link");
  std::ofstream(folder / "file") << "x";
  state.destination = (folder / "photos").string() + "/";
  auto at = [this](const char* path) { return (folder / path).string(); };
  const std::pair<std::string, const char*> cases[] = {
      {"frame.jpg", "the frame file's path must be absolute"},
      {std::string("/tmp/a\0b", 8), "the frame file's path must be absolute"},
      {at("gone/frame.jpg"), "the frame file's folder does not exist"},
      {at("file/frame.jpg"), "the frame file's folder is not a folder"},
      {at("photos/"), "the path names a folder"},
      {at("photos/.."), "the path names a folder"},
      {at("link/frame.jpg"), "the frame file may not be in the folder that photos are saved into"},
  };
  for (const auto& [path, text] : cases) {
    EXPECT_EQ(on(path), std::string("tethering.error.invalidPath: ") + text) << path;
  }
  EXPECT_EQ(on("/dev/null"),
            "tethering.error.invalidPath: the path names something that is not a file");
  // A good path reaches the camera's abilities: this one has no preview.
  EXPECT_EQ(on((folder / "frame.jpg").string()),
            "tethering.error.notSupported: the camera has no live view");
  EXPECT_FALSE(state.liveView);
  EXPECT_FALSE(fs::exists(folder / "frame.jpg"));
}

}  // namespace
