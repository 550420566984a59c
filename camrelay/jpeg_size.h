// The pixel size that a JPEG image states in its frame header, read without
// decoding it: for the host, beside each live view frame.
#pragma once

#include <cstddef>
#include <optional>

struct PixelSize {
  int width = 0;
  int height = 0;

  bool operator==(const PixelSize&) const = default;
};

// The width and height of the first start-of-frame segment (SOF0 to SOF15,
// but DHT, JPG and DAC, which share the marker range) of the JPEG image in
// `data`, found by walking the segments from its start-of-image marker.
// Nothing when the data is no JPEG, ends before the frame header, reaches
// its scan (or an end of image) first, or states a width or height of 0
// (the height may come later in a DNL segment; the host is not told then).
// Looks at the segment headers only: the cost does not grow with the
// image's size.
std::optional<PixelSize> jpegPixelSize(const unsigned char* data, std::size_t size);
