#include "image_readback.h"

#include <png.h>
#include <tiffio.h>

#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace tq5scantest {

double DecodedImage::ColumnMean(uint32_t x0, uint32_t x1, int channel) const {
  const double top = bitsPerSample == 16 ? 65535.0 : bitsPerSample == 1 ? 1.0 : 255.0;
  double sum = 0;
  size_t n = 0;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = x0; x < x1 && x < width; ++x, ++n) sum += At(x, y, channel);
  return n == 0 ? 0 : sum / n / top;
}

namespace {

struct PngRead {
  png_structp png = nullptr;
  png_infop info = nullptr;
  char message[200] = "";
};

void OnError(png_structp png, png_const_charp message) {
  std::snprintf(static_cast<PngRead*>(png_get_error_ptr(png))->message, 200, "%s", message);
  png_longjmp(png, 1);
}

// Kept apart from objects with destructors because of libpng's longjmp.
bool DecodePng(PngRead& r, std::FILE* file, DecodedImage* image, std::vector<uint8_t>* bytes) {
  if (setjmp(png_jmpbuf(r.png))) return false;
  png_init_io(r.png, file);
  png_read_info(r.png, r.info);
  png_uint_32 width, height;
  int depth, colour, interlace;
  png_get_IHDR(r.png, r.info, &width, &height, &depth, &colour, &interlace, nullptr, nullptr);
  image->width = width;
  image->height = height;
  image->bitsPerSample = depth;
  image->channels = colour == PNG_COLOR_TYPE_RGB ? 3 : colour == PNG_COLOR_TYPE_GRAY ? 1 : 0;
  png_uint_32 xPerMetre, yPerMetre;
  int unit;
  if (png_get_pHYs(r.png, r.info, &xPerMetre, &yPerMetre, &unit) && unit == PNG_RESOLUTION_METER) {
    image->xDpi = xPerMetre * 0.0254;
    image->yDpi = yPerMetre * 0.0254;
  }
  if (depth < 8) png_set_packing(r.png);  // one byte a pixel, value 0 or 1
  png_read_update_info(r.png, r.info);
  const size_t rowBytes = png_get_rowbytes(r.png, r.info);
  bytes->resize(rowBytes * height);
  for (png_uint_32 y = 0; y < height; ++y) png_read_row(r.png, bytes->data() + y * rowBytes, nullptr);
  png_read_end(r.png, nullptr);
  return true;
}

}  // namespace

DecodedImage ReadPng(const std::string& path) {
  DecodedImage image;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    image.error = "cannot open " + path;
    return image;
  }
  PngRead r;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r, OnError, nullptr);
  r.info = png_create_info_struct(r.png);
  std::vector<uint8_t> bytes;
  const bool ok = DecodePng(r, file, &image, &bytes);
  png_destroy_read_struct(&r.png, &r.info, nullptr);
  std::fclose(file);
  if (!ok) {
    image.error = std::string("libpng: ") + r.message;
    return image;
  }
  if (image.channels == 0) {
    image.error = "unexpected PNG colour type";
    return image;
  }
  const size_t count = static_cast<size_t>(image.width) * image.height * image.channels;
  image.samples.resize(count);
  for (size_t i = 0; i < count; ++i)
    image.samples[i] = image.bitsPerSample == 16 ? static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1])
                                                 : bytes[i];
  return image;
}

DecodedImage ReadTiff(const std::string& path) {
  DecodedImage image;
  TIFFSetWarningHandler(nullptr);
  std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(path.c_str(), "r"), TIFFClose);
  if (tiff == nullptr) {
    image.error = "libtiff cannot open " + path;
    return image;
  }
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, samplesPerPixel = 0, photometric = 0, planar = 0, unit = 0;
  float xRes = 0, yRes = 0;
  TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samplesPerPixel);
  TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_PLANARCONFIG, &planar);
  if (TIFFGetField(tiff.get(), TIFFTAG_XRESOLUTION, &xRes) && TIFFGetField(tiff.get(), TIFFTAG_YRESOLUTION, &yRes) &&
      TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_INCH) {
    image.xDpi = xRes;
    image.yDpi = yRes;
  }
  image.width = width;
  image.height = height;
  image.channels = samplesPerPixel;
  image.bitsPerSample = bits;
  const bool known = planar == PLANARCONFIG_CONTIG &&
                     ((photometric == PHOTOMETRIC_RGB && samplesPerPixel == 3) ||
                      ((photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) &&
                       samplesPerPixel == 1));
  if (!known) {
    image.error = "unexpected TIFF layout (photometric " + std::to_string(photometric) + ")";
    return image;
  }
  std::vector<uint8_t> row(TIFFScanlineSize(tiff.get()));
  image.samples.reserve(static_cast<size_t>(width) * height * samplesPerPixel);
  for (uint32_t y = 0; y < height; ++y) {
    if (TIFFReadScanline(tiff.get(), row.data(), y, 0) != 1) {
      image.error = "libtiff cannot read row " + std::to_string(y);
      return image;
    }
    for (uint32_t i = 0; i < width * samplesPerPixel; ++i) {
      uint16_t v;
      if (bits == 16) {
        std::memcpy(&v, &row[2 * i], 2);  // libtiff hands out samples in the machine's order
      } else if (bits == 8) {
        v = row[i];
      } else {
        v = (row[i / 8] >> (7 - i % 8)) & 1;
        if (photometric == PHOTOMETRIC_MINISWHITE) v ^= 1;  // normalise: 1 = white
      }
      image.samples.push_back(v);
    }
  }
  return image;
}

DecodedImage ReadPnm(const std::string& path) {
  DecodedImage image;
  std::ifstream in(path, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = 0;
  auto token = [&]() -> std::string {
    for (;;) {
      while (at < data.size() && std::isspace(static_cast<unsigned char>(data[at]))) ++at;
      if (at < data.size() && data[at] == '#') {
        while (at < data.size() && data[at] != '\n') ++at;
        continue;
      }
      break;
    }
    const size_t start = at;
    while (at < data.size() && !std::isspace(static_cast<unsigned char>(data[at]))) ++at;
    return data.substr(start, at - start);
  };
  const std::string magic = token();
  if (magic != "P4" && magic != "P5" && magic != "P6") {
    image.error = "not a binary PNM file";
    return image;
  }
  image.width = static_cast<uint32_t>(std::stoul(token()));
  image.height = static_cast<uint32_t>(std::stoul(token()));
  image.channels = magic == "P6" ? 3 : 1;
  unsigned maxval = 1;
  if (magic != "P4") maxval = static_cast<unsigned>(std::stoul(token()));
  image.bitsPerSample = magic == "P4" ? 1 : maxval > 255 ? 16 : 8;
  ++at;  // the single blank after the header
  const size_t samplesPerRow = static_cast<size_t>(image.width) * image.channels;
  const size_t rowBytes = image.bitsPerSample == 1 ? (image.width + 7) / 8 : samplesPerRow * image.bitsPerSample / 8;
  if (data.size() - at != rowBytes * image.height) {
    image.error = "PNM data is " + std::to_string(data.size() - at) + " bytes, expected " +
                  std::to_string(rowBytes * image.height);
    return image;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data() + at);
  for (uint32_t y = 0; y < image.height; ++y, bytes += rowBytes)
    for (size_t i = 0; i < samplesPerRow; ++i) {
      if (image.bitsPerSample == 16) {
        image.samples.push_back(static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]));  // high byte first
      } else if (image.bitsPerSample == 8) {
        image.samples.push_back(bytes[i]);
      } else {
        image.samples.push_back(((bytes[i / 8] >> (7 - i % 8)) & 1) ^ 1);  // PBM: 1 = black
      }
    }
  return image;
}

DecodedImage ReadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[4] = {};
  in.read(head, 4);
  if (std::memcmp(head, "\x89PNG", 4) == 0) return ReadPng(path);
  if (std::memcmp(head, "II*", 3) == 0 || std::memcmp(head, "MM\0*", 4) == 0) return ReadTiff(path);
  return ReadPnm(path);
}

}  // namespace tq5scantest
