// The operations that read and change the switch, whatever its generation:
// each dispatches by `info->version` to the HID or the USB transport.
// Callers hold KVMSwitch.criticalRegion. The read and the commands the
// command line sends also return the transport's status (kIOReturnError when
// no switch is known); the program's own callers drop it, as the builders
// have already said what went wrong.
#pragma once

#include <cstdint>

#include "switch/kvm_switch.h"

IOReturn KVMGetInformation(KVM_INFO* info);

IOReturn KVMSetPortNumber(KVM_INFO* info, int port);
IOReturn KVMSetBuzzer(KVM_INFO* info, bool on);
void KVMBindAudio(KVM_INFO* info);
void KVMUnbindAudio(KVM_INFO* info);
void KVMFixAudioPortNumber(KVM_INFO* info, int port);
void KVMBindHUB(KVM_INFO* info, int hub);
void KVMUnbindHUB(KVM_INFO* info, int hub);
void KVMFixHUBPortNumber(KVM_INFO* info, int hub, int port);
IOReturn KVMSetAutoScanPeriod(KVM_INFO* info, int period);
IOReturn KVMSetAutoScan(KVM_INFO* info, bool on);
void KVMSetUniversalHotKey(KVM_INFO* info, uint32_t keyCode);
