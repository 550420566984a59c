#include "jpeg_size.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A segment: its marker, then a length that counts itself, then `body`.
Bytes segment(unsigned char marker, const Bytes& body) {
  std::size_t length = body.size() + 2;
  Bytes bytes = {0xFF, marker, static_cast<unsigned char>(length >> 8),
                 static_cast<unsigned char>(length & 0xFF)};
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

// A frame header of `width` x `height`, one component.
Bytes frameHeader(unsigned char marker, int width, int height) {
  return segment(marker,
                 {8, static_cast<unsigned char>(height >> 8),
                  static_cast<unsigned char>(height & 0xFF), static_cast<unsigned char>(width >> 8),
                  static_cast<unsigned char>(width & 0xFF), 1, 1, 0x11, 0});
}

Bytes jpeg(std::initializer_list<Bytes> parts) {
  Bytes bytes = {0xFF, 0xD8};
  for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

std::optional<PixelSize> sizeOf(const Bytes& bytes) {
  return jpegPixelSize(bytes.data(), bytes.size());
}

TEST(JpegSize, TheFirstFrameHeaderGivesWidthAndHeight) {
  Bytes comment = segment(0xFE, {'v', 'c', ' ', '7'});
  Bytes tables = segment(0xC4, {0, 1, 2});  // DHT shares the SOF range
  Bytes scan = segment(0xDA, {1, 1, 0});
  EXPECT_EQ(sizeOf(jpeg({comment, tables, frameHeader(0xC0, 640, 424), scan})),
            (PixelSize{640, 424}));
  // Progressive, after fill bytes and a restart-like standalone marker.
  EXPECT_EQ(sizeOf(jpeg({{0xFF, 0xFF}, {0xFF, 0x01}, frameHeader(0xC2, 1920, 1080)})),
            (PixelSize{1920, 1080}));
  // The frame header found before the end of the data is enough.
  Bytes cut = jpeg({frameHeader(0xC1, 300, 200)});
  cut.resize(cut.size() - 3);
  EXPECT_EQ(sizeOf(cut), (PixelSize{300, 200}));
}

TEST(JpegSize, WithoutAWholeFrameHeaderBeforeTheScanThereIsNone) {
  Bytes scan = segment(0xDA, {1, 1, 0});
  Bytes header = frameHeader(0xC0, 640, 424);
  Bytes truncated = jpeg({header});
  truncated.resize(8);
  const std::vector<Bytes> cases = {
      {},
      {0xFF},
      {0x89, 'P', 'N', 'G'},
      jpeg({}),
      jpeg({scan, header}),                      // the scan comes first
      jpeg({{0xFF, 0xD9}, header}),              // an end of image first
      jpeg({{0x00, 0x00}, header}),              // no marker where one must be
      jpeg({segment(0xFE, {}), {0xFF, 0xE0}}),   // a length cut off
      jpeg({{0xFF, 0xE0, 0x10, 0x00}, header}),  // a segment longer than the data
      jpeg({frameHeader(0xC0, 640, 0), scan}),   // the height comes later (DNL)
      truncated,
  };
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(sizeOf(cases[i]), std::nullopt) << i;
}

}  // namespace
