// Live view frames: small, valid baseline JPEG images that carry their
// number, as a camera's live view delivers one JPEG per request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace virtualcam {

// Frame `number`: a grey baseline JPEG (JFIF, one component) of `width` ×
// `height` pixels whose comment segment says "virtualcam frame <number>" and
// whose shade of grey changes with the number, padded with APP15 segments
// to `targetBytes` when that is larger. No byte 0xFF is followed by 0xD9
// before its end, so ptp2's search for the end of a Nikon frame keeps it
// whole.
std::string jpegFrame(std::uint64_t number, int width, int height, std::size_t targetBytes);

}  // namespace virtualcam
