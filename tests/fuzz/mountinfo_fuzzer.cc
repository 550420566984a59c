// The mountinfo reader: a device number and a path from the first bytes, any
// text as the table. A source, when one is found, is one of the table's
// source fields undone from its octal escapes, so it is never longer than
// the table.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "mount_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  dev_t device = input.ConsumeIntegral<dev_t>();
  std::string path = input.ConsumeRandomLengthString(256);
  std::string table = input.ConsumeRemainingBytesAsString();
  std::optional<std::string> source = mountSourceFromMountinfo(table, device, path);
  if (source && source->size() > table.size()) abort();
  return 0;
}
