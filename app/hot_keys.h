// The global hot keys: Control+Option plus the chosen key, one per port of the
// attached switch, reported to the application as hot-key events.
#pragma once

// Replaces the registered hot keys by those in KVMSwitch.hotKeys, one per port
// below KVMSwitch.info.portCount (at most two).
void RegisterHotKeys();

// Unregisters everything and starts over as at start-up (tests).
void ForgetHotKeyRegistrations();
