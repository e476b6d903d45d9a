// Window messages: registered numbers, finding a window by class and title,
// broadcasting to windows of other processes, and windows of dead processes.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fork_child.h"
#include "platform.h"

namespace {

constexpr const char* kUtility = "Tarnik Q5U Energy Star";

TEST(WindowMessages, RegisteredNumbersAreStableAndInTheirRange) {
  const uint32_t message = PlatRegisterWindowMessage(kUtility);
  EXPECT_GE(message, 0xC000u);
  EXPECT_LE(message, 0xFFFFu);
  EXPECT_EQ(PlatRegisterWindowMessage(kUtility), message);
  EXPECT_EQ(PlatRegisterWindowMessage("TARNIK q5u energy star"), message) << "names ignore case";
  EXPECT_NE(PlatRegisterWindowMessage("Shell_TrayWnd"), message);
  EXPECT_EQ(PlatRegisterWindowMessage(""), 0u);
  EXPECT_EQ(PlatRegisterWindowMessage(nullptr), 0u);
}

TEST(WindowMessages, FindByClassAndTitle) {
  EXPECT_EQ(PlatFindWindow(kUtility, kUtility), 0u);
  PlatWindow* window = PlatWindowCreate(kUtility, kUtility);
  ASSERT_NE(window, nullptr);
  PlatWindow* tray = PlatWindowCreate("Shell_TrayWnd", nullptr);
  ASSERT_NE(tray, nullptr);

  const PlatWindowId found = PlatFindWindow(kUtility, kUtility);
  EXPECT_NE(found, 0u);
  EXPECT_EQ(PlatFindWindow(kUtility, nullptr), found) << "class alone";
  EXPECT_EQ(PlatFindWindow("tarnik q5u energy star", kUtility), found) << "class ignores case";
  EXPECT_EQ(PlatFindWindow(kUtility, "Other title"), 0u);
  EXPECT_EQ(PlatFindWindow("Other class", kUtility), 0u);
  const PlatWindowId trayId = PlatFindWindow("Shell_TrayWnd", nullptr);
  EXPECT_NE(trayId, 0u);
  EXPECT_NE(trayId, found);
  EXPECT_NE(PlatFindWindow("Shell_TrayWnd", ""), 0u) << "a window created without a title has an empty one";

  PlatWindowDestroy(window);
  EXPECT_EQ(PlatFindWindow(kUtility, kUtility), 0u);
  PlatWindowDestroy(tray);
  EXPECT_EQ(PlatFindWindow("Shell_TrayWnd", nullptr), 0u);
}

TEST(WindowMessages, ReceiveWaitsForABroadcast) {
  PlatWindow* window = PlatWindowCreate(kUtility, kUtility);
  ASSERT_NE(window, nullptr);
  uint32_t message = 0;
  uintptr_t wParam = 0, lParam = 0;
  EXPECT_FALSE(PlatWindowReceive(window, &message, &wParam, &lParam, 10));
  ASSERT_TRUE(PlatBroadcastMessage(0xC123, 7, ~uintptr_t{0}));
  ASSERT_TRUE(PlatWindowReceive(window, &message, &wParam, &lParam, 5000));
  EXPECT_EQ(message, 0xC123u);
  EXPECT_EQ(wParam, 7u);
  EXPECT_EQ(lParam, ~uintptr_t{0});
  EXPECT_FALSE(PlatWindowReceive(window, &message, &wParam, &lParam, 0)) << "one post, one message";
  PlatWindowDestroy(window);
}

TEST(WindowMessages, AnotherProcessPlaysTheUtilityAndReceives) {
  const uint32_t activity = PlatRegisterWindowMessage(kUtility);
  plattest::Rendezvous ready("window-ready");
  const int child = plattest::StartChild([&ready] {
    PlatWindow* window = PlatWindowCreate(kUtility, kUtility);
    if (window == nullptr) return 1;
    ready.Signal();
    uint32_t message = 0;
    uintptr_t wParam = 1, lParam = 1;
    if (!PlatWindowReceive(window, &message, &wParam, &lParam, 10000)) return 2;
    PlatWindowDestroy(window);
    // The child registers the name itself: the same number must arrive.
    return message == PlatRegisterWindowMessage(kUtility) && wParam == 0 && lParam == 0 ? 0 : 3;
  });
  ASSERT_EQ(ready.Wait(), 1);
  EXPECT_NE(PlatFindWindow(kUtility, kUtility), 0u);
  EXPECT_TRUE(PlatBroadcastMessage(activity, 0, 0));
  EXPECT_EQ(plattest::WaitChild(child), 0);
  EXPECT_EQ(PlatFindWindow(kUtility, kUtility), 0u) << "destroyed with its process";
}

TEST(WindowMessages, AWindowOfAKilledProcessIsNotFound) {
  plattest::Rendezvous ready("window-killed");
  const int child = plattest::StartChild([&ready] {
    if (PlatWindowCreate(kUtility, kUtility) == nullptr) return 1;
    ready.Signal();
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  });
  ASSERT_EQ(ready.Wait(), 1);
  EXPECT_NE(PlatFindWindow(kUtility, nullptr), 0u);
  plattest::KillChild(child);
  EXPECT_EQ(PlatFindWindow(kUtility, nullptr), 0u);
  EXPECT_TRUE(PlatBroadcastMessage(0xC000, 0, 0)) << "nobody to post to is no failure";
}

}  // namespace
