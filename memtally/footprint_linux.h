#ifndef MEMTALLY_FOOTPRINT_LINUX_H_
#define MEMTALLY_FOOTPRINT_LINUX_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Reads the footprint of process `pid` from `length` bytes of the text of
 * /proc/<pid>/status: its RssAnon plus its VmSwap, in bytes (a missing line
 * counts 0: the kernel leaves both out for a process without an address
 * space). The last line need not end with a newline.
 *
 * Returns 0 on success. Returns -1 with errno ESRCH when the text is not that
 * of process `pid` itself (its Tgid line names another process: the ID is that
 * of a thread, or there is no Tgid line), and with errno EPROTO when a line
 * that is read is not in the kernel's form.
 */
int footprintFromStatus(const char* text, size_t length, int pid, uint64_t* bytes);

#ifdef __cplusplus
}
#endif

#endif /* MEMTALLY_FOOTPRINT_LINUX_H_ */
