// Global hot keys through the XDG desktop portal, where no program may grab a
// key (a Wayland session, or no X display): the program's keys become the
// shortcuts of one session of org.freedesktop.portal.GlobalShortcuts on the
// session bus, each with its key as the preferred trigger ("CTRL+ALT+1"); the
// desktop may bind another trigger, or let the user choose one. An activation
// of a shortcut runs the press action given with its key.
//
// Everything is asked asynchronously from the main thread, which never waits
// for the portal: a key is added at once and waits (HotKeyStanding::kWaiting)
// until the desktop has answered. The set of keys is bound anew, in a session
// of its own, from the main queue after every change, so that keys changed
// one after another reach the desktop (and the user, if it asks) as one set.
// The shortcuts go with CreateSession's options (some desktops register them
// only from there) and, unless the session already holds every one of them,
// with BindShortcuts; its answer says which triggers the desktop bound.
//
// A portal that does not answer, or whose desktop could not bind, is asked
// again after 1 s, then 2, 4, ... up to 60 s between tries, and at once when
// one of the desktop's portal back-ends gets a new owner. A portal that is
// missing or has no GlobalShortcuts, and a desktop that refuses, are not
// asked again until the keys change or the portal's name gets a new owner. A
// new owner of the portal's name has the keys bound again at once; a
// back-end that comes or goes while they are bound has the portal asked
// whether it still holds them. Nothing is printed here: the application says
// what the keys' standing means to the user.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/desktop/hot_keys.h"
#include "platform/ui/carbon_events.h"

namespace platform {

// Whether the portal stands in for X grabs: the application shows on Wayland
// (Qt's platform, or WAYLAND_DISPLAY set: under XWayland an X grab only sees
// keys meant for X windows), or on a desktop without an X display. Never under
// Qt's offscreen and minimal platforms, which have no desktop.
bool portalStandsIn();

// Adds the key (a virtual key code, with the hot-key modifier bits) as the
// shortcut of the registration `serial`; `press` runs on each activation, on
// the main thread. noErr, the key waiting for the desktop; or
// eventHotKeyInvalidErr for a code that names no key.
OSStatus portalAddShortcut(uintptr_t serial, UInt32 code, UInt32 modifiers, EventHotKeyID id,
                           std::function<void()> press);

// Removes the registration's shortcut, if it has one, and binds the rest; the
// session closes with the last one.
void portalRemoveShortcut(uintptr_t serial);

// Where the registration's shortcut stands.
HotKeyState portalShortcutStanding(uintptr_t serial);

// Called on the main thread with the registration's serial each time its
// shortcut's standing changes.
void setPortalStandingListener(std::function<void(uintptr_t serial)> changed);

}  // namespace platform
