// The feature-report switch's transport: two feature reports read give the
// information block; one 8-byte feature report carries each command.
#pragma once

#include <cstdint>

#include "switch/kvm_switch.h"

// One read of one report, five attempts, 5 ticks before each.
int HIDGetReport(IOHIDDeviceInterface122** device, IOHIDReportType type, uint32_t reportID, void* buffer,
                 uint32_t* size);
// Reads reports 5 and 4 into device->infoBuffer.
int HIDGetDeviceInfo(DEVICE_DATA* device);
// Sends one command as feature report 4, five attempts, 10 ticks before each.
int HIDSetDeviceInfo(DEVICE_DATA* device, unsigned char* report, int length);

int HIDSetPortNumber(DEVICE_DATA* device, int port);
int HIDBindAudio(DEVICE_DATA* device);
int HIDUnbindAudio(DEVICE_DATA* device);
int HIDSetBuzzer(DEVICE_DATA* device, bool on);
int HIDSetAutoScanPeriod(DEVICE_DATA* device, int period);
int HIDSetAutoScan(DEVICE_DATA* device, bool on);
int HIDFixHUBPortNumber(DEVICE_DATA* device, int hub, int port);
int HIDFixAudioPortNumber(DEVICE_DATA* device, int port);
int HIDBindHUB(DEVICE_DATA* device, int hub);
int HIDUnbindHUB(DEVICE_DATA* device, int hub);
int HIDSetUniversalHotKey(DEVICE_DATA* device, uint32_t keyCode);
