// Local stream endpoints: taking over a stale path, refusing a live one,
// time-outs, end of stream and waking a blocked reader.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "fork_child.h"
#include "platform.h"

namespace {

std::string RuntimeFile(const char* leaf) { return std::string(PlatRuntimeDirectory()) + "/" + leaf; }

TEST(Streams, ListenTakesOverOnlyAStaleEndpoint) {
  const std::string path = RuntimeFile("listen.sock");
  const int child = plattest::StartChild([&path] { return PlatListen(path.c_str()) != nullptr ? 0 : 1; });
  ASSERT_EQ(plattest::WaitChild(child), 0);  // its socket file stays behind

  PlatListener* listener = PlatListen(path.c_str());
  ASSERT_NE(listener, nullptr) << "a stale endpoint must be replaced";
  EXPECT_EQ(PlatListen(path.c_str()), nullptr) << "a served endpoint must not be taken";

  const std::string regular = RuntimeFile("regular");
  std::ofstream(regular) << "data";
  EXPECT_EQ(PlatListen(regular.c_str()), nullptr);
  EXPECT_TRUE(std::ifstream(regular).good()) << "a file that is not an endpoint must stay";

  PlatListenerClose(listener);
  EXPECT_FALSE(std::ifstream(path).good()) << "closing removes the endpoint";
  EXPECT_EQ(PlatConnect(path.c_str()), nullptr);
}

TEST(Streams, DataTimeoutsAndEndOfStream) {
  const std::string path = RuntimeFile("data.sock");
  PlatListener* listener = PlatListen(path.c_str());
  ASSERT_NE(listener, nullptr);
  EXPECT_EQ(PlatAccept(listener, 0), nullptr);  // nobody connecting
  PlatStream* client = PlatConnect(path.c_str());
  ASSERT_NE(client, nullptr);
  PlatStream* server = PlatAccept(listener, 5000);
  ASSERT_NE(server, nullptr);

  char buffer[16] = {};
  EXPECT_EQ(PlatStreamReadSome(server, buffer, sizeof buffer, 10), 0u);  // nothing sent yet
  ASSERT_TRUE(PlatStreamWriteAll(client, "hello", 5));
  EXPECT_TRUE(PlatStreamReadAll(server, buffer, 2, 5000));
  EXPECT_EQ(std::string(buffer, 2), "he");
  EXPECT_EQ(PlatStreamReadSome(server, buffer, sizeof buffer, 5000), 3u);
  EXPECT_EQ(std::string(buffer, 3), "llo");

  ASSERT_TRUE(PlatStreamWriteAll(client, "ab", 2));
  PlatStreamClose(client);
  EXPECT_FALSE(PlatStreamReadAll(server, buffer, 3, 5000)) << "the stream ended after two bytes";
  EXPECT_FALSE(PlatStreamWriteAll(server, "x", 1) && PlatStreamWriteAll(server, "y", 1))
      << "writing to a closed peer fails (and does not kill the process)";
  PlatStreamClose(server);
  PlatListenerClose(listener);
}

TEST(Streams, ShutdownWakesABlockedReader) {
  const std::string path = RuntimeFile("wake.sock");
  PlatListener* listener = PlatListen(path.c_str());
  ASSERT_NE(listener, nullptr);
  PlatStream* client = PlatConnect(path.c_str());
  PlatStream* server = PlatAccept(listener, 5000);
  ASSERT_NE(server, nullptr);
  std::atomic<bool> started{false}, done{false};
  std::thread reader([&] {
    char byte;
    started = true;
    EXPECT_FALSE(PlatStreamReadAll(server, &byte, 1, kPlatWaitForever));
    done = true;
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it block (passes either way)
  PlatStreamShutdown(server);
  reader.join();
  EXPECT_TRUE(done);
  EXPECT_FALSE(PlatStreamWriteAll(server, "x", 1));
  PlatStreamClose(server);
  PlatStreamClose(client);
  PlatListenerClose(listener);
}

}  // namespace
