// The handler base and the application object: registration, routing, the
// menu bar from "Settings2 Ports", and interface-file references.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QTimer>
#include <stdexcept>
#include <vector>

#include "framework/t_application.h"
#include "framework/t_nib.h"
#include "platform/core/clock.h"
#include "platform/core/main_queue.h"
#include "platform/ui/carbon_events_testing.h"
#include "platform/ui/menus.h"
#include "platform/ui/nibs_testing.h"
#include "tests/support/framework_test_app.h"

namespace {

// Answers every routed operation with `answer` and records what it was given.
class RecordingApplication : public TApplication {
 public:
  RecordingApplication() : TApplication(CFSTR("MenuBar"), CFSTR("Settings2Ports")) {}

  bool UpdateCommandStatus(const HICommandExtended& command) override { return note("status", command.commandID); }
  bool HandleCommand(const HICommandExtended& command) override {
    lastCommand = command;
    return note("command", command.commandID);
  }
  bool UpdateDockMenu(MenuRef& menu) override {
    lastMenu = menu;
    return note("menu", 0);
  }
  bool OpenSettingsDialog() override { return note("shown", 0); }
  bool HandleHotKey(EventHotKeyID& id) override { return note("hotkey", id.id); }
  bool HandleUserLogin(unsigned long kind) override { return note("login", kind); }

  bool note(const char* what, unsigned long value) {
    calls.push_back(std::string(what) + ":" + std::to_string(value));
    return answer;
  }

  bool answer = true;
  std::vector<std::string> calls;
  HICommandExtended lastCommand{};
  MenuRef lastMenu = nullptr;
};

class ThrowingHandler : public TEventHandler {
 public:
  OSStatus HandleEvent(EventHandlerCallRef, TCarbonEvent& event) override {
    seen = event.GetEventRef();
    throw std::runtime_error("handler failed");
  }
  EventTargetRef GetEventTarget() override { return target; }
  EventTargetRef target = platform::newEventTarget(nullptr);
  EventRef seen = nullptr;
};

OSStatus send(UInt32 eventClass, UInt32 kind, EventTargetRef target = GetApplicationEventTarget()) {
  TCarbonEvent event(eventClass, kind);
  return SendEventToEventTarget(event, target);
}

OSStatus sendCommand(UInt32 kind, UInt32 commandID) {
  TCarbonEvent event(kEventClassCommand, kind);
  HICommand command{};
  command.commandID = commandID;
  event.SetParameter(kEventParamDirectObject, command);
  return SendEventToEventTarget(event, GetApplicationEventTarget());
}

TEST(TApplication, RegistersTheSixApplicationEventsInOrder) {
  const EventTypeSpec expected[] = {
      {FOUR_CHAR_CODE("cmds"), 1}, {FOUR_CHAR_CODE("menu"), 9}, {FOUR_CHAR_CODE("appl"), 108}, {FOUR_CHAR_CODE("keyb"), 5}, {FOUR_CHAR_CODE("macs"), 10}, {FOUR_CHAR_CODE("macs"), 11},
  };
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(expected[i].eventClass, TApplication::kEvents[i].eventClass) << i;
    EXPECT_EQ(expected[i].eventKind, TApplication::kEvents[i].eventKind) << i;
  }
}

TEST(TApplication, RoutesEachAcceptedKindAndMapsTheAnswer) {
  RecordingApplication app;
  EXPECT_EQ(1u, platform::eventHandlerCount(GetApplicationEventTarget()));

  for (bool answer : {true, false}) {
    app.answer = answer;
    app.calls.clear();
    const OSStatus expected = answer ? noErr : eventNotHandledErr;
    EXPECT_EQ(expected, sendCommand(kEventCommandProcess, FOUR_CHAR_CODE("SPC2")));
    EXPECT_EQ(expected, send(kEventClassApplication, kEventAppShown));
    EXPECT_EQ(expected, send(kEventClassSystem, kEventSystemUserSessionActivated));
    EXPECT_EQ(expected, send(kEventClassSystem, kEventSystemUserSessionDeactivated));

    TCarbonEvent hotKey(kEventClassKeyboard, kEventHotKeyPressed);
    EventHotKeyID id{FOUR_CHAR_CODE("htk1"), 2};
    hotKey.SetParameter(kEventParamDirectObject, typeEventHotKeyID, sizeof id, &id);
    EXPECT_EQ(expected, SendEventToEventTarget(hotKey, GetApplicationEventTarget()));

    TCarbonEvent populate(kEventClassMenu, kEventMenuPopulate);
    MenuRef menu = reinterpret_cast<MenuRef>(uintptr_t(0x5000));
    populate.SetParameter(kEventParamDirectObject, menu);
    EXPECT_EQ(expected, SendEventToEventTarget(populate, GetApplicationEventTarget()));
    EXPECT_EQ(menu, app.lastMenu);

    EXPECT_EQ((std::vector<std::string>{"command:" + std::to_string(FOUR_CHAR_CODE("SPC2")), "shown:0", "login:10", "login:11",
                                        "hotkey:2", "menu:0"}),
              app.calls);
  }
}

TEST(TApplication, RejectedKindsCallNothing) {
  RecordingApplication app;
  // Registered here so that they reach the application's handler at all.
  const EventTypeSpec extra[] = {{FOUR_CHAR_CODE("macs"), 2}, {FOUR_CHAR_CODE("keyb"), 6}, {FOUR_CHAR_CODE("cmds"), 2}, {FOUR_CHAR_CODE("cmds"), 3}, {FOUR_CHAR_CODE("appl"), 107}, {FOUR_CHAR_CODE("menu"), 4}};
  ASSERT_EQ(noErr, app.RegisterForEvents(6, extra));
  EXPECT_EQ(1u, platform::eventHandlerCount(GetApplicationEventTarget()));

  EXPECT_EQ(eventNotHandledErr, send(kEventClassSystem, 2));
  EXPECT_EQ(eventNotHandledErr, send(kEventClassKeyboard, kEventHotKeyReleased));
  EXPECT_EQ(eventNotHandledErr, sendCommand(3, FOUR_CHAR_CODE("SPC1")));
  EXPECT_EQ(eventNotHandledErr, send(kEventClassApplication, kEventAppHidden));
  EXPECT_EQ(eventNotHandledErr, send(kEventClassMenu, 4));
  EXPECT_TRUE(app.calls.empty());

  // The update-status command is routed once a subclass registers it.
  EXPECT_EQ(noErr, sendCommand(kEventCommandUpdateStatus, FOUR_CHAR_CODE("clos")));
  EXPECT_EQ((std::vector<std::string>{"status:" + std::to_string(FOUR_CHAR_CODE("clos"))}), app.calls);
}

TEST(TApplication, BaseAnswersEverythingNotHandled) {
  TApplication app(CFSTR("MenuBar"), CFSTR("Settings2Ports"));
  EXPECT_EQ(eventNotHandledErr, sendCommand(kEventCommandProcess, FOUR_CHAR_CODE("SPC1")));
  EXPECT_EQ(eventNotHandledErr, send(kEventClassApplication, kEventAppShown));
  EXPECT_EQ(eventNotHandledErr, send(kEventClassSystem, kEventSystemUserSessionActivated));
}

TEST(TApplication, DestructionRemovesItsHandler) {
  {
    RecordingApplication app;
    EXPECT_EQ(1u, platform::eventHandlerCount(GetApplicationEventTarget()));
  }
  EXPECT_EQ(0u, platform::eventHandlerCount(GetApplicationEventTarget()));
}

TEST(TApplication, InitOpensSettings2PortsWhateverTheNibNameAndInstallsTheMenuBar) {
  RecordingApplication app;
  EXPECT_EQ(noErr, app.Init(CFSTR("MenuBar"), CFSTR("no such file")));
  EXPECT_EQ(0u, platform::openNibReferences());
  ASSERT_EQ(2u, platform::menuBarMenuCount());

  MenuRef menu = nullptr;
  MenuItemIndex item = 0;
  ASSERT_EQ(noErr, GetIndMenuItemWithCommandID(nullptr, kHICommandPreferences, 1, &menu, &item));
  EXPECT_EQ(platform::menuBarMenu(0), menu);
  EXPECT_EQ(1, item);
  EXPECT_EQ(noErr, GetIndMenuItemWithCommandID(nullptr, kHICommandQuit, 1, nullptr, nullptr));

  // A menu bar the file does not hold: the status comes back.
  EXPECT_EQ(kIBCarbonRuntimeCantFindObject, app.Init(CFSTR("NoBar"), CFSTR("Settings2 Ports")));
  EXPECT_EQ(0u, platform::openNibReferences());
}

TEST(TApplication, ChoosingAMenuItemSendsItsCommandWithMenuAndItem) {
  RecordingApplication app;
  QMenu* qmenu = platform::menuWidget(platform::menuBarMenu(0));
  ASSERT_NE(nullptr, qmenu);
  qmenu->actions().at(0)->trigger();
  platform::drainMainQueue();
  ASSERT_EQ(1u, app.calls.size());
  EXPECT_EQ(kHICommandPreferences, app.lastCommand.commandID);
  EXPECT_EQ(kHICommandFromMenu, app.lastCommand.attributes);
  EXPECT_EQ(platform::menuBarMenu(0), app.lastCommand.source.menu.menuRef);
  EXPECT_EQ(1, app.lastCommand.source.menu.menuItemIndex);
}

TEST(TApplication, QuitFromTheMenuEndsTheLoop) {
  RecordingApplication app;
  app.answer = false;  // the platform's own handling of "quit" takes over
  bool watchdogFired = false;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    watchdogFired = true;
    QuitApplicationEventLoop();
  });
  watchdog.start(5000);
  MenuRef menu = nullptr;
  MenuItemIndex item = 0;
  ASSERT_EQ(noErr, GetIndMenuItemWithCommandID(nullptr, kHICommandQuit, 1, &menu, &item));
  QTimer::singleShot(0, [menu, item] { platform::menuWidget(menu)->actions().at(item - 1)->trigger(); });
  app.Run();
  EXPECT_FALSE(watchdogFired);
  EXPECT_EQ((std::vector<std::string>{"command:" + std::to_string(FOUR_CHAR_CODE("quit"))}), app.calls);
}

TEST(TEventHandler, TwoRegistrationsShareOneHandler) {
  RecordingApplication app;
  const EventTypeSpec more[] = {{FOUR_CHAR_CODE("macs"), 3}};
  EXPECT_EQ(noErr, app.RegisterForEvents(1, more));
  EXPECT_EQ(noErr, app.UnregisterForEvents(1, more));
  EXPECT_EQ(1u, platform::eventHandlerCount(GetApplicationEventTarget()));
  EXPECT_EQ(app.GetEventHandler(), app.GetEventHandler());
  EXPECT_EQ(TEventHandler::GetEventHandlerProc(), TEventHandler::GetEventHandlerProc());
}

TEST(TEventHandler, AnExceptionStopsAtTheHandlerAndTheEventIsReleased) {
  ThrowingHandler handler;
  const EventTypeSpec type{kEventClassControl, kEventControlHit};
  ASSERT_EQ(noErr, handler.RegisterForEvents(1, &type));
  EventRef event = nullptr;
  CreateEvent(nullptr, kEventClassControl, kEventControlHit, 0, kEventAttributeNone, &event);
  EXPECT_EQ(eventInternalErr, SendEventToEventTarget(event, handler.target));
  EXPECT_EQ(event, handler.seen);
  EXPECT_EQ(1u, GetEventRetainCount(event));
  ReleaseEvent(event);
}

TEST(TEventHandler, ObjectThatNeverRegisteredInstallsNothing) {
  EventTargetRef target = nullptr;
  {
    ThrowingHandler handler;
    target = handler.target;
  }
  EXPECT_EQ(0u, platform::eventHandlerCount(target));
  platform::disposeEventTarget(target);
}

TEST(TNib, EmptyOrFailedObjectReleasesNothing) {
  const size_t before = platform::openNibReferences();
  {
    TNib empty;
    EXPECT_EQ(nullptr, IBNibRef(empty));
    TNib failed;
    EXPECT_EQ(kIBCarbonRuntimeCantFindNibFile, failed.Init(CFSTR("Settings2 Port")));
    EXPECT_EQ(nullptr, IBNibRef(failed));
    WindowRef window = reinterpret_cast<WindowRef>(1);
    EXPECT_NE(noErr, failed.CreateWindow(CFSTR("Preferences"), &window));
    EXPECT_EQ(nullptr, window);
  }
  EXPECT_EQ(before, platform::openNibReferences());
}

TEST(TNib, OpenReferenceIsReleasedWithTheObject) {
  const size_t before = platform::openNibReferences();
  {
    TNib nib(CFSTR("Settings2 Ports"));
    EXPECT_NE(nullptr, IBNibRef(nib));
    EXPECT_EQ(before + 1, platform::openNibReferences());
    MenuRef menu = nullptr;
    EXPECT_EQ(kIBCarbonRuntimeCantFindObject, nib.CreateMenu(CFSTR("DockMenu"), &menu));
    EXPECT_EQ(nullptr, menu);
    ASSERT_EQ(noErr, nib.CreateMenu(CFSTR("SwitchMenu"), &menu));
    EXPECT_EQ(4, CountMenuItems(menu));
    DisposeMenu(menu);
    Handle bar = nullptr;
    ASSERT_EQ(noErr, nib.CreateMenuBar(CFSTR("MenuBar"), &bar));
    DisposeMenuBar(bar);
  }
  EXPECT_EQ(before, platform::openNibReferences());
}

TEST(TNib, TakesOverAnOpenReference) {
  IBNibRef reference = nullptr;
  ASSERT_EQ(noErr, CreateNibReference(CFSTR("Settings2 Ports"), &reference));
  const size_t open = platform::openNibReferences();
  { TNib nib(reference); }
  EXPECT_EQ(open - 1, platform::openNibReferences());
}

}  // namespace

namespace {

TEST(QtClock, TimersFireOnTheLoop) {
  platform::ensureApplication();
  platform::installQtClock();
  std::vector<int> fired;
  bool watchdogFired = false;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    watchdogFired = true;
    QuitApplicationEventLoop();
  });
  watchdog.start(5000);
  platform::Clock::TimerId repeating = 0;
  repeating = platform::clock().addTimer(0, 0.001, [&] {
    fired.push_back(1);
    if (fired.size() == 3) {
      platform::clock().removeTimer(repeating);
      platform::clock().addTimer(0, 0, [] { QuitApplicationEventLoop(); });
    }
  });
  RunApplicationEventLoop();
  EXPECT_FALSE(watchdogFired);
  EXPECT_EQ(3u, fired.size());
}

}  // namespace
