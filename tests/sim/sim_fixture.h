// Shared set-up for the virtual scanner's tests: a scanner on the virtual
// clock with an in-process connection, the controller's register defaults
// as the driver loads them, and small helpers for captures.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform.h"
#include "virtual_scanner.h"

namespace simtest {

// The defaults of registers 0x00-0x5F that the driver's power-on sequence
// loads (and then reads back from 0x07 on).
inline constexpr std::array<uint8_t, 96> kDefaults = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x1A, 0x00, 0x02, 0x60, 0x2F, 0x13, 0x06,
    0x17, 0x01, 0x03, 0x03, 0x05, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x21, 0x00, 0x40,
    0x15, 0x40, 0x00, 0x40, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x01, 0x0F, 0xFF, 0x3F, 0xFF, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00,
    0x40, 0x00, 0x20, 0x00, 0x00, 0x13, 0x05, 0x52, 0x00, 0xF0, 0x00, 0x01, 0x00, 0x00, 0x80, 0x02,
    0x00, 0xFC, 0x00, 0x45, 0x00, 0x00, 0x02, 0x1F, 0x05, 0x44, 0x14, 0x19, 0x00, 0x00, 0x80, 0x00};

// A fresh temporary directory, removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("tq5sim-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

class SimTest : public ::testing::Test {
 protected:
  SimTest() {
    PlatClockUseVirtual(1000000, 0);  // time moves only when a test advances it
    scanner = std::make_unique<tq5sim::VirtualScanner>();
    session = std::make_unique<tq5sim::VirtualScanner::Session>(*scanner);
  }
  ~SimTest() override {
    session.reset();
    scanner.reset();
    PlatClockUseReal();
  }

  void Wait(uint32_t ms) { PlatClockAdvance(ms); }

  void Write(uint8_t reg, uint8_t value) { ASSERT_TRUE(session->WriteRegister(reg, value)) << "register " << int(reg); }
  uint8_t Read(uint8_t reg) {
    uint8_t value = 0;
    EXPECT_TRUE(session->ReadRegister(reg, &value)) << "register " << int(reg);
    return value;
  }
  // What the driver's power-on sequence leaves: the defaults in 0x04-0x5E,
  // zero in 0x03, 0x5F and 0x60-0x7F.
  void LoadDefaults() {
    for (int r = 0x03; r <= 0x7F; ++r) {
      if (r == 0x07) continue;
      Write(static_cast<uint8_t>(r), r >= 0x04 && r <= 0x5E ? kDefaults[r] : 0);
    }
    Write(0x07, 0x00);
  }
  void Write16(uint8_t highReg, uint16_t value) {
    Write(highReg, static_cast<uint8_t>(value >> 8));
    Write(static_cast<uint8_t>(highReg + 1), static_cast<uint8_t>(value));
  }
  // Controller memory access as the driver does it.
  bool WriteMemory(int bank, int memory, uint16_t address, const std::vector<uint8_t>& data) {
    Write(0x03, static_cast<uint8_t>(bank * 4 + memory));
    Write(0x04, static_cast<uint8_t>(address >> 8));
    Write(0x05, static_cast<uint8_t>(address));
    return session->WriteStream(0x06, data);
  }
  bool ReadMemory(int bank, int memory, uint16_t address, uint32_t count, std::vector<uint8_t>* out) {
    Write(0x03, static_cast<uint8_t>(bank * 4 + memory));
    Write(0x04, static_cast<uint8_t>(address >> 8 | 0x40));
    Write(0x05, static_cast<uint8_t>(address));
    return session->ReadStream(0x06, count, out);
  }
  uint32_t FillBlocks() { return Read(0x01); }
  // Waits (virtually) until `count` bytes of image data are ready and reads
  // them; fails after `limitMs`.
  std::vector<uint8_t> ReadImage(uint32_t count, uint32_t limitMs = 60000) {
    std::vector<uint8_t> all;
    uint32_t waited = 0;
    while (all.size() < count) {
      const uint32_t ready = FillBlocks() * 2048u;
      if (ready == 0) {
        if (waited >= limitMs) {
          ADD_FAILURE() << "no image data after " << waited << " ms";
          return all;
        }
        Wait(16);
        waited += 16;
        continue;
      }
      waited = 0;
      std::vector<uint8_t> chunk;
      const uint32_t n = std::min<uint32_t>(ready, count - static_cast<uint32_t>(all.size()));
      if (!session->ReadStream(0x00, n, &chunk)) {
        ADD_FAILURE() << "image read failed";
        return all;
      }
      all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
  }

  std::unique_ptr<tq5sim::VirtualScanner> scanner;
  std::unique_ptr<tq5sim::VirtualScanner::Session> session;
};

}  // namespace simtest
