// The few file-system and clock services that the download pipeline needs,
// behind one header so that the pipeline reads the same on every platform.
#pragma once

#include <sys/types.h>

#include <string>

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

  bool isOpen() const { return fd_ >= 0; }

  // Creates the file `name` for writing, readable and writable by the owner
  // only, and returns its descriptor. -1 with errno set when anything, a
  // symbolic link included, already has that name.
  int createFile(const std::string& name) const;

  // Renames `from` to `to` atomically, never replacing an existing `to`.
  RenameOutcome renameExclusive(const std::string& from, const std::string& to) const;

  // Removes the file `name`. false with errno set when it could not.
  bool removeFile(const std::string& name) const;

  // Makes the folder's entries (a file just renamed in it) durable. false
  // with errno set when the flush failed.
  bool sync() const;

 private:
  int fd_;
};

// Asks the kernel to start writing `length` bytes of the open file from
// `offset` to disk, without waiting for it. A hint: failures are ignored.
void startWriteback(int fd, off_t offset, off_t length);

// A fresh random (version 4) UUID in its canonical upper-case text form.
std::string randomUuid();

// Seconds on a monotonic clock that does not jump with the wall clock.
double uptimeSeconds();

// `folder` and `name` joined with exactly one "/".
std::string joinPath(const std::string& folder, const std::string& name);
