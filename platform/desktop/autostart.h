// Start at login: the user's XDG autostart entry for the program,
// $XDG_CONFIG_HOME/autostart/io.github.portvane.Portvane.desktop, which the
// session reads at login and which runs the desktop launch of the program that
// wrote it: "portvane --desktop" when that program is the portvane found on
// PATH, otherwise its absolute path ("/home/me/build/app/portvane" --desktop,
// quoted as desktop entries quote), so that a program run from a build tree
// or another folder is the one started. Main thread only.
#pragma once

#include <string>

namespace platform {

// $XDG_CONFIG_HOME, or ~/.config where it is not set.
std::string userConfigFolder();
// Where the program's autostart entry lives.
std::string autostartEntryPath();
// True when the entry is there, can be read and does not switch itself off
// (Hidden=true, or the X-GNOME-Autostart-enabled=false a session's settings
// write).
bool startsAtLogin();
// Writes the entry (creating the autostart folder when missing) or removes
// it; nothing else in the folder is touched. The entry is replaced whole or
// not at all. On failure the user is told why, on standard error in one line
// naming the path and in a notice that blocks nothing, and false comes back.
bool setStartAtLogin(bool start);

}  // namespace platform
