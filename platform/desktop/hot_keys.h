// Global hot keys: a key with modifiers that reaches the application whatever
// window has the keyboard. A press sends the hot-key-pressed event (class
// kEventClassKeyboard, kind kEventHotKeyPressed) with the key's EventHotKeyID
// as its direct object (typeEventHotKeyID) to the target given at registration,
// through the main queue.
//
// On Linux the key is a passive grab on the X root window. Control stands for
// Control, Option for Alt (Mod1), Command for Super (Mod4), Shift for Shift; the
// key works whatever state Caps Lock and Num Lock are in. On Wayland, or with
// no X display, the desktop portal binds the key instead (portal_shortcuts.h).
// Where neither serves the application (Qt's offscreen platform, an X display
// that cannot be reached), registration fails quietly.
#pragma once

#include "platform/ui/carbon_events.h"

typedef struct OpaqueEventHotKeyRef* EventHotKeyRef;

// Modifier bits of keyboard events and hot keys.
enum : UInt32 {
  cmdKey = 0x0100,
  shiftKey = 0x0200,
  alphaLock = 0x0400,
  optionKey = 0x0800,
  controlKey = 0x1000,
};

enum : OSStatus {
  eventHotKeyExistsErr = -9878,
  eventHotKeyInvalidErr = -9879,
};

// noErr and a reference in *outRef, or:
//   paramErr               no target or no outRef;
//   eventHotKeyExistsErr   the combination is registered already, by this
//                          program or (X refused the grab) by another one;
//   eventHotKeyInvalidErr  the key code names no key, or the keyboard has no
//                          key for it;
//   eventInternalErr       no X server is reachable, or it failed the request;
//                          or the desktop portal cannot be used.
// Nothing is printed, except the portal's one line. inOptions is not used.
OSStatus RegisterEventHotKey(UInt32 inHotKeyCode, UInt32 inHotKeyModifiers, EventHotKeyID inHotKeyID,
                             EventTargetRef inTarget, OptionBits inOptions, EventHotKeyRef* outRef);
// Releases the key. paramErr for a null reference or one already unregistered.
OSStatus UnregisterEventHotKey(EventHotKeyRef inHotKey);
