// Test-only: who is in front, whatever Qt says, and how often the program
// asked to come to the front.
#pragma once

namespace platform {

// Bringing the program to the front makes `ours` true.
enum class FrontProcess { asQtSays, ours, another };
void simulateFrontProcess(FrontProcess front);

// How often the program was brought to the front.
int frontProcessRequests();
void resetFrontProcessRequests();

}  // namespace platform
