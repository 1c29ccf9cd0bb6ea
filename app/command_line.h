// The programs' command line, read before the application is made, so that
// --help and --version work without a display.
#pragma once

#include <optional>

struct CommandLine {
  // --desktop: started by the desktop entry or at login rather than from a shell.
  bool desktopLaunch = false;
  // --verbose, or PORTVANE_VERBOSE set to anything but "" or "0": every line is printed.
  bool verbose = false;
};

// Parses argv. --help / --version print and exit 0; unknown option: usage on stderr, exit 2.
// Without a graphical session for Qt (DISPLAY, WAYLAND_DISPLAY, or a QT_QPA_PLATFORM
// that needs neither, such as offscreen) one line on stderr, exit 1.
// Returns the options when the program is to run.
std::optional<CommandLine> ParseCommandLine(int argc, char* argv[], const char* program, int* exitStatus);

// The options the running program was started with, as the last successful
// ParseCommandLine returned them (all off before).
const CommandLine& ProgramCommandLine();
