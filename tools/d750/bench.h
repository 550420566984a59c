/* Hooks of camrelay's bench into libgphoto2's emulated Nikon D750
 * (libgphoto2_port/vusb). Our patch calls them from vusb.c and vcamera.c;
 * bench.c, which defines them, is included at the end of vcamera.c so that
 * it reaches that file's object list and event queue. */
#ifndef CAMRELAY_D750_BENCH_H
#define CAMRELAY_D750_BENCH_H

#pragma GCC visibility push(hidden)

struct vcamera;
struct ptpcontainer;
struct ptp_dirent;

/* True once the bench pulled the cable: from then on every transfer of
 * this process fails and the camera is no longer found. */
int bench_unplugged(void);

/* The folder served as the camera's card: D750_PHOTOS, or `fallback`. */
char* bench_photo_folder(char* fallback);

/* Takes the control lines written since the last call, then says whether
 * a transfer may go on (GP_OK) or fails as on a pulled cable. */
int bench_transfer(struct vcamera* cam);

/* Called for each operation received: appends a line to D750_REQUEST_LOG
 * and notes the operation being served. */
void bench_request(unsigned int code);

/* Whether the camera sends an event of `code` now: not the
 * DevicePropChanged that the emulation raises on every property read (a
 * body reports changes, not reads). */
int bench_event_wanted(unsigned int code);

/* Drops GetEvent from the operations that DeviceInfo lists when the
 * interrupt road is in use; returns the new count. */
int bench_offered_operations(unsigned short* codes, int count);

/* Called when a session opens. */
void bench_session_opened(struct vcamera* cam);

/* The StorageID that ObjectInfo reports: 0 for the photo in SDRAM. */
unsigned int bench_storage_id(struct ptp_dirent* object);

/* The interrupt pipe: the next event that is due, waiting up to `timeout`
 * ms for one. */
int bench_readint(struct vcamera* cam, unsigned char* data, int bytes, int timeout);

/* Nikon InitiateCaptureRecInSdram (0x90C0) and GetEvent (0x90C7). */
int bench_capture_sdram_write(struct vcamera* cam, struct ptpcontainer* ptp);
int bench_getevent_write(struct vcamera* cam, struct ptpcontainer* ptp);

#pragma GCC visibility pop

#endif
