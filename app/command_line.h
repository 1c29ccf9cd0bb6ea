// The program's options.
#pragma once

#include <optional>

struct CommandLine {
  // Started by the desktop entry or at login.
  bool desktopLaunch = false;
  // Print every diagnostic line, the per-poll one too.
  bool verbose = false;
};

// Parses argv. --help / --version print and exit 0; unknown option: usage on stderr, exit 2.
// Returns the options when the program is to run.
std::optional<CommandLine> ParseCommandLine(int argc, char* argv[], const char* program, int* exitStatus);
