#include "file_system.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;

TEST(FileSystem, RenameExclusiveNeverReplacesAFile) {
  char pattern[] = "/tmp/camrelay-fs-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  fs::path folder = pattern;
  std::ofstream(folder / "a") << "a";
  std::ofstream(folder / "b") << "b";

  EXPECT_EQ(renameExclusive((folder / "a").string(), (folder / "b").string()),
            RenameOutcome::kNameTaken);
  EXPECT_TRUE(fs::exists(folder / "a"));
  EXPECT_EQ(renameExclusive((folder / "a").string(), (folder / "c").string()),
            RenameOutcome::kDone);
  EXPECT_FALSE(fs::exists(folder / "a"));
  errno = 0;
  EXPECT_EQ(renameExclusive((folder / "missing").string(), (folder / "d").string()),
            RenameOutcome::kFailed);
  EXPECT_EQ(errno, ENOENT);

  EXPECT_TRUE(syncFolder(folder.string()));
  errno = 0;
  EXPECT_FALSE(syncFolder((folder / "nothing").string()));
  EXPECT_EQ(errno, ENOENT);
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
