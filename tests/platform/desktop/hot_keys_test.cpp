// Global hot keys without an X server: registrations kept in the program and
// pressed through the test hook, and registration failing quietly when the
// application has no X server (Qt's offscreen platform).
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/desktop/hot_keys.h"
#include "platform/desktop/hot_keys_testing.h"
#include "tests/support/framework_test_app.h"
#include "tests/support/stderr_capture.h"

namespace {

constexpr UInt32 kControlOption = controlKey | optionKey;
constexpr EventHotKeyID kPort0 = {0x50434831, 1};
constexpr EventHotKeyID kPort1 = {0x50434832, 2};

struct Press {
  EventTargetRef target;
  UInt32 kind;
  EventHotKeyID id;
};

class HotKeysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::useSimulatedHotKeys(true);
    Listen(GetApplicationEventTarget());
  }
  void TearDown() override {
    for (EventHotKeyRef ref : refs_) UnregisterEventHotKey(ref);
    platform::drainMainQueue();
    for (Listener& listener : listeners_) RemoveEventHandler(listener.handler);
    platform::useSimulatedHotKeys(false);
    ASSERT_TRUE(platform::registeredHotKeys().empty());
  }

  void Listen(EventTargetRef target) {
    static const EventTypeSpec types[] = {{kEventClassKeyboard, kEventHotKeyPressed}};
    listeners_.push_back({this, target, nullptr});
    InstallEventHandler(target, Record, 1, types, &listeners_.back(), &listeners_.back().handler);
  }

  static OSStatus Record(EventHandlerCallRef, EventRef event, void* data) {
    auto* listener = static_cast<Listener*>(data);
    Press press{listener->target, GetEventKind(event), {}};
    EXPECT_EQ(noErr, GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr,
                                       sizeof press.id, nullptr, &press.id));
    listener->test->presses_.push_back(press);
    return noErr;
  }

  EventHotKeyRef Register(UInt32 code, EventHotKeyID id, UInt32 modifiers = kControlOption,
                          EventTargetRef target = GetApplicationEventTarget()) {
    EventHotKeyRef ref = nullptr;
    EXPECT_EQ(noErr, RegisterEventHotKey(code, modifiers, id, target, 0, &ref));
    EXPECT_NE(nullptr, ref);
    if (ref) refs_.push_back(ref);
    return ref;
  }

  struct Listener {
    HotKeysTest* test;
    EventTargetRef target;
    EventHandlerRef handler;
  };
  std::vector<EventHotKeyRef> refs_;
  std::deque<Listener> listeners_;
  std::vector<Press> presses_;
};

TEST_F(HotKeysTest, PressReachesTheApplicationThroughTheMainQueueWithItsIdentifier) {
  Register(18, kPort0);
  Register(19, kPort1);

  ASSERT_EQ(2u, platform::registeredHotKeys().size());
  EXPECT_EQ(18u, platform::registeredHotKeys()[0].code);
  EXPECT_EQ(0x1800u, platform::registeredHotKeys()[0].modifiers);
  EXPECT_EQ(2u, platform::registeredHotKeys()[1].id.id);

  EXPECT_TRUE(platform::simulateHotKeyPress(19, kControlOption));
  EXPECT_TRUE(presses_.empty());  // posted, not sent
  platform::drainMainQueue();
  ASSERT_EQ(1u, presses_.size());
  EXPECT_EQ(GetApplicationEventTarget(), presses_[0].target);
  EXPECT_EQ(kEventHotKeyPressed, presses_[0].kind);
  EXPECT_EQ(0x50434832u, presses_[0].id.signature);
  EXPECT_EQ(2u, presses_[0].id.id);
}

TEST_F(HotKeysTest, PressGoesToTheTargetGivenAtRegistration) {
  EventTargetRef window = platform::newEventTarget(GetApplicationEventTarget());
  Listen(window);
  Register(18, kPort0, kControlOption, window);
  platform::simulateHotKeyPress(18, kControlOption);
  platform::drainMainQueue();
  // The window's handler took it; the application's saw nothing.
  ASSERT_EQ(1u, presses_.size());
  EXPECT_EQ(window, presses_[0].target);
  EXPECT_EQ(1u, presses_[0].id.id);
  RemoveEventHandler(listeners_.back().handler);
  listeners_.pop_back();
  platform::disposeEventTarget(window);
}

TEST_F(HotKeysTest, OnlyTheRegisteredCombinationIsAHotKey) {
  Register(18, kPort0);
  EXPECT_FALSE(platform::simulateHotKeyPress(18, controlKey));
  EXPECT_FALSE(platform::simulateHotKeyPress(18, kControlOption | shiftKey));
  EXPECT_FALSE(platform::simulateHotKeyPress(19, kControlOption));
  platform::drainMainQueue();
  EXPECT_TRUE(presses_.empty());
}

TEST_F(HotKeysTest, UnregisteringReleasesTheKeyOnce) {
  EventHotKeyRef first = Register(18, kPort0);
  EXPECT_EQ(noErr, UnregisterEventHotKey(first));
  refs_.clear();
  EXPECT_FALSE(platform::simulateHotKeyPress(18, kControlOption));
  EXPECT_TRUE(platform::registeredHotKeys().empty());

  // Registering the key again gives a new reference; the old one stays dead
  // and cannot release the new registration.
  EventHotKeyRef second = Register(18, kPort1);
  EXPECT_NE(first, second);
  EXPECT_EQ(paramErr, UnregisterEventHotKey(first));
  EXPECT_EQ(paramErr, UnregisterEventHotKey(nullptr));
  ASSERT_EQ(1u, platform::registeredHotKeys().size());
  EXPECT_TRUE(platform::simulateHotKeyPress(18, kControlOption));
  platform::drainMainQueue();
  ASSERT_EQ(1u, presses_.size());
  EXPECT_EQ(2u, presses_[0].id.id);
}

TEST_F(HotKeysTest, RefusedRegistrationsLeaveNoReference) {
  Register(18, kPort0);
  EventHotKeyRef ref = reinterpret_cast<EventHotKeyRef>(1);
  // The same key for both ports: the second is refused.
  EXPECT_EQ(eventHotKeyExistsErr, RegisterEventHotKey(18, kControlOption, kPort1, GetApplicationEventTarget(), 0, &ref));
  EXPECT_EQ(nullptr, ref);
  // Codes that name no key.
  EXPECT_EQ(eventHotKeyInvalidErr, RegisterEventHotKey(0x34, kControlOption, kPort1, GetApplicationEventTarget(), 0, &ref));
  EXPECT_EQ(eventHotKeyInvalidErr, RegisterEventHotKey(0xFFFF, kControlOption, kPort1, GetApplicationEventTarget(), 0, &ref));
  EXPECT_EQ(nullptr, ref);
  EXPECT_EQ(paramErr, RegisterEventHotKey(19, kControlOption, kPort1, nullptr, 0, &ref));
  EXPECT_EQ(paramErr, RegisterEventHotKey(19, kControlOption, kPort1, GetApplicationEventTarget(), 0, nullptr));
  EXPECT_EQ(1u, platform::registeredHotKeys().size());
  // The same key with other modifiers is another combination.
  Register(18, kPort1, controlKey | shiftKey);
}

TEST(HotKeysWithoutX, RegistrationFailsQuietlyUnderTheOffscreenPlatform) {
  testsupport::StderrCapture err;
  const char* display = getenv("DISPLAY");
  const std::string saved = display ? display : "";
  EventHotKeyRef ref = reinterpret_cast<EventHotKeyRef>(1);

  // A DISPLAY does not help an application that Qt does not show on X.
  setenv("DISPLAY", ":0", 1);
  EXPECT_EQ(eventInternalErr, RegisterEventHotKey(18, kControlOption, kPort0, GetApplicationEventTarget(), 0, &ref));
  EXPECT_EQ(nullptr, ref);
  unsetenv("DISPLAY");
  EXPECT_EQ(eventInternalErr, RegisterEventHotKey(19, kControlOption, kPort1, GetApplicationEventTarget(), 0, &ref));
  if (display) setenv("DISPLAY", saved.c_str(), 1);

  EXPECT_TRUE(platform::registeredHotKeys().empty());
  EXPECT_FALSE(platform::simulateHotKeyPress(18, kControlOption));
  EXPECT_EQ(paramErr, UnregisterEventHotKey(ref));
  EXPECT_EQ("", err.take());
}

// A display that no server serves: the connection fails without a word.
TEST(HotKeysWithoutX, UnreachableDisplayFailsQuietly) {
  testsupport::StderrCapture err;
  platform::useHotKeyDisplay(":4097");
  EventHotKeyRef ref = nullptr;
  EXPECT_EQ(eventInternalErr, RegisterEventHotKey(18, kControlOption, kPort0, GetApplicationEventTarget(), 0, &ref));
  platform::useHotKeyDisplay("");
  EXPECT_EQ(nullptr, ref);
  EXPECT_EQ("", err.take());
}

}  // namespace
