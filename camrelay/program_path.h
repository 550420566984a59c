// Where the running executable lives, so that libgphoto2 can be pointed at
// the driver folders installed beside it.
#pragma once

#include <string>

// The folder of the running executable, symbolic links resolved, without a
// trailing "/". Asks the operating system first and falls back on `argv0`
// only when it cannot tell: a program started by a bare name through PATH
// would otherwise look for its drivers in the working folder.
std::string programFolder(const char* argv0);

// programFolder() with the operating system's answer read from `selfLink`
// (normally a link to the executable); exposed for tests.
std::string programFolder(const char* selfLink, const char* argv0);
