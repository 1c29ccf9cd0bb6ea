// Whether the display servers a program is pointed at answer, asked before
// Qt is, which aborts the process when none of its platforms can start.
#pragma once

#include <string>

namespace platform {

// Whether an X server accepts a connection on `display` (as DISPLAY names
// it: ":1", "host:0.0"); the connection is closed again at once.
bool xServerAnswers(const std::string& display);

// Whether a Wayland compositor listens on `display` (as WAYLAND_DISPLAY
// names it: a socket in $XDG_RUNTIME_DIR, or an absolute path); the
// connection is closed again at once.
bool waylandCompositorAnswers(const std::string& display);

}  // namespace platform
