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

TEST(LiveViewPace, FramesKeepThePaceUntilTheyFallAWholeIntervalBehind) {
  const SteadyClock::time_point due{10s};
  const SteadyClock::duration interval = 50ms;
  struct Case {
    SteadyClock::duration late;  // how long after `due` the call began
    SteadyClock::time_point next;
  };
  const Case cases[] = {
      {0ms, due + interval},
      {3ms, due + interval},  // the loop's wake-up: the pace holds
      {49ms, due + interval},
      {50ms, due + 100ms},  // a whole interval late: a fresh start, no burst
      {400ms, due + 450ms},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nextFrameDue(due, due + c.late, interval), c.next)
        << std::chrono::duration_cast<std::chrono::milliseconds>(c.late).count();
  }
}

TEST(LiveViewFps, AFrameRateAboveZeroAndAtMostThirtyIsTaken) {
  for (const json& fps : {json(1), json(15), json(30), json(0.5), json(29.97)}) {
    EXPECT_EQ(fpsProblem({{"fps", fps}}), std::nullopt) << fps;
  }
  EXPECT_EQ(fpsProblem(json::object()), std::nullopt);
  for (const json& fps : {json(0), json(-1), json(1000), json(30.01), json(-0.0)}) {
    EXPECT_EQ(fpsProblem({{"fps", fps}}), "field \"fps\" must be above 0 and at most 30") << fps;
  }
  EXPECT_EQ(fpsProblem({{"fps", "15"}}), "field \"fps\" must be a number");
}

// Commands of protocol 2 without a camera, or with a camera object that
// was never opened: every refusal comes before the first camera call.
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

  // The reply to `command`, sent as the host sends it.
  json ask(json command) {
    command["command"] = "liveView";
    command["id"] = 1;
    carryOutCommand(command);
    std::vector<json> lines = status.lines();
    EXPECT_EQ(lines.size(), 1u) << command;
    return lines.empty() ? json() : lines.back();
  }

  std::string refusal(json command) {
    json reply = ask(std::move(command));
    EXPECT_EQ(reply["ok"], false) << reply;
    return reply["error"].value("key", "") + ": " + reply["error"].value("text", "");
  }

  fs::path folder;
};

TEST_F(LiveViewCommandTest, FieldsAreCheckedBeforeTheCamera) {
  std::string frame = (folder / "frame.jpg").string();
  EXPECT_EQ(refusal(json::object()), "tethering.error.invalidField: missing field \"on\"");
  EXPECT_EQ(refusal({{"on", 1}}), "tethering.error.invalidField: field \"on\" must be true or false");
  EXPECT_EQ(refusal({{"on", true}}), "tethering.error.invalidField: missing field \"path\"");
  EXPECT_EQ(refusal({{"on", true}, {"path", 7}}),
            "tethering.error.invalidField: field \"path\" must be a string");
  EXPECT_EQ(refusal({{"on", true}, {"path", frame}, {"fps", "15"}}),
            "tethering.error.invalidField: field \"fps\" must be a number");
  EXPECT_EQ(refusal({{"on", true}, {"path", frame}, {"fps", 0}}),
            "tethering.error.invalidField: field \"fps\" must be above 0 and at most 30");
  EXPECT_EQ(refusal({{"on", true}, {"path", frame}}), "tethering.error.noCamera: no camera is open");
  // Off while off: nothing to end.
  EXPECT_EQ(ask({{"on", false}}), (json{{"reply", 1}, {"ok", true}}));
  EXPECT_FALSE(state.liveView);
}

TEST_F(LiveViewCommandTest, TheFrameFileMustBeAFileInAFolderThatExistsAndHoldsNoPhotos) {
  ASSERT_EQ(gp_camera_new(&state.camera), GP_OK);
  fs::create_directory(folder / "photos");
  fs::create_directory(folder / "taken");
  fs::create_symlink(folder / "photos", folder / "photos-link");
  state.destination = (folder / "photos").string() + "/";
  auto at = [this](const char* path) { return (folder / path).string(); };
  struct Case {
    std::string path;
    const char* text;
  };
  const Case cases[] = {
      {"frame.jpg", "the frame file's path must be absolute"},
      {"", "the frame file's path must be absolute"},
      {std::string("/tmp/a\0b", 8), "the frame file's path must be absolute"},
      {at("gone/frame.jpg"), "the frame file's folder does not exist"},
      {at("taken/"), "the path names a folder"},
      {at("taken"), "the path names a folder"},
      {at("taken/.."), "the path names a folder"},
      {"/dev/null", "the path names something that is not a file"},
      {at("photos/frame.jpg"), "the frame file may not be in the folder that photos are saved into"},
      {at("photos-link/frame.jpg"),
       "the frame file may not be in the folder that photos are saved into"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(refusal({{"on", true}, {"path", c.path}}),
              std::string("tethering.error.invalidPath: ") + c.text)
        << c.path;
  }
  std::ofstream(folder / "file") << "x";
  EXPECT_EQ(refusal({{"on", true}, {"path", at("file/frame.jpg")}}),
            "tethering.error.invalidPath: the frame file's folder is not a folder");

  // A good path reaches the camera's abilities: this one has no preview.
  state.operations = GP_OPERATION_CAPTURE_IMAGE;
  EXPECT_EQ(refusal({{"on", true}, {"path", at("frame.jpg")}}),
            "tethering.error.notSupported: the camera has no live view");
  EXPECT_FALSE(state.liveView);
  EXPECT_FALSE(fs::exists(folder / "frame.jpg"));
}

TEST_F(LiveViewCommandTest, OnWhileOnIsRefusedAndTheEndIsAnnouncedOnce) {
  ASSERT_EQ(gp_camera_new(&state.camera), GP_OK);
  state.liveView.emplace();
  state.liveView->frames = 12;
  state.timers.setNow(Timer::kLiveViewFrame);
  EXPECT_EQ(refusal({{"on", true}, {"path", (folder / "f.jpg").string()}}),
            "tethering.error.liveViewOn: live view is on already");

  carryOutCommand({{"command", "liveView"}, {"on", false}, {"id", 2}});
  carryOutCommand({{"command", "liveView"}, {"on", false}, {"id", 3}});
  EXPECT_EQ(status.lines(),
            (std::vector<json>{{{"event", "liveViewEnded"}, {"reason", "off"}, {"frames", 12}},
                               {{"reply", 2}, {"ok", true}},
                               {{"reply", 3}, {"ok", true}}}));
  EXPECT_FALSE(state.liveView);
  EXPECT_FALSE(state.timers.isSet(Timer::kLiveViewFrame));
}

TEST_F(LiveViewCommandTest, ClosingTheCameraEndsLiveViewWithTheReasonOfTheClose) {
  struct Case {
    const char* phase;
    bool signal;
    std::vector<json> events;
  };
  const Case cases[] = {
      {"ready", false, {{{"event", "liveViewEnded"}, {"reason", "cameraClosed"}, {"frames", 0}}}},
      {"error", false, {{{"event", "liveViewEnded"}, {"reason", "failure"}, {"frames", 0}}}},
      {"ready", true, {}},  // after SIGTERM/SIGINT nothing is written
  };
  for (const Case& c : cases) {
    state.liveView.emplace();
    state.phase = c.phase;
    state.cancelled = c.signal ? 1 : 0;
    closeCamera();
    std::vector<json> events;
    for (json& line : status.lines()) {
      if (line.contains("event")) events.push_back(std::move(line));
    }
    EXPECT_EQ(events, c.events) << c.phase << c.signal;
    EXPECT_FALSE(state.liveView);
  }
}

TEST(LiveViewFailure, OnlyThePortFailingIsTheCamerasFailure) {
  state = SessionState{};
  for (int result : {GP_ERROR_IO, GP_ERROR_TIMEOUT, GP_ERROR_IO_READ, GP_ERROR_IO_USB_FIND,
                     GP_ERROR_IO_LOCK, GP_ERROR_HAL}) {
    EXPECT_TRUE(cameraFailure(result)) << result;
  }
  for (int result : {GP_OK, GP_ERROR, GP_ERROR_NOT_SUPPORTED, GP_ERROR_FIXED_LIMIT_EXCEEDED,
                     GP_ERROR_CAMERA_BUSY, GP_ERROR_CORRUPTED_DATA, GP_ERROR_NO_MEMORY}) {
    EXPECT_FALSE(cameraFailure(result)) << result;
  }
}

}  // namespace
