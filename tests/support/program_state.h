// The program's device-side state brought back to what start-up begins with,
// and let go of again afterwards: the switch record and its lock, the
// registry, the notification port, the poll timer and the picture shown.
// Shared by the tests and the benchmarks.
#pragma once

#include <cstring>

#include "app/dock_icon.h"
#include "app/polling_tick.h"
#include "hid/hid_discovery.h"
#include "platform/core/main_queue.h"
#include "platform/iokit/device_seam.h"

namespace testsupport {

inline void ResetProgramState() {
  platform::resetRegistry();
  memset(&KVMSwitch, 0, sizeof KVMSwitch);
  MPCreateCriticalRegion(&KVMSwitch.criticalRegion);
  gNotifyPort = nullptr;
  theTimer = nullptr;
  CurrentIconNumber = -1;
  // Discovery shows and polls what it attaches, as start-up has it do.
  gDiscoveryFollowUps = {ChangeDockIcon, TimerFunction};
}

inline void ReleaseProgramState() {
  if (theTimer) RemoveEventLoopTimer(theTimer);
  theTimer = nullptr;
  ReleaseDeviceRecord(&KVMSwitch.info.device);
  platform::drainMainQueue();
  platform::resetRegistry();
  if (gNotifyPort) IONotificationPortDestroy(gNotifyPort);
  gNotifyPort = nullptr;
  MPDeleteCriticalRegion(KVMSwitch.criticalRegion);
  gDiscoveryFollowUps = {nullptr, nullptr};
}

}  // namespace testsupport
