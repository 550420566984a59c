#ifndef MEMTALLY_FOOTPRINT_H_
#define MEMTALLY_FOOTPRINT_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Stores in *bytes the physical memory footprint of process `pid`: the bytes
 * of memory that belong to that process alone, resident or swapped out.
 *
 * Returns 0 on success. On failure returns -1 with errno set; errno is ESRCH
 * exactly when the process does not exist (never existed, has been reaped,
 * ended while it was being queried, or the ID is that of a thread of another
 * process), so that callers can tell a vanished process apart from a query
 * that was refused. A process that exists but owns
 * no memory of its own (a zombie, a kernel thread) succeeds with 0.
 */
int footprintOf(int pid, uint64_t* bytes);

#ifdef __cplusplus
}
#endif

#endif /* MEMTALLY_FOOTPRINT_H_ */
