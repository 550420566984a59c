#include "state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>

namespace virtualcam {

using nlohmann::json;

bool writeAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

json readState(const std::string& dir) {
  if (dir.empty()) return json::object();
  std::ifstream in(dir + "/state.json", std::ios::binary);
  if (!in) return json::object();
  try {
    json state = json::parse(in);
    return state.is_object() ? state : json::object();
  } catch (const std::exception&) {
    return json::object();
  }
}

namespace {

// Writes `text` to `path` by way of a temporary file and a rename.
bool replaceFile(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool written = writeAll(fd, text);
  ::close(fd);
  return written && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

bool updateState(const std::string& dir, const std::function<bool(json&)>& change) {
  if (dir.empty()) return false;
  int lock = ::open((dir + "/state.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0) return false;
  int locked;
  do {
    locked = ::flock(lock, LOCK_EX);
  } while (locked < 0 && errno == EINTR);
  bool changed = false;
  if (locked == 0) {
    try {
      json state = readState(dir);
      changed = change(state);
      if (changed)
        replaceFile(dir + "/state.json",
                    state.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
    } catch (const std::exception&) {
      changed = false;
    }
  }
  ::close(lock);  // releases the lock
  return changed;
}

bool takeBusy(const std::string& dir, const std::string& operation, int count) {
  bool busy = false;
  updateState(dir, [&](json& state) {
    if (!state["busy"].is_object()) state["busy"] = json::object();
    json& entry = state["busy"][operation];
    bool fresh = !entry.is_object() || entry.value("of", 0) != count;
    if (fresh) entry = {{"of", count}, {"used", 0}};
    int used = entry.value("used", 0);
    busy = used < count;
    if (busy) entry["used"] = used + 1;
    return fresh || busy;  // nothing to write when nothing changed
  });
  return busy;
}

}  // namespace virtualcam
