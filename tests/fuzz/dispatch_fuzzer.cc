// Host input through the framing and command dispatch, without a camera:
// the bytes arrive in reads of a size that the last byte picks, and every
// status line written must be one JSON object with exactly the 13 keys.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "main_loop.h"
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

void checkStatusLines(const std::string& output) {
  if (!output.empty() && output.back() != '\n') abort();
  std::size_t start = 0;
  for (std::size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
    nlohmann::json line = nlohmann::json::parse(output.substr(start, end - start), nullptr, false);
    if (line.is_discarded() || !line.is_object() || line.size() != kStatusKeys.size()) abort();
    for (const auto& [key, value] : line.items()) {
      if (kStatusKeys.count(key) == 0) abort();
    }
  }
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
    carryOutLines(buffer);
    // Only an incomplete line may wait for the next read.
    if (buffer.find('\n') != std::string::npos) abort();
  }
  checkStatusLines(takeOutput(output));
  return 0;
}
