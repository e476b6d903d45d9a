// Image files written row by row as the scan delivers them: PNM by hand,
// PNG with libpng, TIFF with libtiff. The writers never hold more than one
// row; each takes rows in the driver's byte layout (16-bit samples low byte
// first, one-bit pixels packed most significant bit first) and stores them
// the way its format wants.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "options.h"

namespace tq5scan {

struct ImageShape {
  uint32_t width = 0;   // pixels per row
  uint32_t height = 0;  // rows
  int channels = 1;     // 1 (grey, one-bit) or 3 (RGB)
  int bitsPerSample = 8;  // 1, 8 or 16
  uint32_t xDpi = 0;
  uint32_t yDpi = 0;
  // One-bit rows: true when a set bit is a black pixel, false when it is
  // white (the driver's convention, see ReadScan in tq5drv.h).
  bool oneBitSetIsBlack = false;

  uint32_t BytesPerRow() const { return (width * static_cast<uint32_t>(channels * bitsPerSample) + 7) / 8; }
};

// Where the image goes: a file, written as FILE.part and renamed into place
// only when the image is complete, or standard output.
class OutputTarget {
 public:
  static std::unique_ptr<OutputTarget> OpenFile(const std::string& path, std::string& error);
  static std::unique_ptr<OutputTarget> OpenStandardOutput();
  ~OutputTarget();

  std::FILE* stream() const { return stream_; }
  bool isFile() const { return !path_.empty(); }
  // Flushes, and for a file closes and renames it into place.
  bool Commit(std::string& error);
  // Drops a partial file (standard output keeps what was written).
  void Abandon();

 private:
  OutputTarget() = default;
  std::FILE* stream_ = nullptr;
  std::string path_;
  std::string partPath_;
};

class ImageWriter {
 public:
  virtual ~ImageWriter() = default;
  virtual bool Begin(const ImageShape& shape, std::string& error) = 0;
  // One row of shape.BytesPerRow() bytes in the driver's layout.
  virtual bool WriteRow(const uint8_t* row, std::string& error) = 0;
  virtual bool Finish(std::string& error) = 0;
};

std::unique_ptr<ImageWriter> MakeImageWriter(OutputFormat format, OutputTarget& target);

// Row conversions shared by the writers: 16-bit samples from low-byte-first
// to high-byte-first, and inversion of one-bit rows.
void SwapSampleBytes(const uint8_t* from, uint8_t* to, size_t bytes);
void InvertBits(const uint8_t* from, uint8_t* to, size_t bytes);

}  // namespace tq5scan
