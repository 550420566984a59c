#ifndef MEMTALLY_MEMTALLY_H_
#define MEMTALLY_MEMTALLY_H_

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Parses one process ID argument: a base-10 integer, as strtol reads it
 * (leading white space and a sign allowed), that uses up the whole string and
 * lies in 1..2147483647. Returns false for anything else.
 */
bool parsePid(const char* argument, int* pid);

/*
 * Sums the footprints of the processes named by `arguments`, parsing and
 * querying them one at a time in order; the same ID given twice counts twice
 * and the sum wraps modulo 2^64. A process that does not exist counts 0.
 * Returns false at the first argument that does not parse or whose process
 * cannot be queried; *sum is then meaningless.
 */
bool sumFootprints(int count, char* const arguments[], uint64_t* sum);

/*
 * The whole program: with one or more arguments, prints their summed
 * footprint as "%llu\n" on standard output and returns 0. Returns 1 with
 * nothing printed when there are no arguments or the sum cannot be computed,
 * and also when the sum could not be written out in full. Never writes to
 * standard error.
 */
int runMemtally(int argc, char* argv[]);

#ifdef __cplusplus
}
#endif

#endif /* MEMTALLY_MEMTALLY_H_ */
