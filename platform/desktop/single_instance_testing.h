// Test-only: what the single instance did with a later start's request.
#pragma once

#include <string>

namespace platform {

// The activation token that the last org.freedesktop.Application.Activate
// handed to the window system for raising the settings; empty before any, or
// when the caller gave none.
std::string activationTokenGiven();

}  // namespace platform
