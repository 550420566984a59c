#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <ctime>

#include "file_system.h"

RenameOutcome renameExclusive(const std::string& from, const std::string& to) {
  int result;
  do {
    result = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return RenameOutcome::kDone;
  return errno == EEXIST ? RenameOutcome::kNameTaken : RenameOutcome::kFailed;
}

bool syncFolder(const std::string& folder) {
  int fd;
  do {
    fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  int result;
  do {
    result = fsync(fd);
  } while (result != 0 && errno == EINTR);
  int saved = errno;
  close(fd);
  errno = saved;
  return result == 0;
}

void startWriteback(int fd, off_t offset, off_t length) {
  sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

std::string randomUuid() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];
  uuid_unparse_upper(uuid, text);
  return text;
}

double uptimeSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}
