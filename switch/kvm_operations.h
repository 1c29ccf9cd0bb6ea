// The operations that read and change the switch, whatever its generation:
// each dispatches by `info->version` to the HID or the USB transport.
// Callers hold KVMSwitch.criticalRegion. Each returns the transport's status:
// kIOReturnError when no switch is known, kIOReturnUnsupported for a command
// the switch's generation does not have (then nothing is sent). The program's
// own callers drop it, as the builders have already said what went wrong.
#pragma once

#include <cstdint>

#include "switch/kvm_switch.h"

// The auto-scan periods each generation takes, in the 5-second units that
// KVMSetAutoScanPeriod is given, by `version`: 10 to 60 seconds on the
// serial-number switch, 5 to 100 on the feature-report switch.
constexpr int kAutoScanPeriodUnitSeconds = 5;
constexpr int kFirstAutoScanPeriod[3] = {0, 2, 1};
constexpr int kLastAutoScanPeriod[3] = {0, 12, 20};

IOReturn KVMGetInformation(KVM_INFO* info);

IOReturn KVMSetPortNumber(KVM_INFO* info, int port);
IOReturn KVMSetBuzzer(KVM_INFO* info, bool on);
IOReturn KVMBindAudio(KVM_INFO* info);
IOReturn KVMUnbindAudio(KVM_INFO* info);
IOReturn KVMFixAudioPortNumber(KVM_INFO* info, int port);
IOReturn KVMBindHUB(KVM_INFO* info, int hub);
IOReturn KVMUnbindHUB(KVM_INFO* info, int hub);
IOReturn KVMFixHUBPortNumber(KVM_INFO* info, int hub, int port);
IOReturn KVMSetAutoScanPeriod(KVM_INFO* info, int period);
IOReturn KVMSetAutoScan(KVM_INFO* info, bool on);
IOReturn KVMSetUniversalHotKey(KVM_INFO* info, uint32_t keyCode);
