// The kernel's devices in the registry: every USB hidraw device becomes an
// "IOHIDDevice" entry, with its USB interface ("IOUSBInterface") one level up
// and its USB device ("IOUSBDevice") two levels up, and a udev monitor on the
// main loop publishes later arrivals and terminates removals.
#pragma once

namespace platform {

// Publishes the hidraw devices present now and starts following hot-plug.
// Call once on the main thread, after the Qt application object exists (the
// monitor is a socket notifier on its loop) and before matching starts.
// Returns false when udev cannot be reached; nothing is published then.
bool startLinuxDevices();
// Stops following hot-plug and terminates every entry published.
void stopLinuxDevices();
// Handles every udev event waiting on the monitor; the loop calls it when the
// monitor's socket becomes readable.
void processLinuxDeviceEvents();

}  // namespace platform
