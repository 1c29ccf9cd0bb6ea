// The poll timer's callback: re-reads the switch on the switch worker and then
// brings the picture up to date. A tick that comes while the last read still
// waits for the switch merges into it.
#pragma once

#include "platform/core/event_loop_timers.h"

// `userData` is the KVM_SWITCH*.
void TimerFunction(EventLoopTimerRef timer, void* userData);
