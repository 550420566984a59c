// The few file-system and clock services that the download pipeline needs,
// behind one header so that the pipeline reads the same on every platform.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>
#include <utility>

// An open descriptor, closed when this goes away.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~FileDescriptor() {
    // A close that fails still releases the descriptor; nothing to retry.
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

class TemporaryFile;

// Outcome of an exclusive rename.
enum class RenameOutcome {
  kDone,       // the file now has its new name
  kNameTaken,  // something already has the new name; nothing changed
  kFailed,     // any other error; errno tells which
};

// An open folder. Files are created, renamed and removed by their names in
// it, relative to the open folder rather than to its path: a download stays
// in the folder that was opened, even when that folder is moved or replaced
// meanwhile, and the flush makes that same folder's entries durable.
class Folder {
 public:
  // Opens the folder at `path` (a symbolic link to a folder opens that
  // folder). When it cannot be opened, isOpen() is false and errno says why.
  explicit Folder(const std::string& path);
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  bool isOpen() const { return fd_.isOpen(); }

  // Creates the file `name` for writing, readable and writable by the owner
  // only. Not open, with errno set, when anything, a symbolic link included,
  // already has that name. The folder must outlive the file.
  TemporaryFile createFile(const std::string& name) const;

  // Renames `from` to `to` atomically, never replacing an existing `to`.
  RenameOutcome renameExclusive(const std::string& from, const std::string& to) const;

  // Renames `from` to `to` atomically, replacing whatever file `to` names:
  // a reader of `to` sees the old file or the new one, whole. false with
  // errno set when it could not.
  bool renameReplacing(const std::string& from, const std::string& to) const;

  // Removes the file `name`. false with errno set when it could not.
  bool removeFile(const std::string& name) const;

  // Makes the folder's entries (a file just renamed in it) durable. false
  // with errno set when the flush failed.
  bool sync() const;

 private:
  FileDescriptor fd_;
};

// A file being written under a name of its own until it is complete. Unless
// a rename gave it its final name, it is removed when this goes away, so
// that no road out of a download leaves it behind.
class TemporaryFile {
 public:
  TemporaryFile(const Folder& folder, std::string name, FileDescriptor fd)
      : folder_(folder), name_(std::move(name)), fd_(std::move(fd)) {}
  ~TemporaryFile() {
    if (fd_.isOpen() && !committed_) folder_.removeFile(name_);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool isOpen() const { return fd_.isOpen(); }
  int descriptor() const { return fd_.get(); }

  // Renames the file to `to` atomically, never replacing anything; once
  // that is done the file is no longer temporary.
  RenameOutcome commitAs(const std::string& to) {
    RenameOutcome outcome = folder_.renameExclusive(name_, to);
    committed_ = outcome == RenameOutcome::kDone;
    return outcome;
  }

  // Renames the file to `to` atomically, replacing the file of that name.
  // false with errno set when it could not (the file stays temporary).
  bool commitReplacing(const std::string& to) {
    committed_ = folder_.renameReplacing(name_, to);
    return committed_;
  }

 private:
  const Folder& folder_;
  std::string name_;
  FileDescriptor fd_;
  bool committed_ = false;
};

// Writes all `size` bytes of `data` to the open file `fd` at its offset,
// through short writes and signals. false with errno set when a write failed.
bool writeWhole(int fd, const void* data, std::size_t size);

// What a path names, symbolic links followed.
enum class PathKind {
  kMissing,  // nothing (or a dangling link); errno ENOENT or ENOTDIR
  kFile,     // a regular file
  kFolder,
  kOther,  // a device, pipe, socket, or a path that cannot be looked at
};
PathKind pathKind(const std::string& path);

// Whether the two paths name the same existing file or folder (the same
// device and inode), however they are spelt.
bool sameFile(const std::string& a, const std::string& b);

// Asks the kernel to start writing `length` bytes of the open file from
// `offset` to disk, without waiting for it. A hint: failures are ignored.
void startWriteback(int fd, off_t offset, off_t length);

// A fresh random (version 4) UUID in its canonical upper-case text form.
std::string randomUuid();

// Seconds on a monotonic clock that does not jump with the wall clock.
double uptimeSeconds();

// `folder` and `name` joined with exactly one "/".
std::string joinPath(const std::string& folder, const std::string& name);
