// Test-only: interface-file references left behind.
#pragma once

#include <cstddef>

namespace platform {

// Interface-file references not yet disposed of.
size_t openNibReferences();

}  // namespace platform
