// With a real switch plugged in: finds it through udev, reads its information
// block twice and checks that it stays attached. Changes nothing on the
// switch. Skipped (exit code 77) when no supported switch is present.
#include <cstdio>
#include <cstring>

#include "hid/hid_discovery.h"
#include "platform/core/critical_region.h"
#include "platform/linux/linux_devices.h"
#include "switch/kvm_operations.h"
#include "switch/kvm_switch.h"

int main() {
  memset(&KVMSwitch, 0, sizeof KVMSwitch);
  MPCreateCriticalRegion(&KVMSwitch.criticalRegion);
  if (!platform::startLinuxDevices()) {
    fprintf(stderr, "portvane real-switch test: udev is not reachable: skipped\n");
    return 77;
  }
  HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount);
  if (KVMSwitch.info.state != 2) {
    fprintf(stderr, "portvane real-switch test: no usable switch attached: skipped\n");
    return 77;
  }
  for (int read = 0; read < 2; ++read) {
    MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
    KVMGetInformation(&KVMSwitch.info);
    MPExitCriticalRegion(KVMSwitch.criticalRegion);
    if (KVMSwitch.info.state != 2) {
      fprintf(stderr, "portvane real-switch test: reading the switch failed\n");
      return 1;
    }
  }
  printf("version %d, port %d of %d\n", KVMSwitch.info.version, KVMSwitch.info.currentPort, KVMSwitch.info.portCount);
  return 0;
}
