// What a start from the desktop changes, decided once the application exists
// and before anything else starts: one instance per session, where
// HOTKEY.CFG lives and whether the per-poll line is printed.
#pragma once

#include "app/command_line.h"

// `instanceName` is the instance's name on the session bus, and names its
// lock and socket in the runtime folder where there is no bus (null: no
// one-instance check). False when this start is not to run: another
// instance was asked to open its settings (*exitStatus 0) or does not answer
// (*exitStatus 1).
//
// A desktop launch (--desktop) keeps HOTKEY.CFG in $XDG_CONFIG_HOME/portvane/
// (made, 0700, when missing; where it cannot be made or entered, one line on
// standard error and the current folder as before) and leaves the per-poll
// "USB Buffer Info" line out unless --verbose or PORTVANE_VERBOSE=1. A start
// from a shell changes neither.
bool PrepareLaunch(const CommandLine& options, const char* instanceName, int* exitStatus);
