// Reading tq5scan's images back with the image libraries (libpng, libtiff)
// and a strict PNM parser, into one form the tests compare: samples as
// numbers, and one-bit pixels as 1 = white whatever the format's convention.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tq5scantest {

struct DecodedImage {
  std::string error;  // empty when the file decoded
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 0;
  int bitsPerSample = 0;
  double xDpi = 0;  // 0 when the file records no resolution
  double yDpi = 0;
  std::vector<uint16_t> samples;  // row by row, channels interleaved

  uint16_t At(uint32_t x, uint32_t y, int channel = 0) const {
    return samples[(static_cast<size_t>(y) * width + x) * channels + channel];
  }
  // Mean of one channel over columns [x0, x1) of every row, as a fraction of
  // the largest sample value.
  double ColumnMean(uint32_t x0, uint32_t x1, int channel = 0) const;
};

DecodedImage ReadPng(const std::string& path);
DecodedImage ReadTiff(const std::string& path);
DecodedImage ReadPnm(const std::string& path);
// By the file's signature.
DecodedImage ReadImage(const std::string& path);

}  // namespace tq5scantest
