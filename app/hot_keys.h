// The global hot keys: Control+Option plus the chosen key, one per port of the
// attached switch, reported to the application as hot-key events.
#pragma once

#include <string>

// Replaces the registered hot keys by those in KVMSwitch.hotKeys, one per port
// below KVMSwitch.info.portCount (at most two). A key the desktop refuses
// stays without a hot key; one line on standard error names it and says why
// ("portvane: hot key Control+Alt+1 is not active: another program holds it"),
// and the tray says so until the next registration.
void RegisterHotKeys();

// What the user reads about the hot key of `port` when the last registration
// could not take it ("Control+Alt+1 is not active: another program holds
// it"), with the key's name as stored (Latin-1); empty when the key is active
// or was not asked for.
std::string InactiveHotKeyNote(int port);
// The same in UTF-8, for the terminal and the tray.
std::string InactiveHotKeyNoteUtf8(int port);

