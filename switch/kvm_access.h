// How the interface thread and the switch worker share KVMSwitch. Every change
// of the record, and every call into the device layer, runs as a switch job
// holding KVMSwitch.criticalRegion; the interface never waits for the region:
// it reads the record while no job holds it, and otherwise the copy the last
// job left when it ended, which is what the switch last said.
#pragma once

#include <functional>

#include "platform/core/switch_worker.h"
#include "switch/kvm_switch.h"

// Queues `job` on the switch worker (platform/core/switch_worker.h), keeping
// the interface's copy of the record once it has run; `followUp` then runs on
// the main thread.
void SubmitKVMJob(platform::SwitchJobKind kind, std::function<void()> job, std::function<void()> followUp = {});

// KVMSwitch.info as the interface may show it now, without waiting.
KVM_INFO ShownKVMInfo();

// Called on the main thread after every job, before the job's own follow-up,
// so that a watcher (the session-bus interface) can tell what changed. One
// watcher; null removes it.
void SetKVMJobWatcher(std::function<void()> watcher);
