#include "app/main.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/carbon_app.h"
#include "app/dock_icon.h"
#include "app/hot_key_config.h"
#include "app/hot_keys.h"
#include "app/polling_tick.h"
#include "app/switch_bus.h"
#include "hid/hid_discovery.h"
#include "platform/core/switch_worker.h"
#include "platform/core/sysctl.h"
#include "switch/kvm_access.h"
#include "switch/kvm_switch.h"

int is_pid_native(int pid) {
  if (pid != 0) return 0;
  int native = 0;
  size_t size = sizeof native;
  if (sysctlbyname("sysctl.proc_native", &native, &size, nullptr, 0) == -1) {
    const int error = errno;
    fprintf(stderr, "sysctlbyname_with_pid(0): sysctlbyname failed: %s\n", strerror(error));
    if (error != ENOENT) fprintf(stderr, "is_pid_native: sysctlbyname_with_pid  failed:%s\n", strerror(error));
    return -1;
  }
  return native;
}

int PortvaneMain(int, char*[]) {
  CarbonApp app;

  switch (is_pid_native(0)) {
    case 1:
      fprintf(stderr, "Portvane is running natively on an Intel-based Macintosh computer\n");
      break;
    case 0:
      fprintf(stderr, "Portvane is not native but running translated using Rosetta\n");
      break;
    case -1:
      fprintf(stderr, "Portvane is running natively on a PowerPC Macintosh computer\n");
      break;
  }

  const uint32_t probe = 0x02000001;
  unsigned char firstByte = 0;
  memcpy(&firstByte, &probe, 1);
  if (firstByte == 1) {
    fprintf(stderr, "Portvane is running on a Little Endian Byte Order CPU\n");
  } else if (firstByte == 2) {
    fprintf(stderr, "Portvane is running on a Big Endian Byte Order CPU\n");
  } else {
    fprintf(stderr, "Portvane is running on a Unknown Byte Order CPU\n");
  }

  memset(&KVMSwitch, 0, sizeof KVMSwitch);
  if (MPCreateCriticalRegion(&KVMSwitch.criticalRegion) != noErr) {
    fprintf(stderr, "Can not Create Critical Region Byte Order CPU\n");
  }

  SetOurDockMenu();
  GetHotKeyConfiguration(KVMSwitch.hotKeys);
  gDiscoveryFollowUps = {ChangeDockIcon, TimerFunction};
  // The session bus's view of the switch follows every job from here on.
  InstallSwitchBus();
  // From here on the switch is read and commanded off the interface thread.
  platform::startSwitchWorkerThread();
  HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount);
  // One hot key per port of a switch attached just now (once the attach has
  // read it); none without one.
  SubmitKVMJob(platform::SwitchJobKind::Command, {}, RegisterHotKeys);

  app.Run();

  platform::stopSwitchWorkerThread();
  MPDeleteCriticalRegion(KVMSwitch.criticalRegion);
  return 0;
}
