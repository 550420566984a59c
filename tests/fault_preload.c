/* Fault interposer, preloaded into camrelay (chained with umockdev's own
 * preload library). It fails one call, or a few, that the program itself
 * makes to libgphoto2, libusb or the C library's file functions; the calls
 * that those libraries make among themselves are never touched.
 *
 *   FAULT_CALL=name[,name...]  the calls to fail, by symbol
 *   FAULT_RESULT=r             what a failed call gives: a libgphoto2 or
 *                              libusb code (negative) for their calls, an
 *                              errno value for C library calls (which then
 *                              return -1)
 *   FAULT_SKIP=k               the first k calls of each named symbol
 *                              succeed; the next one fails, later ones
 *                              succeed again (default 0)
 *   FAULT_LOG=path             each failed call appends its symbol and a
 *                              newline to this file, so that a test can tell
 *                              that the call was made at all
 *
 * A call that releases something (the *_free calls, gp_camera_exit, close)
 * is still carried out and then reports the failure, so that a failing
 * release leaks nothing the program could not have known about.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gphoto2/gphoto2.h>
#include <libusb-1.0/libusb.h>
#include <link.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static uintptr_t programStart = 0, programEnd = 0;

/* The first object that dl_iterate_phdr reports is the program itself. */
static int findProgram(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  programStart = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &info->dlpi_phdr[i];
    if (segment->p_type != PT_LOAD) continue;
    uintptr_t start = info->dlpi_addr + segment->p_vaddr;
    if (start < programStart) programStart = start;
    if (start + segment->p_memsz > programEnd) programEnd = start + segment->p_memsz;
  }
  return 1;
}

static int calledByProgram(const void* caller) {
  if (programEnd == 0) dl_iterate_phdr(findProgram, NULL);
  return (uintptr_t)caller >= programStart && (uintptr_t)caller < programEnd;
}

static int named(const char* symbol) {
  const char* list = getenv("FAULT_CALL");
  size_t length = strlen(symbol);
  for (const char* at = list; at != NULL && *at != '\0';) {
    const char* comma = strchr(at, ',');
    size_t itemLength = comma != NULL ? (size_t)(comma - at) : strlen(at);
    if (itemLength == length && strncmp(at, symbol, length) == 0) return 1;
    at = comma != NULL ? comma + 1 : NULL;
  }
  return 0;
}

static int setting(const char* variable) {
  const char* value = getenv(variable);
  return value == NULL ? 0 : atoi(value);
}

static void* next(const char* symbol) {
  return dlsym(RTLD_NEXT, symbol);
}

static void logFault(const char* symbol) {
  const char* path = getenv("FAULT_LOG");
  if (path == NULL) return;
  int (*realOpen)(const char*, int, ...) = next("open");
  int (*realClose)(int) = next("close");
  int fd = realOpen(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  dprintf(fd, "%s\n", symbol);
  realClose(fd);
}

/* Whether this call of `symbol`, the `*count`-th made by the program, fails. */
static int failNow(const char* symbol, int* count, const void* caller) {
  if (!named(symbol) || !calledByProgram(caller)) return 0;
  if ((*count)++ != setting("FAULT_SKIP")) return 0;
  logFault(symbol);
  return 1;
}

/* Defines the interposer of `name`. When the call is to fail, a call that
 * `releases` something is still carried out first; then `fail` runs. */
#define INTERPOSER(type, name, params, args, releases, fail)                    \
  type name params {                                                            \
    static int count = 0;                                                       \
    static type(*real) params = NULL;                                           \
    if (real == NULL) real = next(#name);                                       \
    if (!failNow(#name, &count, __builtin_return_address(0))) return real args; \
    if (releases) real args;                                                    \
    fail;                                                                       \
  }

/* libgphoto2 and libusb calls fail by returning FAULT_RESULT; C library
 * calls by returning -1 with errno FAULT_RESULT. */
#define LIBRARY_CALL(type, name, params, args) \
  INTERPOSER(type, name, params, args, 0, return setting("FAULT_RESULT"))
#define RELEASING_CALL(name, params, args) \
  INTERPOSER(int, name, params, args, 1, return setting("FAULT_RESULT"))
#define SYSTEM_CALL(type, name, params, args, releases) \
  INTERPOSER(type, name, params, args, releases, errno = setting("FAULT_RESULT"); return -1)

LIBRARY_CALL(int, gp_abilities_list_new, (CameraAbilitiesList * *list), (list))
LIBRARY_CALL(int, gp_abilities_list_load, (CameraAbilitiesList * list, GPContext* context),
             (list, context))
LIBRARY_CALL(int, gp_abilities_list_lookup_model, (CameraAbilitiesList * list, const char* model),
             (list, model))
LIBRARY_CALL(int, gp_abilities_list_get_abilities,
             (CameraAbilitiesList * list, int index, CameraAbilities* abilities),
             (list, index, abilities))
LIBRARY_CALL(int, gp_port_info_list_new, (GPPortInfoList * *list), (list))
LIBRARY_CALL(int, gp_port_info_list_load, (GPPortInfoList * list), (list))
LIBRARY_CALL(int, gp_port_info_list_lookup_path, (GPPortInfoList * list, const char* path),
             (list, path))
LIBRARY_CALL(int, gp_port_info_list_get_info, (GPPortInfoList * list, int index, GPPortInfo* info),
             (list, index, info))
LIBRARY_CALL(int, gp_list_new, (CameraList * *list), (list))
LIBRARY_CALL(int, gp_list_count, (CameraList * list), (list))
LIBRARY_CALL(int, gp_list_get_name, (CameraList * list, int index, const char** name),
             (list, index, name))
LIBRARY_CALL(int, gp_list_get_value, (CameraList * list, int index, const char** value),
             (list, index, value))
LIBRARY_CALL(int, gp_camera_autodetect, (CameraList * list, GPContext* context), (list, context))
LIBRARY_CALL(int, gp_camera_new, (Camera * *camera), (camera))
LIBRARY_CALL(int, gp_camera_set_abilities, (Camera * camera, CameraAbilities abilities),
             (camera, abilities))
LIBRARY_CALL(int, gp_camera_set_port_info, (Camera * camera, GPPortInfo info), (camera, info))
LIBRARY_CALL(int, gp_camera_init, (Camera * camera, GPContext* context), (camera, context))
LIBRARY_CALL(int, gp_camera_trigger_capture, (Camera * camera, GPContext* context),
             (camera, context))
LIBRARY_CALL(int, gp_camera_capture,
             (Camera * camera, CameraCaptureType type, CameraFilePath* path, GPContext* context),
             (camera, type, path, context))
LIBRARY_CALL(int, gp_camera_wait_for_event,
             (Camera * camera, int timeout, CameraEventType* type, void** data, GPContext* context),
             (camera, timeout, type, data, context))
LIBRARY_CALL(int, gp_file_new_from_handler,
             (CameraFile * *file, CameraFileHandler* handler, void* data), (file, handler, data))
LIBRARY_CALL(int, gp_camera_file_get,
             (Camera * camera, const char* folder, const char* file, CameraFileType type,
              CameraFile* cameraFile, GPContext* context),
             (camera, folder, file, type, cameraFile, context))
LIBRARY_CALL(int, gp_camera_get_config, (Camera * camera, CameraWidget** root, GPContext* context),
             (camera, root, context))
LIBRARY_CALL(int, gp_camera_get_single_config,
             (Camera * camera, const char* name, CameraWidget** widget, GPContext* context),
             (camera, name, widget, context))
LIBRARY_CALL(int, gp_widget_get_child_by_name,
             (CameraWidget * widget, const char* name, CameraWidget** child), (widget, name, child))
LIBRARY_CALL(int, gp_widget_get_type, (CameraWidget * widget, CameraWidgetType* type),
             (widget, type))
LIBRARY_CALL(int, gp_widget_get_value, (CameraWidget * widget, void* value), (widget, value))
LIBRARY_CALL(int, libusb_init, (libusb_context * *context), (context))
LIBRARY_CALL(ssize_t, libusb_get_device_list, (libusb_context * context, libusb_device*** list),
             (context, list))

RELEASING_CALL(gp_abilities_list_free, (CameraAbilitiesList * list), (list))
RELEASING_CALL(gp_port_info_list_free, (GPPortInfoList * list), (list))
RELEASING_CALL(gp_list_free, (CameraList * list), (list))
RELEASING_CALL(gp_camera_exit, (Camera * camera, GPContext* context), (camera, context))
RELEASING_CALL(gp_camera_free, (Camera * camera), (camera))
RELEASING_CALL(gp_file_free, (CameraFile * file), (file))
RELEASING_CALL(gp_widget_free, (CameraWidget * widget), (widget))

SYSTEM_CALL(int, fsync, (int fd), (fd), 0)
SYSTEM_CALL(int, fstat, (int fd, struct stat* status), (fd, status), 0)
SYSTEM_CALL(ssize_t, pwrite, (int fd, const void* bytes, size_t size, off_t offset),
            (fd, bytes, size, offset), 0)
SYSTEM_CALL(int, unlinkat, (int folder, const char* name, int flags), (folder, name, flags), 0)
SYSTEM_CALL(int, renameat2,
            (int fromFolder, const char* from, int toFolder, const char* to, unsigned int flags),
            (fromFolder, from, toFolder, to, flags), 0)
SYSTEM_CALL(int, sync_file_range, (int fd, off_t offset, off_t length, unsigned int flags),
            (fd, offset, length, flags), 0)
SYSTEM_CALL(int, close, (int fd), (fd), 1)

/* open and openat take their mode only with O_CREAT or O_TMPFILE. */
#define MODE_ARGUMENT(flags, mode)       \
  mode_t mode = 0;                       \
  if ((flags) & (O_CREAT | O_TMPFILE)) { \
    va_list arguments;                   \
    va_start(arguments, flags);          \
    mode = va_arg(arguments, mode_t);    \
    va_end(arguments);                   \
  }

int open(const char* path, int flags, ...) {
  static int count = 0;
  MODE_ARGUMENT(flags, mode)
  if (failNow("open", &count, __builtin_return_address(0))) {
    errno = setting("FAULT_RESULT");
    return -1;
  }
  int (*real)(const char*, int, ...) = next("open");
  return real(path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
  static int count = 0;
  MODE_ARGUMENT(flags, mode)
  if (failNow("openat", &count, __builtin_return_address(0))) {
    errno = setting("FAULT_RESULT");
    return -1;
  }
  int (*real)(int, const char*, int, ...) = next("openat");
  return real(folder, path, flags, mode);
}
