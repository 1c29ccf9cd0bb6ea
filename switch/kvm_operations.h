// The operations that read and change the switch, whatever its generation:
// each dispatches by `info->version` to the HID or the USB transport.
// Callers hold KVMSwitch.criticalRegion.
#pragma once

#include <cstdint>

#include "switch/kvm_switch.h"

void KVMGetInformation(KVM_INFO* info);

void KVMSetPortNumber(KVM_INFO* info, int port);
void KVMSetBuzzer(KVM_INFO* info, bool on);
void KVMBindAudio(KVM_INFO* info);
void KVMUnbindAudio(KVM_INFO* info);
void KVMFixAudioPortNumber(KVM_INFO* info, int port);
void KVMBindHUB(KVM_INFO* info, int hub);
void KVMUnbindHUB(KVM_INFO* info, int hub);
void KVMFixHUBPortNumber(KVM_INFO* info, int hub, int port);
void KVMSetAutoScanPeriod(KVM_INFO* info, int period);
void KVMSetAutoScan(KVM_INFO* info, bool on);
void KVMSetUniversalHotKey(KVM_INFO* info, uint32_t keyCode);
