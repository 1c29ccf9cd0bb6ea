// The poll timer's callback: re-reads the switch and brings the picture up to date.
#pragma once

#include "platform/core/event_loop_timers.h"

// `userData` is the KVM_SWITCH*.
void TimerFunction(EventLoopTimerRef timer, void* userData);

// After a sleep: the tick's work at once rather than at the next tick, so that
// the picture shows the computer the switch was moved to meanwhile. Nothing
// while no switch is polled.
void ReadSwitchAfterSleep();
