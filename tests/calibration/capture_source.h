// Image data for the scripted device: every capture (a write of 3 to
// register 0x07) asks a producer for its bytes, given the registers as the
// driver last wrote them, and the data port then serves them in order.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "scripted_device.h"

namespace tq5test {

class CaptureSource {
 public:
  using Registers = std::array<uint8_t, 256>;
  // capture: 0 for the first capture since the source was attached.
  using Producer = std::function<std::vector<uint8_t>(int capture, const Registers& registers)>;

  // Hooks already installed on the device (a carriage model, say) keep
  // seeing every register access.
  CaptureSource(ScriptedDevice& device, Producer producer)
      : device_(device), producer_(std::move(producer)), previousWrite_(device.onWriteRegister),
        previousRead_(device.onReadRegister) {
    device.SetRegister(0x01, 0x90);  // image data always ready
    device.onWriteRegister = [this](uint8_t reg, uint8_t value) {
      registers_[reg] = value;
      if (reg == 0x07 && value == 0x03) {
        atCapture_ = registers_;
        data_ = producer_(captures_++, registers_);
        position_ = 0;
      }
      if (previousWrite_) previousWrite_(reg, value);
    };
    device.onReadRegister = [this](uint8_t reg, uint8_t stored) {
      if (reg == 0x01 && ready && !ready(registers_)) return uint8_t{0};
      return previousRead_ ? previousRead_(reg, stored) : stored;
    };
    device.onImageRead = [this](uint8_t* out, uint32_t count) {
      for (uint32_t i = 0; i < count; ++i) out[i] = position_ < data_.size() ? data_[position_++] : 0;
    };
  }

  // When set, the fill level reads 0 (no data) while it returns false.
  std::function<bool(const Registers&)> ready;

  ~CaptureSource() {
    device_.onWriteRegister = previousWrite_;
    device_.onReadRegister = previousRead_;
    device_.onImageRead = nullptr;
  }
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;

  int Captures() const { return captures_; }
  // The registers as the last capture started.
  const Registers& CaptureRegisters() const { return atCapture_; }

 private:
  ScriptedDevice& device_;
  Producer producer_;
  std::function<void(uint8_t, uint8_t)> previousWrite_;
  std::function<uint8_t(uint8_t, uint8_t)> previousRead_;
  Registers registers_{};
  Registers atCapture_{};
  std::vector<uint8_t> data_;
  size_t position_ = 0;
  int captures_ = 0;
};

// Appends a 16-bit sample high byte first.
inline void PutSample(std::vector<uint8_t>& line, uint16_t value) {
  line.push_back(static_cast<uint8_t>(value >> 8));
  line.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace tq5test
