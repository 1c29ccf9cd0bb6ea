// The application object: tray-menu and menu-bar commands, the tray menu kept
// up to date, global hot keys, the session being switched out and back in,
// and start-up as a whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QMenu>
#include <filesystem>
#include <string>

#include "app/carbon_app.h"
#include "app/hot_key_config.h"
#include "app/hot_keys.h"
#include "app/hot_keys_testing.h"
#include "app/main.h"
#include "app/polling_tick.h"
#include "platform/desktop/hot_keys.h"
#include "platform/desktop/hot_keys_testing.h"
#include "platform/desktop/process.h"
#include "platform/desktop/process_testing.h"
#include "platform/desktop/session.h"
#include "platform/desktop/session_testing.h"
#include "platform/desktop/tray.h"
#include "platform/desktop/tray_testing.h"
#include "platform/ui/menus.h"
#include "platform/ui/windows.h"
#include "settings/main_window.h"
#include "tests/support/discovery_fixture.h"
#include "tests/support/framework_test_app.h"

namespace fs = std::filesystem;
using platform::FeatureReportSwitch;
using platform::SerialNumberSwitch;
using platform::SimCall;

namespace {

std::vector<uint8_t> Command(uint8_t code, uint8_t argument = 0) { return {0x04, code, argument, 0, 0, 0, 0, 0}; }

HICommandExtended CommandRecord(const char (&code)[5]) {
  HICommandExtended command = {};
  command.commandID = FOUR_CHAR_CODE(code);
  return command;
}

std::string MenuItemText(MenuRef menu, MenuItemIndex item) {
  CFStringRef text = nullptr;
  if (CopyMenuItemTextAsCFString(menu, item, &text) != noErr || !text) return "";
  char buffer[128] = "";
  CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8);
  CFRelease(text);
  return buffer;
}

// A working directory of its own, simulated hot keys, and the application.
class AppTest : public testsupport::DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    previous_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("portvane-app-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
    platform::useSimulatedHotKeys(true);
    ForgetHotKeyRegistrations();
    platform::resetFrontProcessRequests();
    platform::simulateFrontProcess(platform::FrontProcess::asQtSays);
  }
  void TearDown() override {
    app_.reset();
    ForgetHotKeyRegistrations();
    fs::current_path(previous_);
    fs::remove_all(dir_);
    DiscoveryTest::TearDown();
  }
  // Start-up's steps up to the event loop, with `sw` plugged in first.
  void StartUp() {
    app_ = std::make_unique<CarbonApp>();
    ASSERT_TRUE(SetOurDockMenu());
    GetHotKeyConfiguration(KVMSwitch.hotKeys);
    StartMatching();
    RegisterHotKeys();
    menu_ = GetApplicationDockTileMenu();
    ASSERT_NE(nullptr, menu_);
  }
  bool Send(const char (&code)[5]) { return app_->HandleCommand(CommandRecord(code)); }
  void Populate() { app_->UpdateDockMenu(menu_); }
  CharParameter Mark(MenuItemIndex item) {
    CharParameter mark = -1;
    GetItemMark(menu_, item, &mark);
    return mark;
  }
  MenuItemAttributes Attributes(MenuItemIndex item) {
    MenuItemAttributes attributes = 0;
    GetMenuItemAttributes(menu_, item, &attributes);
    return attributes & (kMenuItemAttrDisabled | kMenuItemAttrHidden);
  }
  MenuItemIndex AutoItem() {
    MenuRef found = nullptr;
    MenuItemIndex item = 0;
    GetIndMenuItemWithCommandID(menu_, FOUR_CHAR_CODE("Auto"), 1, &found, &item);
    return item;
  }

  static constexpr MenuItemAttributes kHidden = kMenuItemAttrDisabled | kMenuItemAttrHidden;
  fs::path previous_;
  fs::path dir_;
  std::unique_ptr<CarbonApp> app_;
  MenuRef menu_ = nullptr;
};

}  // namespace

// --- The tray menu

TEST_F(AppTest, OnPortZeroTheMenuOffersOnlyTheOtherComputer) {
  FeatureReportSwitch sw;
  sw.plug();
  StartUp();
  Populate();
  EXPECT_EQ(checkMark, Mark(3));
  EXPECT_EQ(kHidden, Attributes(3));
  EXPECT_EQ(noMark, Mark(4));
  EXPECT_EQ(0u, Attributes(4));
  EXPECT_EQ(0u, Attributes(AutoItem()));
  EXPECT_EQ("Start Auto-Scan", MenuItemText(menu_, AutoItem()));

  sw.clearRecords();
  EXPECT_TRUE(Send("SPC2"));
  ASSERT_EQ(1u, sw.received().size());
  EXPECT_EQ(Command(0x81, 1), sw.received()[0].bytes);
  EXPECT_EQ(0, KVMSwitch.info.currentPort) << "the next read shows the new port";
  Populate();
  EXPECT_EQ(1, KVMSwitch.info.currentPort);
  EXPECT_EQ(kHidden, Attributes(4));
  EXPECT_EQ(0u, Attributes(3));
}

TEST_F(AppTest, AnUnavailablePortIsHiddenToo) {
  FeatureReportSwitch sw;
  sw.state().availablePorts = 0x01;
  sw.plug();
  StartUp();
  Populate();
  EXPECT_EQ(kHidden, Attributes(3));
  EXPECT_EQ(kHidden, Attributes(4));
  EXPECT_EQ(noMark, Mark(4));
}

TEST_F(AppTest, WithoutASwitchBothPortsAreHiddenAndEachOpeningReportsTheFailedRead) {
  StartUp();
  err_.take();
  Populate();
  EXPECT_EQ(kHidden, Attributes(3));
  EXPECT_EQ(kHidden, Attributes(4));
  EXPECT_EQ(0u, Attributes(AutoItem()));
  EXPECT_EQ("Start Auto-Scan", MenuItemText(menu_, AutoItem()));
  Populate();
  EXPECT_EQ(
      "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = E00002BC\n"
      "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = E00002BC\n",
      err_.take());
}

TEST_F(AppTest, AnotherMenuIsLeftAloneButCountsAsHandled) {
  StartUp();
  MenuRef other = nullptr;
  ASSERT_EQ(noErr, CreateNewMenu(77, 0, &other));
  err_.take();
  EXPECT_TRUE(app_->UpdateDockMenu(other));
  EXPECT_EQ("", err_.take()) << "no read for another menu";
  DisposeMenu(other);
}

TEST_F(AppTest, AutoScanItemNamesTheSwitchStateAndFlipsAtOnce) {
  FeatureReportSwitch sw;
  sw.state().autoScan = true;
  sw.plug();
  StartUp();
  Populate();
  EXPECT_EQ("Stop Auto-Scan", MenuItemText(menu_, AutoItem()));
  sw.clearRecords();
  EXPECT_TRUE(Send("Auto"));
  ASSERT_EQ(1u, sw.received().size());
  EXPECT_EQ(Command(0x89), sw.received()[0].bytes);
  EXPECT_FALSE(KVMSwitch.info.autoScanOn);
}

TEST_F(AppTest, AutoScanFlipsEvenWithoutASwitch) {
  StartUp();
  EXPECT_TRUE(Send("Auto"));
  EXPECT_TRUE(KVMSwitch.info.autoScanOn);
  EXPECT_TRUE(Send("Auto"));
  EXPECT_FALSE(KVMSwitch.info.autoScanOn);
}

// --- Commands

TEST_F(AppTest, PortCommandsPassEveryPortOnUnchecked) {
  FeatureReportSwitch sw;
  sw.plug();
  StartUp();
  sw.clearRecords();
  EXPECT_TRUE(Send("SPC1"));
  EXPECT_TRUE(Send("SPC3"));
  EXPECT_TRUE(Send("SPC4"));
  ASSERT_EQ(3u, sw.received().size());
  EXPECT_EQ(Command(0x81, 0), sw.received()[0].bytes);
  EXPECT_EQ(Command(0x81, 2), sw.received()[1].bytes);
  EXPECT_EQ(Command(0x81, 3), sw.received()[2].bytes);
  EXPECT_FALSE(Send("nope"));
  EXPECT_EQ(3u, sw.received().size());
}

TEST_F(AppTest, PreferencesBringsTheProgramToTheFrontOnlyWhenAnotherIsThere) {
  StartUp();
  platform::simulateFrontProcess(platform::FrontProcess::another);
  EXPECT_TRUE(Send("pref"));
  EXPECT_EQ(1, platform::frontProcessRequests());
  ASSERT_NE(nullptr, pOurWindow);
  EXPECT_TRUE(IsWindowVisible(pOurWindow->GetWindowRef()));

  platform::simulateFrontProcess(platform::FrontProcess::ours);
  EXPECT_TRUE(Send("pref"));
  EXPECT_EQ(1, platform::frontProcessRequests());
}

TEST_F(AppTest, TheTrayNamesTheActiveComputerOrSaysWhyItCannot) {
  auto said = [] { return platform::trayToolTip().toStdString(); };
  StartUp();
  EXPECT_EQ("Portvane\nNo switch attached", said());

  FeatureReportSwitch sw;
  sw.plug();
  RunLoop();
  EXPECT_EQ("Portvane\nComputer 1", said());
  // The menu opening reads the switch: its line is not a tick behind.
  sw.pressPortButton(1);
  EXPECT_EQ("Portvane\nComputer 1", said());
  EXPECT_EQ("Computer 2", platform::openTrayMenuForTest()->actions().at(0)->text().toStdString());
  EXPECT_EQ("Portvane\nComputer 2", said());

  sw.state().confirmedPortOverride = 0;  // two port readings that disagree
  TimerFunction(nullptr, &KVMSwitch);
  EXPECT_EQ("Portvane\nSwitch state unknown", said());
  sw.state().confirmedPortOverride = -1;
  TimerFunction(nullptr, &KVMSwitch);
  EXPECT_EQ("Portvane\nComputer 2", said());
  sw.failNext(SimCall::GetReport, 100, kIOReturnNotResponding);  // attached, but it cannot be read
  TimerFunction(nullptr, &KVMSwitch);
  EXPECT_EQ("Portvane\nSwitch state unknown", said());
  sw.failNext(SimCall::GetReport, 1, kIOReturnTimeout);  // silent for the kernel's whole time
  TimerFunction(nullptr, &KVMSwitch);
  EXPECT_EQ("Portvane\nSwitch not answering", said());
  TimerFunction(nullptr, &KVMSwitch);
  EXPECT_EQ("Portvane\nComputer 2", said()) << "the next good read attaches it again";

  sw.unplug();
  RunLoop();
  EXPECT_EQ("Portvane\nNo switch attached", said());
  err_.take();
}

TEST_F(AppTest, ShowingTheApplicationOpensTheSettingsThroughThePreferencesCommand) {
  StartUp();
  EXPECT_TRUE(app_->OpenSettingsDialog());
  ASSERT_NE(nullptr, pOurWindow);
  EXPECT_TRUE(IsWindowVisible(pOurWindow->GetWindowRef()));
}

// --- Hot keys

TEST_F(AppTest, WithoutASwitchNoHotKeyIsRegistered) {
  StartUp();
  EXPECT_TRUE(platform::registeredHotKeys().empty());
}

TEST_F(AppTest, WithASwitchBothHotKeysAreRegisteredAndAPressSelectsThePort) {
  FeatureReportSwitch sw;
  sw.plug();
  StartUp();
  auto keys = platform::registeredHotKeys();
  ASSERT_EQ(2u, keys.size());
  EXPECT_EQ(18u, keys[0].code);
  EXPECT_EQ(0x1800u, keys[0].modifiers);
  EXPECT_EQ(FOUR_CHAR_CODE("PCH1"), keys[0].id.signature);
  EXPECT_EQ(1u, keys[0].id.id);
  EXPECT_EQ(19u, keys[1].code);
  EXPECT_EQ(FOUR_CHAR_CODE("PCH2"), keys[1].id.signature);
  EXPECT_EQ(2u, keys[1].id.id);

  sw.clearRecords();
  ASSERT_TRUE(platform::simulateHotKeyPress(19, 0x1800));
  RunLoop();
  ASSERT_EQ(1u, sw.received().size());
  EXPECT_EQ(Command(0x81, 1), sw.received()[0].bytes);
}

TEST_F(AppTest, RegisteringAgainReplacesTheKeysAndARefusedKeyLeavesNoStaleSlot) {
  FeatureReportSwitch sw;
  sw.plug();
  StartUp();
  RegisterHotKeys();
  EXPECT_EQ(2u, platform::registeredHotKeys().size());

  KVMSwitch.hotKeys[1].code = 0x7FFF;  // no keyboard has it
  RegisterHotKeys();
  auto keys = platform::registeredHotKeys();
  ASSERT_EQ(1u, keys.size());
  EXPECT_EQ(18u, keys[0].code);

  KVMSwitch.hotKeys[1].code = 0x31;  // Space
  RegisterHotKeys();
  keys = platform::registeredHotKeys();
  ASSERT_EQ(2u, keys.size());
  EXPECT_EQ(0x31u, keys[1].code);
}

TEST_F(AppTest, HotKeyIdentifiersOutsideOneToFourAreNotHandled) {
  FeatureReportSwitch sw;
  sw.plug();
  StartUp();
  sw.clearRecords();
  EventHotKeyID zero = {FOUR_CHAR_CODE("PCH1"), 0};
  EventHotKeyID five = {FOUR_CHAR_CODE("PCH1"), 5};
  EventHotKeyID four = {FOUR_CHAR_CODE("XXXX"), 4};
  EXPECT_FALSE(app_->HandleHotKey(zero));
  EXPECT_FALSE(app_->HandleHotKey(five));
  EXPECT_TRUE(sw.received().empty());
  EXPECT_TRUE(app_->HandleHotKey(four)) << "only the id counts";
  ASSERT_EQ(1u, sw.received().size());
  EXPECT_EQ(Command(0x81, 3), sw.received()[0].bytes);
}

TEST_F(AppTest, AHotKeyWithoutASwitchSendsNothing) {
  StartUp();
  EventHotKeyID one = {FOUR_CHAR_CODE("PCH1"), 1};
  EXPECT_TRUE(app_->HandleHotKey(one));
}

// --- The session switched out and back in

TEST_F(AppTest, ASwitchArrivingWhileTheSessionIsAwayIsOpenedWhenItComesBack) {
  StartUp();
  EXPECT_TRUE(app_->HandleUserLogin(11));
  EXPECT_TRUE(KVMSwitch.loginInactive);
  FeatureReportSwitch sw;
  sw.plug();
  RunLoop();
  EXPECT_EQ(1, KVMSwitch.info.state);
  EXPECT_TRUE(sw.calls().empty());

  EXPECT_TRUE(app_->HandleUserLogin(10));
  EXPECT_FALSE(KVMSwitch.loginInactive);
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_NE(nullptr, theTimer);
}

TEST_F(AppTest, RepeatedSessionEventsChangeNothingAndAnAttachedSwitchIsNotMatchedAgain) {
  FeatureReportSwitch sw;
  sw.plug();
  StartUp();
  sw.clearRecords();
  EXPECT_TRUE(app_->HandleUserLogin(11));
  EXPECT_TRUE(app_->HandleUserLogin(11));
  EXPECT_TRUE(KVMSwitch.loginInactive);
  EXPECT_TRUE(app_->HandleUserLogin(10));
  EXPECT_TRUE(app_->HandleUserLogin(10));
  EXPECT_FALSE(KVMSwitch.loginInactive);
  EXPECT_TRUE(sw.calls().empty());
  EXPECT_EQ(2, KVMSwitch.info.state);
}

TEST_F(AppTest, SessionEventsFromThePlatformReachTheApplication) {
  StartUp();
  platform::simulateSessionActive(false);
  RunLoop();
  EXPECT_TRUE(KVMSwitch.loginInactive);
  platform::simulateSessionActive(true);
  RunLoop();
  EXPECT_FALSE(KVMSwitch.loginInactive);
  platform::resetSessionWatch();
}

// --- Waking from a sleep

TEST_F(AppTest, OnWakingTheSwitchIsReadASecondLaterAndThePictureFollowsIt) {
  StartUp();
  platform::simulatePrepareForSleep(false);
  RunLoop();  // no switch: nothing to read

  FeatureReportSwitch sw;
  sw.plug();
  RunLoop();
  ASSERT_NE(nullptr, theTimer);
  EXPECT_EQ(0, CurrentIconNumber);
  sw.pressPortButton(1);  // while the computer slept
  sw.clearRecords();
  platform::simulatePrepareForSleep(true);
  RunLoop();
  EXPECT_TRUE(sw.calls().empty());
  EXPECT_EQ(0, CurrentIconNumber);

  platform::simulatePrepareForSleep(false);
  RunLoop();
  EXPECT_TRUE(sw.calls().empty()) << "USB may still be resuming";
  clock_->advance(1);
  EXPECT_FALSE(sw.calls().empty());
  EXPECT_TRUE(sw.received().empty());  // read only
  EXPECT_EQ(1, CurrentIconNumber);

  // A read that fails there is made once more, a second later, and no more.
  sw.pressPortButton(0);
  sw.failNext(SimCall::GetReport, 5, kIOReturnNotResponding);
  platform::simulatePrepareForSleep(false);
  RunLoop();
  clock_->advance(1);
  EXPECT_EQ(-1, CurrentIconNumber);  // the tick's own picture for a failed read
  clock_->advance(1);
  RunLoop();
  EXPECT_EQ(0, CurrentIconNumber);
  sw.clearRecords();
  clock_->advance(1);
  EXPECT_TRUE(sw.calls().empty());
  err_.take();

  // The session switched out: the tick would not read, nor does waking.
  app_->HandleUserLogin(kEventSystemUserSessionDeactivated);
  sw.clearRecords();
  platform::simulatePrepareForSleep(false);
  RunLoop();
  clock_->advance(1);
  EXPECT_TRUE(sw.calls().empty());
}

// --- Start-up as a whole

TEST(Startup, IsPidNativeAsksOnlyAboutThisProcess) {
  EXPECT_EQ(1, is_pid_native(0));
  EXPECT_EQ(0, is_pid_native(42));
}

class StartupTest : public AppTest {
 protected:
  int RunUntilIdle() {
    // The loop ends as soon as it has handled what start-up queued.
    platform::postToMainQueue([] { QuitApplicationEventLoop(); });
    // Start-up makes a lock of its own and deletes it at the end.
    MPDeleteCriticalRegion(KVMSwitch.criticalRegion);
    int status = PortvaneMain(0, nullptr);
    KVMSwitch.criticalRegion = nullptr;
    return status;
  }
};

TEST_F(StartupTest, WithoutASwitchNothingIsRegisteredAndTheDefaultsAreWritten) {
  EXPECT_EQ(0, RunUntilIdle());
  EXPECT_EQ(
      "Portvane is running natively on an Intel-based Macintosh computer\n"
      "Portvane is running on a Little Endian Byte Order CPU\n",
      err_.take());
  EXPECT_TRUE(platform::registeredHotKeys().empty());
  EXPECT_EQ(80u, fs::file_size(dir_ / "HOTKEY.CFG"));
  EXPECT_NE(nullptr, GetApplicationDockTileMenu());
  EXPECT_EQ(nullptr, theTimer);
}

TEST_F(StartupTest, WithASwitchItIsAttachedBeforeTheHotKeysAreRegistered) {
  FeatureReportSwitch sw;
  sw.plug();
  EXPECT_EQ(0, RunUntilIdle());
  const std::string log = err_.take();
  EXPECT_EQ(0u, log.find("Portvane is running natively on an Intel-based Macintosh computer\n"
                         "Portvane is running on a Little Endian Byte Order CPU\n"
                         "HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500. Version: 2\n"))
      << log;
  EXPECT_EQ(2u, platform::registeredHotKeys().size());
  EXPECT_EQ(0, CurrentIconNumber);
  EXPECT_NE(nullptr, theTimer);
}
