// Test-only: handlers left installed on an event target.
#pragma once

#include <cstddef>

#include "platform/ui/carbon_events.h"

namespace platform {

// Handlers currently installed on a target.
size_t eventHandlerCount(EventTargetRef target);

}  // namespace platform
