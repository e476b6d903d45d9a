#include "tone_image.h"

namespace tonefx_test {

uint16_t BlockValue(const ToneParameterBlock& block, uint32_t offset) {
  return static_cast<uint16_t>(block.bytes[offset] << 8 | block.bytes[offset + 1]);
}

void SetBlockValue(ToneParameterBlock& block, uint32_t offset, uint16_t value) {
  block.bytes[offset] = static_cast<uint8_t>(value >> 8);
  block.bytes[offset + 1] = static_cast<uint8_t>(value);
}

ToneParameterBlock DriverBlock(uint16_t gain0, uint16_t gain1, uint16_t gain2) {
  ToneParameterBlock block{};
  for (uint32_t offset = 0; offset < 42; offset += 2) SetBlockValue(block, offset, kUnityGain);
  SetBlockValue(block, 12, 0x0EE1);
  SetBlockValue(block, 14, 0x9000);
  SetBlockValue(block, 16, gain0);
  SetBlockValue(block, 18, gain1);
  SetBlockValue(block, 20, gain2);
  return block;
}

uint32_t ToneImage::Run(uint32_t retry) {
  return DoToneFx(bytes.data(), &descriptor, &block, scanCurves, prescanCurves, retry) & 0xFF;
}

ToneImage MakeImage(uint32_t width, uint32_t height, uint16_t samplesPerPixel, bool negative,
                    const PixelFunction& pixel, uint32_t padding) {
  ToneImage image;
  ToneImageDescriptor& d = image.descriptor;
  d.imageWidth = width;
  d.imageHeight = height;
  d.samplesPerPixel = samplesPerPixel;
  d.bitsPerSample = 8;
  d.xDpi = d.yDpi = 300;
  d.interleave = 1;
  d.negative = negative ? 1 : 0;
  d.imageBytesPerLine = width * samplesPerPixel + padding;
  image.bytes.assign(static_cast<size_t>(d.imageBytesPerLine) * height, 0xEE);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t samples[3] = {0, 0, 0};
      pixel(x, y, samples);
      uint8_t* at = image.bytes.data() + static_cast<size_t>(y) * d.imageBytesPerLine + x * samplesPerPixel;
      if (samplesPerPixel == 3) {
        at[0] = samples[0];
        at[1] = samples[1];
        at[2] = samples[2];
      } else {
        at[0] = samples[1];  // a grey image is channel 1
      }
    }
  }
  return image;
}

PixelFunction Uniform(uint8_t s0, uint8_t s1, uint8_t s2) {
  return [=](uint32_t, uint32_t, uint8_t* s) {
    s[0] = s0;
    s[1] = s1;
    s[2] = s2;
  };
}

Area AnalysedArea(uint32_t width, uint32_t height) {
  Area area{};
  area.rows = height * 80 / 100;
  area.columns = width * 80 / 100;
  area.top = (height - area.rows) / 2;
  area.left = (width - area.columns) / 2;
  return area;
}

}  // namespace tonefx_test
