#include "memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

// The sanitizer's allocator stands in for glibc's: its settings do not apply.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kGlibcAllocator = false;
#else
constexpr bool kGlibcAllocator = true;
#endif

long rssAnonKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
  }
  return -1;
}

std::unique_ptr<char[]> touched(std::size_t size) {
  auto block = std::make_unique<char[]>(size);
  std::memset(block.get(), 1, size);
  return block;
}

// Three photos in use, as libgphoto2's cache holds them, and one or two
// freed beside them: the room of one is kept for the next photo, that of
// two is more than half of what is in use and goes back.
TEST(MemoryTest, FreedRoomPastHalfOfWhatIsInUseGoesBack) {
  if (!kGlibcAllocator) GTEST_SKIP() << "not glibc's allocator";
  constexpr std::size_t kPhoto = 16 << 20;
  constexpr long kPhotoKib = kPhoto / 1024;
  keepFreedBuffersForReuse();
  std::vector<std::unique_ptr<char[]>> cache;
  for (int i = 0; i < 3; ++i) cache.push_back(touched(kPhoto));
  for (int freed : {1, 2}) {
    handBackFreedMemory();
    for (int i = 0; i < freed; ++i) cache.push_back(touched(kPhoto));
    cache.resize(3);
    long before = rssAnonKib();
    handBackFreedMemoryPastHalf();
    long after = rssAnonKib();
    if (freed == 1) {
      EXPECT_GT(after, before - kPhotoKib / 2) << "the room of one photo is kept";
    } else {
      EXPECT_LT(after, before - kPhotoKib * 3 / 2) << "the room of two photos goes back";
    }
  }
}

}  // namespace
