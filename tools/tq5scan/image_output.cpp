#include "image_output.h"

#include <png.h>
#include <tiffio.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <filesystem>

namespace tq5scan {

void SwapSampleBytes(const uint8_t* from, uint8_t* to, size_t bytes) {
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const uint8_t low = from[i];
    to[i] = from[i + 1];
    to[i + 1] = low;
  }
}

void InvertBits(const uint8_t* from, uint8_t* to, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) to[i] = static_cast<uint8_t>(~from[i]);
}

// ---------------------------------------------------------------------------
// Output target
// ---------------------------------------------------------------------------

std::unique_ptr<OutputTarget> OutputTarget::OpenFile(const std::string& path, std::string& error) {
  std::unique_ptr<OutputTarget> target(new OutputTarget);
  target->path_ = path;
  target->partPath_ = path + ".part";
  // Read access too: libtiff may read back what it wrote.
  target->stream_ = std::fopen(target->partPath_.c_str(), "w+b");
  if (target->stream_ == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return target;
}

std::unique_ptr<OutputTarget> OutputTarget::OpenStandardOutput() {
  std::unique_ptr<OutputTarget> target(new OutputTarget);
  target->stream_ = stdout;
  return target;
}

OutputTarget::~OutputTarget() { Abandon(); }

bool OutputTarget::Commit(std::string& error) {
  if (stream_ == nullptr) return true;
  const bool flushed = std::fflush(stream_) == 0 && !std::ferror(stream_);
  if (!isFile()) {
    stream_ = nullptr;
    if (!flushed) error = "cannot write to standard output";
    return flushed;
  }
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!flushed || !closed) {
    error = "cannot write " + path_ + " (disk full?)";
    std::error_code ignored;
    std::filesystem::remove(partPath_, ignored);
    return false;
  }
  std::error_code code;
  std::filesystem::rename(partPath_, path_, code);
  if (code) {
    error = "cannot write " + path_ + ": " + code.message();
    std::filesystem::remove(partPath_, code);
    return false;
  }
  return true;
}

void OutputTarget::Abandon() {
  if (stream_ == nullptr) return;
  if (isFile()) {
    std::fclose(stream_);
    std::error_code ignored;
    std::filesystem::remove(partPath_, ignored);
  } else {
    std::fflush(stream_);
  }
  stream_ = nullptr;
}

namespace {

bool WriteAll(std::FILE* stream, const void* data, size_t bytes, std::string& error) {
  if (bytes == 0 || std::fwrite(data, 1, bytes, stream) == bytes) return true;
  error = std::string("cannot write the image: ") + std::strerror(errno);
  return false;
}

// ---------------------------------------------------------------------------
// PNM: P6 colour, P5 grey (maxval 255 or 65535, samples high byte first),
// P4 one-bit (a set bit is black).
// ---------------------------------------------------------------------------
class PnmWriter final : public ImageWriter {
 public:
  explicit PnmWriter(OutputTarget& target) : target_(target) {}

  bool Begin(const ImageShape& shape, std::string& error) override {
    shape_ = shape;
    row_.resize(shape.BytesPerRow());
    const char* magic = shape.bitsPerSample == 1 ? "P4" : shape.channels == 3 ? "P6" : "P5";
    std::string header = std::string(magic) + "\n# tq5scan " + std::to_string(shape.xDpi) + "x" +
                         std::to_string(shape.yDpi) + " dpi\n" + std::to_string(shape.width) + " " +
                         std::to_string(shape.height) + "\n";
    if (shape.bitsPerSample != 1) header += shape.bitsPerSample == 16 ? "65535\n" : "255\n";
    return WriteAll(target_.stream(), header.data(), header.size(), error);
  }

  bool WriteRow(const uint8_t* row, std::string& error) override {
    const size_t bytes = row_.size();
    if (shape_.bitsPerSample == 16) {
      SwapSampleBytes(row, row_.data(), bytes);
      row = row_.data();
    } else if (shape_.bitsPerSample == 1 && !shape_.oneBitSetIsBlack) {
      InvertBits(row, row_.data(), bytes);
      row = row_.data();
    }
    return WriteAll(target_.stream(), row, bytes, error);
  }

  bool Finish(std::string&) override { return true; }

 private:
  OutputTarget& target_;
  ImageShape shape_;
  std::vector<uint8_t> row_;
};

// ---------------------------------------------------------------------------
// PNG through libpng. libpng reports errors by longjmp; every method that
// calls it sets the jump point first and keeps no object with a destructor
// in its own frame.
// ---------------------------------------------------------------------------
class PngWriter final : public ImageWriter {
 public:
  explicit PngWriter(OutputTarget& target) : target_(target) {}
  ~PngWriter() override {
    if (png_ != nullptr) png_destroy_write_struct(&png_, &info_);
  }

  bool Begin(const ImageShape& shape, std::string& error) override {
    shape_ = shape;
    row_.resize(shape.BytesPerRow());
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, &PngWriter::OnError, &PngWriter::OnWarning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
    if (png_ == nullptr || info_ == nullptr) {
      error = "cannot start the PNG encoder";
      return false;
    }
    if (!BeginPng()) {
      error = "PNG encoder: " + std::string(message_);
      return false;
    }
    return true;
  }

  bool WriteRow(const uint8_t* row, std::string& error) override {
    const size_t bytes = row_.size();
    if (shape_.bitsPerSample == 16) {
      SwapSampleBytes(row, row_.data(), bytes);  // PNG stores samples high byte first
    } else if (shape_.bitsPerSample == 1 && shape_.oneBitSetIsBlack) {
      InvertBits(row, row_.data(), bytes);  // in a one-bit grey PNG a set bit is white
    } else {
      std::memcpy(row_.data(), row, bytes);
    }
    if (!WritePngRow()) {
      error = "PNG encoder: " + std::string(message_);
      return false;
    }
    return true;
  }

  bool Finish(std::string& error) override {
    if (!EndPng()) {
      error = "PNG encoder: " + std::string(message_);
      return false;
    }
    return true;
  }

 private:
  static void OnError(png_structp png, png_const_charp message) {
    auto* self = static_cast<PngWriter*>(png_get_error_ptr(png));
    std::snprintf(self->message_, sizeof self->message_, "%s", message);
    png_longjmp(png, 1);
  }
  static void OnWarning(png_structp, png_const_charp) {}

  bool BeginPng() {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_init_io(png_, target_.stream());
    const int colour = shape_.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    png_set_IHDR(png_, info_, shape_.width, shape_.height, shape_.bitsPerSample, colour, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Dots per inch as pixels per metre (rounded).
    const auto perMetre = [](uint32_t dpi) { return static_cast<png_uint_32>((dpi * 10000u + 127u) / 254u); };
    png_set_pHYs(png_, info_, perMetre(shape_.xDpi), perMetre(shape_.yDpi), PNG_RESOLUTION_METER);
    png_write_info(png_, info_);
    return true;
  }

  bool WritePngRow() {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_write_row(png_, row_.data());
    return true;
  }

  bool EndPng() {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_write_end(png_, info_);
    return true;
  }

  OutputTarget& target_;
  ImageShape shape_;
  std::vector<uint8_t> row_;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  char message_[256] = "unknown error";
};

// ---------------------------------------------------------------------------
// TIFF through libtiff, over a C stream. TIFF needs to seek back to finish
// its header, so for standard output the image is written to an anonymous
// temporary file and copied out when it is complete.
// ---------------------------------------------------------------------------
tmsize_t TiffRead(thandle_t handle, void* data, tmsize_t size) {
  return static_cast<tmsize_t>(std::fread(data, 1, static_cast<size_t>(size), static_cast<std::FILE*>(handle)));
}
tmsize_t TiffWrite(thandle_t handle, void* data, tmsize_t size) {
  return static_cast<tmsize_t>(std::fwrite(data, 1, static_cast<size_t>(size), static_cast<std::FILE*>(handle)));
}
toff_t TiffSeek(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<std::FILE*>(handle);
  if (std::fseek(file, static_cast<long>(offset), whence) != 0) return static_cast<toff_t>(-1);
  return static_cast<toff_t>(std::ftell(file));
}
int TiffClose(thandle_t) { return 0; }  // the stream belongs to the writer
toff_t TiffSize(thandle_t handle) {
  auto* file = static_cast<std::FILE*>(handle);
  const long at = std::ftell(file);
  std::fseek(file, 0, SEEK_END);
  const long end = std::ftell(file);
  std::fseek(file, at, SEEK_SET);
  return static_cast<toff_t>(end);
}
int TiffMap(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmap(thandle_t, void*, toff_t) {}

class TiffWriter final : public ImageWriter {
 public:
  explicit TiffWriter(OutputTarget& target) : target_(target) {}
  ~TiffWriter() override {
    if (tiff_ != nullptr) TIFFClose(tiff_);
    if (spool_ != nullptr) std::fclose(spool_);
  }

  bool Begin(const ImageShape& shape, std::string& error) override {
    shape_ = shape;
    row_.resize(shape.BytesPerRow());
    std::FILE* stream = target_.stream();
    if (!target_.isFile()) {
      spool_ = std::tmpfile();
      if (spool_ == nullptr) {
        error = "cannot create a temporary file for the TIFF image";
        return false;
      }
      stream = spool_;
    }
    tiff_ = TIFFClientOpen("tq5scan", "w", stream, TiffRead, TiffWrite, TiffSeek, TiffClose, TiffSize, TiffMap,
                           TiffUnmap);
    if (tiff_ == nullptr) {
      error = "cannot start the TIFF encoder";
      return false;
    }
    TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, shape.width);
    TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, shape.height);
    TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(shape.bitsPerSample));
    TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(shape.channels));
    TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    if (shape.channels == 3) photometric = PHOTOMETRIC_RGB;
    if (shape.bitsPerSample == 1 && shape.oneBitSetIsBlack) photometric = PHOTOMETRIC_MINISWHITE;
    TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tiff_, TIFFTAG_XRESOLUTION, static_cast<float>(shape.xDpi));
    TIFFSetField(tiff_, TIFFTAG_YRESOLUTION, static_cast<float>(shape.yDpi));
    TIFFSetField(tiff_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff_, 0));
    TIFFSetField(tiff_, TIFFTAG_SOFTWARE, "tq5scan");
    return true;
  }

  bool WriteRow(const uint8_t* row, std::string& error) override {
    if (shape_.bitsPerSample == 16) {
      // libtiff takes samples in the machine's order and records that order
      // in the file; the driver's samples are low byte first.
      for (size_t i = 0; i + 1 < row_.size(); i += 2) {
        const uint16_t sample = static_cast<uint16_t>(row[i] | (row[i + 1] << 8));
        std::memcpy(&row_[i], &sample, 2);
      }
    } else {
      std::memcpy(row_.data(), row, row_.size());
    }
    if (TIFFWriteScanline(tiff_, row_.data(), line_++, 0) != 1) {
      error = "cannot write the TIFF image";
      return false;
    }
    return true;
  }

  bool Finish(std::string& error) override {
    TIFF* tiff = tiff_;
    tiff_ = nullptr;
    if (TIFFFlush(tiff) != 1) {
      TIFFClose(tiff);
      error = "cannot finish the TIFF image";
      return false;
    }
    TIFFClose(tiff);
    if (spool_ == nullptr) return true;
    // Copy the finished image to standard output.
    std::rewind(spool_);
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, spool_)) > 0)
      if (!WriteAll(target_.stream(), buffer, got, error)) return false;
    return true;
  }

 private:
  OutputTarget& target_;
  ImageShape shape_;
  std::vector<uint8_t> row_;
  TIFF* tiff_ = nullptr;
  std::FILE* spool_ = nullptr;
  uint32_t line_ = 0;
};

}  // namespace

std::unique_ptr<ImageWriter> MakeImageWriter(OutputFormat format, OutputTarget& target) {
  switch (format) {
    case OutputFormat::Pnm: return std::make_unique<PnmWriter>(target);
    case OutputFormat::Png: return std::make_unique<PngWriter>(target);
    case OutputFormat::Tiff: return std::make_unique<TiffWriter>(target);
  }
  return nullptr;
}

}  // namespace tq5scan
