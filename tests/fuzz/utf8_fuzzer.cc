// The UTF-8 checks against nlohmann-json's own decoder, which refuses to
// write any text that is not well-formed UTF-8; and the fixed-width field
// reader, which gives "" or the valid text before the field's first NUL.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "json_text.h"
#include "parameters.h"
#include "session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  bool writable = true;
  try {
    nlohmann::json(text).dump();
  } catch (const nlohmann::json::type_error&) {
    writable = false;
  }
  if (validUtf8(text) != writable) abort();

  std::size_t nul = text.find('\0');
  std::string beforeNul = nul == std::string::npos ? "" : text.substr(0, nul);
  if (utf8OrEmpty(text.data(), text.size()) != (validUtf8(beforeNul) ? beforeNul : "")) abort();

  if (writable) {
    std::string trimmed = trimmedText(text);
    if (!validUtf8(trimmed) || text.find(trimmed) == std::string::npos) abort();
    if (utf16Length(trimmed) > utf16Length(text)) abort();
  }
  return 0;
}
