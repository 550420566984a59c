#include "jpeg_size.h"

namespace {

constexpr unsigned char kMarker = 0xFF;
constexpr unsigned char kStartOfImage = 0xD8;
constexpr unsigned char kEndOfImage = 0xD9;
constexpr unsigned char kStartOfScan = 0xDA;
// Markers without a length: TEM and the restart markers RST0 to RST7.
constexpr unsigned char kTem = 0x01;
constexpr unsigned char kFirstRestart = 0xD0;
constexpr unsigned char kLastRestart = 0xD7;

bool startOfFrame(unsigned char marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

int bigEndian16(const unsigned char* at) {
  return (at[0] << 8) | at[1];
}

}  // namespace

std::optional<PixelSize> jpegPixelSize(const unsigned char* data, std::size_t size) {
  if (data == nullptr || size < 2 || data[0] != kMarker || data[1] != kStartOfImage) {
    return std::nullopt;
  }
  std::size_t at = 2;
  while (at + 1 < size) {
    if (data[at] != kMarker) return std::nullopt;  // no segment where one must be
    unsigned char marker = data[at + 1];
    if (marker == kMarker) {  // a fill byte before the marker
      ++at;
      continue;
    }
    at += 2;
    if (marker == kTem || (marker >= kFirstRestart && marker <= kLastRestart)) continue;
    if (marker == kStartOfScan || marker == kEndOfImage) return std::nullopt;
    if (at + 2 > size) return std::nullopt;
    std::size_t length = static_cast<std::size_t>(bigEndian16(data + at));
    if (length < 2) return std::nullopt;
    if (startOfFrame(marker)) {
      // Length, sample precision, height, width.
      if (length < 7 || at + 7 > size) return std::nullopt;
      PixelSize pixels{bigEndian16(data + at + 5), bigEndian16(data + at + 3)};
      if (pixels.width == 0 || pixels.height == 0) return std::nullopt;
      return pixels;
    }
    at += length;
  }
  return std::nullopt;
}
