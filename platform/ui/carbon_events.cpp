#include "platform/ui/carbon_events.h"

#include <QApplication>
#include <QTimer>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "platform/core/clock.h"
#include "platform/core/main_queue.h"
#include "platform/ui/carbon_events_testing.h"

// ---- Event records

struct OpaqueEventRef {
  UInt32 eventClass = 0;
  UInt32 eventKind = 0;
  EventTime when = 0;
  EventAttributes attributes = 0;
  ItemCount retainCount = 1;
  bool queued = false;
  struct Parameter {
    EventParamType type;
    std::vector<uint8_t> bytes;
  };
  std::map<EventParamName, Parameter> parameters;
};

OSStatus CreateEvent(const void*, UInt32 inClassID, UInt32 inKind, EventTime inWhen, EventAttributes inAttributes,
                     EventRef* outEvent) {
  if (!outEvent) return paramErr;
  auto* event = new OpaqueEventRef;
  event->eventClass = inClassID;
  event->eventKind = inKind;
  event->when = inWhen;
  event->attributes = inAttributes;
  *outEvent = event;
  return noErr;
}

EventRef RetainEvent(EventRef inEvent) {
  if (inEvent) ++inEvent->retainCount;
  return inEvent;
}

void ReleaseEvent(EventRef inEvent) {
  if (inEvent && --inEvent->retainCount == 0) delete inEvent;
}

ItemCount GetEventRetainCount(EventRef inEvent) { return inEvent ? inEvent->retainCount : 0; }
UInt32 GetEventClass(EventRef inEvent) { return inEvent ? inEvent->eventClass : 0; }
UInt32 GetEventKind(EventRef inEvent) { return inEvent ? inEvent->eventKind : 0; }
EventTime GetEventTime(EventRef inEvent) { return inEvent ? inEvent->when : 0; }

OSStatus SetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inType, ByteCount inSize,
                           const void* inDataPtr) {
  if (!inEvent || (inSize > 0 && !inDataPtr)) return paramErr;
  auto& parameter = inEvent->parameters[inName];
  parameter.type = inType;
  const auto* bytes = static_cast<const uint8_t*>(inDataPtr);
  parameter.bytes.assign(bytes, bytes + inSize);
  return noErr;
}

OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize, ByteCount* outActualSize,
                           void* outData) {
  if (!inEvent) return paramErr;
  auto it = inEvent->parameters.find(inName);
  if (it == inEvent->parameters.end()) return eventParameterNotFoundErr;
  const auto& parameter = it->second;
  if (inDesiredType != typeWildCard && inDesiredType != parameter.type) return errAECoercionFail;
  if (outActualType) *outActualType = parameter.type;
  if (outActualSize) *outActualSize = parameter.bytes.size();
  if (outData && inBufferSize > 0 && !parameter.bytes.empty()) {
    std::memcpy(outData, parameter.bytes.data(), std::min<size_t>(inBufferSize, parameter.bytes.size()));
  }
  return noErr;
}

EventTime GetCurrentEventTime() { return platform::clock().now(); }

// ---- Handlers and targets
//
// Handlers and targets are known by serial numbers that are never reused, so a
// reference to one that is gone is recognised as such and never reaches freed
// memory; dispatch works on snapshots of those numbers, so handlers may remove
// themselves, or dispose of their window, while they run.

namespace {

struct Handler {
  uint64_t target;
  EventHandlerUPP proc;
  void* userData;
  std::vector<EventTypeSpec> types;

  bool accepts(UInt32 eventClass, UInt32 eventKind) const {
    for (const auto& type : types) {
      if (type.eventClass == eventClass && type.eventKind == eventKind) return true;
    }
    return false;
  }
};

struct Target {
  uint64_t parent = 0;
  bool followsFocus = false;
  std::vector<uint64_t> handlers;  // newest first
  platform::DefaultEventHandler defaultHandler = nullptr;
};

struct Registry {
  uint64_t nextSerial = 1;
  std::map<uint64_t, Handler> handlers;
  std::map<uint64_t, Target> targets;
  uint64_t application = 0;
  platform::FocusTargetProvider focus = nullptr;
};

Registry& registry() {
  static Registry r;
  return r;
}

uint64_t serialOf(const void* ref) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ref)); }
EventTargetRef targetRef(uint64_t serial) { return reinterpret_cast<EventTargetRef>(static_cast<uintptr_t>(serial)); }
EventHandlerRef handlerRef(uint64_t serial) {
  return reinterpret_cast<EventHandlerRef>(static_cast<uintptr_t>(serial));
}

Target* findTarget(EventTargetRef ref) {
  auto& targets = registry().targets;
  auto it = targets.find(serialOf(ref));
  return it == targets.end() ? nullptr : &it->second;
}

Handler* findHandler(EventHandlerRef ref) {
  auto& handlers = registry().handlers;
  auto it = handlers.find(serialOf(ref));
  return it == handlers.end() ? nullptr : &it->second;
}

// One run through the handlers of a dispatch, and the position of the handler
// being called (what CallNextEventHandler continues from).
struct CallFrame {
  const std::vector<uint64_t>* handlers;
  const std::vector<uint64_t>* handlerTargets;
  size_t position;
  bool nextCalled;
};

OSStatus defaultHandling(const std::vector<uint64_t>& chain, EventRef event) {
  for (uint64_t serial : chain) {
    Target* target = findTarget(targetRef(serial));
    if (target && target->defaultHandler) {
      OSStatus status = target->defaultHandler(targetRef(serial), event);
      if (status != eventNotHandledErr) return status;
    }
  }
  if (GetEventClass(event) == kEventClassCommand && GetEventKind(event) == kEventCommandProcess) {
    HICommandExtended command{};
    if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof command, nullptr,
                          &command) == noErr &&
        command.commandID == kHICommandQuit) {
      QuitApplicationEventLoop();
      return noErr;
    }
  }
  return eventNotHandledErr;
}

OSStatus runHandlers(EventRef event, const std::vector<uint64_t>& handlers, const std::vector<uint64_t>& chain,
                     size_t from) {
  const UInt32 eventClass = GetEventClass(event);
  const UInt32 eventKind = GetEventKind(event);
  for (size_t i = from; i < handlers.size(); ++i) {
    Handler* handler = findHandler(handlerRef(handlers[i]));
    if (!handler || !handler->proc || !handler->accepts(eventClass, eventKind)) continue;
    CallFrame frame{&handlers, &chain, i, false};
    OSStatus status;
    try {
      status = handler->proc(reinterpret_cast<EventHandlerCallRef>(&frame), event, handler->userData);
    } catch (...) {
      status = eventInternalErr;
    }
    if (frame.nextCalled || status != eventNotHandledErr) return status;
  }
  return defaultHandling(chain, event);
}

std::vector<uint64_t> targetChain(uint64_t first) {
  std::vector<uint64_t> chain;
  uint64_t serial = first;
  while (serial != 0 && chain.size() < 16) {
    Target* target = findTarget(targetRef(serial));
    if (!target) break;
    chain.push_back(serial);
    if (target->followsFocus) {
      EventTargetRef focus = GetUserFocusEventTarget();
      serial = serialOf(focus);
      // The focus chain is followed as it is; a menu never follows itself.
      if (serial == first) break;
    } else {
      serial = target->parent;
    }
  }
  return chain;
}

OSStatus dispatch(EventRef event, uint64_t first) {
  std::vector<uint64_t> chain = targetChain(first);
  std::vector<uint64_t> handlers;
  for (uint64_t serial : chain) {
    Target* target = findTarget(targetRef(serial));
    handlers.insert(handlers.end(), target->handlers.begin(), target->handlers.end());
  }
  RetainEvent(event);
  OSStatus status = runHandlers(event, handlers, chain, 0);
  ReleaseEvent(event);
  return status;
}

}  // namespace

EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine) { return userRoutine; }
void DisposeEventHandlerUPP(EventHandlerUPP) {}

OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler, ItemCount inNumTypes,
                             const EventTypeSpec* inList, void* inUserData, EventHandlerRef* outRef) {
  if (outRef) *outRef = nullptr;
  Target* target = findTarget(inTarget);
  if (!target || !inHandler || (inNumTypes > 0 && !inList)) return paramErr;
  Registry& r = registry();
  const uint64_t serial = r.nextSerial++;
  Handler handler{serialOf(inTarget), inHandler, inUserData, {}};
  handler.types.assign(inList, inList + inNumTypes);
  r.handlers.emplace(serial, std::move(handler));
  target->handlers.insert(target->handlers.begin(), serial);
  if (outRef) *outRef = handlerRef(serial);
  return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef) {
  Registry& r = registry();
  auto it = r.handlers.find(serialOf(inHandlerRef));
  if (it == r.handlers.end()) return paramErr;
  if (Target* target = findTarget(targetRef(it->second.target))) {
    std::erase(target->handlers, it->first);
  }
  r.handlers.erase(it);
  return noErr;
}

OSStatus AddEventTypesToHandler(EventHandlerRef inHandlerRef, ItemCount inNumTypes, const EventTypeSpec* inList) {
  Handler* handler = findHandler(inHandlerRef);
  if (!handler || (inNumTypes > 0 && !inList)) return paramErr;
  for (ItemCount i = 0; i < inNumTypes; ++i) {
    if (!handler->accepts(inList[i].eventClass, inList[i].eventKind)) handler->types.push_back(inList[i]);
  }
  return noErr;
}

OSStatus RemoveEventTypesFromHandler(EventHandlerRef inHandlerRef, ItemCount inNumTypes,
                                     const EventTypeSpec* inList) {
  Handler* handler = findHandler(inHandlerRef);
  if (!handler || (inNumTypes > 0 && !inList)) return paramErr;
  for (ItemCount i = 0; i < inNumTypes; ++i) {
    std::erase_if(handler->types, [&](const EventTypeSpec& type) {
      return type.eventClass == inList[i].eventClass && type.eventKind == inList[i].eventKind;
    });
  }
  return noErr;
}

OSStatus CallNextEventHandler(EventHandlerCallRef inCallRef, EventRef inEvent) {
  auto* frame = reinterpret_cast<CallFrame*>(inCallRef);
  if (!frame || !inEvent) return paramErr;
  frame->nextCalled = true;
  return runHandlers(inEvent, *frame->handlers, *frame->handlerTargets, frame->position + 1);
}

EventTargetRef GetApplicationEventTarget() {
  Registry& r = registry();
  if (r.application == 0) r.application = serialOf(platform::newEventTarget(nullptr));
  return targetRef(r.application);
}

EventTargetRef GetUserFocusEventTarget() {
  Registry& r = registry();
  EventTargetRef focus = r.focus ? r.focus() : nullptr;
  return focus ? focus : GetApplicationEventTarget();
}

OSStatus SendEventToEventTarget(EventRef inEvent, EventTargetRef inTarget) {
  if (!inEvent || !findTarget(inTarget)) return paramErr;
  return dispatch(inEvent, serialOf(inTarget));
}

// ---- Queue

namespace {

std::deque<EventRef>& queueOfPriority(EventPriority priority) {
  static std::deque<EventRef> queues[3];
  return queues[priority < kEventPriorityLow ? 0 : priority > kEventPriorityHigh ? 2 : priority];
}

void deliverNextPosted() {
  for (int priority = kEventPriorityHigh; priority >= kEventPriorityLow; --priority) {
    auto& queue = queueOfPriority(EventPriority(priority));
    if (queue.empty()) continue;
    EventRef event = queue.front();
    queue.pop_front();
    event->queued = false;
    EventTargetRef target = nullptr;
    if (GetEventParameter(event, kEventParamPostTarget, typeEventTargetRef, nullptr, sizeof target, nullptr,
                          &target) != noErr) {
      target = GetApplicationEventTarget();
    }
    // A target disposed of since the posting takes nothing.
    if (findTarget(target)) dispatch(event, serialOf(target));
    ReleaseEvent(event);
    return;
  }
}

struct OpaqueEventQueueRef* mainQueueRef() {
  static int anchor;
  return reinterpret_cast<EventQueueRef>(&anchor);
}

}  // namespace

EventQueueRef GetMainEventQueue() { return mainQueueRef(); }
EventQueueRef GetCurrentEventQueue() { return mainQueueRef(); }

OSStatus PostEventToQueue(EventQueueRef inQueue, EventRef inEvent, EventPriority inPriority) {
  if (inQueue != mainQueueRef() || !inEvent) return paramErr;
  if (inEvent->queued) return eventAlreadyPostedErr;
  inEvent->queued = true;
  queueOfPriority(inPriority).push_back(RetainEvent(inEvent));
  platform::postToMainQueue(deliverNextPosted);
  return noErr;
}

// ---- Loop and clock

namespace {

class QtClock : public platform::SteadyTimeClock {
 public:
  TimerId addTimer(double firstDelay, double interval, std::function<void()> fire) override {
    const TimerId id = nextId_++;
    auto* timer = new QTimer;
    timer->setSingleShot(interval <= 0);
    timers_[id] = timer;
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, interval, timer, fire] {
      if (interval > 0) {
        timer->setInterval(int(interval * 1000));
      } else {
        removeTimer(id);
      }
      if (fire) fire();
    });
    timer->start(int(std::max(0.0, firstDelay) * 1000));
    return id;
  }
  void removeTimer(TimerId id) override {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second->stop();
    // The timer may be the one firing now.
    it->second->deleteLater();
    timers_.erase(it);
  }

 private:
  TimerId nextId_ = 1;
  std::map<TimerId, QTimer*> timers_;
};

}  // namespace

namespace platform {

void ensureApplication() {
  if (!QApplication::instance()) {
    static int argc = 1;
    static char name[] = "portvane";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit Qt's own globals go first, and the windows
    // that live for the whole run (tray, settings dialog) must not be torn
    // down after them.
    static QApplication* const application = new QApplication(argc, argv);
    (void)application;
  }
  // The program's timers run on Qt's loop; a clock installed already (a
  // test's manual clock, or one that wraps the Qt clock) stays.
  if (!clockInstalled()) installQtClock();
  setMainQueueWaker([] {
    if (QCoreApplication* app = QCoreApplication::instance()) {
      QMetaObject::invokeMethod(app, [] { drainMainQueue(); }, Qt::QueuedConnection);
    }
  });
}

void installQtClock() {
  static QtClock clock;
  setClock(&clock);
}

EventTargetRef newEventTarget(EventTargetRef parent, bool followsFocus) {
  Registry& r = registry();
  const uint64_t serial = r.nextSerial++;
  Target target;
  target.parent = serialOf(parent);
  target.followsFocus = followsFocus;
  r.targets.emplace(serial, std::move(target));
  return targetRef(serial);
}

void disposeEventTarget(EventTargetRef ref) {
  Registry& r = registry();
  auto it = r.targets.find(serialOf(ref));
  if (it == r.targets.end()) return;
  for (uint64_t handler : it->second.handlers) r.handlers.erase(handler);
  r.targets.erase(it);
}

size_t eventHandlerCount(EventTargetRef ref) {
  Target* target = findTarget(ref);
  return target ? target->handlers.size() : 0;
}

void setDefaultEventHandler(EventTargetRef ref, DefaultEventHandler handler) {
  if (Target* target = findTarget(ref)) target->defaultHandler = handler;
}

void setFocusTargetProvider(FocusTargetProvider provider) { registry().focus = provider; }

void postEventToTarget(EventRef event, EventTargetRef target) {
  SetEventParameter(event, kEventParamPostTarget, typeEventTargetRef, sizeof target, &target);
  PostEventToQueue(GetMainEventQueue(), event, kEventPriorityStandard);
}

void postCommandEvent(const HICommandExtended& command, EventTargetRef target) {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), kEventAttributeUserEvent,
                  &event) != noErr) {
    return;
  }
  SetEventParameter(event, kEventParamDirectObject, typeHICommand, sizeof command, &command);
  postEventToTarget(event, target);
  ReleaseEvent(event);
}

}  // namespace platform

void RunApplicationEventLoop() {
  platform::ensureApplication();
  // The program lives on without a visible window (tray, hot keys).
  QApplication::setQuitOnLastWindowClosed(false);
  // Work queued before the loop started runs once it runs, so that a quit
  // among it ends this loop rather than nothing.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { platform::drainMainQueue(); }, Qt::QueuedConnection);
  QApplication::exec();
}

void QuitApplicationEventLoop() {
  if (QCoreApplication::instance()) QCoreApplication::exit(0);
}
