// Test-only: the hot keys registered, pressed without an X server, and
// grabbed on an X display of the test's choosing.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/carbon_events.h"

namespace platform {

struct RegisteredHotKey {
  UInt32 code;
  UInt32 modifiers;
  EventHotKeyID id;
};

// The registered hot keys, oldest first.
std::vector<RegisteredHotKey> registeredHotKeys();

// Delivers a press of a registered key as the X server would; false when no
// registration has this code and these modifiers (no X needed).
bool simulateHotKeyPress(UInt32 code, UInt32 modifiers);

// While on, registrations are kept in the program only and never touch X, so
// headless tests register keys and press them with simulateHotKeyPress. A key
// code without a key still fails with eventHotKeyInvalidErr.
void useSimulatedHotKeys(bool on);

// Grab on this X display (":5") whatever Qt's platform is; an empty name goes
// back to the default (DISPLAY, and only under Qt's xcb platform). The
// connection to the previous display is closed and its grabs forgotten.
void useHotKeyDisplay(const std::string& display);

}  // namespace platform
