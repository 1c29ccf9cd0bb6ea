#include "switch/kvm_operations.h"

#include <cstdio>

#include "hid/hid_reports.h"
#include "usb/usb_transport.h"

// Every operation hands its arguments on unchanged and drops the builder's
// status: the builders have already said what went wrong.

void KVMGetInformation(KVM_INFO* info) {
  if (info == nullptr) return;

  IOReturn result = kIOReturnError;
  if (info->version == 1) {
    result = USBGetDeviceInfo(&info->device);
  } else if (info->version == 2) {
    result = HIDGetDeviceInfo(&info->device);
  }

  if (result == kIOReturnSuccess) {
    KVMSetInfo(info, info->device.infoBuffer);
    return;
  }
  fprintf(stderr, "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = %08X\n", result);
  // The transport and the decoded fields stay, so the next poll tries the same
  // switch again; only a new attach makes the switch in use again.
  info->state = 0;
  info->confirmedPort = -1;
}

void KVMSetPortNumber(KVM_INFO* info, int port) {
  if (info == nullptr) return;
  if (info->version == 1) {
    USBSetPortNumber(&info->device, port);
  } else if (info->version == 2) {
    HIDSetPortNumber(&info->device, port);
  }
}

void KVMSetBuzzer(KVM_INFO* info, bool on) {
  if (info == nullptr) return;
  if (info->version == 1) {
    USBSetBuzzer(&info->device, on);
  } else if (info->version == 2) {
    HIDSetBuzzer(&info->device, on);
  }
}

void KVMBindAudio(KVM_INFO* info) {
  if (info == nullptr) return;
  if (info->version == 1) {
    USBBindAudio(&info->device);
  } else if (info->version == 2) {
    HIDBindAudio(&info->device);
  }
}

// The serial-number switch has no packet for this: fixing the port unbinds it.
void KVMUnbindAudio(KVM_INFO* info) {
  if (info == nullptr) return;
  if (info->version == 2) HIDUnbindAudio(&info->device);
}

void KVMFixAudioPortNumber(KVM_INFO* info, int port) {
  if (info == nullptr) return;
  if (info->version == 1) {
    USBFixAudioPortNumber(&info->device, port);
  } else if (info->version == 2) {
    HIDFixAudioPortNumber(&info->device, port);
  }
}

// Hubs and the universal hot key exist only on the feature-report switch.
void KVMBindHUB(KVM_INFO* info, int hub) {
  if (info == nullptr) return;
  if (info->version == 2) HIDBindHUB(&info->device, hub);
}

void KVMUnbindHUB(KVM_INFO* info, int hub) {
  if (info == nullptr) return;
  if (info->version == 2) HIDUnbindHUB(&info->device, hub);
}

void KVMFixHUBPortNumber(KVM_INFO* info, int hub, int port) {
  if (info == nullptr) return;
  if (info->version == 2) HIDFixHUBPortNumber(&info->device, hub, port);
}

void KVMSetAutoScanPeriod(KVM_INFO* info, int period) {
  if (info == nullptr) return;
  if (info->version == 1) {
    USBSetAutoScanPeriod(&info->device, period);
  } else if (info->version == 2) {
    HIDSetAutoScanPeriod(&info->device, period);
  }
}

void KVMSetAutoScan(KVM_INFO* info, bool on) {
  if (info == nullptr) return;
  if (info->version == 1) {
    USBSetAutoScan(&info->device, on);
  } else if (info->version == 2) {
    HIDSetAutoScan(&info->device, on);
  }
}

void KVMSetUniversalHotKey(KVM_INFO* info, uint32_t keyCode) {
  if (info == nullptr) return;
  if (info->version == 2) HIDSetUniversalHotKey(&info->device, keyCode);
}
