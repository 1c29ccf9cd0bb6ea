#include "app/polling_tick.h"

#include <memory>
#include <optional>

#include "app/dock_icon.h"
#include "switch/kvm_access.h"
#include "switch/kvm_operations.h"

namespace {

// A read given to the switch worker and not yet answered. Ticks that come
// meanwhile (a switch that takes the kernel's 5 seconds to fail) merge into it.
bool readUnderWay = false;

}  // namespace

void TimerFunction(EventLoopTimerRef, void* userData) {
  auto* sw = static_cast<KVM_SWITCH*>(userData);
  if (readUnderWay) return;
  readUnderWay = true;
  // The picture to show once the read is done; none while the login is away.
  auto shown = std::make_shared<std::optional<int>>();
  SubmitKVMJob(
      platform::SwitchJobKind::Read,
      [sw, shown] {
        MPEnterCriticalRegion(sw->criticalRegion, kDurationForever);
        if (!sw->loginInactive) {
          KVMGetInformation(&sw->info);
          // Two port readings that disagree show no port at all.
          *shown = sw->info.currentPort == sw->info.confirmedPort ? sw->info.currentPort : -1;
        }
        MPExitCriticalRegion(sw->criticalRegion);
      },
      [shown] {
        readUnderWay = false;
        if (*shown) ChangeDockIcon(**shown);
      });
}
