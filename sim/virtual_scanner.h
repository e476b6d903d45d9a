// The virtual scanner: a model of the scanner's controller, carriage, lamps,
// sensor and film unit (see device.h, imaging.h, scene.h, layout.h), served
// on a device node, with a control channel for what a test or a user does to
// the physical scanner (buttons, film unit, power, documents, faults).
//
// Requests from all connections are served one at a time, in the order they
// arrive, under one lock. A connection that sends a malformed frame, a frame
// longer than any request can be, or closes in the middle of a frame is
// dropped; the others go on.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "layout.h"
#include "scene.h"

struct PlatListener;
struct PlatStream;

namespace tq5sim {

enum class RequestKind : uint8_t { Write = 0x01, Read = 0x02, Control = 0x03 };

// The answer to one request frame.
struct Reply {
  uint8_t kind = 0;  // request kind | 0x80
  uint32_t status = kStatusOk;
  std::vector<uint8_t> data;  // bytes read (read requests)
  bool drop = false;          // close the connection instead of answering
};

struct Counters {
  uint64_t writes = 0;
  uint64_t reads = 0;
  uint64_t controls = 0;
  uint64_t failed = 0;     // requests answered with a failure status
  uint64_t malformed = 0;  // connections dropped for a bad frame
  uint64_t dropped = 0;    // connections dropped by the drop fault
  uint64_t connections = 0;
};

class VirtualScanner {
 public:
  VirtualScanner();
  ~VirtualScanner();
  VirtualScanner(const VirtualScanner&) = delete;
  VirtualScanner& operator=(const VirtualScanner&) = delete;

  // Serves the device node at `path` (replacing a stale endpoint).
  bool Start(const std::string& path);
  // Serves the control channel: one text command a line, answered by lines
  // that end with "ok" or "error: ...".
  bool StartControl(const std::string& path);
  // Stops both servers and closes every connection.
  void Stop();

  // One request in-process, as a connection would send it. Connections are
  // numbered by NewConnection().
  Reply Handle(uint32_t connection, uint8_t kind, const uint8_t* payload, size_t length);
  uint32_t NewConnection();
  void CloseConnection(uint32_t connection);

  // An in-process connection speaking the register protocol, for tests and
  // benchmarks that do without sockets. Statuses as in the wire format.
  class Session {
   public:
    explicit Session(VirtualScanner& scanner);
    ~Session();
    uint32_t Write(const std::vector<uint8_t>& bytes);
    uint32_t Read(uint32_t count, std::vector<uint8_t>* out);
    uint32_t Control(uint32_t code, const std::vector<uint8_t>& input);
    // Convenience: the register protocol's packets.
    bool WriteRegister(uint8_t reg, uint8_t value);
    bool ReadRegister(uint8_t reg, uint8_t* value);
    bool WriteStream(uint8_t reg, const std::vector<uint8_t>& data);  // 255-byte packets
    bool ReadStream(uint8_t reg, uint32_t count, std::vector<uint8_t>* out);  // 65535-byte chunks
    bool ResetPipes();
    bool dropped() const { return dropped_; }

   private:
    VirtualScanner& scanner_;
    uint32_t id_;
    bool dropped_ = false;
  };

  // The physical scanner.
  void PressButton(int button);
  void ReleaseButton(int button);
  void AttachFilmUnit(bool attached);
  void PowerCycle();
  void LoadChart();
  void LoadDocument(Image image);
  bool LoadDocumentFile(const std::string& path, std::string* error);
  // Film in the holder; frames from `image` (600 dpi) or the chart when none.
  void LoadFilm(FilmKind kind, const Image* image = nullptr);

  // Faults. FailNth: the nth request of that kind from now (1 = the next)
  // is answered with a failure status and not carried out.
  void FailNth(RequestKind kind, uint32_t nth);
  void FailPipeResets(bool fail);
  void DropNextRequest();  // the connection that sends the next request is closed
  void StopImageData(bool stop);
  void JamCarriage(bool jammed);
  void DeadLamp(bool flatbed, bool film);
  // A lamp that warms up slowly (or quickly): see Device::SetLampWarmUp.
  bool SetLampWarmUp(double seconds, double coldLight = Device::kDefaultColdLight);
  void CorruptRegister(uint8_t reg, uint8_t xorMask);  // reads return value ^ mask
  void CorruptMemory(int bank, int memory, int address);  // that byte reads back inverted
  void ClearFaults();

  // State.
  DeviceState State();
  std::array<uint8_t, 256> Registers();
  std::vector<uint8_t> Memory(int bank, int memory);
  Counters GetCounters();
  void EnableTrafficLog(bool on);
  std::vector<TrafficEntry> TrafficLog();

  // The control channel's command language (also usable in-process).
  std::string Execute(const std::string& line);
  // Called when a control client sends "quit".
  void OnQuit(std::function<void()> callback);

  // Direct access to the model, for tests and benchmarks; take Lock() around
  // any use while servers run.
  Device& device() { return device_; }
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

 private:
  struct Connection {
    PlatStream* stream = nullptr;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  Link& LinkFor(uint32_t id);
  void AcceptLoop(PlatListener* listener, bool control);
  void ServeDevice(Connection* connection);
  void ServeControl(Connection* connection);
  void ReapFinished();

  std::mutex mutex_;  // the model and everything below
  Scene scene_;
  Device device_;
  std::map<uint32_t, Link> links_;
  uint32_t nextLink_ = 1;
  Counters counters_;
  std::array<uint64_t, 4> seen_{};    // requests per kind since start
  std::array<uint64_t, 4> failAt_{};  // fail the request of that kind with this number
  bool failResets_ = false;
  bool dropNext_ = false;
  std::function<void()> onQuit_;

  std::mutex serverMutex_;  // the listeners and connections
  PlatListener* deviceListener_ = nullptr;
  PlatListener* controlListener_ = nullptr;
  std::thread deviceAcceptor_;
  std::thread controlAcceptor_;
  std::list<Connection> connections_;
  std::atomic<bool> stopping_{false};
};

// Sends one command to a control channel and returns the reply lines
// (the final "ok" or "error: ..." line included). Empty on no connection.
std::vector<std::string> SendControlCommand(const std::string& path, const std::string& command);

}  // namespace tq5sim
