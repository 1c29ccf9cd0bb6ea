#include "switch/kvm_access.h"

#include <mutex>
#include <utility>

namespace {

// The record as the last job left it; its own lock is only ever held for a copy.
std::mutex shownMutex;
KVM_INFO shownInfo = {};
// Main thread only.
std::function<void()> jobWatcher;

void KeepShownInfo() {
  MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
  {
    std::lock_guard<std::mutex> lock(shownMutex);
    shownInfo = KVMSwitch.info;
  }
  MPExitCriticalRegion(KVMSwitch.criticalRegion);
}

}  // namespace

void SubmitKVMJob(platform::SwitchJobKind kind, std::function<void()> job, std::function<void()> followUp) {
  platform::submitSwitchJob(
      kind,
      [job = std::move(job)] {
        if (job) job();
        KeepShownInfo();
      },
      [followUp = std::move(followUp)] {
        if (jobWatcher) jobWatcher();
        if (followUp) followUp();
      });
}

void SetKVMJobWatcher(std::function<void()> watcher) { jobWatcher = std::move(watcher); }

KVM_INFO ShownKVMInfo() {
  // A region held by this thread (a job, or a caller already inside it) or
  // by nobody gives the record itself.
  const OSStatus entered = MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationImmediate);
  if (entered == noErr) {
    const KVM_INFO info = KVMSwitch.info;
    MPExitCriticalRegion(KVMSwitch.criticalRegion);
    return info;
  }
  if (entered == kMPInvalidIDErr) return KVMSwitch.info;  // no lock made yet: nothing else runs
  std::lock_guard<std::mutex> lock(shownMutex);
  return shownInfo;
}
