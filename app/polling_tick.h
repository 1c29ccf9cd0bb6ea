// The poll timer's callback: re-reads the switch and brings the picture up to date.
#pragma once

#include "platform/core/event_loop_timers.h"

// `userData` is the KVM_SWITCH*.
void TimerFunction(EventLoopTimerRef timer, void* userData);
