#include "main_loop.h"

#include <gtest/gtest.h>

#include "session.h"
#include "status_capture.h"

namespace {

class FramingTest : public FreshSessionTest {
 protected:
  // Feeds `input` in pieces of `piece` bytes, carrying out lines after each
  // append as the loop does. false once the input limit was overrun.
  bool feed(const std::string& input, std::size_t piece) {
    for (std::size_t at = 0; at < input.size(); at += piece) {
      std::string chunk = input.substr(at, piece);
      bool accepted = appendInput(buffer, chunk.data(), chunk.size());
      if (accepted) carryOutLines(buffer);
      for (auto& line : status.lines()) seen.push_back(std::move(line));
      if (!accepted) return false;
    }
    return true;
  }

  std::string buffer;
  std::vector<nlohmann::json> seen;
};

TEST_F(FramingTest, LinesThatAreNotJsonObjectsAreDroppedSilently) {
  ASSERT_TRUE(feed("\n[1,2]\nnot json\n\"text\"\n42\n{\"command\":\n", 4096));
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(buffer.empty());
}

TEST_F(FramingTest, ALineHoldingANulIsDroppedWhole) {
  using namespace std::string_literals;
  ASSERT_TRUE(
      feed("{\"command\":\"stop\"}\0garbage\n"
           "{\"command\":\"capture\"}\0{\"command\":\"stop\"}\n"
           "\0{}\n"
           "{\"command\":\"x\"}\n"s,
           4096));
  ASSERT_EQ(seen.size(), 1u);  // only the last line
  EXPECT_EQ(seen[0]["phase"], "idle");
}

TEST_F(FramingTest, ObjectsWithoutAKnownCommandGetOneUnchangedLine) {
  ASSERT_TRUE(feed("{}\n{\"command\":\"Start\"}\n{\"command\":7}\n{\"command\":\"zoom\"}\n", 4096));
  ASSERT_EQ(seen.size(), 4u);
  for (const auto& line : seen) EXPECT_EQ(line["phase"], "idle");
}

TEST_F(FramingTest, ACommandSplitOverReadsWaitsForItsLineEnd) {
  ASSERT_TRUE(feed("{\"comm", 4096));
  EXPECT_TRUE(seen.empty());
  ASSERT_TRUE(feed("and\":\"x\"}", 4096));
  EXPECT_TRUE(seen.empty());
  ASSERT_TRUE(feed("\n{\"command\":\"y\"", 4096));
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(buffer, "{\"command\":\"y\"");
}

TEST_F(FramingTest, ALineOfExactlyTheLimitIsCarriedOut) {
  std::string line = "{\"command\":\"x\",\"pad\":\"";
  line += std::string(kInputLimit - line.size() - 3, 'a') + "\"}\n";
  ASSERT_EQ(line.size(), kInputLimit);
  ASSERT_TRUE(feed(line, 4096));
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(FramingTest, OverrunIsReportedEvenWhenTheReadCompletesTheLine) {
  std::string line = "{\"command\":\"x\",\"pad\":\"";
  line += std::string(kInputLimit - line.size() - 2, 'a') + "\"}\n";
  ASSERT_EQ(line.size(), kInputLimit + 1);
  EXPECT_FALSE(feed(line, 4096));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]["phase"], "error");
  EXPECT_EQ(seen[0]["error"], kHelperProtocol);
}

TEST_F(FramingTest, ShortLinesNeverAccumulateTowardsTheLimit) {
  std::string many;
  while (many.size() <= 3 * kInputLimit) many += "{\"command\":\"x\"}\n";
  EXPECT_TRUE(feed(many, 4096));
  EXPECT_EQ(seen.size(), many.size() / 16);
}

TEST_F(FramingTest, StringsThatAreNotUtf8AreRejectedWithTheLine) {
  ASSERT_TRUE(feed("{\"command\":\"x\xff\"}\n", 4096));
  EXPECT_TRUE(seen.empty());
  // Python's json.dumps writes an undecodable byte of a file name so.
  ASSERT_TRUE(feed("{\"command\":\"stop\",\"directory\":\"/a\\udcff\"}\n", 4096));
  EXPECT_TRUE(seen.empty());
}

TEST_F(FramingTest, WhatOtherWritersPutAroundAnObjectIsAccepted) {
  // A byte-order mark before it, a carriage return after it, and a key given
  // twice, where the last one stands: each line is a "stop" (two lines).
  ASSERT_TRUE(
      feed("\xEF\xBB\xBF{\"command\":\"stop\"}\n"
           "{\"command\":\"stop\"}\r\n"
           "{\"command\":\"capture\",\"command\":\"stop\"}\n",
           4096));
  ASSERT_EQ(seen.size(), 6u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i]["phase"], i % 2 == 0 ? "stopping" : "idle");
  }
}

}  // namespace
