// The one switch record, the records nested in it, the table of supported
// devices, and the decoding of the 12-byte information block.
#pragma once

#include <cstdint>

#include "platform/core/critical_region.h"
#include "platform/iokit/device_interfaces.h"

// One key and its display name; stored as-is in "HOTKEY.CFG", so 40 bytes exactly.
struct HOT_KEY {
  int32_t code;
  char name[36];
};
static_assert(sizeof(HOT_KEY) == 40, "HOT_KEY is stored byte for byte");

// The transport record of the switch in use.
struct DEVICE_DATA {
  uint32_t vendorID;
  uint32_t productID;
  io_object_t notification;
  io_service_t hidService;
  io_service_t usbService;
  IOUSBDeviceInterface** usbDevice;
  IOUSBInterfaceInterface** usbInterface;
  IOHIDDeviceInterface122** hidDevice;
  uint8_t pipeRef;
  unsigned char infoBuffer[12];
};

struct DEVICE_ID {
  uint32_t vendorID;
  uint32_t productID;
};

// One vendor and an inclusive range of its product identifiers.
struct DEVICE_LIST {
  int32_t vendorID;
  int32_t firstProductID;
  int32_t lastProductID;
};

struct KVM_INFO {
  int32_t state;  // 0 none in use, 1 found while the login was switched out, 2 attached
  DEVICE_DATA device;
  int32_t version;  // 0 none known, 1 serial-number switch (USB), 2 feature-report switch (HID)
  int32_t portCount;
  int32_t availablePorts;
  int32_t currentPort;
  int32_t confirmedPort;
  bool hasBuzzer;
  bool hasAudio;
  bool audioBindable;
  bool hasAutoScanPeriod;
  bool hasHub[2];
  bool hubBindable[2];
  bool hasUniversalHotKey;
  bool buzzerOn;
  bool audioFixed;
  bool autoScanOn;
  bool hubFixed[2];
  int32_t audioPort;
  int32_t hubPort[2];
  int32_t autoScanPeriod;  // units of 5 seconds
  uint32_t universalHotKey;
  // The last read ended because the switch did not answer within the kernel's
  // time (not merely "busy"); cleared by the next read that succeeds.
  bool notAnswering;
};

struct KVM_SWITCH {
  bool loginInactive;
  MPCriticalRegionID criticalRegion;
  HOT_KEY hotKeys[2];
  KVM_INFO info;
};

extern KVM_SWITCH KVMSwitch;

constexpr int VendorCount = 3;
extern DEVICE_LIST DeviceList[VendorCount];

// Decodes the 12-byte block into `info` by `info->version`. The caller holds
// KVMSwitch.criticalRegion.
void KVMSetInfo(KVM_INFO* info, unsigned char* block);

// Whether KVMSetInfo prints the block ("USB Buffer Info: ...") on each decode,
// so once per poll; on unless the program is told otherwise. A desktop launch
// turns it off so that the session's journal is not filled with it.
void KVMSetPrintBlock(bool print);
