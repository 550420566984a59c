#include <malloc.h>
#include <unistd.h>

#include <cstdio>

#include "memory.h"

namespace {

// The process's resident anonymous memory in bytes (its RssAnon: what
// /proc/self/statm counts resident and not shared), or 0 when it cannot be
// read.
std::size_t residentAnonymous() {
  std::FILE* statm = std::fopen("/proc/self/statm", "re");
  if (statm == nullptr) return 0;
  unsigned long size = 0, resident = 0, shared = 0;
  int fields = std::fscanf(statm, "%lu %lu %lu", &size, &resident, &shared);
  std::fclose(statm);
  if (fields != 3 || resident < shared) return 0;
  return (resident - shared) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

void keepFreedBuffersForReuse() {
  // glibc maps a large buffer by itself and unmaps it when it is freed, so
  // a photo gathered into one (a driver grows it as the bytes come) pays a
  // page fault for each 4 KiB of it, every time: on a burst from camera
  // memory that cost more than writing the photo out. Left to itself,
  // glibc also raises the size from which it maps to that of the largest
  // buffer freed, up to 32 MiB, and keeps smaller ones in a heap that it
  // trims only from the top: an idle camrelay held some 60 MB after a
  // burst. So: no buffer is mapped by itself, the heap is never trimmed
  // by itself, and the hand-backs below say when its free pages go back.
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, -1);
}

void handBackFreedMemory() {
  malloc_trim(0);
}

void handBackFreedMemoryPastHalf() {
  // Half of what is in use: during a burst that is the room of about one
  // photo beside the three of libgphoto2's cache, which the next photo
  // fills when the heap lets it. When the heap places photos elsewhere,
  // the room they leave is handed back after the next photo, not kept.
  struct mallinfo2 heap = mallinfo2();
  if (residentAnonymous() > heap.uordblks + heap.uordblks / 2) handBackFreedMemory();
}
