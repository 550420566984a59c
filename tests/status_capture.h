// Captures the status lines that the code under test writes, and a fixture
// that gives each test a fresh state.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "session.h"

class StatusCapture {
 public:
  StatusCapture() {
    if (pipe2(fds_, O_NONBLOCK) == 0) {
      fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20);  // room for bursts of lines
      setStatusOutput(fds_[1]);
    }
  }
  ~StatusCapture() {
    setStatusOutput(-1);
    close(fds_[0]);
    close(fds_[1]);
  }
  StatusCapture(const StatusCapture&) = delete;
  StatusCapture& operator=(const StatusCapture&) = delete;

  // Every status line written since the last call, parsed.
  std::vector<nlohmann::json> lines() {
    char chunk[65536];
    ssize_t n;
    while ((n = read(fds_[0], chunk, sizeof chunk)) > 0) pending_.append(chunk, n);
    std::vector<nlohmann::json> result;
    std::size_t start = 0, end;
    while ((end = pending_.find('\n', start)) != std::string::npos) {
      result.push_back(nlohmann::json::parse(pending_.substr(start, end - start)));
      start = end + 1;
    }
    pending_.erase(0, start);
    return result;
  }

 private:
  int fds_[2] = {-1, -1};
  std::string pending_;
};

// A test that starts from a fresh state, leaves one behind, and sees the
// status lines written meanwhile.
class FreshSessionTest : public testing::Test {
 protected:
  void SetUp() override { state = SessionState{}; }
  void TearDown() override { state = SessionState{}; }
  StatusCapture status;
};
