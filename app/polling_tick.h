// The poll timer's callback: re-reads the switch on the switch worker and then
// brings the picture up to date. A tick that comes while the last read still
// waits for the switch merges into it.
#pragma once

#include <functional>

#include "platform/core/event_loop_timers.h"
#include "switch/kvm_switch.h"

// `userData` is the KVM_SWITCH*.
void TimerFunction(EventLoopTimerRef timer, void* userData);

// The tick's work: reads `sw` on the switch worker (unless the login is
// switched out) and shows its port; then `then` (may be empty) gets the read's
// status on the main thread.
void ReadSwitchAndShow(KVM_SWITCH* sw, std::function<void(IOReturn)> then);
