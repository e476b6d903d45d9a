// What lies on the bed: documents (the built-in test chart or an image),
// film, and the scene that composes them with the calibration strip, the
// reference mark and the film unit into rows of linear light values.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "layout.h"

namespace tq5sim {

// An 8-bit image in 600 dpi: `channels` 1 (grey) or 3 (RGB), rows top down.
struct Image {
  int width = 0;
  int height = 0;
  int channels = 3;
  std::vector<uint8_t> pixels;
};

// Reads a binary PNM file (P5 grey or P6 RGB, maxval up to 255).
bool LoadPnm(const std::string& path, Image* image, std::string* error);
// Writes a binary PNM file (P5 for one channel, P6 for three).
bool SavePnm(const std::string& path, const Image& image, std::string* error);

// A document: 8-bit RGB values ("chart values") row by row at 600 dpi.
class Document {
 public:
  virtual ~Document() = default;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // Writes Width() RGB pixels of row y (0 <= y < Height()).
  virtual void Row(int y, uint8_t* rgb) const = 0;
};

// The built-in test chart, 8.5 x 11 inches: grey ramp, colour patches, fine
// lines, a sharp black edge, a uniform grey patch, a smooth ramp and four
// registration crosses. Drawn from rectangles, so any row is cheap.
class TestChart : public Document {
 public:
  struct Rect {
    int x0, y0, x1, y1;  // exclusive ends
    uint8_t r, g, b;
    bool ramp = false;  // value = x * 255 / width of the chart instead of r, g, b
  };
  TestChart();
  int Width() const override { return kWidth; }
  int Height() const override { return kHeight; }
  void Row(int y, uint8_t* rgb) const override;
  const std::vector<Rect>& Rects() const { return rects_; }

  static constexpr int kWidth = 5100;
  static constexpr int kHeight = 6600;
  static constexpr uint8_t kPaper = 250;
  // Centres of the registration crosses (arms kCrossArm long each way,
  // kCrossWidth thick) in chart pixels.
  static constexpr int kCrossArm = 120;
  static constexpr int kCrossWidth = 8;
  static constexpr std::array<std::array<int, 2>, 4> kCrosses{{{300, 300}, {4800, 300}, {300, 6300}, {4800, 6300}}};
  // The grey ramp: 16 patches, value 17 * k.
  static constexpr int kRampX = 390, kRampY = 600, kRampPatch = 270;
  // A uniform mid-grey patch (for column-stripe checks) and a black block
  // with sharp edges on paper (for colour registration checks).
  static constexpr int kGreyX0 = 2650, kGreyY0 = 4500, kGreyX1 = 4650, kGreyY1 = 5500;
  static constexpr uint8_t kGreyValue = 128;
  static constexpr int kBlackX0 = 450, kBlackY0 = 4500, kBlackX1 = 2450, kBlackY1 = 5500;

 private:
  std::vector<Rect> rects_;
};

class ImageDocument : public Document {
 public:
  explicit ImageDocument(Image image);
  int Width() const override { return image_.width; }
  int Height() const override { return image_.height; }
  void Row(int y, uint8_t* rgb) const override;

 private:
  Image image_;
};

enum class FilmKind { None, Positive, Negative };

// Per-channel curves from chart values to linear light, 0..65535 where 65535
// is the light the calibration strip returns. The sensor's tone response is
// the inverse of the driver's fixed flatbed correction curve, so that a
// calibrated scan through that curve reproduces the chart values.
struct LightTables {
  std::array<std::array<uint16_t, 256>, 3> reflect{};
  std::array<std::array<uint16_t, 256>, 3> positive{};  // film transmittance, clear = 65535
  std::array<std::array<uint16_t, 256>, 3> negative{};
  std::array<uint16_t, 3> negativeBase{};  // unexposed negative film (the orange mask)
  // highResolution: the response at the full 600-dpi colour class.
  static LightTables Make(bool highResolution);
};

// One 600-dpi row of the bed across the whole sensor: light per channel.
struct SceneRow {
  std::array<std::array<uint16_t, layout::kSensorPixels>, 3> reflect;  // under the flatbed lamp
  std::array<std::array<uint16_t, layout::kSensorPixels>, 3> transmit;  // under the film lamp
  bool hasTransmit = false;
};

class Scene {
 public:
  Scene();
  void SetDocument(std::shared_ptr<const Document> document);
  const Document& document() const { return *document_; }
  void SetFilm(FilmKind kind, std::shared_ptr<const Document> frames);
  FilmKind film() const { return filmKind_; }
  void SetFilmUnitAttached(bool attached) { filmUnitAttached_ = attached; }
  bool filmUnitAttached() const { return filmUnitAttached_; }

  // Renders row `row` (any integer; rows above the bed are calibration
  // strip). transmit is filled only when withTransmit and the film unit is
  // attached.
  void Render(int row, const LightTables& tables, bool withTransmit, SceneRow* out) const;

 private:
  void RenderTransmit(int row, const LightTables& tables, SceneRow* out) const;

  std::shared_ptr<const Document> document_;
  std::shared_ptr<const Document> filmFrames_;
  FilmKind filmKind_ = FilmKind::None;
  bool filmUnitAttached_ = false;
  mutable std::vector<uint8_t> rowBuffer_;
  // The last document row converted, to reuse while rows repeat.
  mutable std::vector<uint8_t> lastRow_;
  mutable const LightTables* lastTables_ = nullptr;
  mutable std::array<std::vector<uint16_t>, 3> lastLight_;
};

}  // namespace tq5sim
