/* Fault interposer for the download tests, preloaded into camrelay (chained
 * with umockdev's own preload library). Each fault is switched on by an
 * environment variable and touches only camrelay's own downloads:
 *
 *   FAULT_OPEN_ERRNO=n          open() of a ".lumetra-" file fails with errno n
 *   FAULT_FILE_NEW_RESULT=r     gp_file_new_from_fd() returns r (negative)
 *   FAULT_FSYNC_ERRNO=n         fsync() of a ".lumetra-" file fails with errno n
 *   FAULT_FOLDER_FSYNC_ERRNO=n  fsync() of a directory fails with errno n
 *   FAULT_RENAME_ERRNO=n        renameat2() of a ".lumetra-" file fails with errno n
 *   FAULT_FSTAT_ERRNO=n         fstat() of a ".lumetra-" file fails with errno n
 *   FAULT_SKIP=k                the first k calls that a fault matches succeed
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

typedef struct _CameraFile CameraFile;

static int faultErrno(const char* variable) {
  const char* value = getenv(variable);
  return value == NULL ? 0 : atoi(value);
}

/* true when a call that a fault matches is to fail: after FAULT_SKIP
 * matching calls have been let through. */
static int failNow(void) {
  static int matched = 0;
  return matched++ >= faultErrno("FAULT_SKIP");
}

static int isTemporaryPath(const char* path) {
  return path != NULL && strstr(path, "/.lumetra-") != NULL;
}

static int isTemporaryFd(int fd) {
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return 0;
  target[n] = '\0';
  return isTemporaryPath(target);
}

static int isDirectoryFd(int fd) {
  struct stat status;
  int (*realFstat)(int, struct stat*) = dlsym(RTLD_NEXT, "fstat");
  return realFstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

// open() and open64() differ only in the symbol they pass the call on to.
static int openOrFail(const char* symbol, const char* path, int flags, mode_t mode) {
  int fault = faultErrno("FAULT_OPEN_ERRNO");
  if (fault != 0 && isTemporaryPath(path) && failNow()) {
    errno = fault;
    return -1;
  }
  int (*real)(const char*, int, ...) = dlsym(RTLD_NEXT, symbol);
  return real(path, flags, mode);
}

#define OPEN_WRAPPER(name)                       \
  int name(const char* path, int flags, ...) {   \
    mode_t mode = 0;                             \
    if (flags & (O_CREAT | O_TMPFILE)) {         \
      va_list arguments;                         \
      va_start(arguments, flags);                \
      mode = va_arg(arguments, mode_t);          \
      va_end(arguments);                         \
    }                                            \
    return openOrFail(#name, path, flags, mode); \
  }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

int gp_file_new_from_fd(CameraFile** file, int fd) {
  int fault = faultErrno("FAULT_FILE_NEW_RESULT");
  if (fault < 0 && failNow()) return fault;
  int (*real)(CameraFile**, int) = dlsym(RTLD_NEXT, "gp_file_new_from_fd");
  return real(file, fd);
}

int fsync(int fd) {
  int fault = faultErrno("FAULT_FSYNC_ERRNO");
  if (fault != 0 && isTemporaryFd(fd) && failNow()) {
    errno = fault;
    return -1;
  }
  fault = faultErrno("FAULT_FOLDER_FSYNC_ERRNO");
  if (fault != 0 && isDirectoryFd(fd) && failNow()) {
    errno = fault;
    return -1;
  }
  int (*real)(int) = dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}

int renameat2(int fromFd, const char* from, int toFd, const char* to, unsigned int flags) {
  int fault = faultErrno("FAULT_RENAME_ERRNO");
  if (fault != 0 && isTemporaryPath(from) && failNow()) {
    errno = fault;
    return -1;
  }
  int (*real)(int, const char*, int, const char*, unsigned int) = dlsym(RTLD_NEXT, "renameat2");
  return real(fromFd, from, toFd, to, flags);
}

int fstat(int fd, struct stat* status) {
  int fault = faultErrno("FAULT_FSTAT_ERRNO");
  if (fault != 0 && isTemporaryFd(fd) && failNow()) {
    errno = fault;
    return -1;
  }
  int (*real)(int, struct stat*) = dlsym(RTLD_NEXT, "fstat");
  return real(fd, status);
}
