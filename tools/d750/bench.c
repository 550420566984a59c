/* camrelay's bench on libgphoto2's emulated Nikon D750: what our patch adds
 * to vcamera.c, switched at run time by environment variables, so that one
 * build serves every road:
 *
 *   D750_PHOTOS=DIR        the folder served as the card (default VCAMERADIR)
 *   D750_EVENTS=ROAD       how events reach ptp2:
 *                          interrupt (default) on the USB interrupt pipe,
 *                            GetEvent (0x90C7) not offered;
 *                          nikon  GetEvent offered and answering each event,
 *                            the interrupt pipe silent;
 *                          trap   GetEvent offered but never answering one,
 *                            events on the interrupt pipe
 *   D750_CONTROL=FILE      lines the bench appends, taken as the camera
 *                          serves requests: "photo [FILE]" (the camera's own
 *                          shutter button: a new card photo, of FILE or a
 *                          copy of the card's first JPEG, and its ObjectAdded
 *                          event), "unplug" (every later transfer fails)
 *   D750_REQUEST_LOG=FILE  one line per operation received:
 *                          "<CLOCK_MONOTONIC seconds> <code, 4 hex digits>"
 *
 * Included at the end of vcamera.c (it uses that file's statics). */

#include <time.h>

enum { BENCH_INTERRUPT, BENCH_NIKON, BENCH_TRAP };

/* Where ptp2 finds a Nikon photo held in SDRAM (camera_nikon_capture). */
#define BENCH_SDRAM_HANDLE 0xffff0001u
/* How often a wait on the interrupt pipe looks for a due event and for
 * control lines: the resolution of the bench's event timing. */
#define BENCH_POLL_US 5000
#define BENCH_EVENTS_PER_ANSWER 64

static int bench_cable_pulled; /* process-wide: a pulled cable stays pulled */

static int bench_road(void) {
  static int road = -1;

  if (road < 0) {
    const char* name = getenv("D750_EVENTS");

    road = BENCH_INTERRUPT;
    if (name && !strcmp(name, "nikon"))
      road = BENCH_NIKON;
    else if (name && !strcmp(name, "trap"))
      road = BENCH_TRAP;
    else if (name && strcmp(name, "interrupt"))
      gp_log(GP_LOG_ERROR, "d750", "unknown D750_EVENTS '%s', using interrupt", name);
  }
  return road;
}

int bench_unplugged(void) {
  return bench_cable_pulled;
}

char* bench_photo_folder(char* fallback) {
  char* folder = getenv("D750_PHOTOS");

  return folder ? folder : fallback;
}

static unsigned int bench_serving; /* the operation being served */

void bench_request(unsigned int code) {
  static int fd = -2;
  struct timespec now;
  char line[64];
  int size;

  bench_serving = code;
  if (fd == -2) {
    const char* path = getenv("D750_REQUEST_LOG");

    fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
  }
  if (fd < 0) return;
  clock_gettime(CLOCK_MONOTONIC, &now);
  size = snprintf(line, sizeof line, "%lld.%09ld %04X\n", (long long)now.tv_sec, now.tv_nsec,
                  code & 0xffff);
  /* One write of an O_APPEND file: lines of several processes never mix. */
  if (write(fd, line, size) != size)
    gp_log(GP_LOG_ERROR, "d750", "request log: %s", strerror(errno));
}

int bench_event_wanted(unsigned int code) {
  return code != 0x4006 || (bench_serving != 0x1014 && bench_serving != 0x1015);
}

int bench_offered_operations(unsigned short* codes, int count) {
  int i, kept = 0;

  for (i = 0; i < count; i++)
    if (codes[i] != 0x90c7 || bench_road() != BENCH_INTERRUPT) codes[kept++] = codes[i];
  return kept;
}

unsigned int bench_storage_id(struct ptp_dirent* object) {
  return object->id == BENCH_SDRAM_HANDLE ? 0 : 0x00010001;
}

static int bench_is_jpeg(const struct ptp_dirent* object) {
  return strstr(object->name, ".JPG") || strstr(object->name, ".jpg");
}

/* The card's first JPEG (the list holds the newest first): its folder takes
 * new photos, and its content those that name no file. */
static struct ptp_dirent* bench_card_jpeg(void) {
  struct ptp_dirent *object, *found = NULL;

  for (object = first_dirent; object; object = object->next)
    if (object->id != BENCH_SDRAM_HANDLE && bench_is_jpeg(object)) found = object;
  return found;
}

/* A new object in `parent` with `name` and the content of file `fsname`,
 * at the head of the object list; NULL when `fsname` cannot be read. */
static struct ptp_dirent* bench_add_object(uint32_t id, const char* name, const char* fsname,
                                           struct ptp_dirent* parent) {
  struct ptp_dirent* object = calloc(1, sizeof(*object));

  if (!object) return NULL;
  if (stat(fsname, &object->stbuf) != 0) {
    gp_log(GP_LOG_ERROR, "d750", "cannot read %s", fsname);
    free(object);
    return NULL;
  }
  object->id = id;
  object->name = strdup(name);
  object->fsname = strdup(fsname);
  object->parent = parent;
  object->next = first_dirent;
  first_dirent = object;
  return object;
}

/* The camera's own shutter button: a new photo on the card, announced by
 * ObjectAdded on whichever road is in use. */
static void bench_button_photo(vcamera* cam, const char* file) {
  struct ptp_dirent *model = bench_card_jpeg(), *photo;
  const char* slash = file ? strrchr(file, '/') : NULL;
  char name[256];
  uint32_t id = ++ptp_objectid;

  if (!model) {
    gp_log(GP_LOG_ERROR, "d750", "no JPEG on the card to put a photo beside");
    return;
  }
  if (file)
    snprintf(name, sizeof name, "%s", slash ? slash + 1 : file);
  else
    snprintf(name, sizeof name, "DSC_%04u.JPG", (unsigned)(id % 10000));
  photo = bench_add_object(id, name, file ? file : model->fsname, model->parent);
  if (photo) ptp_inject_interrupt(cam, 0, 0x4002, 1, photo->id, cam->seqnr); /* ObjectAdded */
}

/* A setting turned on the body: the property `code` takes `value`, and the
 * camera reports the change by DevicePropChanged on the road in use, as a
 * body does for every change, whatever made it. */
static void bench_turn(vcamera* cam, const char* args) {
  unsigned int code, serving = bench_serving;
  int value;

  if (sscanf(args, "%x %d", &code, &value) != 2) {
    gp_log(GP_LOG_ERROR, "d750", "turn wants a property code and a value: '%s'", args);
    return;
  }
  switch (code) {
    case 0x5007:
      cam->fnumber = value;
      break;
    case 0x500d:
      cam->shutterspeed = value;
      break;
    case 0x5010:
      cam->exposurebias = value;
      break;
    default:
      gp_log(GP_LOG_ERROR, "d750", "no settable property 0x%04x", code);
      return;
  }
  bench_serving = 0;                                         /* a change, not the echo of a read */
  ptp_inject_interrupt(cam, 0, 0x4006, 1, code, cam->seqnr); /* DevicePropChanged */
  bench_serving = serving;
}

static void bench_take_line(vcamera* cam, const char* line) {
  if (!strncmp(line, "turn ", 5))
    bench_turn(cam, line + 5);
  else if (!strcmp(line, "unplug"))
    bench_cable_pulled = 1;
  else if (!strcmp(line, "photo"))
    bench_button_photo(cam, NULL);
  else if (!strncmp(line, "photo ", 6))
    bench_button_photo(cam, line + 6);
  else if (line[0])
    gp_log(GP_LOG_ERROR, "d750", "unknown control line '%s'", line);
}

/* Reads the lines appended to D750_CONTROL since the last look. A process
 * starts at the end of the file as it is at its first look, so lines meant
 * for an earlier process are not taken again. */
static void bench_take_control(vcamera* cam) {
  static int fd = -2;
  static off_t taken;
  static char line[1024];
  static size_t length;
  char chunk[1024];
  ssize_t got, i;

  if (fd == -2) {
    const char* path = getenv("D750_CONTROL");

    if (!path) {
      fd = -1;
      return;
    }
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      fd = -2; /* not there yet: look again at the next transfer */
      return;
    }
    taken = lseek(fd, 0, SEEK_END);
  }
  if (fd < 0) return;
  while ((got = pread(fd, chunk, sizeof chunk, taken)) > 0) {
    taken += got;
    for (i = 0; i < got; i++) {
      if (chunk[i] != '\n') {
        if (length < sizeof line - 1) line[length++] = chunk[i];
        continue;
      }
      line[length] = '\0';
      length = 0;
      bench_take_line(cam, line);
    }
  }
}

int bench_transfer(struct vcamera* cam) {
  bench_take_control(cam);
  /* What libusb's "no device" comes to in libgphoto2's usb1 port driver. */
  return bench_cable_pulled ? GP_ERROR_IO_USB_FIND : GP_OK;
}

static int bench_due(const struct ptp_interrupt* event, const struct timeval* now) {
  return timercmp(&event->triggertime, now, <=);
}

/* Takes the queued event that is due first (with `due_only` 0, the first
 * one, due or not), if any. The caller frees `*data`. */
static int bench_take_event(unsigned char** data, int* size, int due_only) {
  struct ptp_interrupt* event = first_interrupt;
  struct timeval now;

  gettimeofday(&now, NULL);
  if (!event || (due_only && !bench_due(event, &now))) return 0;
  first_interrupt = event->next;
  *data = event->data;
  *size = event->size;
  free(event);
  return 1;
}

/* A session starts with no event pending: those of an earlier one are
 * dropped. A Nikon body reports its property changes through GetEvent from
 * the start; ptp2 trusts GetEvent only once it has answered an event
 * (event90c7works), so the nikon road answers this one at once. */
void bench_session_opened(struct vcamera* cam) {
  unsigned char* event;
  int size;

  while (bench_take_event(&event, &size, 0)) free(event);
  if (bench_road() == BENCH_NIKON)
    ptp_inject_interrupt(cam, 0, 0x4006, 1, 0x5001, cam->seqnr); /* DevicePropChanged */
}

/* As libgphoto2's usb1 port driver: an event that is due is returned at
 * once, otherwise the wait lasts until one falls due or `timeout` ms have
 * passed (0: no wait at all). Control lines are taken meanwhile, so a
 * button photo is announced while ptp2 waits. */
int bench_readint(struct vcamera* cam, unsigned char* data, int bytes, int timeout) {
  struct timeval now, end, wait = {timeout / 1000, (timeout % 1000) * 1000};
  unsigned char* event;
  int size, result;

  gettimeofday(&now, NULL);
  timeradd(&now, &wait, &end);
  for (;;) {
    result = bench_transfer(cam);
    if (result < GP_OK) return result;
    if (bench_road() != BENCH_NIKON && bench_take_event(&event, &size, 1)) {
      if (size > bytes) size = bytes;
      memcpy(data, event, size);
      free(event);
      return size;
    }
    gettimeofday(&now, NULL);
    if (!timercmp(&now, &end, <)) return GP_ERROR_TIMEOUT;
    timersub(&end, &now, &wait);
    usleep(wait.tv_sec || wait.tv_usec > BENCH_POLL_US ? BENCH_POLL_US : wait.tv_usec);
  }
}

int bench_capture_sdram_write(struct vcamera* cam, struct ptpcontainer* ptp) {
  static unsigned int shots;
  struct ptp_dirent **link, *root = NULL, *model = bench_card_jpeg(), *object;
  char name[32];

  CHECK_SEQUENCE_NUMBER();
  CHECK_SESSION();
  CHECK_PARAM_COUNT(1);

  /* SDRAM holds one photo: one not yet taken gives way to the new one. */
  for (link = &first_dirent; *link;) {
    object = *link;
    if (object->id == BENCH_SDRAM_HANDLE) {
      *link = object->next;
      free_dirent(object);
      continue;
    }
    if (object->id == 0) root = object;
    link = &object->next;
  }
  snprintf(name, sizeof name, "DSC_%04u.JPG", ++shots % 10000);
  if (!model || !root || !bench_add_object(BENCH_SDRAM_HANDLE, name, model->fsname, root)) {
    ptp_response(cam, PTP_RC_GeneralError, 0);
    return 1;
  }
  /* ObjectAddedInSDRAM, then CaptureCompleteRecInSdram. */
  ptp_inject_interrupt(cam, 100, 0xc101, 1, BENCH_SDRAM_HANDLE, cam->seqnr);
  ptp_inject_interrupt(cam, 120, 0xc102, 0, 0, cam->seqnr);
  ptp_response(cam, PTP_RC_OK, 0);
  return 1;
}

/* Nikon's event list: a 16-bit count, then a 16-bit code and a 32-bit
 * parameter for each event. */
int bench_getevent_write(struct vcamera* cam, struct ptpcontainer* ptp) {
  unsigned char list[2 + 6 * BENCH_EVENTS_PER_ANSWER], *event;
  int count = 0, x = 2, size;

  CHECK_SEQUENCE_NUMBER();
  CHECK_SESSION();
  CHECK_PARAM_COUNT(0);

  while (bench_road() == BENCH_NIKON && count < BENCH_EVENTS_PER_ANSWER &&
         bench_take_event(&event, &size, 1)) {
    x += put_16bit_le(list + x, get_16bit_le(event + 6));
    x += put_32bit_le(list + x, size >= 16 ? get_32bit_le(event + 12) : 0);
    free(event);
    count++;
  }
  put_16bit_le(list, count);
  ptp_senddata(cam, 0x90c7, list, x);
  ptp_response(cam, PTP_RC_OK, 0);
  return 1;
}
