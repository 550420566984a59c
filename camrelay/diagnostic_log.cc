#include "diagnostic_log.h"

#include <fcntl.h>
#include <gphoto2/gphoto2-port-log.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "file_system.h"
#include "json_text.h"

namespace diagnostic_log_detail {
int fd = -1;
}  // namespace diagnostic_log_detail

namespace {

using diagnostic_log_detail::fd;

// Longest text of one line, before escaping; the rest is cut off. Keeps a
// driver's hex dump from filling the file at once.
constexpr std::size_t kLineLimit = 4096;

std::string logPath;
std::int64_t fileLimit = kLogFileLimit;
std::int64_t fileSize = 0;
double openedAt = 0;
int libraryHook = -1;

int openLogFile() {
  int opened;
  do {
    opened = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) return -1;
  struct stat status {};
  if (fstat(opened, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(opened);
    return -1;
  }
  fileSize = status.st_size;
  return opened;
}

// Turns the log off for good: a log that fails once is not worth more
// attempts, and nothing else depends on it.
void stopLogging() {
  if (libraryHook >= 0) gp_log_remove_func(libraryHook);
  libraryHook = -1;
  if (fd >= 0) close(fd);
  fd = -1;
}

bool writeAll(const std::string& bytes);

// The milliseconds since the log was opened, as every line begins.
std::string stamp() {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ", (uptimeSeconds() - openedAt) * 1000);
  return text;
}

// The first line that each opening of a file gets: the wall-clock date and
// time with its offset from UTC, which ties the lines' milliseconds to the
// time of a user's report.
bool writeClockLine() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char date[32] = "";
  char zone[8] = "";
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);  // +hhmm
  char text[96];
  std::snprintf(text, sizeof text, "log begins at %s.%03ld%.3s:%s local time\n", date,
                now.tv_nsec / 1000000, zone, zone[0] != '\0' ? zone + 3 : "");
  std::string line = stamp() + text;
  if (!writeAll(line)) return false;
  fileSize += static_cast<std::int64_t>(line.size());
  return true;
}

// Keeps the full file as FILE.1 and starts FILE afresh.
bool startNewFile() {
  close(fd);
  fd = -1;
  if (rename(logPath.c_str(), (logPath + ".1").c_str()) != 0) return false;
  fd = openLogFile();
  return fd >= 0 && writeClockLine();
}

bool writeAll(const std::string& bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

const char* levelName(GPLogLevel level) {
  switch (level) {
    case GP_LOG_ERROR:
      return "error";
    case GP_LOG_VERBOSE:
      return "verbose";
    case GP_LOG_DEBUG:
      return "debug";
    default:
      return "data";
  }
}

void logFromLibrary(GPLogLevel level, const char* domain, const char* text, void*) {
  logEvent("libgphoto2 ", levelName(level), " ", domain, ": ", text);
}

}  // namespace

namespace diagnostic_log_detail {

void append(std::string& line, std::string_view text) {
  line.append(text);
}

void append(std::string& line, const char* text) {
  line.append(text == nullptr ? "(null)" : text);
}

void append(std::string& line, long long number) {
  line.append(std::to_string(number));
}

void append(std::string& line, double number) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", number);
  line.append(text);
}

void write(std::string& line) {
  if (line.size() > kLineLimit) {
    line.resize(kLineLimit);
    line.append(" [cut]");
  }
  std::string text = stamp() + escapedLogText(line) + "\n";
  if (fileSize > 0 && fileSize + static_cast<std::int64_t>(text.size()) > fileLimit &&
      !startNewFile()) {
    stopLogging();
    return;
  }
  if (!writeAll(text)) {
    stopLogging();
    return;
  }
  fileSize += static_cast<std::int64_t>(text.size());
}

}  // namespace diagnostic_log_detail

std::string escapedLogText(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = utf8SequenceLength(text, i);
    if (length == 0 || c < 0x20 || c == 0x7F || c == '\\') {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02X", c);
      escaped.append(code);
      ++i;
      continue;
    }
    escaped.append(text.substr(i, length));
    i += length;
  }
  return escaped;
}

void openDiagnosticLog(const std::string& path, bool debug, std::int64_t limit) {
  closeDiagnosticLog();
  if (path.empty() || path.front() != '/') return;
  logPath = path;
  fileLimit = limit;
  openedAt = uptimeSeconds();
  fd = openLogFile();
  // A file taken up again past its limit is kept whole as FILE.1.
  bool opened = fd >= 0 && (fileSize >= fileLimit ? startNewFile() : writeClockLine());
  if (!opened) {
    stopLogging();
    return;
  }
  libraryHook = gp_log_add_func(debug ? GP_LOG_DEBUG : GP_LOG_ERROR, logFromLibrary, nullptr);
}

void openDiagnosticLog() {
  const char* path = std::getenv("CAMRELAY_LOG");
  if (path == nullptr) return;
  const char* level = std::getenv("CAMRELAY_LOG_LEVEL");
  openDiagnosticLog(path, level != nullptr && std::strcmp(level, "debug") == 0);
}

void closeDiagnosticLog() {
  stopLogging();
}
