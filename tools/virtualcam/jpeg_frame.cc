#include "jpeg_frame.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "script.h"

namespace virtualcam {

namespace {

// The luminance DC table of the JPEG standard (ITU T.81, K.3): code lengths
// and the categories they carry.
constexpr std::array<std::uint8_t, 16> kDcLengths = {0, 1, 5, 1, 1, 1, 1, 1,
                                                     1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<std::uint8_t, 12> kDcSymbols = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
// An AC table with the one symbol a plain image needs: end of block, coded
// as the single bit 0.
constexpr std::array<std::uint8_t, 16> kAcLengths = {1, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kEndOfBlock = 0x00;
// Quantization of the DC coefficient: each step of its value moves the
// block's level by 8.
constexpr int kDcStep = 64;

// Writes bits into entropy-coded data: most significant bit first, a 0x00
// stuffed after every 0xFF, the last byte filled with 1 bits.
class BitWriter {
 public:
  void put(std::uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      byte_ = static_cast<std::uint8_t>((byte_ << 1) | ((bits >> i) & 1));
      if (++used_ == 8) flush();
    }
  }
  std::string finish() {
    while (used_ != 0) put(1, 1);
    return std::move(out_);
  }

 private:
  void flush() {
    out_.push_back(static_cast<char>(byte_));
    if (byte_ == 0xFF) out_.push_back('\0');
    byte_ = 0;
    used_ = 0;
  }
  std::string out_;
  std::uint8_t byte_ = 0;
  int used_ = 0;
};

// The canonical code of each DC category (T.81, C.2): {code, length}.
std::array<std::pair<std::uint32_t, int>, 12> dcCodes() {
  std::array<std::pair<std::uint32_t, int>, 12> codes{};
  std::uint32_t code = 0;
  std::size_t symbol = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < kDcLengths[length - 1]; ++i) codes[kDcSymbols[symbol++]] = {code++, length};
    code <<= 1;
  }
  return codes;
}

void putWord(std::string& out, unsigned value) {
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

// A marker segment: the marker, its length and `payload`.
void segment(std::string& out, std::uint8_t marker, const std::string& payload) {
  out.push_back(static_cast<char>(0xFF));
  out.push_back(static_cast<char>(marker));
  putWord(out, static_cast<unsigned>(payload.size() + 2));
  out += payload;
}

std::string bytes(std::initializer_list<int> values) {
  std::string text;
  for (int value : values) text.push_back(static_cast<char>(value));
  return text;
}

// The scan of a plain image: every block has only a DC coefficient; the
// first block's is `level` and each later block repeats it (a difference
// of 0), so the whole image has one shade.
std::string scan(int width, int height, int level) {
  static const auto kCodes = dcCodes();
  std::size_t blocks = static_cast<std::size_t>((width + 7) / 8) * ((height + 7) / 8);
  BitWriter bits;
  for (std::size_t i = 0; i < blocks; ++i) {
    int difference = i == 0 ? level : 0;
    int magnitude = std::abs(difference);
    int category = 0;
    while ((1 << category) <= magnitude) ++category;
    bits.put(kCodes[category].first, kCodes[category].second);
    if (category > 0)  // a negative difference is sent as its ones' complement
      bits.put(static_cast<std::uint32_t>(difference > 0 ? difference
                                                         : difference + (1 << category) - 1),
               category);
    bits.put(0, 1);  // end of block
  }
  return bits.finish();
}

}  // namespace

std::string jpegFrame(std::uint64_t number, int width, int height, std::size_t targetBytes) {
  std::string head = bytes({0xFF, 0xD8});
  segment(head, 0xE0, bytes({'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}));
  segment(head, 0xFE, "virtualcam frame " + std::to_string(number));

  std::string tail;
  std::string quantization(1, '\0');  // 8-bit values, table 0, in zigzag order
  quantization.push_back(static_cast<char>(kDcStep));
  quantization.append(63, static_cast<char>(16));
  segment(tail, 0xDB, quantization);
  std::string frame = bytes({8});  // 8-bit samples
  putWord(frame, static_cast<unsigned>(height));
  putWord(frame, static_cast<unsigned>(width));
  frame += bytes({1, 1, 0x11, 0});  // one component: id 1, 1×1 sampling, table 0
  segment(tail, 0xC0, frame);
  std::string dc = bytes({0x00});
  dc.append(kDcLengths.begin(), kDcLengths.end());
  dc.append(kDcSymbols.begin(), kDcSymbols.end());
  segment(tail, 0xC4, dc);
  std::string ac = bytes({0x10});
  ac.append(kAcLengths.begin(), kAcLengths.end());
  ac.push_back(static_cast<char>(kEndOfBlock));
  segment(tail, 0xC4, ac);
  segment(tail, 0xDA, bytes({1, 1, 0x00, 0, 63, 0}));
  // Fifteen shades, from 72 to 184 on the 0-255 scale.
  tail += scan(width, height, static_cast<int>(number % 15) - 7);
  tail += bytes({0xFF, 0xD9});

  // APP15 padding after the comment, each segment's payload the pattern of
  // generated files from its start, which never holds a byte 0xFF. A
  // segment's length stays below 0xFF00 and its payload starts with 0, so
  // that no 0xFF of a length is followed by 0xD9 either.
  constexpr std::size_t kLargestSegment = 2 + 0xFEFF;  // marker and length field included
  std::string padding;
  std::size_t missing =
      targetBytes > head.size() + tail.size() ? targetBytes - head.size() - tail.size() : 0;
  while (missing >= 4) {
    std::size_t take = std::min(missing, kLargestSegment);
    if (missing - take > 0 && missing - take < 4) take -= 4;  // leave room for a last segment
    std::string payload(take - 4, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<char>(patternByte(i, 0));
    segment(padding, 0xEF, payload);
    missing -= take;
  }
  return head + padding + tail;
}

}  // namespace virtualcam
