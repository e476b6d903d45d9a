// The film depth conversions and the merge of the two passes of a
// half-resolution scan, as tables of cases.
#include <gtest/gtest.h>

#include <vector>

#include "scan/buffered_scan.h"
#include "scan/film_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ConvertToGrey, WeighsTheChannelsAndTruncates) {
  struct Case {
    Bytes rgb;
    Bytes grey;
  };
  const Case cases[] = {
      {{0, 0, 0}, {0}},
      {{255, 255, 255}, {255}},                // 2550 / 10, in 16 bits without overflow
      {{255, 0, 0}, {76}},                     // 765 / 10
      {{0, 255, 0}, {153}},
      {{0, 0, 255}, {25}},                     // 25.5 truncated
      {{1, 1, 1, 10, 20, 30}, {1, 18}},        // 10 / 10; (30 + 120 + 30) / 10
      {{9, 0, 0, 0, 1, 3}, {2, 0}},            // 2.7 and 0.9 truncated
  };
  for (const Case& c : cases) {
    Bytes buffer = c.rgb;
    const uint32_t pixels = static_cast<uint32_t>(c.rgb.size() / 3);
    ConvertToGrey(buffer.data(), pixels);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + pixels), c.grey);
    // Bytes behind the converted pixels are left alone.
    EXPECT_EQ(Bytes(buffer.begin() + pixels, buffer.end()), Bytes(c.rgb.begin() + pixels, c.rgb.end()));
  }
}

TEST(ConvertToBits, ThresholdAt128MostSignificantBitFirst) {
  struct Case {
    Bytes samples;
    Bytes bits;
  };
  const Case cases[] = {
      {{128, 127, 255, 0, 0, 0, 0, 200}, {0xA1}},
      {{0, 0, 0, 0, 0, 0, 0, 0}, {0x00}},
      {{255, 255, 255, 255, 255, 255, 255, 255, 129}, {0xFF, 0x80}},  // partial byte: low bits 0
      {{127, 128, 127}, {0x40}},
      {{200, 0, 200, 0, 200, 0, 200, 0, 0, 200, 0, 200}, {0xAA, 0x50}},
  };
  for (const Case& c : cases) {
    Bytes buffer = c.samples;
    ConvertToBits(buffer.data(), static_cast<uint32_t>(c.samples.size()));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(c.bits.size())), c.bits);
  }
}

TEST(MergeShiftedLines, AveragesNeighboursAndEndsWithTheFirstPass) {
  struct Case {
    const char* name;
    uint32_t pixelBytes;
    Bytes second, first, merged;
  };
  const Case cases[] = {
      // k = 0: (A0 + B0) / 2, (A1 + B0) / 2; last: (A1 + B1) / 2, B1.
      {"grey", 1, {10, 21}, {20, 40}, {15, 20, 30, 40}},
      {"grey, truncating", 1, {1, 2, 255}, {2, 3, 254}, {1, 2, 2, 129, 254, 254}},
      {"colour", 3, {0, 10, 255, 100, 50, 1}, {2, 20, 255, 200, 0, 3},
       {1, 15, 255, 51, 35, 128, 150, 25, 2, 200, 0, 3}},
      {"one pixel", 3, {9, 9, 9}, {1, 2, 3}, {5, 5, 6, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes merged(c.merged.size() + 4, 0xEE);
    MergeShiftedLines(merged.data(), c.second.data(), c.first.data(), static_cast<uint32_t>(c.merged.size()),
                      c.pixelBytes);
    EXPECT_EQ(Bytes(merged.begin(), merged.begin() + static_cast<long>(c.merged.size())), c.merged);
    EXPECT_EQ(Bytes(merged.end() - 4, merged.end()), Bytes(4, 0xEE)) << "wrote past the merged line";
  }
}

}  // namespace
