// The device file against a fake device node served with the platform's own
// stream endpoints: exact request frames, reply checking, recovery by a pipe
// reset, and the bounds on waiting for a device that never answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fork_child.h"
#include "platform.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(uint8_t kind, uint32_t length) {
  return {kind, 0, 0, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
}

Bytes Frame(uint8_t kind, const Bytes& payload) {
  Bytes frame = Header(kind, static_cast<uint32_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kStatusOk = {0, 0, 0, 0};

// What the fake device does with the next request.
struct Step {
  enum Kind { Reply, Close, Silent } kind = Reply;
  Bytes bytes;  // the reply, sent as it is (Reply), or before closing (Close)
};

Step ReplyWith(Bytes bytes) { return {Step::Reply, std::move(bytes)}; }
Step CloseAfter(Bytes bytes = {}) { return {Step::Close, std::move(bytes)}; }
Step StaySilent() { return {Step::Silent, {}}; }

// A device node that records every request frame and answers from a script;
// without a script step it answers every request with status 0 (and for a
// read, the bytes 0, 1, 2, ... asked for). It accepts any number of
// connections, one after the other.
class FakeDevice {
 public:
  FakeDevice() {
    static std::atomic<int> serial{0};
    path_ = std::string(PlatRuntimeDirectory()) + "/device-" + std::to_string(serial++) + ".sock";
    listener_ = PlatListen(path_.c_str());
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeDevice() {
    stop_ = true;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (current_ != nullptr) PlatStreamShutdown(current_);
    }
    thread_.join();
    PlatListenerClose(listener_);
  }
  bool listening() const { return listener_ != nullptr; }
  const char* path() const { return path_.c_str(); }
  void Script(std::vector<Step> steps) {
    std::lock_guard<std::mutex> guard(lock_);
    for (Step& step : steps) script_.push_back(std::move(step));
  }
  std::vector<Bytes> frames() {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_;
  }
  int connections() const { return connections_; }
  // Waits (real time, bounded) until `count` frames have arrived.
  bool WaitForFrames(size_t count) {
    for (int i = 0; i < 1000; ++i) {
      if (frames().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  void Serve() {
    while (!stop_) {
      PlatStream* stream = PlatAccept(listener_, 20);
      if (stream == nullptr) continue;
      {
        std::lock_guard<std::mutex> guard(lock_);
        current_ = stream;
      }
      ++connections_;
      if (stop_) PlatStreamShutdown(stream);
      while (ServeOne(stream)) {
      }
      {
        std::lock_guard<std::mutex> guard(lock_);
        current_ = nullptr;
      }
      PlatStreamClose(stream);
    }
  }

  // One request and its reply; false when the connection is done.
  bool ServeOne(PlatStream* stream) {
    uint8_t header[8];
    if (!PlatStreamReadAll(stream, header, 8, kPlatWaitForever)) return false;
    const uint32_t length = header[4] | header[5] << 8 | header[6] << 16 | static_cast<uint32_t>(header[7]) << 24;
    Bytes frame(header, header + 8);
    frame.resize(8 + length);
    if (length != 0 && !PlatStreamReadAll(stream, frame.data() + 8, length, kPlatWaitForever)) return false;
    Step step;
    {
      std::lock_guard<std::mutex> guard(lock_);
      frames_.push_back(frame);
      if (!script_.empty()) {
        step = script_.front();
        script_.pop_front();
      } else {
        step = ReplyWith(DefaultReply(frame));
      }
    }
    if (step.kind == Step::Silent) return true;
    if (!step.bytes.empty() && !PlatStreamWriteAll(stream, step.bytes.data(), step.bytes.size())) return false;
    return step.kind == Step::Reply;
  }

  static Bytes DefaultReply(const Bytes& request) {
    const uint8_t kind = request[0] | 0x80;
    if (request[0] != 0x02) return Frame(kind, kStatusOk);
    const uint32_t count = request[8] | request[9] << 8 | request[10] << 16 | static_cast<uint32_t>(request[11]) << 24;
    Bytes payload = kStatusOk;
    for (uint32_t i = 0; i < count; ++i) payload.push_back(static_cast<uint8_t>(i));
    return Frame(kind, payload);
  }

  std::string path_;
  PlatListener* listener_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::mutex lock_;
  PlatStream* current_ = nullptr;
  std::deque<Step> script_;
  std::vector<Bytes> frames_;
};

class DeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.listening());
    handle_ = PlatDeviceOpen(device_.path());
    ASSERT_NE(handle_, kPlatInvalidDevice);
  }
  void TearDown() override { PlatDeviceClose(handle_); }

  FakeDevice device_;
  PlatDeviceHandle handle_ = kPlatInvalidDevice;
};

TEST_F(DeviceTest, EveryCallSendsExactlyItsFrame) {
  device_.Script({ReplyWith(Frame(0x81, kStatusOk)), ReplyWith(Frame(0x82, Join(kStatusOk, {0x11})))});
  const uint8_t packet[] = {0x00, 0x07, 0x00, 0x01, 0x03};
  EXPECT_TRUE(PlatDeviceWrite(handle_, packet, sizeof packet));
  uint8_t value = 0;
  uint32_t received = 99;
  EXPECT_TRUE(PlatDeviceRead(handle_, &value, 1, &received));
  EXPECT_EQ(received, 1u);
  EXPECT_EQ(value, 0x11);
  EXPECT_TRUE(PlatDeviceResetPipes(handle_));
  const uint8_t zero = 0x00;
  EXPECT_TRUE(PlatDeviceControlWrite(handle_, 1, 3, &zero, 1));

  const std::vector<Bytes> expected = {
      {0x01, 0, 0, 0, 5, 0, 0, 0, 0x00, 0x07, 0x00, 0x01, 0x03},
      {0x02, 0, 0, 0, 4, 0, 0, 0, 0x01, 0x00, 0x00, 0x00},
      {0x03, 0, 0, 0, 8, 0, 0, 0, 0x1C, 0x20, 0x00, 0x80, 0x03, 0x00, 0x00, 0x00},
      {0x03, 0, 0, 0, 17, 0, 0, 0, 0x10, 0x20, 0x00, 0x80, 0x01, 0, 0, 0, 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0x00},
  };
  EXPECT_EQ(device_.frames(), expected);
  EXPECT_EQ(device_.connections(), 1);
}

TEST_F(DeviceTest, ReadReturnsTheBytesTheDeviceSent) {
  device_.Script({ReplyWith(Frame(0x82, Join(kStatusOk, {1, 2, 3})))});
  uint8_t buffer[8] = {};
  uint32_t received = 0;
  ASSERT_TRUE(PlatDeviceRead(handle_, buffer, sizeof buffer, &received));
  EXPECT_EQ(received, 3u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 3, 0}));

  // A large read arrives whole.
  Bytes big(70000);
  ASSERT_TRUE(PlatDeviceRead(handle_, big.data(), static_cast<uint32_t>(big.size()), &received));
  EXPECT_EQ(received, big.size());
  EXPECT_EQ(big[69999], static_cast<uint8_t>(69999));
}

TEST_F(DeviceTest, NonzeroStatusFailsTheCallButKeepsTheConnection) {
  const Bytes failed = {5, 0, 0, 0};
  device_.Script({ReplyWith(Frame(0x81, failed)), ReplyWith(Frame(0x82, failed)), ReplyWith(Frame(0x83, failed)),
                  ReplyWith(Frame(0x82, Join(failed, {7, 7})))});
  const uint8_t packet[] = {0x01, 0x02, 0x00, 0x01};
  EXPECT_FALSE(PlatDeviceWrite(handle_, packet, sizeof packet));
  uint8_t buffer[4] = {};
  uint32_t received = 99;
  EXPECT_FALSE(PlatDeviceRead(handle_, buffer, sizeof buffer, &received));
  EXPECT_EQ(received, 0u);
  EXPECT_FALSE(PlatDeviceResetPipes(handle_));
  EXPECT_FALSE(PlatDeviceRead(handle_, buffer, sizeof buffer, &received));  // data with a failure: still failed
  EXPECT_EQ(received, 0u);
  // The stream is still in step: the next call goes through on the same connection.
  EXPECT_TRUE(PlatDeviceWrite(handle_, packet, sizeof packet));
  EXPECT_EQ(device_.frames().size(), 5u);
  EXPECT_EQ(device_.connections(), 1);
}

struct BadReply {
  const char* name;
  bool isRead;  // the failing call: a 4-byte read, or a write
  Step step;
};

TEST(DeviceReplies, MalformedReplyFailsWithoutOverreadAndResetReconnects) {
  const std::vector<BadReply> cases = {
      {"wrong kind", true, ReplyWith(Frame(0x81, Join(kStatusOk, {1, 2, 3, 4})))},
      {"reserved byte set", true, ReplyWith(Join({0x82, 1, 0, 0, 8, 0, 0, 0}, Join(kStatusOk, {1, 2, 3, 4})))},
      {"reserved word set", true, ReplyWith(Join({0x82, 0, 0, 1, 8, 0, 0, 0}, Join(kStatusOk, {1, 2, 3, 4})))},
      {"no room for the status", true, ReplyWith(Frame(0x82, {0, 0}))},
      {"more data than asked", true, ReplyWith(Frame(0x82, Join(kStatusOk, {1, 2, 3, 4, 5})))},
      {"absurd length", true, ReplyWith(Join(Header(0x82, 0xFFFFFFFFu), kStatusOk))},
      {"data cut off", true, CloseAfter(Join(Header(0x82, 8), Join(kStatusOk, {1, 2})))},
      {"header cut off", true, CloseAfter({0x82, 0, 0})},
      {"closed without a reply", true, CloseAfter()},
      {"read reply to a write", false, ReplyWith(Frame(0x82, kStatusOk))},
      {"write reply too long", false, ReplyWith(Frame(0x81, Join(kStatusOk, {0})))},
      {"write reply too short", false, ReplyWith(Frame(0x81, {0, 0}))},
  };
  const uint8_t packet[] = {0x00, 0x07, 0x00, 0x01, 0x00};
  // Every bad reply must be recognised from what arrived, not by waiting for
  // the reply limit (set to 10 s here).
  setenv("TQ5_DEVICE_REPLY_LIMIT_MS", "10000", 1);
  for (const BadReply& bad : cases) {
    SCOPED_TRACE(bad.name);
    FakeDevice device;
    const PlatDeviceHandle handle = PlatDeviceOpen(device.path());
    ASSERT_NE(handle, kPlatInvalidDevice);
    device.Script({bad.step});
    const auto start = std::chrono::steady_clock::now();
    if (bad.isRead) {
      uint8_t buffer[16];
      std::fill(std::begin(buffer), std::end(buffer), 0xEE);
      uint32_t received = 99;
      EXPECT_FALSE(PlatDeviceRead(handle, buffer, 4, &received));
      EXPECT_EQ(received, 0u);
      EXPECT_EQ(Bytes(buffer + 4, buffer + 16), Bytes(12, 0xEE)) << "bytes past the request were written";
    } else {
      EXPECT_FALSE(PlatDeviceWrite(handle, packet, sizeof packet));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // Out of step: calls fail without reaching the device until a reset.
    EXPECT_FALSE(PlatDeviceWrite(handle, packet, sizeof packet));
    EXPECT_EQ(device.frames().size(), 1u);
    // The reset starts over on a fresh connection, and the device is usable again.
    EXPECT_TRUE(PlatDeviceResetPipes(handle));
    EXPECT_EQ(device.connections(), 2);
    EXPECT_TRUE(PlatDeviceWrite(handle, packet, sizeof packet));
    PlatDeviceClose(handle);
  }
  unsetenv("TQ5_DEVICE_REPLY_LIMIT_MS");
}

struct SilentCall {
  PlatDeviceHandle handle;
  std::atomic<int> result{-1};
  std::atomic<bool> sawTerminated{false};
};

uint32_t ReadFromSilentDevice(void* argument) {
  auto* call = static_cast<SilentCall*>(argument);
  uint8_t buffer[4];
  uint32_t received = 0;
  call->result = PlatDeviceRead(call->handle, buffer, sizeof buffer, &received) ? 1 : 0;
  call->sawTerminated = PlatThreadTerminated();
  return 7;
}

TEST_F(DeviceTest, TerminatingTheThreadEndsAWaitForASilentDevice) {
  device_.Script({StaySilent()});
  SilentCall call;
  call.handle = handle_;
  PlatThread* thread = PlatThreadCreate(ReadFromSilentDevice, &call, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(device_.WaitForFrames(1));
  uint32_t code = 0;
  ASSERT_TRUE(PlatThreadExitCode(thread, &code));
  EXPECT_EQ(code, kPlatThreadStillActive);
  // The reply limit is a minute: only the termination can end this wait in time.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(PlatThreadTerminate(thread, 250));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(call.result, 0);
  EXPECT_TRUE(call.sawTerminated);
  ASSERT_TRUE(PlatThreadExitCode(thread, &code));
  EXPECT_EQ(code, 250u);
  PlatThreadClose(thread);
}

TEST(DeviceReplies, SilentDeviceFailsTheCallAfterTheReplyLimit) {
  FakeDevice device;
  setenv("TQ5_DEVICE_REPLY_LIMIT_MS", "100", 1);
  const PlatDeviceHandle handle = PlatDeviceOpen(device.path());
  unsetenv("TQ5_DEVICE_REPLY_LIMIT_MS");
  ASSERT_NE(handle, kPlatInvalidDevice);
  device.Script({StaySilent()});
  const uint8_t packet[] = {0x01, 0x02, 0x00, 0x01};
  EXPECT_FALSE(PlatDeviceWrite(handle, packet, sizeof packet));
  EXPECT_FALSE(PlatDeviceWrite(handle, packet, sizeof packet));  // a late reply must not be taken for this one
  EXPECT_EQ(device.frames().size(), 1u);
  EXPECT_TRUE(PlatDeviceResetPipes(handle));
  EXPECT_TRUE(PlatDeviceWrite(handle, packet, sizeof packet));
  PlatDeviceClose(handle);
}

TEST(DeviceOpen, RefusesWhatIsNotALiveDeviceNode) {
  const std::string runtime = PlatRuntimeDirectory();
  const std::string regular = runtime + "/plain-file";
  std::ofstream(regular) << "not a socket";
  // A socket whose server died: the file stays, nobody listens.
  const std::string stale = runtime + "/stale.sock";
  const int child = plattest::StartChild([&stale] { return PlatListen(stale.c_str()) != nullptr ? 0 : 1; });
  ASSERT_EQ(plattest::WaitChild(child), 0);

  for (const std::string& path : {runtime + "/missing.sock", regular, runtime, stale, std::string()}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(PlatDeviceOpen(path.c_str()), kPlatInvalidDevice);
  }
  EXPECT_EQ(PlatDeviceOpen(nullptr), kPlatInvalidDevice);

  uint8_t byte = 0;
  uint32_t received = 0;
  EXPECT_FALSE(PlatDeviceWrite(kPlatInvalidDevice, &byte, 1));
  EXPECT_FALSE(PlatDeviceRead(kPlatInvalidDevice, &byte, 1, &received));
  EXPECT_FALSE(PlatDeviceResetPipes(kPlatInvalidDevice));
  EXPECT_FALSE(PlatDeviceControlWrite(kPlatInvalidDevice, 1, 3, &byte, 1));
  PlatDeviceClose(kPlatInvalidDevice);
}

}  // namespace
