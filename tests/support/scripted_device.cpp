#include "scripted_device.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include "platform.h"

namespace tq5test {

namespace {

constexpr uint32_t kResetPipeCode = 0x8000201C;
constexpr uint32_t kWriteRegistersCode = 0x80002010;
constexpr uint32_t kMaxPayload = 1u << 20;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

ScriptedDevice::ScriptedDevice(std::string path) : path_(std::move(path)) {
  memories_[0][0].resize(16384);
  for (auto& bank : memories_) {
    bank[0].assign(16384, 0);
    bank[1].assign(16384, 0);
    bank[2].assign(4096, 0);
  }
  listener_ = PlatListen(path_.c_str());
  if (listener_ == nullptr) std::abort();
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedDevice::~ScriptedDevice() {
  stopping_ = true;
  acceptThread_.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (PlatStream* s : streams_) PlatStreamShutdown(s);
  }
  for (auto& t : connections_) t.join();
  for (PlatStream* s : streams_) PlatStreamClose(s);
  PlatListenerClose(listener_);
}

void ScriptedDevice::AcceptLoop() {
  while (!stopping_) {
    PlatStream* stream = PlatAccept(listener_, 20);
    if (stream == nullptr) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.push_back(stream);
    connections_.emplace_back([this, stream] { Serve(stream); });
  }
}

void ScriptedDevice::Serve(PlatStream* stream) {
  for (;;) {
    uint8_t header[8];
    if (!PlatStreamReadAll(stream, header, 8, kPlatWaitForever)) return;
    const uint32_t length = Le32(header + 4);
    if (length > kMaxPayload) return;
    std::vector<uint8_t> payload(length);
    if (length > 0 && !PlatStreamReadAll(stream, payload.data(), length, kPlatWaitForever)) return;
    if (!Handle(stream, header[0], payload)) {
      PlatStreamShutdown(stream);
      return;
    }
  }
}

bool ScriptedDevice::Reply(PlatStream* stream, uint8_t kind, uint32_t status, const uint8_t* data,
                           uint32_t length) {
  std::vector<uint8_t> frame(12 + length);
  frame[0] = kind;
  PutLe32(&frame[4], 4 + length);
  PutLe32(&frame[8], status);
  if (length > 0) std::memcpy(&frame[12], data, length);
  return PlatStreamWriteAll(stream, frame.data(), frame.size());
}

bool ScriptedDevice::FailReply(PlatStream* stream, uint8_t kind, FailMode mode) {
  switch (mode) {
    case FailMode::Status:
      return Reply(stream, static_cast<uint8_t>(kind | 0x80), 1, nullptr, 0);
    case FailMode::WrongKind:
      return Reply(stream, static_cast<uint8_t>(kind == 1 ? 0x82 : 0x81), 0, nullptr, 0);
    case FailMode::ShortFrame: {
      uint8_t frame[10] = {static_cast<uint8_t>(kind | 0x80), 0, 0, 0, 100, 0, 0, 0, 0, 0};
      PlatStreamWriteAll(stream, frame, sizeof frame);
      return false;
    }
    case FailMode::Garbage: {
      std::mt19937 random(static_cast<uint32_t>(counts_[kind]));
      uint8_t frame[8];
      for (auto& b : frame) b = static_cast<uint8_t>(random() | 0x40);
      PlatStreamWriteAll(stream, frame, sizeof frame);
      return true;
    }
    case FailMode::Close:
      return false;
    case FailMode::Overlong: {
      std::vector<uint8_t> data(lastAsked_ + 8, 0xAB);
      return Reply(stream, static_cast<uint8_t>(kind | 0x80), 0, data.data(), static_cast<uint32_t>(data.size()));
    }
  }
  return false;
}

bool ScriptedDevice::Handle(PlatStream* stream, uint8_t kind, const std::vector<uint8_t>& payload) {
  std::unique_lock<std::mutex> lock(mutex_);
  frames_.push_back(Frame{kind, payload});
  if (kind < 1 || kind > 3) return false;
  const int n = ++counts_[kind];
  std::optional<FailMode> fail;
  if (auto it = failNth_.find({kind, n}); it != failNth_.end()) fail = it->second;
  if (auto it = failAll_.find(kind); it != failAll_.end()) fail = it->second;
  if (kind == kReadFrame && payload.size() == 4) lastAsked_ = Le32(payload.data());
  if (fail) {
    const FailMode mode = *fail;
    lock.unlock();
    return FailReply(stream, kind, mode);
  }
  switch (kind) {
    case kWriteFrame: {
      HandleWritePacket(payload);
      lock.unlock();
      return Reply(stream, 0x81, 0, nullptr, 0);
    }
    case kReadFrame: {
      if (payload.size() != 4) return false;
      const uint32_t asked = Le32(payload.data());
      std::vector<uint8_t> data = ProduceRead(asked);
      lock.unlock();
      return Reply(stream, 0x82, 0, data.data(), static_cast<uint32_t>(data.size()));
    }
    default: {
      if (payload.size() < 4) return false;
      const uint32_t code = Le32(payload.data());
      if (code == kResetPipeCode) {
        ops_.push_back({RegisterOp::ResetPipe, 0, payload.size() >= 8 ? Le32(&payload[4]) : 0});
      } else if (code == kWriteRegistersCode && payload.size() >= 16) {
        ops_.push_back({RegisterOp::ControlWrite, static_cast<uint8_t>(Le32(&payload[4])), Le32(&payload[12])});
      }
      lock.unlock();
      return Reply(stream, 0x83, 0, nullptr, 0);
    }
  }
}

void ScriptedDevice::HandleWritePacket(const std::vector<uint8_t>& packet) {
  if (packet.size() < 4) return;
  const uint8_t direction = packet[0];
  const uint8_t reg = packet[1];
  const uint32_t count = static_cast<uint32_t>(packet[2]) << 8 | packet[3];
  if (direction == 0x01) {
    pendingReadReg_ = reg;
    pendingReadCount_ = count;
    return;
  }
  const uint8_t* data = packet.data() + 4;
  const uint32_t available = static_cast<uint32_t>(packet.size() - 4);
  if (count == 1 && available == 1 && reg != 0x06) {
    registers_[reg] = data[0];
    ops_.push_back({RegisterOp::Write, reg, data[0]});
    if (reg == 0x04 || reg == 0x05) memoryCursor_ = static_cast<uint32_t>(registers_[0x04] & 0x3F) << 8 | registers_[0x05];
    if (onWriteRegister) onWriteRegister(reg, data[0]);
    return;
  }
  ops_.push_back({RegisterOp::StreamWrite, reg, available});
  if (reg == 0x06) {
    const int bank = (registers_[0x03] >> 2) & 3, memory = registers_[0x03] & 3;
    if (bank > 2 || memory > 2) return;
    auto& target = memories_[bank][memory];
    for (uint32_t i = 0; i < available && memoryCursor_ < target.size(); ++i) target[memoryCursor_++] = data[i];
  }
}

std::vector<uint8_t> ScriptedDevice::ProduceRead(uint32_t count) {
  std::vector<uint8_t> data(count, 0);
  const uint8_t reg = pendingReadReg_;
  if (reg == 0x00 || reg == 0x06 || pendingReadCount_ > 1) {
    ops_.push_back({RegisterOp::StreamRead, reg, count});
    if (reg == 0x00 && onImageRead) {
      onImageRead(data.data(), count);
    } else if (reg == 0x06) {
      const int bank = (registers_[0x03] >> 2) & 3, memory = registers_[0x03] & 3;
      if (bank <= 2 && memory <= 2) {
        auto& source = memories_[bank][memory];
        for (uint32_t i = 0; i < count && memoryCursor_ < source.size(); ++i) data[i] = source[memoryCursor_++];
      }
    }
    return data;
  }
  uint8_t value = registers_[reg];
  if (onReadRegister) value = onReadRegister(reg, value);
  if (count > 0) data[0] = value;
  ops_.push_back({RegisterOp::Read, reg, value});
  return data;
}

void ScriptedDevice::SetRegister(uint8_t reg, uint8_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  registers_[reg] = value;
}
uint8_t ScriptedDevice::Register(uint8_t reg) {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_[reg];
}
std::vector<uint8_t>& ScriptedDevice::Memory(int bank, int memory) { return memories_[bank][memory]; }

void ScriptedDevice::FailCall(FrameKind kind, int nth, FailMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  failNth_[{kind, nth}] = mode;
}
void ScriptedDevice::FailAll(FrameKind kind, bool fail, FailMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fail)
    failAll_[kind] = mode;
  else
    failAll_.erase(kind);
}
int ScriptedDevice::CallCount(FrameKind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_[kind];
}
std::vector<Frame> ScriptedDevice::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}
std::vector<RegisterOp> ScriptedDevice::Ops() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ops_;
}
void ScriptedDevice::ClearLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.clear();
  ops_.clear();
}

std::string PrivateRuntimeDirectory() {
  static std::string dir = [] {
    char pattern[] = "/tmp/tq5-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    setenv("TQ5_RUNTIME_DIR", made, 1);
    return std::string(made);
  }();
  return dir;
}

std::string UniqueSocketPath(const std::string& stem) {
  static std::atomic<int> counter{0};
  return PrivateRuntimeDirectory() + "/" + stem + "-" + std::to_string(counter++) + ".sock";
}

}  // namespace tq5test
