// portvane-ctl, the command line for scripts and desktop shortcuts: it finds
// the switch once, as the program does at start, and reads it or sends it one
// command through the program's own switch operations and pacing.
#pragma once

#include <string>
#include <vector>

namespace ctl {

// The exit statuses, one per way a call can end.
enum Status : int {
  kDone = 0,
  kFailed = 1,          // udev or the device registry could not be used
  kBadArgument = 2,     // printed with the usage
  kNoSwitch = 3,        // no supported switch is plugged in
  kNoPermission = 4,    // its device node may not be opened by this user
  kNotAnswering = 5,    // found, but it does not answer
  kNotOnThisSwitch = 6  // the switch has no such setting
};

struct Result {
  int status = kDone;
  std::string out;  // for standard output
  std::string err;  // for standard error: one line, or a line and the usage
};

// Runs one command line; `arguments` leaves out the program's name. The
// program's own diagnostic lines are kept off standard error while the
// switch is found and used, unless "--verbose" is given.
Result run(const std::vector<std::string>& arguments);

}  // namespace ctl
