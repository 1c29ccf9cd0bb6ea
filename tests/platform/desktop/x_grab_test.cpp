// Hot keys on a real X server: a private Xvfb, presses typed with xdotool
// (XTEST), and a second client that competes for the same keys. Skipped where
// Xvfb or xdotool is missing. Every wait has a watchdog.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/desktop/hot_keys.h"
#include "platform/desktop/hot_keys_testing.h"
#include "platform/ui/key_codes.h"
#include "tests/support/framework_test_app.h"

namespace {

constexpr UInt32 kControlOption = controlKey | optionKey;
constexpr int kWatchdogMs = 20000;

// Starts Xvfb on a display it chooses itself; the display's name, or empty.
std::string startXvfb(pid_t* pid) {
  const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
  if (xvfb.isEmpty()) return {};
  int fds[2];
  if (pipe(fds) != 0) return {};
  const std::string program = xvfb.toStdString();
  const std::string displayFd = std::to_string(fds[1]);
  *pid = fork();
  if (*pid == 0) {
    close(fds[0]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), "-displayfd", displayFd.c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0",
          "320x240x24", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd ready = {fds[0], POLLIN, 0};
  char c = 0;
  // Xvfb writes the number once it accepts connections. (-noreset: it would
  // otherwise restart, refusing connections, whenever its last client leaves.)
  while (poll(&ready, 1, kWatchdogMs) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty() && *pid > 0) {
    kill(*pid, SIGTERM);
    waitpid(*pid, nullptr, 0);
    *pid = -1;
  }
  return number.empty() ? std::string() : ":" + number;
}

class XGrabTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty()) return;
    display_ = startXvfb(&xvfb_);
  }
  static void TearDownTestSuite() {
    if (xvfb_ > 0) {
      kill(xvfb_, SIGTERM);
      waitpid(xvfb_, nullptr, 0);
    }
    xvfb_ = -1;
    display_.clear();
  }

  void SetUp() override {
    if (display_.empty()) GTEST_SKIP() << "Xvfb or xdotool is not available";
    platform::useHotKeyDisplay(display_);
    static const EventTypeSpec types[] = {{kEventClassKeyboard, kEventHotKeyPressed}};
    InstallEventHandler(GetApplicationEventTarget(), Record, 1, types, this, &handler_);
    other_ = xcb_connect(display_.c_str(), nullptr);
    ASSERT_EQ(0, xcb_connection_has_error(other_));
    otherSymbols_ = xcb_key_symbols_alloc(other_);
    root_ = xcb_setup_roots_iterator(xcb_get_setup(other_)).data->root;
  }
  void TearDown() override {
    if (display_.empty()) return;
    for (EventHotKeyRef ref : refs_) UnregisterEventHotKey(ref);
    platform::useHotKeyDisplay("");
    platform::drainMainQueue();
    RemoveEventHandler(handler_);
    xcb_key_symbols_free(otherSymbols_);
    xcb_disconnect(other_);
  }

  static OSStatus Record(EventHandlerCallRef, EventRef event, void* self) {
    EventHotKeyID id = {};
    GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof id, nullptr, &id);
    static_cast<XGrabTest*>(self)->presses_.push_back(id.id);
    return noErr;
  }

  EventHotKeyRef Register(UInt32 code, UInt32 id) {
    EventHotKeyRef ref = nullptr;
    EXPECT_EQ(noErr, RegisterEventHotKey(code, kControlOption, {0x50434831, id}, GetApplicationEventTarget(), 0, &ref));
    if (ref) refs_.push_back(ref);
    return ref;
  }

  void Type(const QStringList& keys) {
    QProcess xdotool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(display_));
    xdotool.setProcessEnvironment(environment);
    xdotool.start(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + keys);
    ASSERT_TRUE(xdotool.waitForFinished(kWatchdogMs));
    ASSERT_EQ(0, xdotool.exitCode());
  }

  // Runs the Qt loop and the main queue until `count` presses arrived.
  void WaitForPresses(size_t count) {
    QElapsedTimer watchdog;
    watchdog.start();
    while (presses_.size() < count && watchdog.elapsed() < kWatchdogMs) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
      platform::drainMainQueue();
    }
  }

  xcb_keycode_t KeycodeOf(UInt32 code) {
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(otherSymbols_, platform::keysymForVirtualKeyCode(code));
    const xcb_keycode_t keycode = codes ? codes[0] : 0;
    free(codes);
    return keycode;
  }

  // Whether the second client may grab the key with these X modifiers.
  bool OtherCanGrab(UInt32 code, uint16_t modifiers) {
    const xcb_keycode_t keycode = KeycodeOf(code);
    xcb_generic_error_t* error = xcb_request_check(
        other_, xcb_grab_key_checked(other_, 1, root_, modifiers, keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    free(error);
    if (!error) {
      xcb_ungrab_key(other_, keycode, root_, modifiers);
      xcb_flush(other_);
    }
    return !error;
  }

  static inline std::string display_;
  static inline pid_t xvfb_ = -1;
  EventHandlerRef handler_ = nullptr;
  std::vector<EventHotKeyRef> refs_;
  std::vector<UInt32> presses_;
  xcb_connection_t* other_ = nullptr;
  xcb_key_symbols_t* otherSymbols_ = nullptr;
  xcb_window_t root_ = 0;
};

constexpr uint16_t kControlAlt = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;

TEST_F(XGrabTest, ControlAltKeyPostsTheHotKeyEventAndNothingElseDoes) {
  Register(18, 1);
  Register(19, 2);
  // Server order: the two presses that are not hot keys come first.
  Type({"alt+1", "ctrl+alt+shift+1", "ctrl+alt+2"});
  WaitForPresses(1);
  EXPECT_EQ(std::vector<UInt32>{2}, presses_);
}

TEST_F(XGrabTest, HotKeyWorksWithCapsLockOrNumLockOn) {
  Register(18, 1);
  Type({"Caps_Lock", "ctrl+alt+1", "Caps_Lock", "Num_Lock", "ctrl+alt+1", "Num_Lock"});
  WaitForPresses(2);
  EXPECT_EQ((std::vector<UInt32>{1, 1}), presses_);
}

TEST_F(XGrabTest, KeyHeldByAnotherClientIsRefusedAndLeftWhole) {
  const xcb_keycode_t keycode = KeycodeOf(19);
  ASSERT_NE(0, keycode);
  ASSERT_EQ(nullptr, xcb_request_check(other_, xcb_grab_key_checked(other_, 1, root_, kControlAlt, keycode,
                                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
  EventHotKeyRef ref = nullptr;
  EXPECT_EQ(eventHotKeyExistsErr,
            RegisterEventHotKey(19, kControlOption, {0x50434832, 2}, GetApplicationEventTarget(), 0, &ref));
  EXPECT_EQ(nullptr, ref);
  EXPECT_TRUE(platform::registeredHotKeys().empty());
  // The lock variants grabbed before the refusal were given back.
  EXPECT_TRUE(OtherCanGrab(19, kControlAlt | XCB_MOD_MASK_LOCK));
  xcb_ungrab_key(other_, keycode, root_, kControlAlt);
  xcb_flush(other_);
}

TEST_F(XGrabTest, UnregisteringReleasesEveryGrab) {
  EventHotKeyRef ref = Register(20, 3);
  ASSERT_NE(nullptr, ref);
  EXPECT_FALSE(OtherCanGrab(20, kControlAlt));
  EXPECT_FALSE(OtherCanGrab(20, kControlAlt | XCB_MOD_MASK_LOCK));
  EXPECT_EQ(noErr, UnregisterEventHotKey(ref));
  refs_.clear();
  EXPECT_TRUE(OtherCanGrab(20, kControlAlt));
  EXPECT_TRUE(OtherCanGrab(20, kControlAlt | XCB_MOD_MASK_LOCK));
  EXPECT_EQ(paramErr, UnregisterEventHotKey(ref));
}

TEST_F(XGrabTest, KeyMissingFromTheKeyboardIsInvalid) {
  for (const platform::VirtualKey& key : platform::virtualKeys()) {
    if (KeycodeOf(key.code) != 0) continue;
    EventHotKeyRef ref = nullptr;
    EXPECT_EQ(eventHotKeyInvalidErr,
              RegisterEventHotKey(key.code, kControlOption, {0x50434831, 1}, GetApplicationEventTarget(), 0, &ref));
    EXPECT_EQ(nullptr, ref);
    return;
  }
  GTEST_SKIP() << "this server's keyboard has every key of the table";
}

}  // namespace
