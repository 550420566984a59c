#include <malloc.h>

#include "memory.h"

namespace {

// glibc maps buffers from this size on by themselves, and unmaps them when
// they are freed. Left to itself it raises the size to that of the largest
// buffer freed so far, up to 32 MiB, and from then on takes such buffers
// from its heap, which it keeps: after a burst of large photos an idle
// camrelay held some 60 MB. Smaller buffers (a driver's USB transfers)
// stay in the heap, which reuses them.
constexpr int kLargeBuffer = 4 << 20;

}  // namespace

void returnLargeBuffersWhenFreed() {
  mallopt(M_MMAP_THRESHOLD, kLargeBuffer);
}
