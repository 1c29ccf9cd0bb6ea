// The platform's virtual key codes (the code of a physical key, whatever the
// keyboard layout), in one table that also gives each key's Qt key and X keysym.
// The settings dialog's key capture turns Qt key events into virtual codes; the
// hot keys turn virtual codes into X keysyms to grab.
#pragma once

#include <span>

#include "platform/core/mac_types.h"

class QKeyEvent;

namespace platform {

// "No such key" in virtual codes (0 is the key "A").
constexpr UInt32 kNoVirtualKeyCode = 0xFFFF;
// "No such key" in X keysyms (X's own NoSymbol).
constexpr UInt32 kNoKeysym = 0;

// Whether Qt must report the key with its keypad flag for the entry to match.
enum class QtKeypad : UInt8 {
  without,  // a main-keyboard key
  with,     // a keypad key
  either,   // a keypad key that Qt also reports without the flag
};

struct VirtualKey {
  UInt16 code;       // the platform's virtual key code
  int qtKey;         // Qt::Key
  QtKeypad keypad;
  UInt32 keysym;     // X keysym that the key produces without modifiers
};

// Every key the program can name or grab, main keyboard first, then the keypad,
// then the editing, arrow and function keys.
std::span<const VirtualKey> virtualKeys();
// Null when the code is not in the table.
const VirtualKey* findVirtualKey(UInt32 code);

// The virtual code of a pressed key; kNoVirtualKeyCode for a key not in the table.
UInt32 virtualKeyCode(const QKeyEvent* key);
UInt32 virtualKeyCode(int qtKey, bool keypad);

// kNoKeysym for a code not in the table.
UInt32 keysymForVirtualKeyCode(UInt32 code);
// Upper-case letters give the same key as lower-case ones; kNoVirtualKeyCode
// for a keysym not in the table.
UInt32 virtualKeyCodeForKeysym(UInt32 keysym);

}  // namespace platform
