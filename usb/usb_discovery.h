// Attaching a serial-number switch as a USB device, once the HID side has
// found it and handed over its identifiers.
#pragma once

#include "platform/iokit/iokit.h"
#include "switch/kvm_switch.h"

// Looks up the USB devices present now with these identifiers and attaches the first usable one.
void USBGetMatchingDevice(KVM_SWITCH* sw, DEVICE_ID* id);
// `refCon` is the KVM_SWITCH*. Drains the iterator.
void USBDeviceAdded(void* refCon, io_iterator_t iterator);
