// A scripted test device: serves a device node with a plain register file
// and controller memories, records every frame, and fails or garbles chosen
// calls. Used for wire-level tests of the driver's transfers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct PlatListener;
struct PlatStream;

namespace tq5test {

enum FrameKind : uint8_t { kWriteFrame = 0x01, kReadFrame = 0x02, kControlFrame = 0x03 };

struct Frame {
  uint8_t kind;
  std::vector<uint8_t> payload;  // request payload as received
};

// A register-level view of the traffic.
struct RegisterOp {
  enum Type { Write, Read, StreamWrite, StreamRead, ResetPipe, ControlWrite } type;
  uint8_t reg;
  uint32_t value;  // value written / read (single registers) or byte count (streams)
  bool operator==(const RegisterOp&) const = default;
};

// How a scripted failure answers.
enum class FailMode {
  Status,       // a well-formed reply with a nonzero status
  WrongKind,    // a reply frame of another kind
  ShortFrame,   // a header that promises more payload than is sent, then close
  Garbage,      // eight random bytes instead of a header
  Close,        // close the connection without a reply
  Overlong,     // a read reply with more bytes than were asked for
};

class ScriptedDevice {
 public:
  // Serves `path` until destroyed.
  explicit ScriptedDevice(std::string path);
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  const std::string& path() const { return path_; }

  // Register file.
  void SetRegister(uint8_t reg, uint8_t value);
  uint8_t Register(uint8_t reg);
  // Produces the value of a register read (default: the stored value). Runs
  // on the device thread with the device's lock held.
  std::function<uint8_t(uint8_t reg, uint8_t stored)> onReadRegister;
  // Sees every single-register write after it is stored.
  std::function<void(uint8_t reg, uint8_t value)> onWriteRegister;
  // Fills a stream read of the image data port 0x00 (default: zeros).
  std::function<void(uint8_t* out, uint32_t count)> onImageRead;

  // Controller memories: bank 0-2, memory 0 dark (16384), 1 white (16384),
  // 2 gamma (4096), addressed through registers 0x03-0x05, data port 0x06.
  std::vector<uint8_t>& Memory(int bank, int memory);

  // Failure script. Calls are counted per kind from 1 over the device's
  // life; FailCall makes the nth call of that kind fail (repeatable).
  void FailCall(FrameKind kind, int nth, FailMode mode = FailMode::Status);
  // Fails every call of a kind from now on (or stops doing so).
  void FailAll(FrameKind kind, bool fail, FailMode mode = FailMode::Status);
  int CallCount(FrameKind kind);

  // Traffic.
  std::vector<Frame> Frames();
  std::vector<RegisterOp> Ops();
  void ClearLog();

 private:
  void AcceptLoop();
  void Serve(PlatStream* stream);
  bool Handle(PlatStream* stream, uint8_t kind, const std::vector<uint8_t>& payload);
  bool Reply(PlatStream* stream, uint8_t kind, uint32_t status, const uint8_t* data, uint32_t length);
  bool FailReply(PlatStream* stream, uint8_t kind, FailMode mode);
  void HandleWritePacket(const std::vector<uint8_t>& packet);
  std::vector<uint8_t> ProduceRead(uint32_t count);

  std::string path_;
  PlatListener* listener_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::vector<std::thread> connections_;
  std::vector<PlatStream*> streams_;

  std::mutex mutex_;
  uint8_t registers_[256] = {};
  std::vector<uint8_t> memories_[3][3];
  uint32_t memoryCursor_ = 0;
  uint8_t pendingReadReg_ = 0;
  uint32_t pendingReadCount_ = 0;
  uint32_t lastAsked_ = 0;
  std::map<std::pair<int, int>, FailMode> failNth_;
  std::map<int, FailMode> failAll_;
  int counts_[4] = {};
  std::vector<Frame> frames_;
  std::vector<RegisterOp> ops_;
};

// A fresh private runtime directory for this test process (sets
// TQ5_RUNTIME_DIR) and a unique socket path inside it.
std::string PrivateRuntimeDirectory();
std::string UniqueSocketPath(const std::string& stem);

}  // namespace tq5test
