#include "switch/kvm_operations.h"

#include <cstdio>

#include "hid/hid_reports.h"
#include "usb/usb_transport.h"

// Every operation hands its arguments on unchanged. The builders have already
// said what went wrong; their status is passed on, for the callers that want
// to know whether the switch took the command.

IOReturn KVMGetInformation(KVM_INFO* info) {
  if (info == nullptr) return kIOReturnError;

  IOReturn result = kIOReturnError;
  if (info->version == 1) {
    result = USBGetDeviceInfo(&info->device);
  } else if (info->version == 2) {
    result = HIDGetDeviceInfo(&info->device);
  }

  info->notAnswering = result == kIOReturnTimeout;
  if (result == kIOReturnSuccess) {
    KVMSetInfo(info, info->device.infoBuffer);
    // A read that fails in passing leaves the switch in use: once it answers
    // again, while it is still watched and its interfaces held, it is
    // attached as before.
    if (info->state == 0 && info->device.notification && (info->device.hidDevice || info->device.usbDevice))
      info->state = 2;
    return result;
  }
  fprintf(stderr, "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = %08X\n", result);
  // The transport and the decoded fields stay, so the next poll tries the same
  // switch again; only a new attach makes the switch in use again.
  info->state = 0;
  info->confirmedPort = -1;
  return result;
}

IOReturn KVMSetPortNumber(KVM_INFO* info, int port) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return USBSetPortNumber(&info->device, port);
  if (info->version == 2) return HIDSetPortNumber(&info->device, port);
  return kIOReturnError;
}

IOReturn KVMSetBuzzer(KVM_INFO* info, bool on) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return USBSetBuzzer(&info->device, on);
  if (info->version == 2) return HIDSetBuzzer(&info->device, on);
  return kIOReturnError;
}

IOReturn KVMBindAudio(KVM_INFO* info) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return USBBindAudio(&info->device);
  if (info->version == 2) return HIDBindAudio(&info->device);
  return kIOReturnError;
}

// The serial-number switch has no packet for this: fixing the port unbinds it.
IOReturn KVMUnbindAudio(KVM_INFO* info) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return kIOReturnUnsupported;
  if (info->version == 2) return HIDUnbindAudio(&info->device);
  return kIOReturnError;
}

IOReturn KVMFixAudioPortNumber(KVM_INFO* info, int port) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return USBFixAudioPortNumber(&info->device, port);
  if (info->version == 2) return HIDFixAudioPortNumber(&info->device, port);
  return kIOReturnError;
}

// Hubs and the universal hot key exist only on the feature-report switch.
IOReturn KVMBindHUB(KVM_INFO* info, int hub) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return kIOReturnUnsupported;
  if (info->version == 2) return HIDBindHUB(&info->device, hub);
  return kIOReturnError;
}

IOReturn KVMUnbindHUB(KVM_INFO* info, int hub) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return kIOReturnUnsupported;
  if (info->version == 2) return HIDUnbindHUB(&info->device, hub);
  return kIOReturnError;
}

IOReturn KVMFixHUBPortNumber(KVM_INFO* info, int hub, int port) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return kIOReturnUnsupported;
  if (info->version == 2) return HIDFixHUBPortNumber(&info->device, hub, port);
  return kIOReturnError;
}

IOReturn KVMSetAutoScanPeriod(KVM_INFO* info, int period) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return USBSetAutoScanPeriod(&info->device, period);
  if (info->version == 2) return HIDSetAutoScanPeriod(&info->device, period);
  return kIOReturnError;
}

IOReturn KVMSetAutoScan(KVM_INFO* info, bool on) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return USBSetAutoScan(&info->device, on);
  if (info->version == 2) return HIDSetAutoScan(&info->device, on);
  return kIOReturnError;
}

IOReturn KVMSetUniversalHotKey(KVM_INFO* info, uint32_t keyCode) {
  if (info == nullptr) return kIOReturnError;
  if (info->version == 1) return kIOReturnUnsupported;
  if (info->version == 2) return HIDSetUniversalHotKey(&info->device, keyCode);
  return kIOReturnError;
}
