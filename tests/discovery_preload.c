/* Discovery watcher, preloaded into camrelay (chained with umockdev's own
 * preload library) by the discovery tests and the idle and hot-plug benches.
 *
 *   DISCOVERY_LOG=path   one byte is appended per event, in order:
 *                        'a' gp_camera_autodetect, 's' a look at the USB
 *                        device set begun, 'e' that look ended,
 *                        'n' a hot-plug notice taken,
 *                        'h' an autodetection held (below)
 *   AUTODETECT_CONTROL=path  lines read at each autodetection:
 *                        "fail CODE"        return CODE at once
 *                        "add PORT MODEL"   append an entry after the real
 *                                           ones (hex, or "-" for none)
 *                        "hold"             wait while the line is there
 *   FAIL_MONITOR=1       no hot-plug listener can be made
 *   FAIL_USB_SET=1       the USB device set cannot be read
 *   LOOK_CPU=path        the CPU time of each look at the set, from its
 *                        enumeration's creation to its release (logging
 *                        included), in microseconds, one line each
 *
 * libusb calls libudev as well (at every libusb_init); only camrelay's own
 * calls are logged or made to fail.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <gphoto2/gphoto2.h>
#include <libudev.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void* real(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

static int ours(void* caller) {
  Dl_info info;
  return !(dladdr(caller, &info) && info.dli_fname != NULL &&
           strstr(info.dli_fname, "libusb") != NULL);
}

static void note(char event) {
  const char* path = getenv("DISCOVERY_LOG");
  FILE* out = path != NULL ? fopen(path, "a") : NULL;
  if (out == NULL) return;
  fputc(event, out);
  fclose(out);
}

/* "-" is a missing text; anything else is hex, so any bytes can be given. */
static char* unhex(const char* text) {
  if (strcmp(text, "-") == 0) return NULL;
  size_t n = strlen(text) / 2;
  char* out = calloc(n + 1, 1);
  for (size_t i = 0; i < n; ++i) sscanf(text + 2 * i, "%2hhx", (unsigned char*)&out[i]);
  return out;
}

/* true while the control file holds a line that is exactly `word`. */
static int controlSays(const char* word) {
  const char* control = getenv("AUTODETECT_CONTROL");
  FILE* in = control != NULL ? fopen(control, "r") : NULL;
  if (in == NULL) return 0;
  char line[1024];
  int found = 0;
  while (!found && fgets(line, sizeof line, in) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    found = strcmp(line, word) == 0;
  }
  fclose(in);
  return found;
}

int gp_camera_autodetect(CameraList* list, GPContext* context) {
  int (*next)(CameraList*, GPContext*) = real("gp_camera_autodetect");
  note('a');
  if (controlSays("hold")) {
    note('h');
    while (controlSays("hold")) usleep(10000);
  }
  const char* control = getenv("AUTODETECT_CONTROL");
  FILE* in = control != NULL ? fopen(control, "r") : NULL;
  char line[1024];
  if (in != NULL) {
    int code;
    while (fgets(line, sizeof line, in) != NULL) {
      if (sscanf(line, "fail %d", &code) == 1) {
        fclose(in);
        return code;
      }
    }
    rewind(in);
  }
  int result = next(list, context);
  if (in != NULL) {
    char port[512], model[512];
    while (result >= 0 && fgets(line, sizeof line, in) != NULL) {
      if (sscanf(line, "add %511s %511s", port, model) != 2) continue;
      char* p = unhex(port);
      char* m = unhex(model);
      gp_list_append(list, m, p);
      free(p);
      free(m);
    }
    fclose(in);
  }
  return result;
}

int udev_enumerate_scan_devices(struct udev_enumerate* enumerate) {
  int (*next)(struct udev_enumerate*) = real("udev_enumerate_scan_devices");
  if (ours(__builtin_return_address(0))) {
    note('s');
    if (getenv("FAIL_USB_SET") != NULL) return -EIO;
  }
  return next(enumerate);
}

struct udev_monitor* udev_monitor_new_from_netlink(struct udev* udev, const char* name) {
  struct udev_monitor* (*next)(struct udev*, const char*) = real("udev_monitor_new_from_netlink");
  if (ours(__builtin_return_address(0)) && getenv("FAIL_MONITOR") != NULL) return NULL;
  return next(udev, name);
}

struct udev_device* udev_monitor_receive_device(struct udev_monitor* monitor) {
  struct udev_device* (*next)(struct udev_monitor*) = real("udev_monitor_receive_device");
  struct udev_device* device = next(monitor);
  if (device != NULL && ours(__builtin_return_address(0))) note('n');
  return device;
}

static struct timespec lookStart;

static double cpuMicroseconds(const struct timespec* t) {
  return t->tv_sec * 1e6 + t->tv_nsec / 1e3;
}

struct udev_enumerate* udev_enumerate_new(struct udev* udev) {
  struct udev_enumerate* (*next)(struct udev*) = real("udev_enumerate_new");
  if (ours(__builtin_return_address(0))) clock_gettime(CLOCK_THREAD_CPUTIME_ID, &lookStart);
  return next(udev);
}

struct udev_enumerate* udev_enumerate_unref(struct udev_enumerate* enumerate) {
  struct udev_enumerate* (*next)(struct udev_enumerate*) = real("udev_enumerate_unref");
  struct udev_enumerate* result = next(enumerate);
  if (!ours(__builtin_return_address(0))) return result;
  note('e');
  const char* path = getenv("LOOK_CPU");
  if (path == NULL) return result;
  struct timespec end;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  FILE* out = fopen(path, "a");
  if (out == NULL) return result;
  fprintf(out, "%.1f\n", cpuMicroseconds(&end) - cpuMicroseconds(&lookStart));
  fclose(out);
  return result;
}
