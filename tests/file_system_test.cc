#include "file_system.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;

TEST(FileSystem, AFolderWorksOnItsOwnFilesAndNeverReplacesOne) {
  char pattern[] = "/tmp/camrelay-fs-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path folder = pattern;
  std::ofstream(folder / "b") << "b";
  fs::create_symlink(folder / "elsewhere", folder / "link");

  Folder open(folder.string());
  ASSERT_TRUE(open.isOpen());
  EXPECT_TRUE(open.createFile("t").isOpen());
  EXPECT_FALSE(fs::exists(folder / "t"));  // removed with its owner
  {
    TemporaryFile created = open.createFile("t");
    ASSERT_TRUE(created.isOpen());
    EXPECT_EQ(created.commitAs("a"), RenameOutcome::kDone);  // kept from here on
  }
  EXPECT_EQ(fs::status(folder / "a").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  for (const char* taken : {"a", "link"}) {
    errno = 0;
    EXPECT_FALSE(open.createFile(taken).isOpen()) << taken;
    EXPECT_EQ(errno, EEXIST) << taken;
  }
  EXPECT_FALSE(fs::exists(folder / "elsewhere"));

  EXPECT_EQ(open.renameExclusive("a", "b"), RenameOutcome::kNameTaken);
  EXPECT_TRUE(fs::exists(folder / "a"));
  EXPECT_EQ(open.renameExclusive("a", "c"), RenameOutcome::kDone);
  EXPECT_FALSE(fs::exists(folder / "a"));
  errno = 0;
  EXPECT_EQ(open.renameExclusive("missing", "d"), RenameOutcome::kFailed);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(open.removeFile("c"));
  EXPECT_FALSE(fs::exists(folder / "c"));
  EXPECT_TRUE(open.sync());

  errno = 0;
  EXPECT_FALSE(Folder((folder / "nothing").string()).isOpen());
  EXPECT_EQ(errno, ENOENT);
  fs::remove_all(folder);
}

TEST(FileSystem, AReplacingCommitTakesTheNameOfAFileButNeverOfAFolder) {
  char pattern[] = "/tmp/camrelay-fs-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path folder = pattern;
  std::ofstream(folder / "frame") << "old frame";
  fs::create_directory(folder / "sub");
  Folder open(folder.string());
  TemporaryFile next = open.createFile("t");
  ASSERT_TRUE(writeWhole(next.descriptor(), "new", 3));
  EXPECT_FALSE(next.commitReplacing("sub"));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_TRUE(next.commitReplacing("frame"));
  EXPECT_EQ(fs::file_size(folder / "frame"), 3u);
  EXPECT_FALSE(fs::exists(folder / "t"));

  EXPECT_EQ(pathKind((folder / "frame").string()), PathKind::kFile);
  EXPECT_EQ(pathKind((folder / "sub").string()), PathKind::kFolder);
  EXPECT_EQ(pathKind((folder / "frame" / "x").string()), PathKind::kMissing);
  EXPECT_EQ(pathKind("/dev/null"), PathKind::kOther);
  EXPECT_TRUE(sameFile(folder.string(), (folder / "sub" / "..").string()));
  EXPECT_FALSE(sameFile((folder / "none").string(), (folder / "none").string()));
  fs::remove_all(folder);
}

TEST(FileSystem, UuidsAreRandomVersionFourInUpperCase) {
  std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    std::string uuid = randomUuid();
    EXPECT_TRUE(std::regex_match(uuid, form)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 100u);
}

TEST(FileSystem, UptimeNeverGoesBackAndJoinUsesOneSlash) {
  double first = uptimeSeconds();
  EXPECT_GT(first, 0);
  EXPECT_GE(uptimeSeconds(), first);
  EXPECT_EQ(joinPath("/photos", "a.jpg"), "/photos/a.jpg");
  EXPECT_EQ(joinPath("/photos/", "a.jpg"), "/photos/a.jpg");
  EXPECT_EQ(joinPath("/", "a.jpg"), "/a.jpg");
}

}  // namespace
