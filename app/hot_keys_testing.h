// Test-only: the hot keys brought back to start-up between tests.
#pragma once

// Unregisters everything and starts over as at start-up.
void ForgetHotKeyRegistrations();
