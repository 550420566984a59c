#include <limits.h>
#include <stdlib.h>

#include "program_path.h"
#include "session.h"

namespace {

// `path` with its symbolic links resolved, or unchanged when it cannot be.
std::string resolved(const std::string& path) {
  if (path.empty()) return path;
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) return path;
  return buffer;
}

std::string parentOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::string programFolder(const char* selfLink, const char* argv0) {
  char buffer[PATH_MAX];
  if (selfLink != nullptr && realpath(selfLink, buffer) != nullptr) return parentOf(buffer);
  return parentOf(resolved(utf8OrEmpty(argv0)));
}

std::string programFolder(const char* argv0) {
  return programFolder("/proc/self/exe", argv0);
}
