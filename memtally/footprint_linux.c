/*
 * Footprint query for Linux. The footprint of a process is its private
 * memory: anonymous resident pages (RssAnon) plus what has been swapped out
 * (VmSwap), both taken from /proc/PID/status. Shared file-backed pages are
 * left out because they do not grow with the process's own allocations.
 */
#include "footprint_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "footprint.h"

/* Reads all of `fd` into a buffer that the caller frees. Returns NULL with
 * errno set on failure; *length is the number of bytes read (possibly 0). */
static char* readAll(int fd, size_t* length) {
  size_t capacity = 4096;
  size_t used = 0;
  char* buffer = malloc(capacity);
  if (buffer == NULL) return NULL;
  for (;;) {
    if (used == capacity) {
      /* The Groups line can make status long; grow rather than truncate. */
      char* grown = realloc(buffer, capacity * 2);
      if (grown == NULL) {
        free(buffer);
        errno = ENOMEM;
        return NULL;
      }
      buffer = grown;
      capacity *= 2;
    }
    ssize_t got = read(fd, buffer + used, capacity - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      free(buffer);
      errno = saved;
      return NULL;
    }
    if (got == 0) break;
    used += (size_t)got;
  }
  *length = used;
  return buffer;
}

/* Parses the value of a "Key:   1234 kB" line (the text after the colon) into
 * bytes. Returns false when the line is not in that form. */
static bool parseKilobytes(const char* text, size_t length, uint64_t* bytes) {
  size_t i = 0;
  while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == length || text[i] < '0' || text[i] > '9') return false;
  uint64_t kilobytes = 0;
  while (i < length && text[i] >= '0' && text[i] <= '9') {
    uint64_t digit = (uint64_t)(text[i] - '0');
    if (kilobytes > (UINT64_MAX - digit) / 10) return false;
    kilobytes = kilobytes * 10 + digit;
    ++i;
  }
  if (length - i != 3 || memcmp(text + i, " kB", 3) != 0) return false;
  if (kilobytes > UINT64_MAX / 1024) return false;
  *bytes = kilobytes * 1024;
  return true;
}

/* Reads the decimal process ID of a "Tgid:\t1234" line (the text after the
 * colon). Returns false when the line is not in that form. */
static bool parseTgid(const char* text, size_t length, long* tgid) {
  size_t i = 0;
  while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == length) return false;
  long value = 0;
  for (; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9' || value > (LONG_MAX - 9) / 10) return false;
    value = value * 10 + (text[i] - '0');
  }
  *tgid = value;
  return true;
}

int footprintFromStatus(const char* text, size_t length, int pid, uint64_t* bytes) {
  static const char* const kKeys[] = {"RssAnon:", "VmSwap:"};
  static const char kTgid[] = "Tgid:";
  uint64_t total = 0;
  bool ownProcess = false;
  const char* end = text + length;
  const char* line = text;
  while (line < end) {
    const char* newline = memchr(line, '\n', (size_t)(end - line));
    const char* lineEnd = newline != NULL ? newline : end;
    size_t lineLength = (size_t)(lineEnd - line);
    if (lineLength >= sizeof kTgid - 1 && memcmp(line, kTgid, sizeof kTgid - 1) == 0) {
      long tgid;
      if (!parseTgid(line + sizeof kTgid - 1, lineLength - (sizeof kTgid - 1), &tgid)) {
        errno = EPROTO;
        return -1;
      }
      ownProcess = tgid == pid;
    }
    for (size_t k = 0; k < sizeof kKeys / sizeof kKeys[0]; ++k) {
      size_t keyLength = strlen(kKeys[k]);
      if (lineLength >= keyLength && memcmp(line, kKeys[k], keyLength) == 0) {
        uint64_t value;
        if (!parseKilobytes(line + keyLength, lineLength - keyLength, &value)) {
          errno = EPROTO;
          return -1;
        }
        total += value;
      }
    }
    /* The last line may lack its newline; stepping past it would leave the
     * buffer. */
    if (newline == NULL) break;
    line = newline + 1;
  }
  if (!ownProcess) {
    /* /proc/TID/status exists for every thread too: an ID that names a
     * thread of another process (a stale PID reused as a thread ID) is no
     * process of that ID. */
    errno = ESRCH;
    return -1;
  }
  *bytes = total;
  return 0;
}

int footprintOf(int pid, uint64_t* bytes) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) errno = ESRCH;
    return -1;
  }
  size_t length = 0;
  char* text = readAll(fd, &length);
  int saved = errno;
  close(fd);
  if (text == NULL) {
    /* ESRCH here means the process ended after the open; pass it on. */
    errno = saved;
    return -1;
  }
  if (length == 0) {
    /* The process ended after the open and its status read as empty. */
    free(text);
    errno = ESRCH;
    return -1;
  }
  int result = footprintFromStatus(text, length, pid, bytes);
  saved = errno;
  free(text);
  errno = saved;
  return result;
}
