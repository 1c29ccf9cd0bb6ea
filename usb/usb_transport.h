// The serial-number switch's transport: its state is read from its USB
// serial-number string descriptor; each command is an 8-byte packet written to
// the first outgoing pipe of its first interface that has one.
#pragma once

#include "switch/kvm_switch.h"

IOReturn USBGetDeviceInfo(DEVICE_DATA* d);
IOReturn USBGetInterfaceInterface(DEVICE_DATA* d);
IOReturn USBTransferData(DEVICE_DATA* d, void* data, int size);

IOReturn USBSetPortNumber(DEVICE_DATA* d, int port);
IOReturn USBSetBuzzer(DEVICE_DATA* d, bool on);
IOReturn USBBindAudio(DEVICE_DATA* d);
IOReturn USBFixAudioPortNumber(DEVICE_DATA* d, int port);
IOReturn USBSetAutoScanPeriod(DEVICE_DATA* d, int period);
IOReturn USBSetAutoScan(DEVICE_DATA* d, bool on);
