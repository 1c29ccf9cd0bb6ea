// One running program per user: the first start holds a lock file in the
// user's runtime folder ($XDG_RUNTIME_DIR, or Qt's private folder under the
// temporary folder without it) and listens on a local socket beside it; a
// later start finds the lock, asks the first over the socket to open its
// settings dialog (the "pref" command, posted to the application) and is told
// to exit. A lock left by a process that is gone (a crash, kill -9) is taken
// over. No session bus is needed. Main thread only, after the application
// exists and before its event loop runs.
#pragma once

namespace platform {

enum class InstanceStart {
  // This process runs: it holds the lock and answers later starts, or no lock
  // could be kept (said on standard error) and it runs all the same.
  kFirst,
  // Another instance runs and opens its settings; this start is to exit 0.
  kHandedOver,
  // Another instance holds the lock but does not answer; this start is to exit 1.
  kNoAnswer,
};

// `name`: the lock file is <runtime folder>/<name>.lock, the socket <name>.socket.
// Prints the one line that says what happened when this process is not to run
// as the first: "portvane: already running; opened its settings".
InstanceStart claimSingleInstance(const char* name);

}  // namespace platform
