// Global hot keys through the XDG desktop portal, where no program may grab a
// key (a Wayland session, or no X display): the program's keys become the
// shortcuts of one session of org.freedesktop.portal.GlobalShortcuts on the
// session bus, each with its key as the preferred trigger ("CTRL+ALT+1"); the
// desktop may let the user choose another trigger. An activation of a shortcut
// runs the press action given with its key.
//
// A portal that is missing, too old or that refuses is said in one line,
//   portvane: global hot keys are not available: <reason>
// after which the program goes on without hot keys: later keys fail quietly.
// The portal going away is said the same way; the next key tries it afresh.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/ui/carbon_events.h"

namespace platform {

// Whether the portal stands in for X grabs: the application shows on Wayland
// (Qt's platform, or WAYLAND_DISPLAY set: under XWayland an X grab only sees
// keys meant for X windows), or on a desktop without an X display. Never under
// Qt's offscreen and minimal platforms, which have no desktop; always while a
// test has chosen a bus for it (portal_shortcuts_testing.h).
bool portalStandsIn();

// Adds the key (a virtual key code, with the hot-key modifier bits) as the
// shortcut of the registration `serial`; `press` runs on each activation, on
// the main thread. The first key opens the session, waiting for the portal's
// answer. noErr, or eventInternalErr when the portal cannot be used (the line
// is printed once). The keys are bound from the main queue, all in one
// BindShortcuts call, so that the keys a caller changes one after another
// reach the portal (and the user, if it asks) as one set.
OSStatus portalAddShortcut(uintptr_t serial, UInt32 code, UInt32 modifiers, EventHotKeyID id,
                           std::function<void()> press);

// Removes the registration's shortcut, if it has one, and binds the rest; the
// session closes with the last one.
void portalRemoveShortcut(uintptr_t serial);

}  // namespace platform
