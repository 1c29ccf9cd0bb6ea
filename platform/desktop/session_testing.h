// Test-only: the session watch on a bus of the test's choosing, and logind's
// reports made without logind.
#pragma once

#include <string>

namespace platform {

// startSessionWatch() on the bus at this address (a private bus with a
// stand-in for logind). Any earlier watch is stopped first.
bool startSessionWatchOnBus(const std::string& address);

// logind reported this value of Active. Only a change posts an event.
void simulateSessionActive(bool active);

// What the watch last knew; true before any report.
bool sessionActive();

// Stops the watch and counts the session as active again; posts nothing.
void resetSessionWatch();

// logind announced a sleep (true) or its end (false).
void simulatePrepareForSleep(bool sleeping);

}  // namespace platform
