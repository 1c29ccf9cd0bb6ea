// The application's hot keys between runs ("HOTKEY.CFG", 80 bytes: the two
// HOT_KEY records of ports 0 and 1 as they are in memory), and the two key
// tables the settings dialog names keys with.
#pragma once

#include "switch/kvm_switch.h"

// Keys the switch accepts as its own hot key, by USB HID usage; ends with code 0.
extern const HOT_KEY HotKeyList[6];
// Display names of special keys, by the platform's virtual key code; 48
// entries, no end marker, first match wins.
constexpr int kMappedKeyCount = 48;
extern const HOT_KEY MappedKeys[kMappedKeyCount];

// Fills the two records from the file; true if it supplied all 80 bytes.
// Otherwise the defaults (Control+Option+1 and +2) are used and written back.
bool GetHotKeyConfiguration(HOT_KEY* hotKeys);
// True when all 80 bytes were written and the file closed cleanly.
bool SetHotKeyConfiguration(HOT_KEY* hotKeys);

// Length of a stored name: at most its 36 bytes, since a damaged file may
// leave it without a terminator.
size_t HotKeyNameLength(const HOT_KEY& key);
