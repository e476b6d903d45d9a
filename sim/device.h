// The controller model: register file, controller memories, image memory,
// carriage and motor, lamps, buttons and film unit sense, and the register
// protocol that reaches them. The model is lazy: every entry point first
// brings the state up to the current time of the platform clock; nothing runs
// between requests.
//
// Not thread-safe: the owner (VirtualScanner) serialises all calls.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "imaging.h"
#include "scene.h"

namespace tq5sim {

constexpr uint32_t kIoctlResetPipe = 0x8000201Cu;
constexpr uint32_t kIoctlWriteRegisters = 0x80002010u;

// Status of a request: 0 succeeded, anything else failed.
constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusFailed = 1;

// One connection's protocol state: a read header waits for its ReadFile.
struct Link {
  uint32_t id = 0;
  bool readPending = false;
  uint8_t readRegister = 0;
  uint32_t readCount = 0;
  uint64_t powerGeneration = 0;  // a power cycle forgets pending reads
};

struct TrafficEntry {
  enum class Op : uint8_t { WriteRegister, WriteStream, ReadHeader, ReadData, Control, Failed };
  uint64_t timeMs = 0;
  uint32_t connection = 0;
  Op op = Op::Failed;
  uint8_t reg = 0;
  uint32_t count = 0;  // bytes (or the control code for Control)
  uint8_t value = 0;   // single-register value, first byte of a stream
};

enum class Motion { Idle, LeavingHome, ReturningHome, Feeding, Capturing };

struct DeviceState {
  double positionSteps = 0;
  bool atHome = false;
  Motion motion = Motion::Idle;
  uint8_t command = 0;  // command in force (what register 0x07 reports in bits 0-1)
  bool captureActive = false;
  bool capturePaused = false;
  bool finished = false;  // register 0x03 bit 4
  uint32_t unreadBytes = 0;
  uint32_t lineBytes = 0;
  uint64_t linesProduced = 0;
  bool flatbedLampOn = false;
  bool filmLampOn = false;
  double flatbedLight = 0;  // current lamp output (1.0 = warm, full duty)
  double filmLight = 0;
  bool filmUnitAttached = false;
  bool initMarker = false;
  bool buttons[2] = {false, false};
  uint64_t nowMs = 0;
};

class Device {
 public:
  explicit Device(Scene* scene);

  // Register protocol.
  uint32_t HandleWrite(Link& link, const uint8_t* data, size_t length);
  uint32_t HandleRead(Link& link, uint32_t asked, std::vector<uint8_t>* out);
  uint32_t HandleControl(Link& link, const uint8_t* data, size_t length);

  // Register level, as the controller sees it (used by the protocol and by
  // tests and benchmarks that drive the model directly).
  void WriteRegister(uint8_t reg, uint8_t value);
  uint8_t ReadRegister(uint8_t reg);
  // Image data port: false (nothing read) when fewer bytes are waiting.
  bool ReadImage(uint8_t* out, uint32_t count);

  // Physical world.
  void SetButton(int button, bool pressed);  // 1 or 2
  void SetFilmUnitAttached(bool attached);
  void PowerCycle();
  void SceneChanged();  // the document or film changed

  // Faults.
  void SetStopImageData(bool stop) { stopData_ = stop; }
  void SetJammed(bool jammed) { jammed_ = jammed; }
  void SetDeadLamp(bool flatbed, bool film);
  // How both lamps warm up: the time constant in seconds (0.01-3600) and
  // the light of a cold lamp against a warm one (0.05-1). False, and
  // nothing changed, outside those ranges.
  static constexpr double kDefaultWarmUpSeconds = 1.5;
  static constexpr double kDefaultColdLight = 0.75;
  bool SetLampWarmUp(double seconds, double coldLight);
  void SetCorruptRegister(uint8_t reg, uint8_t xorMask) { registerXor_[reg] = xorMask; }
  void SetCorruptMemory(int bank, int memory, int address);  // address < 0 clears
  void ClearModelFaults();

  // State.
  DeviceState State();
  std::array<uint8_t, 256> Registers() const { return regs_; }
  const std::vector<uint8_t>& Memory(int bank, int memory) const { return memories_.bytes[bank][memory]; }
  const CaptureSetup& Setup() const { return setup_; }

  void EnableLog(bool on) { logging_ = on; }
  std::vector<TrafficEntry> Log() const { return {log_.begin(), log_.end()}; }
  void ClearLog() { log_.clear(); }

  // The clock in microseconds (default: the platform clock).
  void SetClock(std::function<uint64_t()> clockUs) { clockUs_ = std::move(clockUs); }
  void Advance();

 private:
  struct Lamp {
    bool on = false;
    double warmth = 0;  // 0 cold .. 1 warm
    uint64_t sinceUs = 0;
    double warmUpSeconds = kDefaultWarmUpSeconds;  // time constant of warming up
    double coldLight = kDefaultColdLight;          // light of a cold lamp, 1.0 = warm
    double WarmthAt(uint64_t t) const;
    double OutputAt(uint64_t t) const { return on ? coldLight + (1.0 - coldLight) * WarmthAt(t) : 0.0; }
    void Switch(bool newOn, uint64_t t);
    void SetWarmUp(double seconds, double cold, uint64_t t);
  };

  void AdvanceTo(uint64_t nowUs);
  void ProduceLines(uint64_t nowUs);
  void Arrive();
  void StartCommand(uint8_t value);
  void StartCapture();
  void ResumeIfDrained();
  void UpdateLamps();
  double FlatbedOutput(uint64_t t) const;
  double FilmOutput(uint64_t t) const;
  uint8_t Status02();
  bool MemoryTransfer(uint8_t* data, uint32_t count, bool write);
  void Record(const Link& link, TrafficEntry::Op op, uint8_t reg, uint32_t count, uint8_t value);
  uint64_t NowUs() const { return clockUs_(); }

  Scene* scene_;
  LineRenderer renderer_;
  std::function<uint64_t()> clockUs_;
  uint64_t timeUs_ = 0;

  std::array<uint8_t, 256> regs_{};
  bool initMarker_ = false;
  ControllerMemories memories_;
  uint32_t memoryPointer_ = 0;
  uint64_t powerGeneration_ = 0;

  // Carriage and capture.
  Motion motion_ = Motion::Idle;
  double position_ = 0;
  double target_ = 0;
  uint8_t command_ = 0;
  bool captureActive_ = false;
  bool captureMotor_ = false;
  bool paused_ = false;
  bool ended_ = false;
  bool finished_ = false;
  double stepsPerLine_ = 0;
  double linePeriodUs_ = 0;
  uint64_t nextLineUs_ = 0;
  uint32_t thresholdBytes_ = 0;
  CaptureSetup setup_;

  // Image memory: lines taken but not yet read; the first may be partly read.
  std::deque<LineRecord> lines_;
  uint32_t unread_ = 0;
  uint32_t headOffset_ = 0;
  bool headRendered_ = false;
  std::vector<uint8_t> headLine_;
  uint32_t seed_ = 1;
  uint64_t linesProduced_ = 0;

  Lamp flatbedLamp_;
  Lamp filmLamp_;
  bool buttonPressed_[2] = {false, false};
  bool buttonLatched_[2] = {false, false};
  bool filmAttached_ = false;

  // Faults.
  bool stopData_ = false;
  bool jammed_ = false;
  bool deadFlatbed_ = false;
  bool deadFilm_ = false;
  std::array<uint8_t, 256> registerXor_{};
  int corruptBank_ = -1, corruptMemory_ = -1, corruptAddress_ = -1;

  bool logging_ = false;
  std::deque<TrafficEntry> log_;
};

}  // namespace tq5sim
