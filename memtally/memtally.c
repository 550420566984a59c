#include "memtally.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "footprint.h"

bool parsePid(const char* argument, int* pid) {
  char* end = NULL;
  errno = 0;
  long value = strtol(argument, &end, 10);
  /* Out-of-range input saturates to LONG_MIN/LONG_MAX, which the range check
   * below rejects, so errno needs no separate look. */
  if (end == argument || *end != '\0') return false;
  if (value < 1 || value > 2147483647L) return false;
  *pid = (int)value;
  return true;
}

bool sumFootprints(int count, char* const arguments[], uint64_t* sum) {
  uint64_t total = 0;
  for (int i = 0; i < count; ++i) {
    int pid;
    if (!parsePid(arguments[i], &pid)) return false;
    uint64_t bytes = 0;
    if (footprintOf(pid, &bytes) != 0) {
      /* A process that has gone away counts 0; anything else is fatal. */
      if (errno == ESRCH) continue;
      return false;
    }
    total += bytes; /* Unsigned: wraps modulo 2^64 by design. */
  }
  *sum = total;
  return true;
}

int runMemtally(int argc, char* argv[]) {
  if (argc < 2) return 1;
  uint64_t sum = 0;
  if (!sumFootprints(argc - 1, argv + 1, &sum)) return 1;
  /* A sum that never reached the reader must not look like success. */
  if (printf("%llu\n", (unsigned long long)sum) < 0) return 1;
  if (fflush(stdout) != 0) return 1;
  return 0;
}
