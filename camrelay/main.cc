#include <cstring>

#include "disk_link.h"
#include "main_loop.h"

int main(int argc, char** argv) {
  openMissingStandardStreams();
  if (argc == 3 && std::strcmp(argv[1], "--disk-link") == 0) return diskLinkProbe(argv[2]);
  return runTethering(argc > 0 ? argv[0] : nullptr);
}
