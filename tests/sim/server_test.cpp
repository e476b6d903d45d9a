// The device node: the wire format, several connections at once, and
// connections that misbehave or are failed on purpose.
#include <thread>

#include "sim_fixture.h"

namespace simtest {
namespace {

using Bytes = std::vector<uint8_t>;

// A raw client of the device node.
class Client {
 public:
  explicit Client(const std::string& path) : stream_(PlatConnect(path.c_str())) {}
  ~Client() {
    if (stream_ != nullptr) PlatStreamClose(stream_);
  }
  bool connected() const { return stream_ != nullptr; }
  bool Send(const Bytes& bytes) { return PlatStreamWriteAll(stream_, bytes.data(), bytes.size()); }
  bool Frame(uint8_t kind, const Bytes& payload) {
    Bytes f{kind, 0, 0, 0};
    const auto n = static_cast<uint32_t>(payload.size());
    for (int k = 0; k < 4; ++k) f.push_back(static_cast<uint8_t>(n >> (8 * k)));
    f.insert(f.end(), payload.begin(), payload.end());
    return Send(f);
  }
  // The whole reply frame, or empty when the connection ended.
  Bytes Reply() {
    Bytes header(8);
    if (!PlatStreamReadAll(stream_, header.data(), 8, 5000)) return {};
    const uint32_t n = header[4] | header[5] << 8 | header[6] << 16 | static_cast<uint32_t>(header[7]) << 24;
    Bytes body(n);
    if (n > 0 && !PlatStreamReadAll(stream_, body.data(), n, 5000)) return {};
    header.insert(header.end(), body.begin(), body.end());
    return header;
  }
  uint32_t Status(const Bytes& reply) { return reply.size() >= 12 ? reply[8] | reply[9] << 8 : 0xFFFFFFFF; }
  // One register read: two requests.
  bool ReadRegister(uint8_t reg, uint8_t* value) {
    if (!Frame(0x01, {0x01, reg, 0x00, 0x01}) || Status(Reply()) != 0) return false;
    if (!Frame(0x02, {1, 0, 0, 0})) return false;
    const Bytes r = Reply();
    if (Status(r) != 0 || r.size() != 13) return false;
    *value = r[12];
    return true;
  }
  bool WriteRegister(uint8_t reg, uint8_t value) {
    return Frame(0x01, {0x00, reg, 0x00, 0x01, value}) && Status(Reply()) == 0;
  }

 private:
  PlatStream* stream_;
};

class Server : public SimTest {
 protected:
  void SetUp() override { ASSERT_TRUE(scanner->Start(path)); }
  TempDir dir;
  std::string path = dir.File("scanner.sock");
};

TEST_F(Server, AnswersTheWireFormatsExample) {
  scanner->AttachFilmUnit(true);  // status 0x11: home sensor and film unit
  Client c(path);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.Send({0x01, 0, 0, 0, 0x04, 0, 0, 0, 0x01, 0x02, 0x00, 0x01}));
  EXPECT_EQ(c.Reply(), (Bytes{0x81, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(c.Send({0x02, 0, 0, 0, 0x04, 0, 0, 0, 0x01, 0, 0, 0}));
  EXPECT_EQ(c.Reply(), (Bytes{0x82, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x11}));
  // The driver's vendor control write.
  ASSERT_TRUE(c.Frame(0x03, {0x10, 0x20, 0x00, 0x80, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0}));
  EXPECT_EQ(c.Reply(), (Bytes{0x83, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0}));
}

struct BadFrame {
  const char* name;
  Bytes bytes;
  bool thenClose;
};

TEST_F(Server, AMisbehavingConnectionIsDroppedAndTheOthersGoOn) {
  const std::vector<BadFrame> cases = {
      {"reserved byte set", {0x01, 1, 0, 0, 4, 0, 0, 0, 1, 2, 0, 1}, false},
      {"unknown kind", {0x07, 0, 0, 0, 0, 0, 0, 0}, false},
      {"huge length", {0x01, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}, false},
      {"closed inside the payload", {0x01, 0, 0, 0, 100, 0, 0, 0, 1, 2}, true},
      {"closed inside the header", {0x01, 0, 0}, true},
  };
  Client good(path);
  ASSERT_TRUE(good.WriteRegister(0x10, 0x42));
  for (const auto& c : cases) {
    {
      Client bad(path);
      ASSERT_TRUE(bad.connected());
      ASSERT_TRUE(bad.Send(c.bytes));
      if (!c.thenClose) {
        EXPECT_TRUE(bad.Reply().empty()) << c.name << ": connection should be closed";
      }
    }
    uint8_t v = 0;
    EXPECT_TRUE(good.ReadRegister(0x10, &v)) << c.name;
    EXPECT_EQ(v, 0x42) << c.name;
  }
  EXPECT_EQ(scanner->GetCounters().malformed, 3u);
}

TEST_F(Server, ConnectionsAreServedTogetherEachInItsOwnOrder) {
  constexpr int kClients = 4, kRounds = 200;
  std::vector<std::thread> threads;
  std::vector<int> errors(kClients, 0);
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      Client c(path);
      const auto reg = static_cast<uint8_t>(0x10 + t);
      for (int i = 0; i < kRounds; ++i) {
        uint8_t v = 0;
        if (!c.WriteRegister(reg, static_cast<uint8_t>(i)) || !c.ReadRegister(reg, &v) || v != static_cast<uint8_t>(i)) {
          ++errors[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kClients; ++t) EXPECT_EQ(errors[t], 0) << "client " << t;
  EXPECT_GE(scanner->GetCounters().connections, static_cast<uint64_t>(kClients));
}

TEST_F(Server, NthRequestOfAKindFailsOnceAndIsNotCarriedOut) {
  Client c(path);
  scanner->FailNth(tq5sim::RequestKind::Write, 2);
  EXPECT_TRUE(c.WriteRegister(0x10, 1));
  EXPECT_FALSE(c.WriteRegister(0x10, 2));  // failed: not written
  uint8_t v = 0;
  EXPECT_TRUE(c.ReadRegister(0x10, &v));
  EXPECT_EQ(v, 1);

  scanner->FailNth(tq5sim::RequestKind::Read, 1);
  EXPECT_FALSE(c.ReadRegister(0x10, &v));
  EXPECT_TRUE(c.ReadRegister(0x10, &v));

  scanner->FailNth(tq5sim::RequestKind::Control, 1);
  ASSERT_TRUE(c.Frame(0x03, {0x1C, 0x20, 0x00, 0x80, 3, 0, 0, 0}));
  EXPECT_NE(c.Status(c.Reply()), 0u);
  ASSERT_TRUE(c.Frame(0x03, {0x1C, 0x20, 0x00, 0x80, 3, 0, 0, 0}));
  EXPECT_EQ(c.Status(c.Reply()), 0u);
}

TEST_F(Server, PipeResetsCanBeMadeToFail) {
  Client c(path);
  scanner->FailPipeResets(true);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.Frame(0x03, {0x1C, 0x20, 0x00, 0x80, 3, 0, 0, 0}));
    EXPECT_NE(c.Status(c.Reply()), 0u);
  }
  ASSERT_TRUE(c.Frame(0x03, {0x10, 0x20, 0x00, 0x80, 1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0}));
  EXPECT_EQ(c.Status(c.Reply()), 0u);  // other control requests still work
  scanner->FailPipeResets(false);
  ASSERT_TRUE(c.Frame(0x03, {0x1C, 0x20, 0x00, 0x80, 3, 0, 0, 0}));
  EXPECT_EQ(c.Status(c.Reply()), 0u);
}

TEST_F(Server, DropFaultClosesOnlyTheConnectionThatAsksNext) {
  Client a(path), b(path);
  ASSERT_TRUE(a.WriteRegister(0x10, 7));
  scanner->DropNextRequest();
  ASSERT_TRUE(a.Frame(0x01, {0x00, 0x10, 0x00, 0x01, 8}));
  EXPECT_TRUE(a.Reply().empty());
  uint8_t v = 0;
  EXPECT_TRUE(b.ReadRegister(0x10, &v));
  EXPECT_EQ(v, 7);
  Client again(path);
  EXPECT_TRUE(again.ReadRegister(0x10, &v));
}

TEST_F(Server, StopClosesConnectionsAndRemovesTheNode) {
  Client c(path);
  uint8_t v = 0;
  ASSERT_TRUE(c.ReadRegister(0x02, &v));
  scanner->Stop();
  EXPECT_FALSE(c.ReadRegister(0x02, &v));
  EXPECT_FALSE(std::filesystem::exists(path));
  Client late(path);
  EXPECT_FALSE(late.connected());
}

}  // namespace
}  // namespace simtest
