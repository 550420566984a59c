#include "memtally.h"

int main(int argc, char* argv[]) {
  return runMemtally(argc, argv);
}
