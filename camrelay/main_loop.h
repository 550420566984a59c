// Tethering mode: start-up, the single-threaded loop and shutdown.
#pragma once

#include <cstddef>
#include <string>

// Largest number of command bytes that may wait for their "\n".
inline constexpr std::size_t kInputLimit = 65536;

// Runs tethering mode until standard input ends, the host overruns the input
// limit, or SIGTERM/SIGINT arrives. Returns the process exit status: 1 when
// libgphoto2 cannot be prepared, else 0.
int runTethering(const char* argv0);

// Opens /dev/null on whichever of the standard descriptors the parent left
// closed. Otherwise the next file opened (a photo being downloaded, say)
// would take that number, and status lines would be written into it.
void openMissingStandardStreams();

// Appends `count` bytes to `buffer`. Returns false, after reporting the
// protocol error, when the buffer then holds more than the input limit.
bool appendInput(std::string& buffer, const char* bytes, std::size_t count);

// Carries out the complete lines in `buffer`, in order, and keeps the rest.
// While a photo that libgphoto2 holds in its memory waits for its download
// (after a capture that returned one), the lines after it wait in `buffer`:
// carrying out more captures first could push it out of libgphoto2's cache.
void carryOutLines(std::string& buffer);

// Whether the complete lines of `buffer` hold a quick stop, in the protocol
// that the lines before it leave: protocol 2's stop with "leave": true.
bool quickStopIn(const std::string& buffer);

// Carries out one command line. Lines that are not a JSON object, or that
// hold a NUL byte anywhere, are dropped without a status line (refused with
// id null in protocol 2); objects without a known "command" get one.
void carryOutLine(const std::string& line);
