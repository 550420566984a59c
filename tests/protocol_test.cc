#include "protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "captures.h"
#include "commands.h"
#include "downloads.h"
#include "fake_clock.h"
#include "left_behind.h"
#include "main_loop.h"
#include "status_capture.h"

namespace {

using nlohmann::json;
using ProtocolTest = FakeClockTest;

TEST_F(ProtocolTest, AnIdIsCopiedAsItCameOrRefused) {
  EXPECT_EQ(replyId(json{{"command", "x"}}), json());
  for (const json& id : {json(7), json(-7), json(std::string(kMaxIdBytes, 'a')), json("")}) {
    EXPECT_EQ(replyId(json{{"id", id}}), id);
  }
  for (const json& id : {json(1.5), json(true), json(nullptr), json::array(), json::object(),
                         json(std::string(kMaxIdBytes + 1, 'a'))}) {
    EXPECT_FALSE(replyId(json{{"id", id}})) << id;
  }
}

TEST_F(ProtocolTest, ProtocolOneWritesNoReplyAndNoEvent) {
  carryOutCommand({{"command", "cameras"}});  // an unknown word in protocol 1
  writeEvent("photo", json::object());
  writeReply(1, Answer::ok());
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["phase"], "idle");

  carryOutCommand({{"command", "hello"}, {"protocol", 2}, {"id", "h"}});
  carryOutCommand({{"command", "capture"}});
  lines = status.lines();
  ASSERT_EQ(lines.size(), 2u);  // two replies, and no status line for the refusal
  EXPECT_EQ(lines[0]["reply"], "h");
  EXPECT_EQ(lines[1]["error"]["key"], kNoCamera);
}

TEST_F(ProtocolTest, AFailureIsAnsweredByItsKey) {
  struct Case {
    std::string text;
    std::optional<int> code;
    const char* key;
  };
  for (const Case& c : {Case{kCameraUnavailable, {}, kCameraUnavailable},
                        Case{kCameraBusy, GP_ERROR_IO_USB_CLAIM, kCameraBusy},
                        Case{"I/O problem", GP_ERROR_IO, kCameraFailed},
                        Case{"No space left on device", {}, kSystemFailed}}) {
    state.failure = c.text;
    state.failureCode = c.code;
    Answer answer = failureAnswer();
    ASSERT_TRUE(answer.refusal);
    EXPECT_EQ(answer.refusal->key, c.key);
    EXPECT_EQ(answer.refusal->text, c.text);
    EXPECT_EQ(answer.refusal->code, c.code);
  }
}

TEST_F(ProtocolTest, AFolderWrittenAnotherWayIsTheSameFolder) {
  for (const char* same : {"/photos/shoot", "/photos/shoot/", "/photos//shoot",
                           "//photos/./shoot/.", "/photos/shoot//"}) {
    EXPECT_EQ(sameFolderKey(same), "/photos/shoot") << same;
  }
  EXPECT_EQ(sameFolderKey("/"), "/");
  EXPECT_EQ(sameFolderKey("/./"), "/");
  EXPECT_NE(sameFolderKey("/photos/../shoot"), sameFolderKey("/shoot"));
  EXPECT_NE(sameFolderKey("/photos/shoot2"), sameFolderKey("/photos/shoot"));
}

TEST_F(ProtocolTest, EachAnnouncedFileBelongsToTheCaptureThatMadeIt) {
  // Two triggers in flight; the first makes a pair, the camera's button a
  // photo once nothing is in flight and the pair's time has passed.
  captureInFlight(numberCapture());
  captureInFlight(numberCapture());
  EXPECT_EQ(captureOfAnnounced("IMG_0001.JPG"), 1u);
  EXPECT_EQ(captureOfAnnounced("IMG_0001.NEF"), 1u);  // same stem: the pair
  EXPECT_EQ(captureOfAnnounced("IMG_0002.JPG"), 2u);
  EXPECT_EQ(captureOfAnnounced("capt0005.nef"), 2u);  // another format, none in flight
  EXPECT_EQ(captureOfAnnounced("IMG_0003.JPG"), 0u);  // in the pair's time, same format
  EXPECT_EQ(captureOfAnnounced("DSC_0004.ARW"), 0u);  // a pair has two files, no more
  fakeNow += kPairWait + std::chrono::milliseconds(1);
  EXPECT_EQ(captureOfAnnounced("IMG_0004.NEF"), 0u);

  captureReturned(numberCapture(), "capt0000.nef");
  EXPECT_EQ(captureOfAnnounced("capt0001.jpg"), 3u);

  // Given up: one event each.
  captureInFlight(numberCapture());
  state.protocol = 2;
  loseCapturesInFlight("a test");
  auto lines = status.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(
      lines[0],
      (json{
          {"event", "captureLost"}, {"capture", 4}, {"reason", "a test"}, {"mayBeOnCard", true}}));
  EXPECT_TRUE(state.capturesInFlight.empty());
}

TEST_F(ProtocolTest, AFileThatIsNotFetchedEndsNoCapture) {
  auto path = [](const char* name) {
    CameraFilePath record{};
    std::strcpy(record.folder, "/DCIM/100");
    std::strcpy(record.name, name);
    return record;
  };
  CameraFilePath earlier = path("IMG_0001.JPG"), movie = path("MVI_0002.MOV");
  CameraFilePath own = path("IMG_0003.JPG");
  EXPECT_TRUE(enqueueAnnounced(&earlier));
  captureInFlight(numberCapture());
  // Neither could be told to the host as the capture's photo.
  EXPECT_FALSE(enqueueAnnounced(&movie));
  EXPECT_FALSE(enqueueAnnounced(&earlier));  // announced again
  EXPECT_TRUE(enqueueAnnounced(&own));
  EXPECT_EQ(captureOf("/DCIM/100/IMG_0003.JPG"), 1u);
  EXPECT_EQ(captureOf("/DCIM/100/IMG_0001.JPG"), 0u);
}

TEST_F(ProtocolTest, AQuickStopIsFoundInTheProtocolThatTheLinesBeforeItLeave) {
  const std::string stop = "{\"command\":\"stop\",\"leave\":true}\n";
  const std::string hello = "{\"command\":\"hello\",\"protocol\":2}\n";
  EXPECT_FALSE(quickStopIn(stop));  // protocol 1: a stop like any other
  EXPECT_TRUE(quickStopIn("{\"command\":\"capture\"}\n" + hello + stop));
  EXPECT_FALSE(quickStopIn(hello + "{\"command\":\"stop\",\"leave\":true}"));  // no line end yet
  state.protocol = 2;
  EXPECT_TRUE(quickStopIn(stop));
  EXPECT_FALSE(quickStopIn("{\"command\":\"stop\",\"leave\":false}\n"));
  EXPECT_FALSE(quickStopIn("{\"command\":\"stop\",\"leave\":true,\"id\":1.5}\n"));
  EXPECT_FALSE(quickStopIn(std::string("{\"command\":\"stop\",\"leave\":true}\0\n", 33)));
}

}  // namespace
