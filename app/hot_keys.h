// The global hot keys: Control+Option plus the chosen key, one per port of the
// attached switch, reported to the application as hot-key events.
#pragma once

#include <functional>
#include <string>

// Replaces the registered hot keys by those in KVMSwitch.hotKeys, one per port
// below KVMSwitch.info.portCount (at most two). A key the desktop refuses
// stays without a hot key; one line on standard error names it and says why
// ("portvane: hot key Control+Alt+1 is not active: another program holds it"),
// and the tray says so until the next registration.
//
// Where the desktop portal binds the keys, its answer comes later, and may
// change (ShowSwitchState and the notes below follow it):
// - until it answers, the tray's note says "Control+Alt+1 is waiting for the
//   desktop to bind it", and nothing is printed;
// - a key it refuses or binds to another trigger gets its line ("... is not
//   active: the desktop refused it", "... is not active: the desktop bound
//   Shift+F1 instead");
// - a desktop that cannot be asked now is asked again later: "portvane: hot
//   key Control+Alt+1 is not active yet: the desktop portal does not answer;
//   trying again";
// - a key that becomes active after such a line says so: "portvane: hot key
//   Control+Alt+1 is active".
void RegisterHotKeys();

// What the user reads about the hot key of `port` (UTF-8): why it is not
// active as asked ("Control+Alt+1 is not active: another program holds it"),
// or that the desktop has yet to answer; empty when the key is active or was
// not asked for.
std::string HotKeyNote(int port);

// Called on the main thread whenever a note changed after the registration
// (the desktop answered, or changed its answer), once the tray shows it.
// Null: nobody.
void WatchHotKeyNotes(std::function<void()> changed);
