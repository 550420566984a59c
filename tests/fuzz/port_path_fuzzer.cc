// The port path parser: any text, never a crash or an overflow, and a
// location only from a path that begins "usb:".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  if (parsePortPath(path) && !path.starts_with("usb:")) abort();
  return 0;
}
