#include "imaging.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tq5sim {

using namespace layout;

namespace {

constexpr int kNoiseSize = 8192;  // power of two
constexpr int kCacheRows = 32;    // power of two

// A small deterministic generator (xorshift32) for the fixed sensor pattern
// and the noise table.
struct Random {
  uint32_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  double Uniform() { return (Next() >> 8) * (1.0 / 16777216.0); }  // [0, 1)
};

int HorizontalClass(uint8_t reg09) {
  static constexpr int kClasses[8] = {600, 400, 300, 200, 150, 100, 75, 75};
  return kClasses[reg09 & 0x07];
}

uint16_t BigEndian16(const std::vector<uint8_t>& memory, size_t entry) {
  if (2 * entry + 1 >= memory.size()) return 0;
  return static_cast<uint16_t>(memory[2 * entry] << 8 | memory[2 * entry + 1]);
}

}  // namespace

double FrontEndGain(uint8_t code) {
  const double g = 0.93 + 0.067 * (code & 0x1F);
  return (code & 0x20) ? g * 3.0 : g;
}

int FrontEndOffset(uint8_t code) {
  const int magnitude = (code & 0x1F) * 64;
  return (code & 0x20) ? -magnitude : magnitude;
}

double ExposureFactor(uint8_t code) { return (code + 2) / 8.0; }

LineRenderer::LineRenderer(const Scene* scene)
    : scene_(scene), normal_(LightTables::Make(false)), high_(LightTables::Make(true)), cache_(kCacheRows) {
  // Fixed pattern of the sensor: every pixel's sensitivity differs by up to
  // 3 %, blue is less sensitive, the lamp falls off by 15 % toward the ends;
  // every pixel's dark level differs by up to 16 units.
  static constexpr double kChannelSensitivity[3] = {1.0, 1.0, 0.85};
  static constexpr double kChannelDark[3] = {1600.0, 1500.0, 1700.0};
  Random random{0x5eed1234u};
  const double centre = (kMaskedPixels + kSensorPixels) / 2.0;
  const double half = (kSensorPixels - kMaskedPixels) / 2.0;
  for (int c = 0; c < 3; ++c) {
    sensitivity_[c].resize(kSensorPixels);
    darkLevel_[c].resize(kSensorPixels);
    for (int x = 0; x < kSensorPixels; ++x) {
      const double d = (x - centre) / half;
      const double falloff = 1.0 - 0.15 * d * d;
      sensitivity_[c][x] = kChannelSensitivity[c] * falloff * (1.0 + 0.03 * (2.0 * random.Uniform() - 1.0));
      darkLevel_[c][x] = kChannelDark[c] + 16.0 * (2.0 * random.Uniform() - 1.0);
    }
  }
  // Noise: sum of four uniforms, standard deviation about 24 units.
  noise_.resize(kNoiseSize + kSensorPixels);  // a line's noise never wraps
  for (int32_t& n : noise_) {
    double sum = 0;
    for (int k = 0; k < 4; ++k) sum += random.Uniform() - 0.5;
    n = static_cast<int32_t>(std::lround(sum * 83.0));
  }
}

void LineRenderer::Invalidate() {
  for (CachedRow& row : cache_) row.valid = false;
}

CaptureSetup LineRenderer::Setup(const uint8_t* reg, const ControllerMemories& memories) const {
  CaptureSetup s;
  const int start = reg[0x22] << 8 | reg[0x23];
  const int end = reg[0x24] << 8 | reg[0x25];
  s.windowStart = start;
  s.resolution = HorizontalClass(reg[0x09]);
  s.pixels = end > start ? (end - start) * s.resolution / 600 : 0;
  s.depth = (reg[0x09] & 0x20) ? 16 : (reg[0x09] & 0x18) ? 8 : 1;
  s.colour = (reg[0x26] & 0x04) == 0;
  const int selected = (reg[0x26] >> 3) & 0x03;
  s.monoChannel = selected == 3 ? 1 : selected;
  s.darkShading = (reg[0x42] & 0x04) != 0;
  s.whiteShading = (reg[0x42] & 0x02) != 0;
  s.halfShift = (reg[0x5A] & 0x80) != 0;
  s.highResolutionResponse = s.colour && s.resolution == 600;
  s.exposure = ExposureFactor(reg[0x08]);
  const int samples = s.colour ? 3 * s.pixels : s.pixels;
  s.lineBytes = static_cast<uint32_t>(static_cast<int64_t>(samples) * s.depth / 8) + 2;

  s.sensorStart.resize(s.pixels);
  s.sensorCount.resize(s.pixels);
  for (int i = 0; i < s.pixels; ++i) {
    const int first = start + i * 600 / s.resolution;
    const int next = start + (i + 1) * 600 / s.resolution;
    s.sensorStart[i] = first;
    s.sensorCount[i] = std::max(1, next - first);
  }
  for (int c = 0; c < 3; ++c) {
    const double gain = FrontEndGain(reg[0x3B + c]);
    const int offsetDac = FrontEndOffset(reg[0x38 + c]);
    s.gain[c].resize(s.pixels);
    s.offset[c].resize(s.pixels);
    s.dark[c].assign(s.pixels, 0);
    s.white[c].assign(s.pixels, 16384);
    const auto& darkTable = memories.bytes[c][0];
    const auto& whiteTable = memories.bytes[c][1];
    for (int i = 0; i < s.pixels; ++i) {
      const int x = s.sensorStart[i] + s.sensorCount[i] / 2;
      const bool inside = x >= 0 && x < kSensorPixels;
      const bool lit = inside && x >= kMaskedPixels;
      s.gain[c][i] = lit ? static_cast<uint32_t>(std::lround(sensitivity_[c][x] * gain * 4096.0)) : 0;
      const double dark = darkLevel_[c][inside ? x : 0];
      s.offset[c][i] = static_cast<int32_t>(std::lround((dark + offsetDac) * gain));
      if (s.darkShading) s.dark[c][i] = BigEndian16(darkTable, i);
      if (s.whiteShading) s.white[c][i] = BigEndian16(whiteTable, i);
    }
    std::memcpy(s.gamma[c].data(), memories.bytes[c][2].data(), 4096);
  }
  return s;
}

const SceneRow& LineRenderer::Row(int row, bool transmit, bool high) {
  CachedRow& slot = cache_[static_cast<unsigned>(row) & (kCacheRows - 1)];
  if (!slot.valid || slot.row != row || slot.transmit != transmit || slot.responseHigh != high) {
    scene_->Render(row, high ? high_ : normal_, transmit, &slot.data);
    slot.row = row;
    slot.transmit = transmit;
    slot.responseHigh = high;
    slot.valid = true;
  }
  return slot.data;
}

const uint16_t* LineRenderer::Sample(const CaptureSetup& s, const uint16_t* plane,
                                     std::vector<uint16_t>& scratch) const {
  const bool plain = s.resolution == 600 && !s.halfShift && s.windowStart >= 0 &&
                     s.windowStart + s.pixels <= kSensorPixels;
  if (plain) return plane + s.windowStart;
  scratch.resize(s.pixels);
  const int shift = s.halfShift ? 1 : 0;
  for (int i = 0; i < s.pixels; ++i) {
    uint32_t sum = 0;
    const int first = s.sensorStart[i];
    const int count = s.sensorCount[i];
    // A half-pixel shift averages each sensor pixel with its right neighbour.
    for (int k = 0; k < count; ++k) {
      const int x = first + k;
      const int a = std::clamp(x, 0, kSensorPixels - 1);
      const int b = std::clamp(x + shift, 0, kSensorPixels - 1);
      sum += (plane[a] + plane[b]) / 2u;
    }
    scratch[i] = static_cast<uint16_t>(sum / static_cast<uint32_t>(count));
  }
  return scratch.data();
}

namespace {

// The per-sample chain in two passes over a channel's pixels: first the
// light through the sensor and front end (16-bit, clipped), the dark
// subtraction and the white coefficient, all in 32-bit integers; then the
// output: the gamma memory (8-bit) or the sample itself (16-bit).
struct Chain {
  const uint16_t* reflect;
  const uint16_t* transmit;  // null when the film lamp adds nothing
  const uint32_t* flatbedGain;  // per pixel, this line: 12-bit light -> 16-bit signal, 12 fraction bits
  const uint32_t* filmGain;
  const int32_t* offset;
  const int32_t* dark;
  const uint32_t* white;
  const int32_t* noise;  // already at this line's start
};

template <bool kTransmit>
inline uint32_t Corrected(const Chain& c, int i) {
  uint32_t light = ((c.reflect[i] >> 4) * c.flatbedGain[i]) >> 12;
  if constexpr (kTransmit) light += ((c.transmit[i] >> 4) * c.filmGain[i]) >> 12;
  int32_t raw = static_cast<int32_t>(light) + c.offset[i] + c.noise[i];
  raw = std::clamp(raw, 0, 65535);
  return static_cast<uint32_t>(std::max(raw - c.dark[i], 0));
}

template <bool kTransmit>
void Levels12(const Chain& c, int n, uint16_t* levels) {
  for (int i = 0; i < n; ++i) {
    const uint32_t g = (Corrected<kTransmit>(c, i) * c.white[i]) >> 18;
    levels[i] = static_cast<uint16_t>(std::min<uint32_t>(g, 4095));
  }
}

template <bool kTransmit>
void Levels16(const Chain& c, int n, uint16_t* levels) {
  for (int i = 0; i < n; ++i) {
    const uint64_t w = (static_cast<uint64_t>(Corrected<kTransmit>(c, i)) * c.white[i]) >> 14;
    levels[i] = static_cast<uint16_t>(std::min<uint64_t>(w, 65535));
  }
}

// Light scale of one line for every pixel: 12-bit light (4095 = the strip)
// times it, shifted right by 12, is the 16-bit signal. The line's scale has 8
// fraction bits so that the whole pass stays in 32 bits; the result is
// limited so that 12-bit light times it fits in 32 bits (such a gain clips
// the signal anyway).
void LineGains(const std::vector<uint32_t>& gain, double signal, std::vector<uint32_t>& out) {
  const size_t n = gain.size();
  out.resize(n);
  const auto scale = static_cast<uint32_t>(std::min(65535L, std::lround(signal / 4095.0 * 256.0)));
  const uint32_t* g = gain.data();
  uint32_t* o = out.data();
  for (size_t i = 0; i < n; ++i) o[i] = std::min<uint32_t>((std::min<uint32_t>(g[i], 65535) * scale) >> 8, (1u << 20) - 1);
}

}  // namespace

void LineRenderer::RenderChannel(const CaptureSetup& s, const LineRecord& line, int channel, int rowSteps,
                                 uint8_t* out, int stride) {
  const double y = line.position - rowSteps;
  const int row = static_cast<int>(std::floor(y / 2.0));
  const bool transmit = line.filmLight > 0.0f && scene_->filmUnitAttached();
  const SceneRow& scene = Row(row, transmit, s.highResolutionResponse);

  Chain chain{};
  chain.reflect = Sample(s, scene.reflect[channel].data(), reflectScratch_);
  LineGains(s.gain[channel], kStripSignal * s.exposure * line.flatbedLight, flatbedGain_);
  chain.flatbedGain = flatbedGain_.data();
  if (transmit) {
    chain.transmit = Sample(s, scene.transmit[channel].data(), transmitScratch_);
    LineGains(s.gain[channel], kFilmSignal * s.exposure * line.filmLight, filmGain_);
    chain.filmGain = filmGain_.data();
  }
  chain.offset = s.offset[channel].data();
  chain.dark = s.dark[channel].data();
  chain.white = s.white[channel].data();
  chain.noise = noise_.data() + ((line.seed + static_cast<uint32_t>(channel) * 2749u) & (kNoiseSize - 1));

  levels_.resize(s.pixels);
  uint16_t* levels = levels_.data();
  if (s.depth == 16) {
    transmit ? Levels16<true>(chain, s.pixels, levels) : Levels16<false>(chain, s.pixels, levels);
    for (int i = 0; i < s.pixels; ++i) {
      out[i * stride] = static_cast<uint8_t>(levels[i] >> 8);  // high byte first
      out[i * stride + 1] = static_cast<uint8_t>(levels[i]);
    }
  } else {
    transmit ? Levels12<true>(chain, s.pixels, levels) : Levels12<false>(chain, s.pixels, levels);
    const uint8_t* gamma = s.gamma[channel].data();
    for (int i = 0; i < s.pixels; ++i) out[i * stride] = gamma[levels[i]];
  }
}

void LineRenderer::Render(const CaptureSetup& s, const LineRecord& line, uint8_t* out) {
  const uint32_t dataBytes = s.lineBytes - 2;
  if (s.depth == 1) {
    // One bit per sample, most significant bit first, set for 8-bit values
    // of 128 or more; a last incomplete byte is not sent.
    const int channels = s.colour ? 3 : 1;
    byteScratch_.resize(static_cast<size_t>(s.pixels) * channels);
    if (s.colour) {
      for (int c = 0; c < 3; ++c) RenderChannel(s, line, c, c * kRowSpacingSteps, byteScratch_.data() + c, 3);
    } else {
      RenderChannel(s, line, s.monoChannel, kOneChannelRowSteps, byteScratch_.data(), 1);
    }
    for (uint32_t b = 0; b < dataBytes; ++b) {
      uint8_t packed = 0;
      for (int k = 0; k < 8; ++k) packed = static_cast<uint8_t>(packed << 1 | (byteScratch_[8 * b + k] >= 128 ? 1 : 0));
      out[b] = packed;
    }
  } else {
    const int sampleBytes = s.depth / 8;
    if (s.colour) {
      for (int c = 0; c < 3; ++c) RenderChannel(s, line, c, c * kRowSpacingSteps, out + c * sampleBytes, 3 * sampleBytes);
    } else {
      RenderChannel(s, line, s.monoChannel, kOneChannelRowSteps, out, sampleBytes);
    }
  }
  out[dataBytes] = 0;  // pad bytes
  out[dataBytes + 1] = 0;
}

}  // namespace tq5sim
