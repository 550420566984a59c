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

// Renames `from` to `to` atomically, never replacing an existing `to`.
RenameOutcome renameExclusive(const std::string& from, const std::string& to);

// Makes the folder's entries (a file just renamed into it) durable. false
// with errno set when the folder cannot be opened or flushed.
bool syncFolder(const std::string& folder);

// Asks the kernel to start writing `length` bytes of the open file from
// `offset` to disk, without waiting for it. A hint: failures are ignored.
void startWriteback(int fd, off_t offset, off_t length);

// A fresh random (version 4) UUID in its canonical upper-case text form.
std::string randomUuid();

// Seconds on a monotonic clock that does not jump with the wall clock.
double uptimeSeconds();

// `folder` and `name` joined with exactly one "/".
std::string joinPath(const std::string& folder, const std::string& name);
