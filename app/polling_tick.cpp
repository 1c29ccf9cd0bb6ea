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

void ReadSwitchAndShow(KVM_SWITCH* sw, std::function<void(IOReturn)> then) {
  struct Outcome {
    IOReturn status = kIOReturnSuccess;
    // The picture to show once the read is done; none while the login is away.
    std::optional<int> shown;
  };
  auto outcome = std::make_shared<Outcome>();
  SubmitKVMJob(
      platform::SwitchJobKind::Read,
      [sw, outcome] {
        MPEnterCriticalRegion(sw->criticalRegion, kDurationForever);
        if (!sw->loginInactive) {
          outcome->status = KVMGetInformation(&sw->info);
          // Two port readings that disagree show no port at all.
          outcome->shown = sw->info.currentPort == sw->info.confirmedPort ? sw->info.currentPort : -1;
        }
        MPExitCriticalRegion(sw->criticalRegion);
      },
      [outcome, then = std::move(then)] {
        if (outcome->shown) ChangeDockIcon(*outcome->shown);
        if (then) then(outcome->status);
      });
}

void TimerFunction(EventLoopTimerRef, void* userData) {
  if (readUnderWay) return;
  readUnderWay = true;
  ReadSwitchAndShow(static_cast<KVM_SWITCH*>(userData), [](IOReturn) { readUnderWay = false; });
}
