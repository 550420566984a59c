// Helpers shared by the two kinds of output line: the status line and the
// disk link line.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Whether `text` is well-formed UTF-8: no overlong forms, surrogates or code
// points above U+10FFFF. Text that is not must never reach the host.
bool validUtf8(std::string_view text);

// `text` with every byte that does not begin a well-formed UTF-8 sequence
// replaced by U+FFFD: a camera's name for a file, say, which the host can
// then still be shown.
std::string textOrReplaced(std::string_view text);

// Length of the well-formed UTF-8 sequence that begins at `text[at]` (1 for
// ASCII), or 0 when none does. `at` must lie inside `text`.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

// `value` as a JSON number, whole numbers without a fraction (5000, not
// 5000.0): a JSON reader takes both as the same number, and a host reads
// the first more easily. `Json` is one of nlohmann's json types.
template <class Json>
Json jsonNumber(double value) {
  if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) < 9.0e15) {
    return Json(static_cast<std::int64_t>(value));
  }
  return Json(value);
}
