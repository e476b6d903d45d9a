// A carriage for the scripted device: a small state machine on the virtual
// clock that answers the home sensor (register 0x02 bit 0), the return-home
// busy bit (register 0x07 bit 1) and the move-finished bit (register 0x03
// bit 4) the way the controller does after its motion commands.
#pragma once

#include <cstdint>

#include "platform.h"
#include "scripted_device.h"

namespace tq5test {

class CarriageModel {
 public:
  enum class Where { Home, Away, Returning, Leaving };

  // travelMs: time from a return-home command to the home sensor;
  // leaveMs: time from a leave command until the sensor clears;
  // moveMs: time a positioning move (command 3) takes. A jammed carriage
  // never moves.
  struct Timing {
    uint64_t travelMs = 3000;
    uint64_t leaveMs = 300;
    uint64_t moveMs = 1000;
    bool jammed = false;
  };

  CarriageModel(ScriptedDevice& device, Where start, Timing timing) : where_(start), timing_(timing) {
    device.onWriteRegister = [this](uint8_t reg, uint8_t value) { Command(reg, value); };
    device.onReadRegister = [this](uint8_t reg, uint8_t stored) { return Read(reg, stored); };
  }

  // Starts a return home as if another caller had commanded it.
  void StartReturn() { Command(0x07, 0x02); }
  void SetStatusExtras(uint8_t bits) { extras_ = bits; }
  uint64_t CommandTime(int command) const { return commandTime_[command & 7]; }
  bool AtHome() {
    Settle();
    return where_ == Where::Home;
  }

 private:
  void Settle() {
    const uint64_t now = PlatClockNow();
    if (where_ == Where::Returning && now >= arrival_) where_ = Where::Home;
    if (where_ == Where::Leaving && now >= arrival_) where_ = Where::Away;
  }

  void Command(uint8_t reg, uint8_t value) {
    if (reg != 0x07) return;
    Settle();
    const uint64_t now = PlatClockNow();
    commandTime_[value & 7] = now;
    switch (value) {
      case 0x00:  // stop: a leave or return in progress ends where it is
        if (where_ == Where::Returning || where_ == Where::Leaving) where_ = Where::Away;
        break;
      case 0x01:
        if (where_ == Where::Home && !timing_.jammed) {
          where_ = Where::Leaving;
          arrival_ = now + timing_.leaveMs;
        }
        break;
      case 0x02:
        if (where_ != Where::Home && !timing_.jammed) {
          where_ = Where::Returning;
          arrival_ = now + timing_.travelMs;
        }
        break;
      case 0x03:
        moveEnd_ = timing_.jammed ? UINT64_MAX : now + timing_.moveMs;
        break;
      default:
        break;
    }
  }

  uint8_t Read(uint8_t reg, uint8_t stored) {
    Settle();
    const uint64_t now = PlatClockNow();
    switch (reg) {
      case 0x02:
        return static_cast<uint8_t>(((where_ == Where::Home || where_ == Where::Leaving) ? 0x01 : 0x00) | extras_);
      case 0x07:
        return where_ == Where::Returning ? 0x02 : stored & ~0x03;
      case 0x03:
        return now >= moveEnd_ ? 0x10 : 0x00;
      default:
        return stored;
    }
  }

  Where where_;
  Timing timing_;
  uint64_t arrival_ = 0;
  uint64_t moveEnd_ = UINT64_MAX;
  uint64_t commandTime_[8] = {};
  uint8_t extras_ = 0;
};

}  // namespace tq5test
