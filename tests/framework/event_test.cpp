// Event records, their wrapper, handlers, targets and the main queue.
#include <gtest/gtest.h>

#include <vector>

#include "framework/t_carbon_event.h"
#include "platform/core/clock.h"
#include "platform/core/main_queue.h"
#include "tests/support/framework_test_app.h"

namespace {

struct Log {
  std::vector<int> calls;
  OSStatus answer = eventNotHandledErr;
  bool callNext = false;
  OSStatus nextResult = 0;
  ItemCount retainsSeen = 0;
};

OSStatus recordingHandler(EventHandlerCallRef callRef, EventRef event, void* userData) {
  auto* log = static_cast<Log*>(userData);
  log->calls.push_back(int(GetEventKind(event)));
  log->retainsSeen = GetEventRetainCount(event);
  if (log->callNext) log->nextResult = CallNextEventHandler(callRef, event);
  return log->answer;
}

OSStatus taggedHandler(EventHandlerCallRef, EventRef, void* userData) {
  static_cast<std::vector<int>*>(userData)->push_back(0);
  return eventNotHandledErr;
}

const EventTypeSpec kControlHitType{kEventClassControl, kEventControlHit};

EventRef newEvent(UInt32 eventClass, UInt32 kind) {
  EventRef event = nullptr;
  EXPECT_EQ(noErr, CreateEvent(nullptr, eventClass, kind, 0, kEventAttributeNone, &event));
  return event;
}

TEST(CarbonEvent, WrappingKeepsTheReferenceCountAsItWas) {
  EventRef event = newEvent(kEventClassCommand, kEventCommandProcess);
  EXPECT_EQ(1u, GetEventRetainCount(event));
  {
    TCarbonEvent wrapper(event);
    EXPECT_EQ(2u, GetEventRetainCount(event));
    EXPECT_EQ(kEventClassCommand, wrapper.GetClass());
    EXPECT_EQ(kEventCommandProcess, wrapper.GetKind());
  }
  EXPECT_EQ(1u, GetEventRetainCount(event));
  ReleaseEvent(event);
}

TEST(CarbonEvent, CreatesItsOwnEventOfClassAndKind) {
  TCarbonEvent event(kEventClassWindow, kEventWindowClose);
  ASSERT_NE(nullptr, event.GetEventRef());
  EXPECT_EQ(1u, GetEventRetainCount(event));
  EXPECT_EQ(kEventClassWindow, GetEventClass(event));
  EXPECT_EQ(kEventWindowClose, GetEventKind(event));
  EXPECT_EQ(0.0, GetEventTime(event));
}

TEST(CarbonEvent, MissingParameterGivesNotFoundAndWritesNothing) {
  TCarbonEvent event(kEventClassCommand, kEventCommandProcess);
  unsigned long type = 0x12345678;
  unsigned long size = 77;
  EXPECT_EQ(eventParameterNotFoundErr, event.GetParameterType(kEventParamDirectObject, &type));
  EXPECT_EQ(0x12345678u, type);
  EXPECT_EQ(eventParameterNotFoundErr, event.GetParameterSize(kEventParamDirectObject, &size));
  EXPECT_EQ(77u, size);
  UInt32 value = 5;
  EXPECT_EQ(eventParameterNotFoundErr, event.GetParameter(kEventParamAttributes, &value));
  EXPECT_EQ(5u, value);
}

TEST(CarbonEvent, TypedParametersCarryTheirPlatformTypeAndNativeSize) {
  TCarbonEvent event(kEventClassWindow, kEventWindowBoundsChanged);
  unsigned long type = 0, size = 0;

  ASSERT_EQ(noErr, event.SetParameter(FOUR_CHAR_CODE("shrt"), short(-3)));
  event.GetParameterType(FOUR_CHAR_CODE("shrt"), &type);
  event.GetParameterSize(FOUR_CHAR_CODE("shrt"), &size);
  EXPECT_EQ(typeControlPartCode, type);
  EXPECT_EQ(2u, size);

  ASSERT_EQ(noErr, event.SetParameter(kEventParamAttributes, UInt32(0xC)));
  event.GetParameterType(kEventParamAttributes, &type);
  event.GetParameterSize(kEventParamAttributes, &size);
  EXPECT_EQ(typeUInt32, type);
  EXPECT_EQ(4u, size);

  ASSERT_EQ(noErr, event.SetParameter(FOUR_CHAR_CODE("bool"), true));
  ASSERT_EQ(noErr, event.SetParameter(FOUR_CHAR_CODE("uchr"), static_cast<unsigned char>(7)));
  event.GetParameterType(FOUR_CHAR_CODE("bool"), &type);
  event.GetParameterSize(FOUR_CHAR_CODE("bool"), &size);
  EXPECT_EQ(typeBoolean, type);
  EXPECT_EQ(1u, size);
  event.GetParameterType(FOUR_CHAR_CODE("uchr"), &type);
  EXPECT_EQ(typeBoolean, type);

  WindowRef window = reinterpret_cast<WindowRef>(uintptr_t(0x1122334455667788));
  ASSERT_EQ(noErr, event.SetParameter(kEventParamDirectObject, window));
  event.GetParameterSize(kEventParamDirectObject, &size);
  EXPECT_EQ(sizeof(WindowRef), size);
  WindowRef back = nullptr;
  EXPECT_EQ(noErr, event.GetParameter(kEventParamDirectObject, &back));
  EXPECT_EQ(window, back);

  ASSERT_EQ(noErr, event.SetParameter(kEventParamDimensions, Point{3, 4}));
  event.GetParameterType(kEventParamDimensions, &type);
  event.GetParameterSize(kEventParamDimensions, &size);
  EXPECT_EQ(typeQDPoint, type);
  EXPECT_EQ(4u, size);

  short part = 0;
  UInt32 attributes = 0;
  bool flag = false;
  EXPECT_EQ(noErr, event.GetParameter(FOUR_CHAR_CODE("shrt"), &part));
  EXPECT_EQ(noErr, event.GetParameter(kEventParamAttributes, &attributes));
  EXPECT_EQ(noErr, event.GetParameter(FOUR_CHAR_CODE("bool"), &flag));
  EXPECT_EQ(-3, part);
  EXPECT_EQ(0xCu, attributes);
  EXPECT_TRUE(flag);
}

TEST(CarbonEvent, ReadOfTheWrongTypeFailsAndLeavesTheOutput) {
  TCarbonEvent event(kEventClassControl, kEventControlHit);
  event.SetParameter(kEventParamAttributes, UInt32(9));
  ControlRef control = nullptr;
  EXPECT_EQ(errAECoercionFail, event.GetParameter(kEventParamAttributes, &control));
  EXPECT_EQ(nullptr, control);
}

TEST(CarbonEvent, CommandRecordIsReadWhole) {
  TCarbonEvent event(kEventClassCommand, kEventCommandProcess);
  HICommand sent{};
  sent.attributes = kHICommandFromMenu;
  sent.commandID = kHICommandPreferences;
  sent.menu.menuRef = reinterpret_cast<MenuRef>(uintptr_t(0xABCDEF0123));
  sent.menu.menuItemIndex = 7;
  ASSERT_EQ(noErr, event.SetParameter(kEventParamDirectObject, sent));
  HICommandExtended read{};
  ASSERT_EQ(noErr, event.GetParameter(kEventParamDirectObject, &read));
  EXPECT_EQ(kHICommandFromMenu, read.attributes);
  EXPECT_EQ(kHICommandPreferences, read.commandID);
  EXPECT_EQ(sent.menu.menuRef, read.source.menu.menuRef);
  EXPECT_EQ(7, read.source.menu.menuItemIndex);
}

TEST(EventTargets, UnhandledEventGoesFromControlToWindowToApplication) {
  EventTargetRef window = platform::newEventTarget(GetApplicationEventTarget());
  EventTargetRef control = platform::newEventTarget(window);
  Log atControl, atWindow, atApplication;
  EventHandlerRef h1 = nullptr, h2 = nullptr, h3 = nullptr;
  InstallEventHandler(control, recordingHandler, 1, &kControlHitType, &atControl, &h1);
  InstallEventHandler(window, recordingHandler, 1, &kControlHitType, &atWindow, &h2);
  InstallEventHandler(GetApplicationEventTarget(), recordingHandler, 1, &kControlHitType, &atApplication, &h3);
  atWindow.answer = noErr;

  EventRef event = newEvent(kEventClassControl, kEventControlHit);
  EXPECT_EQ(noErr, SendEventToEventTarget(event, control));
  EXPECT_EQ(1u, atControl.calls.size());
  EXPECT_EQ(1u, atWindow.calls.size());
  EXPECT_TRUE(atApplication.calls.empty());

  // Nobody handles it: the application sees it and the sender learns so.
  atWindow.answer = eventNotHandledErr;
  EXPECT_EQ(eventNotHandledErr, SendEventToEventTarget(event, control));
  EXPECT_EQ(1u, atApplication.calls.size());

  // An event type nobody registered reaches nobody.
  EventRef other = newEvent(kEventClassControl, 99);
  EXPECT_EQ(eventNotHandledErr, SendEventToEventTarget(other, control));
  EXPECT_EQ(2u, atControl.calls.size());

  ReleaseEvent(other);
  ReleaseEvent(event);
  RemoveEventHandler(h3);
  platform::disposeEventTarget(control);
  platform::disposeEventTarget(window);
}

TEST(EventTargets, NewestHandlerFirstAndCallNextRunsTheRestOnce) {
  EventTargetRef target = platform::newEventTarget(nullptr);
  Log older, newer;
  EventHandlerRef h1 = nullptr, h2 = nullptr;
  InstallEventHandler(target, recordingHandler, 1, &kControlHitType, &older, &h1);
  InstallEventHandler(target, recordingHandler, 1, &kControlHitType, &newer, &h2);
  older.answer = noErr;
  newer.callNext = true;  // and then answers not handled

  EventRef event = newEvent(kEventClassControl, kEventControlHit);
  EXPECT_EQ(eventNotHandledErr, SendEventToEventTarget(event, target));
  EXPECT_EQ(noErr, newer.nextResult);
  EXPECT_EQ(1u, older.calls.size());
  EXPECT_EQ(1u, newer.calls.size());
  ReleaseEvent(event);
  platform::disposeEventTarget(target);
}

TEST(EventTargets, HandlerTypesCanBeAddedAndRemoved) {
  EventTargetRef target = platform::newEventTarget(nullptr);
  Log log;
  EventHandlerRef handler = nullptr;
  ASSERT_EQ(noErr, InstallEventHandler(target, recordingHandler, 0, nullptr, &log, &handler));
  EventRef event = newEvent(kEventClassControl, kEventControlHit);
  SendEventToEventTarget(event, target);
  EXPECT_TRUE(log.calls.empty());
  EXPECT_EQ(noErr, AddEventTypesToHandler(handler, 1, &kControlHitType));
  SendEventToEventTarget(event, target);
  EXPECT_EQ(1u, log.calls.size());
  EXPECT_EQ(noErr, RemoveEventTypesFromHandler(handler, 1, &kControlHitType));
  SendEventToEventTarget(event, target);
  EXPECT_EQ(1u, log.calls.size());
  ReleaseEvent(event);
  platform::disposeEventTarget(target);
}

TEST(EventTargets, HandlerGoneWithItsTargetIsRefusedNotTouched) {
  EventTargetRef target = platform::newEventTarget(nullptr);
  std::vector<int> calls;
  EventHandlerRef handler = nullptr;
  InstallEventHandler(target, taggedHandler, 1, &kControlHitType, &calls, &handler);
  platform::disposeEventTarget(target);
  EXPECT_EQ(paramErr, RemoveEventHandler(handler));
  EXPECT_EQ(paramErr, AddEventTypesToHandler(handler, 1, &kControlHitType));
  EXPECT_EQ(paramErr, InstallEventHandler(target, taggedHandler, 0, nullptr, nullptr, &handler));
  EXPECT_EQ(nullptr, handler);
}

TEST(EventQueue, PostedEventsArriveHighPriorityFirstAndAreReleased) {
  EventTargetRef target = platform::newEventTarget(nullptr);
  Log log;
  log.answer = noErr;
  const EventTypeSpec types[] = {{kEventClassControl, 1}, {kEventClassControl, 2}};
  EventHandlerRef handler = nullptr;
  InstallEventHandler(target, recordingHandler, 2, types, &log, &handler);

  EventRef low = newEvent(kEventClassControl, 1);
  EventRef high = newEvent(kEventClassControl, 2);
  SetEventParameter(low, kEventParamPostTarget, typeEventTargetRef, sizeof target, &target);
  SetEventParameter(high, kEventParamPostTarget, typeEventTargetRef, sizeof target, &target);
  EXPECT_EQ(noErr, PostEventToQueue(GetMainEventQueue(), low, kEventPriorityLow));
  EXPECT_EQ(eventAlreadyPostedErr, PostEventToQueue(GetMainEventQueue(), low, kEventPriorityLow));
  EXPECT_EQ(noErr, PostEventToQueue(GetMainEventQueue(), high, kEventPriorityHigh));
  EXPECT_EQ(2u, GetEventRetainCount(low));
  EXPECT_TRUE(log.calls.empty());

  platform::drainMainQueue();
  EXPECT_EQ((std::vector<int>{2, 1}), log.calls);
  EXPECT_EQ(1u, GetEventRetainCount(low));
  EXPECT_EQ(1u, GetEventRetainCount(high));
  ReleaseEvent(low);
  ReleaseEvent(high);
  platform::disposeEventTarget(target);
}

TEST(EventQueue, PostedEventWhoseTargetWentAwayIsDropped) {
  EventTargetRef target = platform::newEventTarget(nullptr);
  TCarbonEvent event(kEventClassControl, kEventControlHit);
  event.SetParameter(kEventParamPostTarget, typeEventTargetRef, sizeof target, &target);
  ASSERT_EQ(noErr, event.PostToQueue(GetMainEventQueue(), kEventPriorityStandard));
  platform::disposeEventTarget(target);
  platform::drainMainQueue();
  EXPECT_EQ(1u, GetEventRetainCount(event));
}

TEST(EventTime, CurrentEventTimeIsTheClockSeam) {
  platform::ScopedManualClock clock;
  clock->advance(12.5);
  EXPECT_EQ(12.5, GetCurrentEventTime());
}

}  // namespace
