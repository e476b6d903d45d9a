#include "scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

namespace tq5sim {

using namespace layout;

// ---------------------------------------------------------------------------
// PNM files
// ---------------------------------------------------------------------------
namespace {

// Reads the next header number of a PNM file, skipping blanks and comments.
bool ReadPnmNumber(std::istream& in, int* value) {
  int c = in.get();
  for (;;) {
    while (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = in.get();
    if (c != '#') break;
    while (c != '\n' && c != EOF) c = in.get();
  }
  if (c < '0' || c > '9') return false;
  long v = 0;
  while (c >= '0' && c <= '9') {
    v = v * 10 + (c - '0');
    if (v > 1000000) return false;
    c = in.get();
  }
  *value = static_cast<int>(v);
  return true;  // the single blank after the last number has been consumed
}

}  // namespace

bool LoadPnm(const std::string& path, Image* image, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  char magic[2] = {};
  in.read(magic, 2);
  if (!in || magic[0] != 'P' || (magic[1] != '5' && magic[1] != '6')) {
    *error = path + ": not a binary PNM file (P5 or P6)";
    return false;
  }
  int width = 0, height = 0, maxval = 0;
  if (!ReadPnmNumber(in, &width) || !ReadPnmNumber(in, &height) || !ReadPnmNumber(in, &maxval) || width <= 0 ||
      height <= 0 || maxval <= 0 || maxval > 255 || static_cast<int64_t>(width) * height > 200'000'000) {
    *error = path + ": bad PNM header (only 8-bit images up to 200 Mpixel)";
    return false;
  }
  Image result;
  result.width = width;
  result.height = height;
  result.channels = magic[1] == '6' ? 3 : 1;
  result.pixels.resize(static_cast<size_t>(width) * height * result.channels);
  in.read(reinterpret_cast<char*>(result.pixels.data()), static_cast<std::streamsize>(result.pixels.size()));
  if (!in) {
    *error = path + ": file is shorter than its header says";
    return false;
  }
  if (maxval != 255) {
    for (uint8_t& p : result.pixels) p = static_cast<uint8_t>(std::min(255, p * 255 / maxval));
  }
  *image = std::move(result);
  return true;
}

bool SavePnm(const std::string& path, const Image& image, std::string* error) {
  std::ofstream out(path, std::ios::binary);
  if (!out) {
    *error = "cannot create " + path;
    return false;
  }
  out << (image.channels == 3 ? "P6" : "P5") << '\n' << image.width << ' ' << image.height << "\n255\n";
  out.write(reinterpret_cast<const char*>(image.pixels.data()), static_cast<std::streamsize>(image.pixels.size()));
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Documents
// ---------------------------------------------------------------------------
TestChart::TestChart() {
  auto add = [this](int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b) {
    rects_.push_back(Rect{x0, y0, x1, y1, r, g, b});
  };
  // Grey ramp.
  for (int k = 0; k < 16; ++k) {
    const auto v = static_cast<uint8_t>(17 * k);
    add(kRampX + k * kRampPatch, kRampY, kRampX + (k + 1) * kRampPatch, kRampY + 300, v, v, v);
  }
  // Two rows of colour patches.
  static constexpr uint8_t kColours[12][3] = {
      {220, 40, 40},   {40, 180, 60},   {50, 70, 200},  {60, 190, 210}, {200, 60, 170}, {230, 210, 50},
      {128, 128, 128}, {190, 150, 120}, {90, 110, 70},  {200, 200, 200}, {60, 60, 60},  {160, 90, 40}};
  for (int k = 0; k < 12; ++k) {
    const int x = 450 + (k % 6) * 700, y = k < 6 ? 1100 : 1900;
    add(x, y, x + 600, y + 600, kColours[k][0], kColours[k][1], kColours[k][2]);
  }
  // Fine lines: groups of five black lines of width w, gaps w.
  static constexpr int kWidths[6] = {1, 2, 3, 4, 6, 8};
  for (int g = 0; g < 6; ++g) {
    const int w = kWidths[g];
    for (int n = 0; n < 5; ++n) {
      const int x = 450 + g * 700 + n * 2 * w;
      add(x, 2800, x + w, 3400, 0, 0, 0);  // vertical
      const int y = 3600 + n * 2 * w;
      add(450 + g * 700, y, 450 + g * 700 + 600, y + w, 0, 0, 0);  // horizontal
    }
  }
  add(kBlackX0, kBlackY0, kBlackX1, kBlackY1, 0, 0, 0);
  add(kGreyX0, kGreyY0, kGreyX1, kGreyY1, kGreyValue, kGreyValue, kGreyValue);
  Rect ramp{450, 5800, 4650, 6000, 0, 0, 0};
  ramp.ramp = true;
  rects_.push_back(ramp);
  for (const auto& c : kCrosses) {
    add(c[0] - kCrossArm, c[1] - kCrossWidth / 2, c[0] + kCrossArm, c[1] + kCrossWidth / 2, 0, 0, 0);
    add(c[0] - kCrossWidth / 2, c[1] - kCrossArm, c[0] + kCrossWidth / 2, c[1] + kCrossArm, 0, 0, 0);
  }
}

void TestChart::Row(int y, uint8_t* rgb) const {
  std::memset(rgb, kPaper, static_cast<size_t>(kWidth) * 3);
  for (const Rect& r : rects_) {
    if (y < r.y0 || y >= r.y1) continue;
    for (int x = r.x0; x < r.x1; ++x) {
      uint8_t* p = rgb + 3 * x;
      if (r.ramp) {
        const auto v = static_cast<uint8_t>(x * 255 / kWidth);
        p[0] = p[1] = p[2] = v;
      } else {
        p[0] = r.r;
        p[1] = r.g;
        p[2] = r.b;
      }
    }
  }
}

ImageDocument::ImageDocument(Image image) : image_(std::move(image)) {}

void ImageDocument::Row(int y, uint8_t* rgb) const {
  const uint8_t* src = image_.pixels.data() + static_cast<size_t>(y) * image_.width * image_.channels;
  if (image_.channels == 3) {
    std::memcpy(rgb, src, static_cast<size_t>(image_.width) * 3);
    return;
  }
  for (int x = 0; x < image_.width; ++x) rgb[3 * x] = rgb[3 * x + 1] = rgb[3 * x + 2] = src[x];
}

// ---------------------------------------------------------------------------
// Light tables
// ---------------------------------------------------------------------------
namespace {

// The driver's fixed flatbed correction: breakpoints X per channel and
// targets Y; the last segment's slope continues past point 4.
constexpr double kCurveY[6] = {0.0, 7.5, 64.0, 132.0, 243.16, 2.68};
constexpr double kCurveNormal[3][6] = {{0.0, 11.746, 66.172, 135.228, 233.782, 4.1},
                                       {0.0, 11.782, 65.82, 134.726, 233.57, 4.74},
                                       {0.0, 11.482, 66.946, 137.328, 236.256, 4.06}};
constexpr double kCurveHigh[3][6] = {{0.0, 11.322, 64.316, 132.102, 227.866, 0.421},
                                     {0.0, 11.272, 63.916, 131.602, 227.65, 0.578},
                                     {0.0, 11.236, 65.89, 135.952, 233.664, 0.279}};

// Input level (0..255 scale) that the curve maps to output level y.
double InverseCurve(const double* x, double y) {
  for (int k = 0; k < 4; ++k) {
    if (y <= kCurveY[k + 1]) {
      const double slope = (kCurveY[k + 1] - kCurveY[k]) / (x[k + 1] - x[k]);
      return x[k] + (y - kCurveY[k]) / slope;
    }
  }
  const double slope = (kCurveY[5] - kCurveY[4]) / (x[5] - x[4]);
  return x[4] + (y - kCurveY[4]) / slope;
}

// A white shading coefficient maps the strip to 4400 of 4096 output steps,
// so output level v (of 256) needs v / 275 of the strip's light.
constexpr double kStripLevel = 4400.0 / 16.0;

// Negative film: the exposure below which it stays clear, and its contrast.
constexpr double kNegativeToe = 0.005;
constexpr double kNegativeGamma = 0.57;

uint16_t ToLight(double fraction) {
  return static_cast<uint16_t>(std::clamp(std::lround(fraction * 65535.0), 0L, 65535L));
}

}  // namespace

LightTables LightTables::Make(bool highResolution) {
  LightTables t;
  static constexpr double kMask[3] = {0.85, 0.85 / 1.84, 0.85 / 3.53};
  for (int c = 0; c < 3; ++c) {
    const double* x = highResolution ? kCurveHigh[c] : kCurveNormal[c];
    const double clear = InverseCurve(x, 255.5);
    for (int v = 0; v < 256; ++v) {
      // Aim at the middle of the output level: the driver's tables truncate.
      const double input = InverseCurve(x, v + 0.5);
      t.reflect[c][v] = ToLight(input / kStripLevel);
      t.positive[c][v] = ToLight(input / clear);
      // A negative's density grows with the logarithm of its exposure: it
      // transmits (exposure / toe)^-gamma of its clear base, the exposure
      // being the light a positive of the same scene would pass.
      const double exposure = std::max(input / clear, kNegativeToe);
      t.negative[c][v] = ToLight(kMask[c] * std::pow(kNegativeToe / exposure, kNegativeGamma));
    }
    t.negativeBase[c] = ToLight(kMask[c]);
  }
  return t;
}

// ---------------------------------------------------------------------------
// Scene
// ---------------------------------------------------------------------------
namespace {
constexpr uint8_t kFrameValue = 200;  // scanner frame and lid around the glass
constexpr uint8_t kLidValue = 250;    // lid over the glass where no document lies
constexpr uint8_t kMarkValue = 8;     // the reference mark
}  // namespace

Scene::Scene() : document_(std::make_shared<TestChart>()), filmFrames_(document_) {}

void Scene::SetDocument(std::shared_ptr<const Document> document) {
  document_ = std::move(document);
  lastTables_ = nullptr;
}

void Scene::SetFilm(FilmKind kind, std::shared_ptr<const Document> frames) {
  filmKind_ = kind;
  if (frames) filmFrames_ = std::move(frames);
}

void Scene::Render(int row, const LightTables& tables, bool withTransmit, SceneRow* out) const {
  const int glassRow = row - kGlassTopRow;
  if (glassRow < 0) {  // calibration strip
    for (auto& plane : out->reflect) std::fill(plane.begin(), plane.end(), uint16_t{65535});
  } else {
    for (int c = 0; c < 3; ++c) {
      auto& plane = out->reflect[c];
      std::fill(plane.begin(), plane.end(), tables.reflect[c][kFrameValue]);
      if (glassRow < kBedLength) {
        std::fill(plane.begin() + kGlassLeft, plane.begin() + std::min(kSensorPixels, kGlassLeft + kBedWidth),
                  tables.reflect[c][kLidValue]);
      }
    }
    const Document& doc = *document_;
    if (glassRow < std::min(kBedLength, doc.Height())) {
      const int width = std::min({doc.Width(), kBedWidth, kSensorPixels - kGlassLeft});
      rowBuffer_.resize(static_cast<size_t>(doc.Width()) * 3);
      doc.Row(glassRow, rowBuffer_.data());
      // Documents repeat rows a lot (the chart in long bands): convert a row
      // only when it differs from the last one.
      if (lastTables_ != &tables || lastRow_ != rowBuffer_) {
        lastRow_ = rowBuffer_;
        lastTables_ = &tables;
        const uint8_t* rgb = rowBuffer_.data();
        for (int c = 0; c < 3; ++c) {
          lastLight_[c].resize(width);
          uint16_t* dst = lastLight_[c].data();
          const uint16_t* table = tables.reflect[c].data();
          for (int x = 0; x < width; ++x) dst[x] = table[rgb[3 * x + c]];
        }
      }
      for (int c = 0; c < 3; ++c) std::copy(lastLight_[c].begin(), lastLight_[c].begin() + width, out->reflect[c].begin() + kGlassLeft);
    }
    if (row >= kMarkTopRow && row < kMarkBottomRow) {
      for (int c = 0; c < 3; ++c) {
        std::fill(out->reflect[c].begin() + kMarkLeft, out->reflect[c].begin() + kMarkRight,
                  tables.reflect[c][kMarkValue]);
      }
    }
  }
  out->hasTransmit = withTransmit && filmUnitAttached_;
  if (out->hasTransmit) RenderTransmit(row, tables, out);
}

void Scene::RenderTransmit(int row, const LightTables& tables, SceneRow* out) const {
  for (auto& plane : out->transmit) std::fill(plane.begin(), plane.end(), uint16_t{0});
  if (row < kFilmWindowTopRow || row >= kFilmWindowBottomRow) return;  // outside the lamp's window
  if (row < kFilmHolderBarRow) {  // open part of the holder: the lamp's own light
    for (auto& plane : out->transmit) std::fill(plane.begin() + kFilmWindowLeft, plane.begin() + kFilmWindowRight, 65535);
    return;
  }
  if (row < kFilmFrameTopRow) return;  // opaque holder bar
  const int pitch = kFilmFrameHeight + kFilmFrameGap;
  const int frame = (row - kFilmFrameTopRow) / pitch;
  const int frameRow = (row - kFilmFrameTopRow) % pitch;
  if (frame >= kFilmFrames || frameRow >= kFilmFrameHeight) return;  // holder between frames
  if (filmKind_ == FilmKind::None) {
    for (auto& plane : out->transmit) std::fill(plane.begin() + kFilmFrameLeft, plane.begin() + kFilmFrameLeft + kFilmFrameWidth, 65535);
    return;
  }
  // Frame f shows the film image scaled to the frame width, each frame a
  // further part of it.
  const Document& film = *filmFrames_;
  const double scale = static_cast<double>(film.Width()) / kFilmFrameWidth;
  const int filmRow = static_cast<int>((frameRow * scale) + frame * 1000) % film.Height();
  rowBuffer_.resize(static_cast<size_t>(film.Width()) * 3);
  film.Row(filmRow, rowBuffer_.data());
  for (int c = 0; c < 3; ++c) {
    const auto& table = filmKind_ == FilmKind::Positive ? tables.positive[c] : tables.negative[c];
    uint16_t* dst = out->transmit[c].data() + kFilmFrameLeft;
    for (int x = 0; x < kFilmFrameWidth; ++x) {
      const int fx = std::min(film.Width() - 1, static_cast<int>(x * scale));
      dst[x] = table[rowBuffer_[3 * fx + c]];
    }
  }
}

}  // namespace tq5sim
