#include "app/polling_tick.h"

#include "app/dock_icon.h"
#include "switch/kvm_operations.h"

void TimerFunction(EventLoopTimerRef, void* userData) {
  auto* sw = static_cast<KVM_SWITCH*>(userData);
  MPEnterCriticalRegion(sw->criticalRegion, kDurationForever);
  if (!sw->loginInactive) {
    KVMGetInformation(&sw->info);
    // Two port readings that disagree show no port at all.
    ChangeDockIcon(sw->info.currentPort == sw->info.confirmedPort ? sw->info.currentPort : -1);
  }
  MPExitCriticalRegion(sw->criticalRegion);
}
