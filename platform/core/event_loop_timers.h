// Event-loop timers on the clock seam: callbacks on the main thread after a
// first delay, then at a fixed interval, until removed.
#pragma once

#include <cstddef>

#include "platform/core/mac_types.h"

typedef struct OpaqueEventLoopRef* EventLoopRef;
typedef struct __EventLoopTimer* EventLoopTimerRef;
typedef double EventTimerInterval;
typedef void (*EventLoopTimerProcPtr)(EventLoopTimerRef inTimer, void* inUserData);
typedef EventLoopTimerProcPtr EventLoopTimerUPP;

constexpr EventTimerInterval kEventDurationSecond = 1.0;

EventLoopRef GetMainEventLoop();
EventLoopTimerUPP NewEventLoopTimerUPP(EventLoopTimerProcPtr userRoutine);
void DisposeEventLoopTimerUPP(EventLoopTimerUPP userUPP);
// An interval of 0 fires once.
OSStatus InstallEventLoopTimer(EventLoopRef inEventLoop, EventTimerInterval inFireDelay,
                               EventTimerInterval inInterval, EventLoopTimerUPP inTimerProc, void* inTimerData,
                               EventLoopTimerRef* outTimer);
OSStatus RemoveEventLoopTimer(EventLoopTimerRef inTimer);

namespace platform {
// Timers installed and not yet removed.
size_t liveEventLoopTimers();
}  // namespace platform
