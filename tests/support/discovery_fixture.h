// A clean switch record, registry, clock and tray picture for each test of the
// program's device side, with the simulated switches to plug in.
#pragma once

#include <gtest/gtest.h>

#include "app/dock_icon.h"
#include "hid/hid_discovery.h"
#include "platform/core/clock.h"
#include "platform/core/main_queue.h"
#include "platform/iokit/device_seam.h"
#include "sim/simulated_switch.h"
#include "tests/support/program_state.h"
#include "tests/support/stderr_capture.h"

namespace testsupport {

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProgramState(); }
  void TearDown() override { ReleaseProgramState(); }
  // Starts matching over the whole device table, as start-up does.
  void StartMatching() { ASSERT_EQ(0, HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount)); }
  // The notification port that start-up's matching would have made.
  void MakeNotifyPort() {
    mach_port_t master = 0;
    IOMasterPort(bootstrap_port, &master);
    gNotifyPort = IONotificationPortCreate(master);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(gNotifyPort),
                       kCFRunLoopDefaultMode);
  }
  // Delivers what the registry has queued for the main run loop.
  void RunLoop() { platform::drainMainQueue(); }

  platform::ScopedManualClock clock_;
  StderrCapture err_;
};

}  // namespace testsupport
