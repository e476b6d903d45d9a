// Image formation: the sensor, the analog front end and the controller's
// pixel pipeline (shading correction, gamma, depth and channel selection,
// line format). A capture latches its settings from the registers and the
// controller memories when it starts (CaptureSetup); every line is then
// rendered from the bed scene at the carriage position it was taken at.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "scene.h"

namespace tq5sim {

// One line the sensor took: where and under which light.
struct LineRecord {
  double position = 0;    // carriage position in steps (channel 0 row)
  float flatbedLight = 0;  // flatbed lamp output, 1.0 = warm and at full duty
  float filmLight = 0;     // film lamp output
  uint32_t seed = 0;       // noise seed
};

struct ControllerMemories {
  // [bank][memory]: dark 16384, white 16384, gamma 4096 bytes.
  std::array<std::array<std::vector<uint8_t>, 3>, 3> bytes;
};

// Settings of one capture, latched from the registers at its start.
struct CaptureSetup {
  int windowStart = 0;  // sensor pixels
  int resolution = 600;  // horizontal class
  int pixels = 0;        // output pixels per line
  int depth = 8;         // 1, 8 or 16 bits per sample
  bool colour = true;
  int monoChannel = 1;
  bool darkShading = false;
  bool whiteShading = false;
  bool halfShift = false;
  bool highResolutionResponse = false;
  double exposure = 1.0;
  uint32_t lineBytes = 2;  // data plus the two trailing pad bytes

  // Per channel and output pixel.
  std::array<std::vector<uint32_t>, 3> gain;    // sensor, lamp fall-off and front-end gain, 12 fraction bits
  std::array<std::vector<int32_t>, 3> offset;   // dark level plus offset, after the front-end gain
  std::array<std::vector<int32_t>, 3> dark;     // dark shading entry (16-bit) or 0
  std::array<std::vector<uint32_t>, 3> white;   // white coefficient, 16384 = unity (no white shading)
  std::array<std::array<uint8_t, 4096>, 3> gamma{};
  std::vector<int32_t> sensorStart;  // first sensor pixel of each output pixel
  std::vector<int32_t> sensorCount;  // sensor pixels it covers
};

// Gain factor of a front-end gain code: 0.93 + 0.067 n, times 3 with bit 5.
double FrontEndGain(uint8_t code);
// Offset of a front-end offset code in 16-bit units before the gain:
// sign-magnitude, 64 per step, bit 5 = negative.
int FrontEndOffset(uint8_t code);
// Light collected relative to exposure code 6: (code + 2) / 8.
double ExposureFactor(uint8_t code);

class LineRenderer {
 public:
  explicit LineRenderer(const Scene* scene);

  CaptureSetup Setup(const uint8_t* registers, const ControllerMemories& memories) const;
  // Writes setup.lineBytes bytes.
  void Render(const CaptureSetup& setup, const LineRecord& line, uint8_t* out);
  // Forget cached scene rows (after the scene changed).
  void Invalidate();

  // Full-light signal of the strip under a warm flatbed lamp at exposure
  // code 6, and of the open film window under the film lamp (16-bit units
  // before the front-end gain).
  static constexpr double kStripSignal = 26000.0;
  static constexpr double kFilmSignal = 36000.0;

 private:
  struct CachedRow {
    int row = 0;
    bool transmit = false;
    bool responseHigh = false;
    bool valid = false;
    SceneRow data;
  };
  const SceneRow& Row(int row, bool transmit, bool high);
  // Light of the output pixels of one channel, averaged over the sensor
  // pixels each covers (or a pointer straight into the row at full
  // resolution).
  const uint16_t* Sample(const CaptureSetup& s, const uint16_t* plane, std::vector<uint16_t>& scratch) const;
  // `rowSteps`: how far the row that takes this channel trails channel 0's.
  void RenderChannel(const CaptureSetup& s, const LineRecord& line, int channel, int rowSteps, uint8_t* out,
                     int stride);

  const Scene* scene_;
  LightTables normal_;
  LightTables high_;
  std::array<std::vector<double>, 3> sensitivity_;  // per sensor pixel, with lamp fall-off
  std::array<std::vector<double>, 3> darkLevel_;    // per sensor pixel
  std::vector<int32_t> noise_;
  std::vector<CachedRow> cache_;
  std::vector<uint16_t> reflectScratch_;
  std::vector<uint16_t> transmitScratch_;
  std::vector<uint8_t> byteScratch_;
  std::vector<uint32_t> flatbedGain_;
  std::vector<uint32_t> filmGain_;
  std::vector<uint16_t> levels_;
};

}  // namespace tq5sim
