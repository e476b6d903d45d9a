// Fuzzes DoToneFx through its descriptor, parameter block, retry argument
// and image bytes.
//
// Input: bytes 0-27 are XORed over a valid 64 x 48 colour descriptor, bytes
// 28-69 over the driver's parameter block, byte 70 chooses retry, the rest
// fills the image. The image buffer holds exactly what the descriptor
// promises (imageHeight lines of imageBytesPerLine bytes): a descriptor that
// promises more than kImageCap bytes gets its imageHeight lowered until the
// promise fits, since honouring it is the caller's part. Everything else in
// the descriptor, however hostile, goes in as fuzzed.
//
// Checked besides the sanitizers: the result is one of the codes DoToneFx
// has, and every curve entry written is an 8-bit level.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tq5/tonefx.h"

namespace {

constexpr size_t kImageCap = 64 * 1024;
constexpr uint16_t kUnwritten = 0xBEEF;

ToneImageDescriptor BaseDescriptor() {
  ToneImageDescriptor d{};
  d.imageWidth = 64;
  d.imageHeight = 48;
  d.samplesPerPixel = 3;
  d.bitsPerSample = 8;
  d.xDpi = d.yDpi = 150;
  d.interleave = 1;
  d.negative = 0;
  d.imageBytesPerLine = 64 * 3;
  return d;
}

ToneParameterBlock BaseBlock() {
  ToneParameterBlock block{};
  for (size_t offset = 0; offset < sizeof block.bytes; offset += 2) block.bytes[offset] = 0x10;
  block.bytes[12] = 0x0E;
  block.bytes[13] = 0xE1;
  block.bytes[14] = 0x90;
  return block;
}

void XorInto(uint8_t* target, size_t size, const uint8_t*& data, size_t& left) {
  const size_t n = left < size ? left : size;
  for (size_t i = 0; i < n; ++i) target[i] ^= data[i];
  data += n;
  left -= n;
}

// Bytes the library may read: none unless both the height and the line
// length are positive as signed 32-bit values.
size_t PromisedBytes(const ToneImageDescriptor& d) {
  if (static_cast<int32_t>(d.imageHeight) <= 0 || static_cast<int32_t>(d.imageBytesPerLine) <= 0) return 0;
  return static_cast<size_t>(d.imageHeight) * d.imageBytesPerLine;
}

bool KnownResult(uint32_t code) {
  return code <= 7 || code == 0x10 || code == 0x11 || code == 0x13 || code == 0x14 || code == 0x15;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ToneImageDescriptor descriptor = BaseDescriptor();
  ToneParameterBlock block = BaseBlock();
  XorInto(reinterpret_cast<uint8_t*>(&descriptor), sizeof descriptor, data, size);
  XorInto(block.bytes, sizeof block.bytes, data, size);
  uint32_t retry = 0;
  if (size > 0) {
    retry = data[0] & 3;
    ++data;
    --size;
  }

  if (PromisedBytes(descriptor) > kImageCap) {
    descriptor.imageHeight = static_cast<uint32_t>(kImageCap / descriptor.imageBytesPerLine);
  }
  std::vector<uint8_t> image(PromisedBytes(descriptor));
  // The rest of the input, repeated; a ramp when there is none.
  if (size == 0) {
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  } else {
    for (size_t at = 0; at < image.size(); at += size) {
      std::memcpy(image.data() + at, data, image.size() - at < size ? image.size() - at : size);
    }
  }

  uint16_t scanCurves[768];
  uint16_t prescanCurves[768];
  for (uint16_t& v : prescanCurves) v = kUnwritten;
  const uint32_t result =
      DoToneFx(image.empty() ? nullptr : image.data(), &descriptor, &block, scanCurves, prescanCurves, retry) & 0xFF;
  if (!KnownResult(result)) std::abort();
  for (uint16_t v : scanCurves) {
    if (v > 255) std::abort();
  }
  for (uint16_t v : prescanCurves) {
    if (v > 255 && v != kUnwritten) std::abort();
  }
  return 0;
}
