#include "hid/hid_reports.h"

#include <cstdio>
#include <cstring>

#include "platform/core/clock.h"

namespace {

// Attempts at each report, for a switch that answers "busy". One that does not
// answer at all has had the kernel's whole time for the first attempt: the
// rest would only make the read or the command wait that long again.
constexpr int kAttempts = 5;
// Pacing the switch asks for: it misses reports that come too close together.
constexpr unsigned long kTicksBeforeRead = 5;
constexpr unsigned long kTicksBeforeWrite = 10;

constexpr UInt32 kInfoReportID = 5;
constexpr UInt32 kInfoReportLength = 4;
constexpr UInt32 kStateReportID = 4;
constexpr UInt32 kStateReportLength = 8;
// Commands always go out as report 4, whatever byte 0 of the buffer holds.
constexpr UInt32 kCommandReportID = 4;
constexpr int kCommandLength = 8;

// Every command: report ID, code, argument (low 8 bits), then zeros.
int sendCommand(DEVICE_DATA* device, unsigned code, unsigned argument) {
  unsigned char report[kCommandLength] = {};
  report[0] = kCommandReportID;
  report[1] = static_cast<unsigned char>(code & 0xFF);
  report[2] = static_cast<unsigned char>(argument & 0xFF);
  return HIDSetDeviceInfo(device, report, kCommandLength);
}

}  // namespace

int HIDGetReport(IOHIDDeviceInterface122** device, IOHIDReportType type, uint32_t reportID, void* buffer,
                 uint32_t* size) {
  if (device == nullptr || buffer == nullptr || size == nullptr) return kIOReturnError;

  // Each attempt asks for the whole buffer again, and a switch that answers
  // short leaves zeros rather than what a previous attempt or the stack held.
  const UInt32 capacity = *size;
  IOReturn result = kIOReturnError;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Delay(kTicksBeforeRead, nullptr);
    memset(buffer, 0, capacity);
    *size = capacity;
    result = (*device)->getReport(device, type, reportID, buffer, size, 0, nullptr, nullptr, nullptr);
    if (result == kIOReturnSuccess) return kIOReturnSuccess;
    if (result == kIOReturnTimeout) break;
  }
  fprintf(stderr, "HIDGetReport - Could not getReport. Error: %d.\n", result);
  return result;
}

int HIDGetDeviceInfo(DEVICE_DATA* device) {
  if (device == nullptr || device->hidDevice == nullptr) return kIOReturnError;
  IOHIDDeviceInterface122** hid = device->hidDevice;

  IOReturn result = (*hid)->open(hid, 0);
  if (result != kIOReturnSuccess) return result;

  unsigned char infoReport[kInfoReportLength] = {};
  unsigned char stateReport[kStateReportLength] = {};
  // The returned lengths are not checked: a short answer leaves zeros.
  uint32_t length = kInfoReportLength;
  result = HIDGetReport(hid, kIOHIDReportTypeFeature, kInfoReportID, infoReport, &length);
  if (result == kIOReturnSuccess) {
    length = kStateReportLength;
    result = HIDGetReport(hid, kIOHIDReportTypeFeature, kStateReportID, stateReport, &length);
  }
  // A failed read keeps the block of the last good one.
  if (result == kIOReturnSuccess) {
    memcpy(device->infoBuffer, infoReport, kInfoReportLength);
    memcpy(device->infoBuffer + kInfoReportLength, stateReport, kStateReportLength);
  }

  (*hid)->close(hid);
  return result;
}

int HIDSetDeviceInfo(DEVICE_DATA* device, unsigned char* report, int length) {
  if (device == nullptr || device->hidDevice == nullptr) return kIOReturnError;
  if (report == nullptr || length < 0) return kIOReturnError;
  IOHIDDeviceInterface122** hid = device->hidDevice;

  IOReturn result = (*hid)->open(hid, 0);
  if (result != kIOReturnSuccess) return result;

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Delay(kTicksBeforeWrite, nullptr);
    result = (*hid)->setReport(hid, kIOHIDReportTypeFeature, kCommandReportID, report,
                               static_cast<UInt32>(length), 0, nullptr, nullptr, nullptr);
    if (result == kIOReturnSuccess) {
      (*hid)->close(hid);
      return kIOReturnSuccess;
    }
    if (result == kIOReturnTimeout) break;
  }
  fprintf(stderr, "HIDSetReport - Could not setReport; error: %d", result);
  (*hid)->close(hid);
  return result;
}

int HIDSetPortNumber(DEVICE_DATA* device, int port) { return sendCommand(device, 0x81, unsigned(port)); }

int HIDBindAudio(DEVICE_DATA* device) { return sendCommand(device, 0x84, 0); }

int HIDUnbindAudio(DEVICE_DATA* device) { return sendCommand(device, 0x85, 0); }

int HIDSetBuzzer(DEVICE_DATA* device, bool on) { return sendCommand(device, 0x86, on ? 1 : 0); }

// The switch takes the period in seconds.
int HIDSetAutoScanPeriod(DEVICE_DATA* device, int period) {
  return sendCommand(device, 0x87, unsigned(period) * 5u);
}

int HIDSetAutoScan(DEVICE_DATA* device, bool on) { return sendCommand(device, on ? 0x88 : 0x89, 0); }

int HIDFixHUBPortNumber(DEVICE_DATA* device, int hub, int port) {
  return sendCommand(device, 0x8A + unsigned(hub), unsigned(port));
}

int HIDFixAudioPortNumber(DEVICE_DATA* device, int port) { return sendCommand(device, 0x8C, unsigned(port)); }

int HIDBindHUB(DEVICE_DATA* device, int hub) { return sendCommand(device, 0x8D + 2u * unsigned(hub), 0); }

int HIDUnbindHUB(DEVICE_DATA* device, int hub) { return sendCommand(device, 0x8E + 2u * unsigned(hub), 0); }

int HIDSetUniversalHotKey(DEVICE_DATA* device, uint32_t keyCode) { return sendCommand(device, 0x91, keyCode); }
