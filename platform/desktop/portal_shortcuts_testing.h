// Test-only: the portal on a bus of the test's choosing.
#pragma once

#include <string>

namespace platform {

// The portal on the bus at this address, whatever the desktop is; an empty
// address goes back to the session bus. The session, the shortcuts and any
// earlier failure are forgotten.
void useHotKeyPortalBus(const std::string& address);

}  // namespace platform
