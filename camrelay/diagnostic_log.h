// A diagnostic log for camera problems, written only when asked for.
//
// CAMRELAY_LOG=/absolute/file turns it on; CAMRELAY_LOG_LEVEL=debug adds
// libgphoto2's own debug messages to its errors. The log is for the people
// who look into a camera that misbehaves: it never touches standard output,
// standard error or a status line, and a log that cannot be opened or
// written is silently off, so it never changes what the program does or
// says. While it is off, logging costs one test of a flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

// Largest size of the log file. A line that would take it past this starts
// a new file; the full one is kept as FILE.1 (replacing an older FILE.1).
inline constexpr std::int64_t kLogFileLimit = 8 << 20;

// Opens the log that the environment names, if any, and hooks libgphoto2's
// messages into it. Call once, before the first libgphoto2 call.
void openDiagnosticLog();

// Opens the log at `path` (absolute), with libgphoto2's debug messages when
// `debug` is set, and up to `limit` bytes a file. Tests use it directly.
void openDiagnosticLog(const std::string& path, bool debug, std::int64_t limit = kLogFileLimit);

// Stops logging and closes the file.
void closeDiagnosticLog();

namespace diagnostic_log_detail {
extern int fd;
void append(std::string& line, std::string_view text);
void append(std::string& line, const char* text);
void append(std::string& line, long long number);
void append(std::string& line, double number);
void write(std::string& line);
}  // namespace diagnostic_log_detail

// Whether lines are written. Test it before building parts that cost
// something to make.
inline bool logging() {
  return diagnostic_log_detail::fd >= 0;
}

// Writes one line: the milliseconds since the log was opened, then `parts`
// (text, numbers) one after another. Control characters, backslashes and
// bytes that are not UTF-8 are written as \xNN, so text from a camera can
// never break a line or forge one.
template <class... Parts>
void logEvent(const Parts&... parts) {
  if (!logging()) return;
  std::string line;
  auto add = [&line](const auto& part) {
    using Part = std::decay_t<decltype(part)>;
    if constexpr (std::is_same_v<Part, bool>) {
      diagnostic_log_detail::append(line, part ? "yes" : "no");
    } else if constexpr (std::is_integral_v<Part>) {
      diagnostic_log_detail::append(line, static_cast<long long>(part));
    } else if constexpr (std::is_floating_point_v<Part>) {
      diagnostic_log_detail::append(line, static_cast<double>(part));
    } else {
      diagnostic_log_detail::append(line, part);
    }
  };
  (add(parts), ...);
  diagnostic_log_detail::write(line);
}

// `text` with control characters, backslashes and bytes that are not UTF-8
// written as \xNN.
std::string escapedLogText(std::string_view text);
