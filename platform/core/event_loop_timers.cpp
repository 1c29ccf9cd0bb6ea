#include "platform/core/event_loop_timers.h"

#include <set>

#include "platform/core/clock.h"

struct __EventLoopTimer {
  platform::Clock::TimerId id = 0;
  EventLoopTimerUPP proc = nullptr;
  void* data = nullptr;
};

namespace {

struct OpaqueMainLoop {};
OpaqueMainLoop theMainLoop;

std::set<EventLoopTimerRef>& liveTimers() {
  static std::set<EventLoopTimerRef> timers;
  return timers;
}

}  // namespace

EventLoopRef GetMainEventLoop() { return reinterpret_cast<EventLoopRef>(&theMainLoop); }

EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr userRoutine) { return userRoutine; }

void DisposeEventLoopTimerUPP(EventLoopTimerUPP) {}

OSStatus InstallEventLoopTimer(EventLoopRef inEventLoop, EventTimerInterval inFireDelay,
                               EventTimerInterval inInterval, EventLoopTimerUPP inTimerProc, void* inTimerData,
                               EventLoopTimerRef* outTimer) {
  if (outTimer) *outTimer = nullptr;
  if (!inEventLoop || !inTimerProc || !outTimer || inFireDelay < 0 || inInterval < 0) return paramErr;
  auto* timer = new __EventLoopTimer;
  timer->proc = inTimerProc;
  timer->data = inTimerData;
  timer->id = platform::clock().addTimer(inFireDelay, inInterval, [timer] { timer->proc(timer, timer->data); });
  if (timer->id == 0) {
    delete timer;
    return eventInternalErr;
  }
  liveTimers().insert(timer);
  *outTimer = timer;
  return noErr;
}

OSStatus RemoveEventLoopTimer(EventLoopTimerRef inTimer) {
  if (!inTimer || liveTimers().erase(inTimer) == 0) return paramErr;
  platform::clock().removeTimer(inTimer->id);
  delete inTimer;
  return noErr;
}

namespace platform {
size_t liveEventLoopTimers() { return liveTimers().size(); }
}  // namespace platform
