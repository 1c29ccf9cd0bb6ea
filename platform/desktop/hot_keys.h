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
//
// An X grab is taken or refused before RegisterEventHotKey returns. The
// desktop portal answers later, and may answer again (it goes away, comes
// back, or the user changes the key in the desktop's settings): a key it
// binds is registered at once, and where it stands is told afterwards
// (hotKeyStanding, setHotKeyStandingListener).
#pragma once

#include <functional>
#include <string>

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
//   eventInternalErr       no X server is reachable, or it failed the request.
// Nothing is printed. inOptions is not used.
OSStatus RegisterEventHotKey(UInt32 inHotKeyCode, UInt32 inHotKeyModifiers, EventHotKeyID inHotKeyID,
                             EventTargetRef inTarget, OptionBits inOptions, EventHotKeyRef* outRef);
// Releases the key. paramErr for a null reference or one already unregistered.
OSStatus UnregisterEventHotKey(EventHotKeyRef inHotKey);

namespace platform {

// Where a registered hot key stands with the desktop.
enum class HotKeyStanding {
  kActive,     // pressing it reaches the application
  kWaiting,    // the desktop has not answered yet
  kElsewhere,  // the desktop bound it to another trigger: `detail` describes it, in the desktop's words
  kRefused,    // the desktop will not bind it: `detail` says why; asked again when the desktop's portal restarts
  kRetrying,   // the desktop could not be asked or did not answer: `detail` says why; asked again soon
};

struct HotKeyState {
  HotKeyStanding standing = HotKeyStanding::kActive;
  std::string detail;  // UTF-8, in the user's words
};

// Where the key stands now; an X grab is always active.
HotKeyState hotKeyStanding(EventHotKeyRef ref);
// Called on the main thread with the key's reference each time where it
// stands changes; a key unregistered meanwhile is not told. Null: nobody.
void setHotKeyStandingListener(std::function<void(EventHotKeyRef)> changed);

}  // namespace platform
