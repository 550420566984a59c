// Host input through the framing and command dispatch, without a camera:
// the bytes arrive in reads of a size that the last byte picks, and every
// line written must be one JSON object: a status line with exactly the 13
// keys, or, once a hello has been carried out, a reply (whose id is null, an
// integer or a string of at most 256 bytes) or an event. In protocol 2 each
// complete line gets exactly one reply.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "main_loop.h"
#include "protocol.h"
#include "session.h"

namespace {

const std::set<std::string> kStatusKeys = {"phase",
                                           "error",
                                           "cameraId",
                                           "canCapture",
                                           "pendingCount",
                                           "lastTransfer",
                                           "count",
                                           "lastFile",
                                           "cameras",
                                           "cameraParameters",
                                           "cameraParametersUnavailable",
                                           "backend",
                                           "libraryVersion"};

// The status lines written since the last call, taken out of `fd`.
std::string takeOutput(int fd) {
  std::string text;
  char chunk[65536];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, n);
  if (ftruncate(fd, 0) != 0) abort();
  lseek(fd, 0, SEEK_SET);
  return text;
}

// Checks every line of `output`; returns how many replies it holds.
std::size_t checkLines(const std::string& output) {
  if (!output.empty() && output.back() != '\n') abort();
  std::size_t replies = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    nlohmann::json line = nlohmann::json::parse(output.substr(start, end - start), nullptr, false);
    if (line.is_discarded() || !line.is_object()) abort();
    if (line.contains("reply")) {
      const nlohmann::json& id = line["reply"];
      bool fits = id.is_null() || id.is_number_integer() ||
                  (id.is_string() && id.get_ref<const std::string&>().size() <= kMaxIdBytes);
      if (!fits || !line["ok"].is_boolean() || line.contains("event")) abort();
      ++replies;
      continue;
    }
    if (line.contains("event")) continue;
    if (line.size() != kStatusKeys.size()) abort();
    for (const auto& [key, value] : line.items()) {
      if (kStatusKeys.count(key) == 0) abort();
    }
  }
  return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int output = memfd_create("status", MFD_CLOEXEC);
  setStatusOutput(output);
  state = SessionState{};

  FuzzedDataProvider input(data, size);
  const std::size_t readSize = input.ConsumeIntegralInRange<std::size_t>(1, 256);
  std::string buffer;
  while (input.remaining_bytes() > 0) {
    std::string chunk = input.ConsumeBytesAsString(readSize);
    if (!appendInput(buffer, chunk.data(), chunk.size())) break;
    bool replying = speaksProtocol2();
    std::size_t lines = static_cast<std::size_t>(std::count(buffer.begin(), buffer.end(), '\n'));
    carryOutLines(buffer);
    // Only an incomplete line may wait for the next read.
    if (buffer.find('\n') != std::string::npos) abort();
    std::size_t replies = checkLines(takeOutput(output));
    if (replying && replies != lines) abort();
  }
  return 0;
}
