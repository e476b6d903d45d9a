#include "device.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform.h"

namespace tq5sim {

using namespace layout;

namespace {

constexpr double kCoolDownSeconds = 120;  // time constant of a lamp cooling down
constexpr double kFeedStepsPerUs = kFeedStepsPerMs / 1000.0;
constexpr double kMinLinePeriodUs = 500;
constexpr size_t kLogLimit = 200000;
constexpr size_t kMemorySizes[3] = {16384, 16384, 4096};

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

}  // namespace

// ---------------------------------------------------------------------------
// Lamps
// ---------------------------------------------------------------------------
double Device::Lamp::WarmthAt(uint64_t t) const {
  const double seconds = t > sinceUs ? (t - sinceUs) / 1e6 : 0.0;
  return on ? 1.0 - (1.0 - warmth) * std::exp(-seconds / warmUpSeconds)
            : warmth * std::exp(-seconds / kCoolDownSeconds);
}

void Device::Lamp::SetWarmUp(double seconds, double cold, uint64_t t) {
  warmth = WarmthAt(t);  // the warmth reached so far carries over
  sinceUs = t;
  warmUpSeconds = seconds;
  coldLight = cold;
}

void Device::Lamp::Switch(bool newOn, uint64_t t) {
  if (newOn == on) return;
  warmth = WarmthAt(t);
  sinceUs = t;
  on = newOn;
}

double Device::FlatbedOutput(uint64_t t) const {
  // Registers 0x2A/0x2B hold the lamp's duty, 0x0FFF = full.
  const double duty = ((regs_[0x2A] << 8 | regs_[0x2B]) & 0x0FFF) / 4095.0;
  return flatbedLamp_.OutputAt(t) * duty;
}

double Device::FilmOutput(uint64_t t) const { return filmLamp_.OutputAt(t); }

void Device::UpdateLamps() {
  const uint64_t t = timeUs_;
  flatbedLamp_.Switch((regs_[0x5B] & 0x08) != 0 && !deadFlatbed_, t);
  filmLamp_.Switch((regs_[0x5B] & 0x80) != 0 && filmAttached_ && !deadFilm_, t);
}

// ---------------------------------------------------------------------------
// Construction, power
// ---------------------------------------------------------------------------
Device::Device(Scene* scene) : scene_(scene), renderer_(scene) {
  clockUs_ = [] { return PlatClockNow() * 1000; };
  for (auto& bank : memories_.bytes) {
    for (int m = 0; m < 3; ++m) bank[m].assign(kMemorySizes[m], 0);
  }
  timeUs_ = NowUs();
  flatbedLamp_.sinceUs = filmLamp_.sinceUs = timeUs_;
  setup_ = renderer_.Setup(regs_.data(), memories_);
}

void Device::PowerCycle() {
  Advance();
  regs_.fill(0);
  initMarker_ = false;
  for (auto& bank : memories_.bytes) {
    for (auto& memory : bank) std::fill(memory.begin(), memory.end(), uint8_t{0});
  }
  memoryPointer_ = 0;
  ++powerGeneration_;
  motion_ = Motion::Idle;
  command_ = 0;
  captureActive_ = paused_ = ended_ = finished_ = false;
  lines_.clear();
  unread_ = headOffset_ = 0;
  headRendered_ = false;
  buttonLatched_[0] = buttonLatched_[1] = false;
  UpdateLamps();
}

void Device::SceneChanged() { renderer_.Invalidate(); }

void Device::SetButton(int button, bool pressed) {
  if (button < 1 || button > 2) return;
  Advance();
  buttonPressed_[button - 1] = pressed;
  if (pressed) buttonLatched_[button - 1] = true;
}

void Device::SetFilmUnitAttached(bool attached) {
  Advance();
  filmAttached_ = attached;
  scene_->SetFilmUnitAttached(attached);
  renderer_.Invalidate();
  UpdateLamps();
}

void Device::SetDeadLamp(bool flatbed, bool film) {
  Advance();
  deadFlatbed_ = flatbed;
  deadFilm_ = film;
  UpdateLamps();
}

bool Device::SetLampWarmUp(double seconds, double coldLight) {
  if (!(seconds >= 0.01 && seconds <= 3600.0) || !(coldLight >= 0.05 && coldLight <= 1.0)) return false;
  Advance();
  flatbedLamp_.SetWarmUp(seconds, coldLight, timeUs_);
  filmLamp_.SetWarmUp(seconds, coldLight, timeUs_);
  return true;
}

void Device::SetCorruptMemory(int bank, int memory, int address) {
  corruptBank_ = bank;
  corruptMemory_ = memory;
  corruptAddress_ = address;
}

void Device::ClearModelFaults() {
  Advance();
  stopData_ = jammed_ = false;
  registerXor_.fill(0);
  corruptAddress_ = -1;
  SetDeadLamp(false, false);
}

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
void Device::Advance() {
  const uint64_t now = NowUs();
  if (now < timeUs_) {
    // The clock was replaced (a test switched to a virtual clock that starts
    // earlier): carry the model's own times over to the new clock.
    const uint64_t back = timeUs_ - now;
    timeUs_ = now;
    nextLineUs_ = nextLineUs_ > back ? nextLineUs_ - back : 0;
    flatbedLamp_.sinceUs = flatbedLamp_.sinceUs > back ? flatbedLamp_.sinceUs - back : 0;
    filmLamp_.sinceUs = filmLamp_.sinceUs > back ? filmLamp_.sinceUs - back : 0;
  }
  AdvanceTo(now);
}

void Device::AdvanceTo(uint64_t nowUs) {
  while (timeUs_ < nowUs) {
    switch (motion_) {
      case Motion::Idle:
        timeUs_ = nowUs;
        break;
      case Motion::LeavingHome:
      case Motion::ReturningHome:
      case Motion::Feeding: {
        if (jammed_) {
          timeUs_ = nowUs;
          break;
        }
        const double distance = std::fabs(target_ - position_);
        const double needed = distance / kFeedStepsPerUs;
        const double available = static_cast<double>(nowUs - timeUs_);
        if (needed <= available) {
          position_ = target_;
          timeUs_ += static_cast<uint64_t>(std::ceil(needed));
          if (timeUs_ > nowUs) timeUs_ = nowUs;
          Arrive();
        } else {
          const double step = available * kFeedStepsPerUs;
          position_ += target_ > position_ ? step : -step;
          timeUs_ = nowUs;
        }
        break;
      }
      case Motion::Capturing:
        ProduceLines(nowUs);
        timeUs_ = nowUs;
        break;
    }
  }
}

void Device::Arrive() {
  switch (motion_) {
    case Motion::LeavingHome:
    case Motion::ReturningHome:
      motion_ = Motion::Idle;
      command_ = 0;
      break;
    case Motion::Feeding:
      motion_ = Motion::Capturing;
      nextLineUs_ = timeUs_;
      break;
    default:
      break;
  }
}

void Device::ProduceLines(uint64_t nowUs) {
  if (stopData_) {  // the sensor delivers nothing
    nextLineUs_ = std::max(nextLineUs_, nowUs);
    return;
  }
  const uint32_t lineBytes = setup_.lineBytes;
  auto full = [&] { return unread_ >= thresholdBytes_ || unread_ + lineBytes > kImageMemoryBytes; };
  while (!paused_ && !ended_) {
    if (full()) {
      paused_ = finished_ = true;
      break;
    }
    const uint64_t lineEnd = nextLineUs_ + static_cast<uint64_t>(linePeriodUs_);
    if (lineEnd > nowUs) break;
    const bool moves = captureMotor_ && !jammed_;
    if (moves && position_ + stepsPerLine_ > kTravelSteps) {  // end of travel
      ended_ = finished_ = true;
      break;
    }
    const uint64_t middle = nextLineUs_ + static_cast<uint64_t>(linePeriodUs_ / 2);
    LineRecord line;
    line.position = position_;
    line.flatbedLight = static_cast<float>(FlatbedOutput(middle));
    line.filmLight = static_cast<float>(FilmOutput(middle));
    line.seed = seed_;
    seed_ = seed_ * 1664525u + 1013904223u;
    lines_.push_back(line);
    unread_ += lineBytes;
    ++linesProduced_;
    if (moves) position_ += stepsPerLine_;
    nextLineUs_ = lineEnd;
  }
}

void Device::ResumeIfDrained() {
  if (!captureActive_ || !paused_ || motion_ != Motion::Capturing) return;
  if (unread_ >= thresholdBytes_ || unread_ + setup_.lineBytes > kImageMemoryBytes) return;
  paused_ = finished_ = false;
  nextLineUs_ = std::max(nextLineUs_, timeUs_);
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------
void Device::StartCommand(uint8_t value) {
  const uint8_t cmd = value & 0x03;
  captureActive_ = false;
  paused_ = ended_ = false;
  switch (cmd) {
    case 0:  // idle: everything stops; the image memory keeps its data
      motion_ = Motion::Idle;
      command_ = 0;
      break;
    case 1:  // off the home sensor
      finished_ = false;
      if (position_ < kLeaveHomeSteps) {
        motion_ = Motion::LeavingHome;
        target_ = kLeaveHomeSteps;
        command_ = 1;
      } else {
        motion_ = Motion::Idle;
        command_ = 0;
      }
      break;
    case 2:  // back to the home position
      finished_ = false;
      if (position_ > 0) {
        motion_ = Motion::ReturningHome;
        target_ = 0;
        command_ = 2;
      } else {
        motion_ = Motion::Idle;
        command_ = 0;
      }
      break;
    case 3:
      StartCapture();
      break;
  }
}

void Device::StartCapture() {
  command_ = 3;
  captureActive_ = true;
  finished_ = false;
  lines_.clear();
  unread_ = headOffset_ = 0;
  headRendered_ = false;
  setup_ = renderer_.Setup(regs_.data(), memories_);

  // Line timing: the sensor's line length in controller clocks (1 us), from
  // the same registers the driver's step timing uses.
  const int b = regs_[0x0D] >> 7;
  const double base = (regs_[0x20] << 8 | regs_[0x21]) +
                      (b + 1) * ((regs_[0x0E] & 0x0F) + 2 * (regs_[0x0E] >> 4) + 1) + 3 - b;
  const int mode = regs_[0x26] & 0x07;
  const double multiplier = (mode == 1 || mode == 5) ? 3.0 : 1.0;
  const int r = regs_[0x19];
  const double stretch = r > 1 ? (r + 1.0) / r : 1.0;  // register 0x19 lengthens the exposure
  const double period = base * multiplier * stretch;
  linePeriodUs_ = std::max(kMinLinePeriodUs, period);
  // The step period register already holds the lengthened period.
  const double stepPeriod = std::max(2, regs_[0x46] << 8 | regs_[0x47]);
  // The motor moves in thirds of a step.
  stepsPerLine_ = std::round(3.0 * period / stepPeriod) / 3.0;

  thresholdBytes_ = regs_[0x4E] == 0 ? kImageMemoryBytes : regs_[0x4E] * kBlockBytes;
  captureMotor_ = (regs_[0x45] & 0x10) != 0;
  const int start = regs_[0x4A] << 8 | regs_[0x4B];
  if (captureMotor_ && start > 0) {
    motion_ = Motion::Feeding;
    target_ = std::min<double>(kTravelSteps, position_ + 4.0 * start);
  } else {
    motion_ = Motion::Capturing;
    nextLineUs_ = timeUs_;
  }
}

// ---------------------------------------------------------------------------
// Registers
// ---------------------------------------------------------------------------
uint8_t Device::Status02() {
  uint8_t v = position_ < kHomeSensorSteps ? 0x01 : 0x00;
  if (buttonPressed_[0] || buttonLatched_[0]) v |= 0x04;
  if (buttonPressed_[1] || buttonLatched_[1]) v |= 0x08;
  buttonLatched_[0] = buttonLatched_[1] = false;  // a press shows in at least one read
  if (filmAttached_ && (regs_[0x5A] & 0x04) == 0) v |= 0x10;
  return v;
}

void Device::WriteRegister(uint8_t reg, uint8_t value) {
  Advance();
  switch (reg) {
    case 0x00:
    case 0x01:
    case 0x02:  // status and data ports: writes are ignored
      return;
    case 0x06: {
      uint8_t byte = value;
      MemoryTransfer(&byte, 1, true);
      return;
    }
    case 0x07:
      regs_[reg] = value;
      StartCommand(value);
      return;
    case 0x73:  // the marker bit can be set but only a power cycle clears it
      regs_[reg] = value & ~0x10;
      if (value & 0x10) initMarker_ = true;
      return;
    default:
      break;
  }
  if (reg >= 0x80) return;  // no such register
  regs_[reg] = value;
  if (reg == 0x04 || reg == 0x05) memoryPointer_ = static_cast<uint32_t>((regs_[0x04] & 0x3F) << 8 | regs_[0x05]);
  if (reg == 0x5B) UpdateLamps();
}

uint8_t Device::ReadRegister(uint8_t reg) {
  Advance();
  uint8_t v = 0;
  switch (reg) {
    case 0x00:
      if (!ReadImage(&v, 1)) v = 0;
      break;
    case 0x01:
      v = static_cast<uint8_t>(std::min<uint32_t>(255, unread_ / kBlockBytes));
      break;
    case 0x02:
      v = Status02();
      break;
    case 0x03:
      v = finished_ ? 0x10 : 0x00;
      break;
    case 0x06:
      if (!MemoryTransfer(&v, 1, false)) v = 0;
      break;
    case 0x07:
      v = static_cast<uint8_t>((regs_[0x07] & 0xFC) | command_);
      break;
    case 0x73:
      v = static_cast<uint8_t>(regs_[0x73] | (initMarker_ ? 0x10 : 0));
      break;
    default:
      v = reg >= 0x80 ? 0 : regs_[reg];
      break;
  }
  return v ^ registerXor_[reg];
}

bool Device::MemoryTransfer(uint8_t* data, uint32_t count, bool write) {
  const int bank = (regs_[0x03] >> 2) & 0x03;
  const int memory = regs_[0x03] & 0x03;
  if (bank > 2 || memory > 2) return false;
  const bool readDirection = (regs_[0x04] & 0x40) != 0;
  if (write == readDirection) return false;
  auto& bytes = memories_.bytes[bank][memory];
  if (memoryPointer_ + count > bytes.size()) return false;  // past the memory's end
  if (write) {
    std::memcpy(bytes.data() + memoryPointer_, data, count);
  } else {
    std::memcpy(data, bytes.data() + memoryPointer_, count);
    if (bank == corruptBank_ && memory == corruptMemory_ && corruptAddress_ >= static_cast<int>(memoryPointer_) &&
        corruptAddress_ < static_cast<int>(memoryPointer_ + count)) {
      data[corruptAddress_ - memoryPointer_] ^= 0xFF;
    }
  }
  memoryPointer_ += count;
  return true;
}

bool Device::ReadImage(uint8_t* out, uint32_t count) {
  Advance();
  if (count > unread_) return false;
  const uint32_t lineBytes = setup_.lineBytes;
  uint32_t done = 0;
  while (done < count) {
    const LineRecord& line = lines_.front();
    const uint32_t left = count - done;
    if (headOffset_ == 0 && left >= lineBytes) {  // a whole line straight into the caller's buffer
      renderer_.Render(setup_, line, out + done);
      done += lineBytes;
      lines_.pop_front();
      continue;
    }
    if (!headRendered_) {
      headLine_.resize(lineBytes);
      renderer_.Render(setup_, line, headLine_.data());
      headRendered_ = true;
    }
    const uint32_t take = std::min(left, lineBytes - headOffset_);
    std::memcpy(out + done, headLine_.data() + headOffset_, take);
    done += take;
    headOffset_ += take;
    if (headOffset_ == lineBytes) {
      lines_.pop_front();
      headOffset_ = 0;
      headRendered_ = false;
    }
  }
  unread_ -= count;
  ResumeIfDrained();
  return true;
}

// ---------------------------------------------------------------------------
// Protocol
// ---------------------------------------------------------------------------
void Device::Record(const Link& link, TrafficEntry::Op op, uint8_t reg, uint32_t count, uint8_t value) {
  if (!logging_) return;
  if (log_.size() >= kLogLimit) log_.pop_front();
  log_.push_back(TrafficEntry{timeUs_ / 1000, link.id, op, reg, count, value});
}

uint32_t Device::HandleWrite(Link& link, const uint8_t* data, size_t length) {
  Advance();
  if (length < 4) {
    Record(link, TrafficEntry::Op::Failed, 0, static_cast<uint32_t>(length), 0);
    return kStatusFailed;
  }
  const uint8_t direction = data[0];
  const uint8_t reg = data[1];
  const uint32_t count = static_cast<uint32_t>(data[2] << 8 | data[3]);
  auto fail = [&] {
    Record(link, TrafficEntry::Op::Failed, reg, count, direction);
    return kStatusFailed;
  };
  if (direction == 0x00) {
    if (count == 0 || length != 4 + count) return fail();
    if (reg == 0x06) {
      std::vector<uint8_t> bytes(data + 4, data + 4 + count);
      if (!MemoryTransfer(bytes.data(), count, true)) return fail();
      Record(link, TrafficEntry::Op::WriteStream, reg, count, data[4]);
      return kStatusOk;
    }
    if (count != 1) return fail();  // only the memory port takes a stream
    WriteRegister(reg, data[4]);
    Record(link, TrafficEntry::Op::WriteRegister, reg, 1, data[4]);
    return kStatusOk;
  }
  if (direction == 0x01) {
    if (length != 4 || count == 0) return fail();
    if (count > 1 && reg != 0x00 && reg != 0x06) return fail();  // streams come from the two data ports only
    link.readPending = true;
    link.readRegister = reg;
    link.readCount = count;
    link.powerGeneration = powerGeneration_;
    Record(link, TrafficEntry::Op::ReadHeader, reg, count, 0);
    return kStatusOk;
  }
  return fail();
}

uint32_t Device::HandleRead(Link& link, uint32_t asked, std::vector<uint8_t>* out) {
  Advance();
  out->clear();
  if (!link.readPending || link.powerGeneration != powerGeneration_) {
    link.readPending = false;
    Record(link, TrafficEntry::Op::Failed, 0, asked, 0);
    return kStatusFailed;
  }
  const uint8_t reg = link.readRegister;
  const uint32_t n = std::min(asked, link.readCount);
  out->resize(n);
  bool ok = true;
  if (n > 0) {
    if (reg == 0x00) {
      ok = ReadImage(out->data(), n);
    } else if (reg == 0x06) {
      ok = MemoryTransfer(out->data(), n, false);
    } else {
      (*out)[0] = ReadRegister(reg);
    }
  }
  if (!ok) {
    out->clear();
    Record(link, TrafficEntry::Op::Failed, reg, n, 0);
    return kStatusFailed;
  }
  link.readCount -= n;
  if (link.readCount == 0) link.readPending = false;
  Record(link, TrafficEntry::Op::ReadData, reg, n, n > 0 ? (*out)[0] : 0);
  return kStatusOk;
}

uint32_t Device::HandleControl(Link& link, const uint8_t* data, size_t length) {
  Advance();
  if (length < 4) {
    Record(link, TrafficEntry::Op::Failed, 0, 0, 0);
    return kStatusFailed;
  }
  const uint32_t code = Le32(data);
  Record(link, TrafficEntry::Op::Control, 0, code, 0);
  if (code == kIoctlResetPipe) {
    if (length != 8) return kStatusFailed;
    link.readPending = false;
    return kStatusOk;
  }
  if (code == kIoctlWriteRegisters) {
    // Offset, length, index, then the data; accepted as the vendor request
    // it is, with no effect on the model.
    if (length < 16 || length != 16 + static_cast<size_t>(Le32(data + 8))) return kStatusFailed;
    return kStatusOk;
  }
  return kStatusFailed;
}

// ---------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------
DeviceState Device::State() {
  Advance();
  DeviceState s;
  s.positionSteps = position_;
  s.atHome = position_ < kHomeSensorSteps;
  s.motion = motion_;
  s.command = command_;
  s.captureActive = captureActive_;
  s.capturePaused = paused_;
  s.finished = finished_;
  s.unreadBytes = unread_;
  s.lineBytes = setup_.lineBytes;
  s.linesProduced = linesProduced_;
  s.flatbedLampOn = flatbedLamp_.on;
  s.filmLampOn = filmLamp_.on;
  s.flatbedLight = FlatbedOutput(timeUs_);
  s.filmLight = FilmOutput(timeUs_);
  s.filmUnitAttached = filmAttached_;
  s.initMarker = initMarker_;
  s.buttons[0] = buttonPressed_[0];
  s.buttons[1] = buttonPressed_[1];
  s.nowMs = timeUs_ / 1000;
  return s;
}

}  // namespace tq5sim
