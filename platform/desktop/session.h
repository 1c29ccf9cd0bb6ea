// The user's login session being switched out and back in (fast user
// switching): logind's Active property of the session the program runs in,
// watched over the system bus. When the session becomes inactive the
// application receives the system event kEventSystemUserSessionDeactivated
// (class kEventClassSystem), when it becomes active again
// kEventSystemUserSessionActivated, through the main queue. Until told
// otherwise the session counts as active.
//
// The same watch hears logind announce the end of a sleep (the manager's
// PrepareForSleep(false)) and runs the wake handler through the main queue.
#pragma once

#include <functional>

namespace platform {

// Finds the session (XDG_SESSION_ID, else the one holding this process, else
// logind's "auto" session) and starts watching it. False, quietly, without a
// system bus, without logind, or before the application object exists. A session found inactive already is reported
// as a change. Calling it again after a success does nothing and returns true.
bool startSessionWatch();

// Run on the main queue each time the computer wakes from a sleep; empty: none.
void setWakeHandler(std::function<void()> handler);

}  // namespace platform
