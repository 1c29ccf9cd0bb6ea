// One running program per session. With a session bus, the bus name does it:
// the first start owns the name (io.github.portvane.Portvane), with the
// application's org.freedesktop.Application object and the switch's object
// (switch_service.h) on the bus before it; a later start finds the name owned
// and calls the owner's org.freedesktop.Application.Activate with the
// launch's activation token (XDG_ACTIVATION_TOKEN, DESKTOP_STARTUP_ID), which
// posts the "pref" command and raises the settings with that token. A name
// owned by a program that is not ours is said in one line, and this one runs
// without its bus interface.
//
// Without a session bus (or with its name taken so), a lock file in the
// user's runtime folder ($XDG_RUNTIME_DIR, or Qt's private folder under the
// temporary folder without it) and a local socket beside it do the same: a
// later start finds the lock, asks the first over the socket to open its
// settings and is told to exit. A lock left by a process that is gone (a
// crash, kill -9) is taken over.
//
// Main thread only, after the application exists and before its event loop
// runs (the first's answers wait for its event loop).
#pragma once

namespace platform {

enum class InstanceStart {
  // This process runs: it holds the lock and answers later starts, or no lock
  // could be kept (said on standard error) and it runs all the same.
  kFirst,
  // Another instance runs and opens its settings; this start is to exit 0.
  kHandedOver,
  // Another instance holds the name or the lock but does not answer; this
  // start is to exit 1.
  kNoAnswer,
};

// `name`: the bus name; the lock file is <runtime folder>/<name>.lock, the
// socket <name>.socket. Prints the one line that says what happened when this
// process is not to run as the first: "portvane: already running; opened its
// settings".
InstanceStart claimSingleInstance(const char* name);

}  // namespace platform
