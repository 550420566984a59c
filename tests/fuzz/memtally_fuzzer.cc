// memtally's parsers: a process ID argument, and the text of
// /proc/PID/status, which reads the same with or without its last newline.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "footprint_linux.h"
#include "memtally.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  std::string argument = input.ConsumeRandomLengthString(32);
  int pid = 0;
  if (parsePid(argument.c_str(), &pid) && pid < 1) abort();

  // Exact copies, so that a read past the end shows: the text as it came,
  // and, when it lacks one, with its last newline.
  std::string text = input.ConsumeRemainingBytesAsString();
  auto status = [&](const std::string& copy, std::uint64_t& bytes) {
    std::unique_ptr<char[]> exact(new char[copy.size()]);
    std::memcpy(exact.get(), copy.data(), copy.size());
    errno = 0;
    return footprintFromStatus(exact.get(), copy.size(), pid, &bytes);
  };
  std::uint64_t bytes = 0, again = 0;
  int result = status(text, bytes);
  int error = errno;
  if (text.empty() || text.back() != '\n') {
    if (status(text + "\n", again) != result) abort();
    if (result == 0 ? again != bytes : errno != error) abort();
  }
  return 0;
}
