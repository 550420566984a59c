#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <ctime>

#include "file_system.h"

namespace {

// Repeats a system call that a signal cut short.
template <class Call>
int retried(Call call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

Folder::Folder(const std::string& path)
    : fd_(retried([&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); })) {}

Folder::~Folder() = default;

TemporaryFile Folder::createFile(const std::string& name) const {
  // Read and write: libgphoto2 reads a file back when a driver asks for its
  // data after writing it.
  FileDescriptor created(retried([&] {
    return openat(fd_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0600);
  }));
  return TemporaryFile(*this, name, std::move(created));
}

RenameOutcome Folder::renameExclusive(const std::string& from, const std::string& to) const {
  if (retried([&] {
        return renameat2(fd_.get(), from.c_str(), fd_.get(), to.c_str(), RENAME_NOREPLACE);
      }) == 0)
    return RenameOutcome::kDone;
  return errno == EEXIST ? RenameOutcome::kNameTaken : RenameOutcome::kFailed;
}

bool Folder::renameReplacing(const std::string& from, const std::string& to) const {
  return retried([&] { return renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()); }) == 0;
}

bool Folder::removeFile(const std::string& name) const {
  return retried([&] { return unlinkat(fd_.get(), name.c_str(), 0); }) == 0;
}

bool Folder::sync() const {
  return retried([&] { return fsync(fd_.get()); }) == 0;
}

bool writeWhole(int fd, const void* data, std::size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, at, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;  // a file system that takes nothing, and says nothing
      return false;
    }
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

PathKind pathKind(const std::string& path) {
  struct stat status {};
  if (retried([&] { return stat(path.c_str(), &status); }) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kOther;
  }
  if (S_ISREG(status.st_mode)) return PathKind::kFile;
  if (S_ISDIR(status.st_mode)) return PathKind::kFolder;
  return PathKind::kOther;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
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
