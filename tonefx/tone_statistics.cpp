// Tone statistics: histograms of the central area, the saturation check,
// percentiles and the peak test, mean and highlight densities, target
// densities and exposure factors. Unsigned integer arithmetic with
// truncating division throughout, at the widths the working data has.

#include "tone_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "tonefx_state.h"

namespace tonefx {

ToneStatistics toneStats;

namespace {

// Two sets of counters, used for alternate pixels, so that a run of equal
// samples does not make every increment wait for the one before it. Both
// wrap modulo 65536 like the histograms, so their sum is the same.
uint16_t histogramPair[2][3][256];

// Where the analysed area lies. The descriptor fields are signed 32-bit
// values here; the products are taken in 64 bits so that no width or height
// can wrap into an area larger than the image.
struct AnalysedArea {
  int64_t top, left, rows, columns;
};

AnalysedArea FindAnalysedArea(const ToneImageDescriptor& d) {
  const int64_t height = static_cast<int32_t>(d.imageHeight);
  const int64_t width = static_cast<int32_t>(d.imageWidth);
  AnalysedArea area{};
  area.rows = height * kAnalysedPercent / 100;
  area.columns = width * kAnalysedPercent / 100;
  area.top = (height - area.rows) / 2;
  area.left = (width - area.columns) / 2;
  return area;
}

void CountColourLine(const uint8_t* p, int64_t columns) {
  uint16_t(*a)[256] = histogramPair[0];
  uint16_t(*b)[256] = histogramPair[1];
  int64_t i = 0;
  for (; i + 1 < columns; i += 2, p += 6) {
    ++a[0][p[0]];
    ++a[1][p[1]];
    ++a[2][p[2]];
    ++b[0][p[3]];
    ++b[1][p[4]];
    ++b[2][p[5]];
  }
  if (i < columns) {
    ++a[0][p[0]];
    ++a[1][p[1]];
    ++a[2][p[2]];
  }
}

void CountGreyLine(const uint8_t* p, int64_t columns) {
  uint16_t* a = histogramPair[0][1];
  uint16_t* b = histogramPair[1][1];
  int64_t i = 0;
  for (; i + 1 < columns; i += 2, p += 2) {
    ++a[p[0]];
    ++b[p[1]];
  }
  if (i < columns) ++a[p[0]];
}

// The 0.1 % percentile threshold: analysedCount / 1000 cut to 16 bits.
uint16_t PercentileThreshold() { return static_cast<uint16_t>(toneStats.analysedCount / 1000); }

}  // namespace

// Counts the samples of the central 80 % of the width and of the height.
// Every byte read lies in a line below imageHeight and within the first
// imageWidth x samplesPerPixel bytes of that line, which the validation has
// proven to fit in imageBytesPerLine.
void BuildHistograms() {
  const ToneImageDescriptor& d = toneCall.descriptor;
  std::memset(toneStats.channelHistogram, 0, sizeof toneStats.channelHistogram);
  std::memset(histogramPair, 0, sizeof histogramPair);
  const AnalysedArea area = FindAnalysedArea(d);
  if (area.rows <= 0 || area.columns <= 0) {
    toneStats.analysedCount = 0;
    return;
  }
  // A 32-bit count, as the percentile rules expect; only an area of more
  // than 2^32 pixels (a 4 GB image) would wrap it.
  toneStats.analysedCount = static_cast<uint32_t>(area.rows * area.columns);
  const size_t stride = d.imageBytesPerLine;
  const size_t samples = toneCall.colour ? 3 : 1;
  const uint8_t* line = toneCall.image + static_cast<size_t>(area.top) * stride +
                        static_cast<size_t>(area.left) * samples;
  for (int64_t row = 0; row < area.rows; ++row, line += stride) {
    if (toneCall.colour) {
      CountColourLine(line, area.columns);
    } else {
      CountGreyLine(line, area.columns);
    }
  }
  for (uint32_t c = 0; c < 3; ++c) {
    for (uint32_t i = 0; i < 256; ++i) {
      toneStats.channelHistogram[c][i] =
          static_cast<uint16_t>(histogramPair[0][c][i] + histogramPair[1][c][i]);
    }
  }
}

// With the check on, a negative channel with more than 1 % of its analysed
// pixels at level 255 is saturated: bit c for a colour image, 7 for grey.
void CheckSaturation() {
  toneStats.saturationFlags = 0;
  if (!toneCall.saturationCheck || !toneCall.negative) return;
  const uint16_t limit = static_cast<uint16_t>(toneStats.analysedCount / 100);
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    if (toneStats.channelHistogram[c][255] > limit) {
      toneStats.saturationFlags |= toneCall.colour ? static_cast<uint8_t>(1u << c) : kToneGreySaturated;
    }
  }
}

// B and W at 0.1 % from each end, and the peak test that decides whether the
// mean density takes part in a negative's target.
//
// When no running sum exceeds the threshold (an empty analysed area, or
// counters that all wrapped to zero) B is 0 and W is 255, the widest range;
// an all-zero histogram has its peak at level 0.
void FindPercentiles(uint32_t c) {
  const uint16_t* count = toneStats.channelHistogram[c];
  const uint16_t t = PercentileThreshold();

  uint16_t low = 0;
  uint32_t sum = 0;
  for (uint32_t i = 0; i < 256; ++i) {
    sum += count[i];
    if (sum > t) {
      low = static_cast<uint16_t>(i);
      break;
    }
  }
  uint16_t high = 255;
  sum = 0;
  for (uint32_t i = 256; i-- > 0;) {
    sum += count[i];
    if (sum > t) {
      high = static_cast<uint16_t>(i);
      break;
    }
  }
  toneStats.B[c] = low;
  toneStats.W[c] = high;

  uint32_t weighted = 0;
  uint16_t peak = 0;
  uint32_t peakLevel = 0;
  for (uint32_t i = 0; i < 256; ++i) {
    weighted += i * count[i];
    if (count[i] > peak) {
      peak = count[i];
      peakLevel = i;
    }
  }
  const uint32_t meanLevel = toneStats.analysedCount != 0 ? weighted / toneStats.analysedCount : weighted;
  const uint16_t mean16 = static_cast<uint16_t>(meanLevel);

  // Levels from B up to the mean level: the histogram has 256 of them, even
  // when wrapped counters push the mean level past 255.
  bool halfPeakBelowMean = false;
  for (uint32_t i = low; i < mean16 && i < 256; ++i) {
    if (count[i] > peak / 2) {
      halfPeakBelowMean = true;
      break;
    }
  }
  // W - B is a signed difference: a B above W (possible only with wrapped
  // counters) is no wide range.
  const bool peakAboveMean = static_cast<uint16_t>(peakLevel) > mean16;
  const bool wideRange = static_cast<int32_t>(high) - static_cast<int32_t>(low) > 85;
  toneStats.useMean[c] = (peakAboveMean && wideRange && !halfPeakBelowMean) ? 0 : 1;
}

// The mean density code. A negative's counts are spread evenly over the
// density codes that lie between a level and its darker neighbour; the
// codes of levels 1 and 2 are both 255, so their counts are still carried
// when the walk ends and are left out, and level 0 is never read.
void MeanDensity(uint32_t c) {
  const uint16_t* count = toneStats.channelHistogram[c];
  const uint8_t* density = toneTables.densityOfLevel;
  uint32_t n = 0;
  uint32_t s = 0;
  if (!toneCall.negative) {
    for (uint32_t i = 0; i < 256; ++i) {
      n += count[i];
      s += density[i] * static_cast<uint32_t>(count[i]);
    }
    toneStats.meanCount[c] = n;
    toneStats.meanDensity[c] = static_cast<uint16_t>(n != 0 ? s / n : 0);
    return;
  }
  uint32_t acc = 0;
  for (uint32_t k = 255; k-- > 0;) {
    acc += count[k + 1];
    const uint32_t a = density[k];
    const uint32_t b = density[k + 1];
    if (a == b) continue;
    for (uint32_t m = 0; m < a - b; ++m) s += ((b + m) * acc) / (a - b);
    n += acc;
    acc = 0;
  }
  toneStats.meanCount[c] = n;
  toneStats.meanDensity[c] = static_cast<uint16_t>(n != 0 ? s / n : s);
}

// The density code 1 % from the bright end of the scene: from level 255 down
// for a positive, from level 0 up (the clearest film) for a negative, whose
// counts are again spread over the codes between neighbouring levels. The
// running sums, and the negative's carried count with them, are 16-bit and
// wrap, as the histogram counters do.
void HighlightDensity(uint32_t c) {
  const uint16_t* count = toneStats.channelHistogram[c];
  const uint8_t* density = toneTables.densityOfLevel;
  const uint16_t u = static_cast<uint16_t>(static_cast<uint32_t>(std::trunc(toneStats.meanCount[c] * 0.01)));
  if (!toneCall.negative) {
    uint16_t sum = 0;
    for (uint32_t i = 256; i-- > 0;) {
      sum = static_cast<uint16_t>(sum + count[i]);
      if (sum > u) {
        toneStats.highlightDensity[c] = density[i];
        return;
      }
    }
    toneStats.highlightDensity[c] = 255;
    return;
  }
  uint16_t acc = 0;
  uint16_t s = 0;
  for (uint32_t k = 0; k < 255; ++k) {
    acc = static_cast<uint16_t>(acc + count[k]);
    const uint32_t a = density[k];
    const uint32_t b = density[k + 1];
    if (a == b) continue;
    for (uint32_t v = a; v > b; --v) {
      s = static_cast<uint16_t>(s + acc / (a - b));
      if (s > u) {
        toneStats.highlightDensity[c] = static_cast<uint16_t>(v);
        return;
      }
    }
    acc = 0;
  }
  toneStats.highlightDensity[c] = 0;
}

namespace {

// 50 x (max - min) / min of three density codes; 0 when max or min is 0.
int32_t Spread(const uint16_t* x) {
  const int32_t hi = std::max({x[0], x[1], x[2]});
  const int32_t lo = std::min({x[0], x[1], x[2]});
  if (hi == 0 || lo == 0) return 0;
  return 50 * (hi - lo) / lo;
}

// The blend weight (in 256ths) of the mean density in a colour negative's
// target: large when the channels agree, small when their highlights or
// means spread apart.
int32_t ColourBlendWeight(const uint16_t* h) {
  const int32_t sH = Spread(h);
  const int32_t sD = Spread(toneStats.meanDensity);
  int32_t k;
  if (sH <= 12) {
    k = sD < 12 ? 64 : 4 * (28 - sD);
  } else if (sD <= 12) {
    k = 8 * sH - 32;
  } else if (sH < sD) {
    k = 4 * (sH - sD) + 64;
  } else {
    k = 8 * (sH - sD) + 64;
  }
  k = std::clamp(k, 0, 160);
  if (toneStats.useMean[0] == 0 && toneStats.useMean[1] == 0 && toneStats.useMean[2] == 0) k = 0;
  return k;
}

}  // namespace

// The density code each channel should come out at.
void TargetDensity() {
  if (!toneCall.negative) {
    for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
      toneStats.target[c] =
          static_cast<uint16_t>(32 * (7 * (toneStats.highlightDensity[c] + 82) + toneStats.meanDensity[c]) / 255);
    }
    return;
  }
  // The film base of each channel lies this far above the clear highlight.
  static constexpr uint16_t kBaseOffset[3] = {41, 38, 37};
  uint16_t h[3] = {0, 0, 0};
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    const uint16_t hd = toneStats.highlightDensity[c];
    h[c] = hd > kBaseOffset[c] ? static_cast<uint16_t>(hd - kBaseOffset[c]) : 0;
  }
  const int32_t k = toneCall.colour ? ColourBlendWeight(h) : (toneStats.useMean[1] == 1 ? 64 : 0);
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    toneStats.target[c] = static_cast<uint16_t>(((256 - k) * h[c] + k * toneStats.meanDensity[c]) / 255);
  }
}

// A = 255 x the exposure change that brings each channel to its target.
void ExposureFactors() {
  const uint16_t* level = toneTables.levelOfDensity;
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
    toneStats.target[c] = std::min<uint16_t>(toneStats.target[c], 255);
  }
  if (toneCall.negative) {
    static constexpr uint32_t kReference[3] = {130, 122, 117};
    for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) {
      toneStats.A[c] = static_cast<uint16_t>(255u * level[toneStats.target[c]] / level[kReference[c]]);
    }
    return;
  }
  constexpr uint32_t kPositiveReference = 89;  // levelOfDensity 127
  if (!toneCall.colour) {
    toneStats.A[1] = static_cast<uint16_t>(255u * level[toneStats.target[1]] / level[kPositiveReference]);
    return;
  }
  // One common factor for a colour positive, never stretching a channel's
  // high percentile past 255.
  uint32_t sum = 0;
  uint32_t limit = UINT32_MAX;
  for (uint32_t c = 0; c < 3; ++c) {
    sum += 255u * level[toneStats.target[c]] / level[kPositiveReference];
    limit = std::min<uint32_t>(limit, 65025u / std::max<uint32_t>(toneStats.W[c], 1));
  }
  const uint16_t common = static_cast<uint16_t>(std::min(sum / 3, limit));
  toneStats.A[0] = toneStats.A[1] = toneStats.A[2] = common;
}

void RunToneStatistics() {
  BuildHistograms();
  CheckSaturation();
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) FindPercentiles(c);
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) MeanDensity(c);
  for (uint32_t c = FirstChannel(); c < EndChannel(); ++c) HighlightDensity(c);
  TargetDensity();
  ExposureFactors();
}

}  // namespace tonefx
