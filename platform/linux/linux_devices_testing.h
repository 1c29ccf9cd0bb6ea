// Test-only: the registry entries udev's devices left behind.
#pragma once

#include <cstddef>

namespace platform {

// Published entries of the three kinds.
size_t linuxDeviceEntries();

}  // namespace platform
