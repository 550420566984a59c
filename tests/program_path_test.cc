#include "program_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class ProgramPathTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/program_path_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = fs::canonical(pattern);
    fs::create_directories(root / "install");
    fs::create_directories(root / "links");
    fs::create_directories(root / "work");
    std::ofstream(root / "install" / "camrelay") << "";
    fs::create_symlink(root / "install" / "camrelay", root / "links" / "camrelay");
    fs::create_symlink(root / "links" / "camrelay", root / "links" / "again");
  }
  void TearDown() override { fs::remove_all(root); }

  fs::path root;
};

TEST_F(ProgramPathTest, TheOperatingSystemsAnswerWinsOverArgv0) {
  std::string self = (root / "links" / "camrelay").string();
  // Started by a bare name found through PATH: argv0 says nothing about the
  // folder and must not lead to the working folder.
  EXPECT_EQ(programFolder(self.c_str(), "camrelay"), (root / "install").string());
  EXPECT_EQ(programFolder(self.c_str(), "/elsewhere/camrelay"), (root / "install").string());
}

TEST_F(ProgramPathTest, ChainsOfSymbolicLinksLeadToTheRealFolder) {
  std::string self = (root / "links" / "again").string();
  EXPECT_EQ(programFolder(self.c_str(), nullptr), (root / "install").string());
}

TEST_F(ProgramPathTest, FallsBackOnArgv0WhenTheOperatingSystemCannotTell) {
  const char* missing = "/nonexistent/self";
  fs::path previous = fs::current_path();
  fs::current_path(root / "work");
  std::string viaLink = (root / "links" / "again").string();
  EXPECT_EQ(programFolder(missing, viaLink.c_str()), (root / "install").string());
  EXPECT_EQ(programFolder(missing, "/usr/local/bin/camrelay"), "/usr/local/bin");
  EXPECT_EQ(programFolder(missing, "/camrelay"), "/");
  EXPECT_EQ(programFolder(missing, "camrelay"), "");
  EXPECT_EQ(programFolder(missing, nullptr), "");
  EXPECT_EQ(programFolder(missing, "bad\xff/camrelay"), "");
  fs::current_path(previous);
}

TEST(ProgramFolderTest, FindsThisTestBinary) {
  EXPECT_EQ(programFolder("argv0 is ignored"),
            fs::canonical("/proc/self/exe").parent_path().string());
}

}  // namespace
