#include "left_behind.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "downloads.h"
#include "session.h"
#include "status_capture.h"

namespace {

using LeftBehindTest = FreshSessionTest;

CameraFilePath path(const char* folder, const char* name) {
  CameraFilePath record{};
  std::strncpy(record.folder, folder, sizeof record.folder - 1);
  std::strncpy(record.name, name, sizeof record.name - 1);
  return record;
}

// A photo left behind by `camera` for `destination`; with `held` bytes in
// memory, as a photo of libgphoto2's cache is kept.
LeftPhoto& leave(const CameraFilePath& record, const CameraBody& camera = {"Cam", "1"},
                 const std::string& destination = "/photos", std::uint64_t held = 0) {
  LeftPhoto photo;
  photo.record = record;
  photo.camera = camera;
  photo.destination = destination;
  if (held > 0) {
    CameraFile* file = nullptr;
    gp_file_new(&file);
    gp_file_set_data_and_size(file, static_cast<char*>(std::calloc(1, 1)), 1);
    photo.bytes.reset(file);
    photo.size = held;  // as if it held that much
    state.leftBehind.heldBytes += held;
  }
  return state.leftBehind.photos.emplace_back(std::move(photo));
}

void queue(const CameraFilePath& record) {
  state.pendingFiles.append(fileIdentity(&record));
  state.pendingPaths[fileIdentity(&record)] = record;
}

std::string names() {
  std::string text;
  for (const LeftPhoto& photo : state.leftBehind.photos) text += rawIdentity(photo.record) + " ";
  return text;
}

TEST_F(LeftBehindTest, AStartTakesUpOnlyItsCameraAndFolderWithoutBlockingNewPhotos) {
  const CameraFilePath ram = path("/", "capt0000.jpg");
  const CameraFilePath card = path("/DCIM", "IMG_1.JPG");
  leave(ram, {"Cam", "1"}, "/photos", 100);
  leave(card);
  leave(card, {"Cam", "2"});
  leave(card, {"Cam", "1"}, "/elsewhere");
  state.cameraIdentity = {"Cam", "1"};
  state.destination = "/photos";
  takeUpLeftBehind();

  ASSERT_EQ(state.pendingFiles.size(), 2u);
  // The photo of memory is saved from there: not held by libgphoto2, and
  // the camera's own new capt0000.jpg of this session is queued beside it.
  EXPECT_EQ(takenUp(state.pendingFiles.front()), &state.leftBehind.photos[0]);
  EXPECT_FALSE(heldPhotoQueued());
  EXPECT_TRUE(enqueueDownload(&ram));
  // A card photo keeps its identity: announced again, it is not queued twice.
  EXPECT_FALSE(enqueueDownload(&card));
  EXPECT_EQ(state.pendingFiles.size(), 3u);
}

TEST_F(LeftBehindTest, TheFailedDownloadGoesFirstAndAPhotoTakenUpKeepsItsPlaceAndTries) {
  const CameraFilePath older = path("/DCIM", "OLD.JPG");
  const CameraFilePath failed = path("/DCIM", "A.JPG");
  leave(older);
  state.cameraIdentity = {"Cam", "1"};
  state.destination = "/photos";
  takeUpLeftBehind();
  queue(path("/DCIM", "B.JPG"));
  // A.JPG, just announced, fails on our side (a full disk, say).
  EXPECT_FALSE(noteFailedDownload(fileIdentity(&failed), failed, DownloadFault::kElsewhere));
  leaveBehindQueued();
  state.pendingFiles.clear();
  EXPECT_EQ(names(), "/DCIM/OLD.JPG /DCIM/A.JPG /DCIM/B.JPG ");

  takeUpLeftBehind();
  // Then OLD.JPG fails on the camera's side.
  std::string key = state.pendingFiles.front();
  state.pendingFiles.popFront();
  EXPECT_FALSE(noteFailedDownload(key, older, DownloadFault::kCamera));
  leaveBehindQueued();
  state.pendingFiles.clear();
  EXPECT_EQ(names(), "/DCIM/OLD.JPG /DCIM/A.JPG /DCIM/B.JPG ");
  EXPECT_EQ(state.leftBehind.photos[0].cameraFailures, 1);
  EXPECT_EQ(state.leftBehind.photos[1].cameraFailures, 0);

  // Its second failure on the camera's side gives it up; the session goes on.
  takeUpLeftBehind();
  EXPECT_TRUE(noteFailedDownload(state.pendingFiles.front(), older, DownloadFault::kCamera));
  EXPECT_EQ(names(), "/DCIM/A.JPG /DCIM/B.JPG ");
}

TEST_F(LeftBehindTest, BoundsGiveUpTheOldestPhotosAndTheOldestHeldBytes) {
  for (int n = 0; n < 514; ++n) queue(path("/DCIM", ("IMG_" + std::to_string(n) + ".JPG").c_str()));
  leaveBehindQueued();
  ASSERT_EQ(state.leftBehind.photos.size(), kLeftBehindLimit);
  EXPECT_STREQ(state.leftBehind.photos.front().record.name, "IMG_2.JPG");

  state = SessionState{};
  leave(path("/", "capt0000.jpg"), {"Cam", {}}, "/photos", 600 << 20);
  leave(path("/DCIM", "IMG_1.JPG"));
  leave(path("/", "capt0001.jpg"), {"Cam", {}}, "/photos", 600 << 20);
  keepWithinBounds();
  EXPECT_EQ(names(), "/DCIM/IMG_1.JPG /capt0001.jpg ");
  EXPECT_EQ(state.leftBehind.heldBytes, 600u << 20);

  giveUpLeftBehindAtExit();
  EXPECT_TRUE(state.leftBehind.photos.empty());
  EXPECT_EQ(state.leftBehind.heldBytes, 0u);
}

}  // namespace
