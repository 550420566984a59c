#include <malloc.h>

#include "memory.h"

void keepFreedBuffersForReuse() {
  // glibc maps a large buffer by itself and unmaps it when it is freed, so
  // a photo gathered into one (a driver grows it as the bytes come) pays a
  // page fault for each 4 KiB of it, every time: on a burst from camera
  // memory that cost more than writing the photo out. Left to itself,
  // glibc also raises the size from which it maps to that of the largest
  // buffer freed, up to 32 MiB, and keeps smaller ones in a heap that it
  // trims only from the top: an idle camrelay held some 60 MB after a
  // burst. So: no buffer is mapped by itself, the heap is never trimmed
  // by itself, and handBackFreedMemory() says when its free pages go back.
  // Meanwhile a burst holds, beside the photos of libgphoto2's cache, the
  // free room of the one it let go last, which the next photo fills.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
}

void handBackFreedMemory() {
  malloc_trim(0);
}
