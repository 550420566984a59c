#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "mount_source.h"

namespace {

// Undoes the octal escapes (\040 for a space, \134 for a backslash, ...) with
// which the kernel writes paths into mountinfo.
std::string unescapeMountField(std::string_view field) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
        octal(field[i + 3])) {
      out.push_back(static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) |
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

// Whether `mountPoint` is `path` or one of the folders above it.
bool mountPointHolds(std::string_view mountPoint, std::string_view path) {
  if (path.empty() || !path.starts_with(mountPoint)) return false;
  return mountPoint.size() == path.size() || mountPoint == "/" || path[mountPoint.size()] == '/';
}

struct MountLine {
  std::string mountPoint;
  std::string source;
  bool sameDevice = false;
};

bool readWholeFile(const char* path, std::string& text) {
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  char chunk[16384];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      text.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  close(fd);
  return ok;
}

}  // namespace

std::optional<std::string> mountSourceFromMountinfo(std::string_view mountinfo, dev_t device,
                                                    std::string_view canonicalPath) {
  const std::string deviceField =
      std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::vector<MountLine> mounts;
  while (!mountinfo.empty()) {
    std::size_t end = mountinfo.find('\n');
    std::string_view line = mountinfo.substr(0, end);
    mountinfo = end == std::string_view::npos ? std::string_view() : mountinfo.substr(end + 1);

    // ID, parent ID, major:minor, root, mount point, options, optional fields
    // ending with "-", then file system type, source and super block options.
    std::vector<std::string_view> fields = splitFields(line);
    if (fields.size() < 9) continue;
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 2 >= fields.size()) continue;
    mounts.push_back({unescapeMountField(fields[4]), unescapeMountField(fields[separator + 2]),
                      fields[2] == deviceField});
  }

  // The deepest mount point above the path among the mounts that pass `filter`.
  auto deepestHolding = [&](auto filter) -> const MountLine* {
    const MountLine* best = nullptr;
    for (const MountLine& mount : mounts)
      if (filter(mount) && mountPointHolds(mount.mountPoint, canonicalPath) &&
          (best == nullptr || mount.mountPoint.size() >= best->mountPoint.size()))
        best = &mount;
    return best;
  };
  if (auto mount = deepestHolding([](const MountLine& m) { return m.sameDevice; }))
    return mount->source;
  for (auto mount = mounts.rbegin(); mount != mounts.rend(); ++mount)
    if (mount->sameDevice) return mount->source;
  if (auto mount = deepestHolding([](const MountLine&) { return true; })) return mount->source;
  return std::nullopt;
}

std::optional<std::string> mountSourceOf(const char* directory) {
  struct stat status;
  if (directory == nullptr || stat(directory, &status) != 0) return std::nullopt;
  std::string mountinfo;
  if (!readWholeFile("/proc/self/mountinfo", mountinfo)) return std::nullopt;
  std::string canonicalPath;
  if (char* resolved = realpath(directory, nullptr)) {
    canonicalPath = resolved;
    std::free(resolved);
  }
  std::optional<std::string> source =
      mountSourceFromMountinfo(mountinfo, status.st_dev, canonicalPath);
  // A root file system that the kernel mounted itself is listed as
  // "/dev/root", which need not exist; the device number names the disk.
  struct stat node;
  if (source && source->starts_with("/dev/") && major(status.st_dev) != 0 &&
      stat(source->c_str(), &node) != 0 && errno == ENOENT)
    return "/dev/block/" + std::to_string(major(status.st_dev)) + ":" +
           std::to_string(minor(status.st_dev));
  return source;
}
