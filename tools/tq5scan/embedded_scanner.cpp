#include "embedded_scanner.h"

#ifdef TQ5SCAN_WITH_VIRTUAL_SCANNER

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <vector>

#include "virtual_scanner.h"

namespace tq5scan {

namespace {

constexpr int kScannerDpi = 600;  // the virtual scanner's documents are 600-dpi images
constexpr int kMaxDocumentWidth = 5104;   // the glass, in 600-dpi pixels
constexpr int kMaxDocumentHeight = 7016;

struct PngReadState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  char message[256] = "unknown error";
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngReadState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof state->message, "%s", message);
  png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

// Reads the header and sets the transformations to 8-bit RGB on white.
// Separate from the row reading so that no frame with destructors lies
// between setjmp and libpng's longjmp.
bool ReadPngHeader(PngReadState& s, std::FILE* file, uint32_t* width, uint32_t* height, int* dpi) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_init_io(s.png, file);
  png_read_info(s.png, s.info);
  png_uint_32 w = 0, h = 0;
  int depth = 0, colour = 0;
  png_get_IHDR(s.png, s.info, &w, &h, &depth, &colour, nullptr, nullptr, nullptr);
  png_uint_32 xPerMetre = 0, yPerMetre = 0;
  int unit = 0;
  if (png_get_pHYs(s.png, s.info, &xPerMetre, &yPerMetre, &unit) != 0 && unit == PNG_RESOLUTION_METER &&
      xPerMetre > 0)
    *dpi = static_cast<int>((xPerMetre * 254u + 5000u) / 10000u);
  png_set_expand(s.png);
  png_set_strip_16(s.png);
  if (colour == PNG_COLOR_TYPE_GRAY || colour == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(s.png);
  // Transparent parts show the white of the lid.
  png_color_16 white{};
  white.red = white.green = white.blue = white.gray = 255;
  png_set_background(s.png, &white, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
  png_read_update_info(s.png, s.info);
  *width = w;
  *height = h;
  return png_get_rowbytes(s.png, s.info) == static_cast<size_t>(w) * 3;
}

bool ReadPngRows(PngReadState& s, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_read_image(s.png, rows);
  return true;
}

bool LoadPng(const std::string& path, tq5sim::Image* image, int* dpi, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  PngReadState s;
  s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, OnPngError, OnPngWarning);
  if (s.png != nullptr) s.info = png_create_info_struct(s.png);
  bool ok = s.png != nullptr && s.info != nullptr;
  uint32_t width = 0, height = 0;
  ok = ok && ReadPngHeader(s, file, &width, &height, dpi);
  if (ok && static_cast<uint64_t>(width) * height > 200'000'000ull) {
    std::snprintf(s.message, sizeof s.message, "image too large");
    ok = false;
  }
  if (ok) {
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    image->channels = 3;
    image->pixels.resize(static_cast<size_t>(width) * height * 3);
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y) rows[y] = image->pixels.data() + static_cast<size_t>(y) * width * 3;
    ok = ReadPngRows(s, rows.data());
  }
  if (!ok) *error = path + ": not a readable PNG image (" + s.message + ")";
  if (s.png != nullptr) png_destroy_read_struct(&s.png, s.info != nullptr ? &s.info : nullptr, nullptr);
  std::fclose(file);
  return ok;
}

bool IsPng(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  unsigned char signature[8] = {};
  const size_t got = std::fread(signature, 1, sizeof signature, file);
  std::fclose(file);
  return got == sizeof signature && png_sig_cmp(signature, 0, sizeof signature) == 0;
}

// Brings a document to the virtual scanner's 600 dpi (nearest pixel) and
// cuts whatever lies beyond the glass.
tq5sim::Image ToScannerResolution(const tq5sim::Image& in, int dpi) {
  const int width = std::min(kMaxDocumentWidth, static_cast<int>(static_cast<int64_t>(in.width) * kScannerDpi / dpi));
  const int height =
      std::min(kMaxDocumentHeight, static_cast<int>(static_cast<int64_t>(in.height) * kScannerDpi / dpi));
  tq5sim::Image out;
  out.width = std::max(1, width);
  out.height = std::max(1, height);
  out.channels = in.channels;
  out.pixels.resize(static_cast<size_t>(out.width) * out.height * out.channels);
  std::vector<int> sourceX(out.width);
  for (int x = 0; x < out.width; ++x)
    sourceX[x] = std::min(in.width - 1, static_cast<int>(static_cast<int64_t>(x) * dpi / kScannerDpi));
  for (int y = 0; y < out.height; ++y) {
    const int sy = std::min(in.height - 1, static_cast<int>(static_cast<int64_t>(y) * dpi / kScannerDpi));
    const uint8_t* from = in.pixels.data() + static_cast<size_t>(sy) * in.width * in.channels;
    uint8_t* to = out.pixels.data() + static_cast<size_t>(y) * out.width * out.channels;
    for (int x = 0; x < out.width; ++x)
      std::memcpy(to + static_cast<size_t>(x) * out.channels, from + static_cast<size_t>(sourceX[x]) * in.channels,
                  static_cast<size_t>(in.channels));
  }
  return out;
}

// A PNG that records its resolution is laid on the glass at its real size;
// other images (and PNM files, which cannot record one) are taken as 600-dpi
// images, the virtual scanner's own resolution.
bool LoadDocumentImage(const std::string& path, tq5sim::Image* image, std::string* error) {
  int dpi = kScannerDpi;
  tq5sim::Image loaded;
  if (IsPng(path)) {
    if (!LoadPng(path, &loaded, &dpi, error)) return false;
  } else if (!tq5sim::LoadPnm(path, &loaded, error)) {
    *error += " (--document takes PNG or binary PNM images)";
    return false;
  }
  if (dpi < 10 || dpi > 4800) dpi = kScannerDpi;
  if (dpi != kScannerDpi || loaded.width > kMaxDocumentWidth || loaded.height > kMaxDocumentHeight)
    loaded = ToScannerResolution(loaded, dpi);
  *image = std::move(loaded);
  return true;
}

}  // namespace

EmbeddedScanner::EmbeddedScanner() = default;
EmbeddedScanner::~EmbeddedScanner() { Stop(); }

bool EmbeddedScanner::Available() { return true; }

bool EmbeddedScanner::Start(const std::filesystem::path& directory, const std::string& controlPath,
                            const Setup& setup, std::string& error) {
  tq5sim::Image image;
  const bool withImage = !setup.document.empty();
  if (withImage && !LoadDocumentImage(setup.document, &image, &error)) return false;
  scanner_ = std::make_unique<tq5sim::VirtualScanner>();
  if (setup.film) {
    scanner_->AttachFilmUnit(true);
    scanner_->LoadFilm(setup.negative ? tq5sim::FilmKind::Negative : tq5sim::FilmKind::Positive,
                       withImage ? &image : nullptr);
  } else if (withImage) {
    scanner_->LoadDocument(std::move(image));
  }
  devicePath_ = (directory / "scanner.sock").string();
  controlPath_ = controlPath.empty() ? (directory / "control.sock").string() : controlPath;
  if (!scanner_->Start(devicePath_)) {
    error = "cannot serve the virtual scanner's device node " + devicePath_;
    scanner_.reset();
    return false;
  }
  if (!scanner_->StartControl(controlPath_)) {
    error = "cannot serve the virtual scanner's control channel " + controlPath_;
    scanner_.reset();
    return false;
  }
  return true;
}

void EmbeddedScanner::Stop() {
  if (scanner_ == nullptr) return;
  scanner_->Stop();
  scanner_.reset();
}

}  // namespace tq5scan

#else  // built without the virtual scanner

// Without the library the scanner type only needs to be complete.
namespace tq5sim {
class VirtualScanner {};
}  // namespace tq5sim

namespace tq5scan {

EmbeddedScanner::EmbeddedScanner() = default;
EmbeddedScanner::~EmbeddedScanner() = default;
bool EmbeddedScanner::Available() { return false; }
bool EmbeddedScanner::Start(const std::filesystem::path&, const std::string&, const Setup&, std::string& error) {
  error = "this tq5scan was built without the virtual scanner; give a device node with -d";
  return false;
}
void EmbeddedScanner::Stop() {}

}  // namespace tq5scan

#endif
