#include "diagnostic_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class DiagnosticLogTest : public testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("camrelay-log-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    path = folder / "camrelay.log";
  }
  void TearDown() override {
    closeDiagnosticLog();
    fs::remove_all(folder);
  }

  static std::vector<std::string> linesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    EXPECT_TRUE(text.empty() || text.back() == '\n') << file << " ends inside a line";
    std::vector<std::string> lines;
    std::string line;
    std::istringstream split(text);
    while (std::getline(split, line)) lines.push_back(line);
    return lines;
  }

  // "<ms> log begins at 2024-05-01T12:34:56.789+02:00 local time"
  static bool wallClock(const std::string& line) {
    static const std::regex form(
        R"([0-9.]+ log begins at \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d local time)");
    return std::regex_match(line, form);
  }

  fs::path folder, path;
};

TEST(LogEscapeTest, OnlyUnsafeBytesAreEscaped) {
  struct Case {
    std::string raw, shown;
  } cases[] = {
      {"IMG_0001.JPG", "IMG_0001.JPG"},
      {"caf\xc3\xa9 \xf0\x9f\x93\xb7", "caf\xc3\xa9 \xf0\x9f\x93\xb7"},
      {"a\nb\rc\td", "a\\x0Ab\\x0Dc\\x09d"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"bad\xff\xc3", "bad\\xFF\\xC3"},
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},  // a surrogate is no UTF-8
      {"back\\x0A", "back\\x5Cx0A"},        // no forged escape either
      {"del\x7f", "del\\x7F"},
  };
  for (const Case& c : cases) EXPECT_EQ(escapedLogText(c.raw), c.shown) << c.raw;
}

TEST_F(DiagnosticLogTest, EachEventIsOneStampedLineInAPrivateFile) {
  openDiagnosticLog(path.string(), false);
  ASSERT_TRUE(logging());
  logEvent("download ", std::string_view("evil\nname\xff.jpg"), " bytes=", 4096, " ok=", true,
           " ms=", 1.25);
  closeDiagnosticLog();
  auto lines = linesOf(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(wallClock(lines[0])) << lines[0];
  EXPECT_TRUE(lines[1].ends_with(" download evil\\x0Aname\\xFF.jpg bytes=4096 ok=yes ms=1.2"))
      << lines[1];
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(DiagnosticLogTest, ALogDrivenPastItsLimitKeepsTwoFilesOfWholeLines) {
  constexpr std::int64_t limit = 1000;
  openDiagnosticLog(path.string(), false, limit);
  for (int i = 0; i < 200; ++i) logEvent("event number ", i, " with some text to fill the file");
  ASSERT_TRUE(logging());
  closeDiagnosticLog();

  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  EXPECT_EQ(files.size(), 2u);
  fs::path older = path.string() + ".1";
  EXPECT_LE(fs::file_size(older), static_cast<std::uintmax_t>(limit));
  // Each file begins with the wall-clock time, then whole lines.
  for (const fs::path& file : {older, path}) {
    auto lines = linesOf(file);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(wallClock(lines[0])) << lines[0];
    for (std::size_t i = 1; i < lines.size(); ++i)
      EXPECT_NE(lines[i].find(" with some text to fill the file"), std::string::npos);
  }
  EXPECT_NE(linesOf(path).back().find("event number 199 "), std::string::npos);
}

TEST_F(DiagnosticLogTest, ALinkAtTheLogsPathIsNotFollowed) {
  fs::create_symlink(folder / "target.log", path);
  openDiagnosticLog(path.string(), false);
  EXPECT_FALSE(logging());
  logEvent("nothing happens");
  EXPECT_FALSE(fs::exists(folder / "target.log"));
}

}  // namespace
