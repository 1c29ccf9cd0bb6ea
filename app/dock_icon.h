// The tray picture shows the active computer: one picture per port, the
// application's own when no port can be shown.
#pragma once

#include <string>

// Icon number of the picture shown; -1 at start (the application's own).
extern int CurrentIconNumber;

// Shows the picture of icon number `port` (0-3: "pc1.icns".."pc4.icns", any
// other: "portvane.icns"). Does nothing when that number is already shown.
void ChangeDockIcon(int port);

// Tells the tray what the switch is doing, from KVMSwitch: which computer is
// active ("Computer 1"), that no switch is attached ("No switch attached"),
// that the switch let its last read time out ("Switch not answering"), or
// that the state cannot be told now ("Switch state unknown": a failed read,
// two port readings that disagree, a switch found while the session is
// away), with a line for each hot key that is not active. Costs nothing when
// nothing changed.
void ShowSwitchState();
// The lines ShowSwitchState adds, one per hot key that is not active (the hot
// keys keep them up to date; UTF-8, may be empty). Shown at the next call.
void SetHotKeyNotes(const std::string& notes);
