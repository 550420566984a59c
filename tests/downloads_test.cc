#include "downloads.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "session.h"
#include "status_capture.h"

namespace {

namespace fs = std::filesystem;

CameraFilePath record(const std::string& folder, const std::string& name) {
  CameraFilePath path{};
  std::memcpy(path.folder, folder.data(), std::min(folder.size(), sizeof path.folder));
  std::memcpy(path.name, name.data(), std::min(name.size(), sizeof path.name));
  return path;
}

using DownloadsTest = FreshSessionTest;

TEST_F(DownloadsTest, PhotoNamesAreRecognisedByExtensionIgnoringItsCase) {
  for (const char* name : {"a.jpg", "DSC0001.Jpg", "x.JPEG", "b.heic", "c.CR3", "d.nef", "e.3fr",
                           "f.x3f", "g.erf", "h.srw", "a.b.arw", "dir/i.dng"}) {
    EXPECT_TRUE(photoName(name)) << name;
  }
  for (const char* name :
       {"clip.mov", "clip.MP4", "jpg", "noextension", "", "a.jpg.xmp", "a.", "a.jpg/b"}) {
    EXPECT_FALSE(photoName(name)) << name;
  }
}

TEST_F(DownloadsTest, CameraFilenameKeepsOnlyTheLastComponentAndItsCase) {
  CameraFilePath nested = record("/store_00010001/DCIM", "100MSDCF/DSC0001.Jpg");
  EXPECT_EQ(cameraFilename(&nested), "DSC0001.Jpg");
  EXPECT_EQ(fileIdentity(&nested), "/store_00010001/DCIM/100MSDCF/DSC0001.Jpg");
  CameraFilePath escaping = record("/DCIM", "../../etc/x.jpg");
  EXPECT_EQ(cameraFilename(&escaping), "x.jpg");
  CameraFilePath trailing = record("/DCIM", "a.jpg/");
  EXPECT_EQ(cameraFilename(&trailing), "a.jpg");
}

TEST_F(DownloadsTest, CaptPrefixIsDroppedOnlyForSonyCapturesInTheRootFolder) {
  CameraFilePath root = record("/", "capt_DSC00001.ARW");
  EXPECT_EQ(cameraFilename(&root), "capt_DSC00001.ARW");  // flag off
  state.sonyCaptureNames = true;
  EXPECT_EQ(cameraFilename(&root), "DSC00001.ARW");
  EXPECT_EQ(fileIdentity(&root), "//capt_DSC00001.ARW");
  CameraFilePath elsewhere = record("/DCIM", "capt_DSC00001.ARW");
  EXPECT_EQ(cameraFilename(&elsewhere), "capt_DSC00001.ARW");
  CameraFilePath upper = record("/", "CAPT_DSC00001.ARW");
  EXPECT_EQ(cameraFilename(&upper), "CAPT_DSC00001.ARW");
  CameraFilePath dotted = record("/", "capt_clip.mov.jpg");
  EXPECT_EQ(cameraFilename(&dotted), "clip.mov.jpg");
  CameraFilePath notPhotoRest = record("/", "capt_.jpgx");
  EXPECT_EQ(cameraFilename(&notPhotoRest), "capt_.jpgx");
}

TEST_F(DownloadsTest, FieldsThatAreNotUtf8OrNotTerminatedReadAsEmpty) {
  CameraFilePath badFolder = record("/DC\xff", "a.jpg");
  EXPECT_EQ(fileIdentity(&badFolder), "/a.jpg");
  CameraFilePath badName = record("/DCIM", "\xc3(.jpg");
  EXPECT_EQ(cameraFilename(&badName), "");

  CameraFilePath full{};
  std::memset(full.name, 'a', sizeof full.name);
  std::memcpy(full.name + sizeof full.name - 4, ".jpg", 4);  // no NUL anywhere
  std::memcpy(full.folder, "/DCIM", 5);
  EXPECT_EQ(recordName(full), "");
  EXPECT_EQ(cameraFilename(&full), "");
  enqueueDownload(&full);
  EXPECT_TRUE(state.pendingFiles.empty());

  CameraFilePath fullFolder = record("", "a.jpg");
  std::memset(fullFolder.folder, '/', sizeof fullFolder.folder);
  EXPECT_EQ(recordFolder(fullFolder), "");
  enqueueDownload(&fullFolder);  // it could not be fetched: never queued
  EXPECT_TRUE(state.pendingFiles.empty());
}

TEST_F(DownloadsTest, EnqueueTakesEachPhotoOnceAndKeepsItsOwnCopy) {
  CameraFilePath photo = record("/DCIM/100", "IMG_0001.JPG");
  enqueueDownload(&photo);
  enqueueDownload(&photo);
  CameraFilePath movie = record("/DCIM/100", "MVI_0002.MOV");
  enqueueDownload(&movie);
  CameraFilePath bare = record("/DCIM/100", "README");
  enqueueDownload(&bare);
  ASSERT_EQ(state.pendingFiles.size(), 1u);
  EXPECT_EQ(state.pendingFiles.front(), "/DCIM/100/IMG_0001.JPG");

  std::memcpy(photo.name, "IMG_9999.JPG", 12);  // the caller reuses its record
  const CameraFilePath& kept = state.pendingPaths.at("/DCIM/100/IMG_0001.JPG");
  EXPECT_STREQ(kept.name, "IMG_0001.JPG");
  EXPECT_EQ(state.pendingPaths.size(), 1u);

  state.received.append("/DCIM/100/IMG_0003.JPG");
  CameraFilePath saved = record("/DCIM/100", "IMG_0003.JPG");
  enqueueDownload(&saved);
  EXPECT_EQ(state.pendingFiles.size(), 1u);
  EXPECT_TRUE(status.lines().empty());
}

TEST_F(DownloadsTest, DownloadNextWithoutACameraLeavesTheQueueAlone) {
  CameraFilePath photo = record("/DCIM", "a.jpg");
  enqueueDownload(&photo);
  downloadNext();
  EXPECT_EQ(state.pendingFiles.size(), 1u);
  EXPECT_TRUE(status.lines().empty());
}

TEST(NumberedName, GoesBeforeTheLastExtensionOnly) {
  EXPECT_EQ(numberedName("IMG_0001.JPG", 1), "IMG_0001_1.JPG");
  EXPECT_EQ(numberedName("a.b.jpg", 12), "a.b_12.jpg");
  EXPECT_EQ(numberedName("DSC0001.Jpg", 2), "DSC0001_2.Jpg");
}

class PlaceFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/camrelay-place-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) {
    std::ifstream in(folder_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path folder_;
};

TEST_F(PlaceFileTest, TakenNamesGetTheNextFreeNumberAndStayUntouched) {
  write("IMG_0001.JPG", "first");
  write("IMG_0001_1.JPG", "second");
  Folder folder(folder_.string());
  {
    TemporaryFile file = folder.createFile(".lumetra-T");
    ASSERT_TRUE(file.isOpen());
    ASSERT_EQ(::write(file.descriptor(), "new", 3), 3);
    auto placed = placeFile(file, "IMG_0001.JPG");
    ASSERT_TRUE(placed.has_value());
    EXPECT_EQ(*placed, "IMG_0001_2.JPG");
  }
  EXPECT_EQ(read("IMG_0001.JPG"), "first");
  EXPECT_EQ(read("IMG_0001_1.JPG"), "second");
  EXPECT_EQ(read("IMG_0001_2.JPG"), "new");  // kept: the rename committed it
  EXPECT_FALSE(fs::exists(folder_ / ".lumetra-T"));

  TemporaryFile free = folder.createFile(".lumetra-T");
  EXPECT_EQ(placeFile(free, "DSC0001.Jpg"), "DSC0001.Jpg");
}

TEST_F(PlaceFileTest, ARefusedRenameStopsTheLoopAndTheFileGoesWithItsOwner) {
  Folder folder(folder_.string());
  {
    TemporaryFile file = folder.createFile(".lumetra-T");
    errno = 0;
    EXPECT_FALSE(placeFile(file, "sub/a.jpg").has_value());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(fs::exists(folder_ / ".lumetra-T"));
    // A second file of the same name is refused, and removes nothing.
    errno = 0;
    EXPECT_FALSE(folder.createFile(".lumetra-T").isOpen());
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(fs::exists(folder_ / ".lumetra-T"));
  }
  EXPECT_FALSE(fs::exists(folder_ / ".lumetra-T"));
}

}  // namespace
