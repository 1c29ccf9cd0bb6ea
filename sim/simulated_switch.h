// Simulated switches of both generations: the one model of the device that the
// tests, the end-to-end run and the demo share. Each answers the program's
// calls exactly as the switch does, follows every command it receives, records
// everything it is sent, and can be told to fail, stall or answer short. Its
// calls may come from any thread; one lock keeps each whole.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/iokit/device_seam.h"

namespace platform {

// The calls a test can make fail, stall or answer short, and that are recorded.
enum class SimCall {
  HIDOpen, HIDClose, GetReport, SetReport,
  DeviceOpen, DeviceClose, GetDeviceVendor, GetDeviceProduct, GetSerialIndex, DeviceRequest,
  GetNumberOfConfigurations, GetConfigurationDescriptor, SetConfiguration, CreateInterfaceIterator,
  InterfaceOpen, InterfaceClose, GetNumEndpoints, GetPipeProperties, WritePipe,
};
const char* simCallName(SimCall call);

// One thing the switch received: a feature report set (id = report ID), a
// control request (id = wValue, bytes = the 8 setup bytes) or a packet
// (id = pipe index). Every attempt is kept, those made to fail included, so a
// command retried three times appears three times.
struct SimExchange {
  SimCall call;
  uint32_t id;
  std::vector<uint8_t> bytes;
};

// The switch's own state, in its own terms (ports from 0).
struct SimSwitchState {
  int port = 0;
  uint8_t availablePorts = 0x03;
  bool buzzer = true;
  bool autoScan = false;
  int scanPeriodSeconds = 10;
  bool audioBound = true;
  int audioPort = 0;
  bool hubBound[2] = {true, true};
  int hubPort[2] = {0, 0};
  uint8_t universalHotKey = 0x47;
  // What the feature-report switch says it has; the serial-number switch has
  // a fixed set and ignores these.
  bool hasBuzzer = true;
  bool hasAudio = true;
  bool hasHub[2] = {true, true};
  bool hasAutoScanPeriod = true;
  bool hasUniversalHotKey = true;
  bool audioBindable = true;
  bool hubBindable[2] = {true, true};
  // A second port reading that disagrees with `port` (feature-report switch
  // only; -1: it agrees).
  int confirmedPortOverride = -1;
  // Bits above the port in the serial-number switch's first code unit, which
  // carry no state. A USB gadget sets some: its kernel cannot give a zero unit.
  uint16_t portUnitMarks = 0;
};

class SimulatedSwitch {
 public:
  virtual ~SimulatedSwitch();
  SimulatedSwitch(const SimulatedSwitch&) = delete;
  SimulatedSwitch& operator=(const SimulatedSwitch&) = delete;

  uint16_t vendorID() const { return vendorID_; }
  uint16_t productID() const { return productID_; }

  // The state; while auto-scan runs, the port moves on along the clock seam.
  // Auto-scan switched on by editing the state counts its first interval from
  // the next call that reaches the switch; commands start it at once.
  SimSwitchState& state();
  // The state as it is now, for a thread other than the one that sets it up
  // (the front panel while the program's switch worker talks to the switch).
  SimSwitchState snapshot();
  int currentPort();
  // The switch's own front-panel button for `port`.
  void pressPortButton(int port);

  // The next `times` calls of `call` fail with `status` without effect.
  void failNext(SimCall call, int times, IOReturn status);
  // The next `times` calls of `call` answer only `length` bytes.
  void shortNext(SimCall call, int times, uint32_t length);
  // The next `times` calls of `call` take `ticks` sixtieths of a second: a
  // manual clock moves on (ManualClock::passTime, not a requested delay), the
  // real clock sleeps.
  void stallNext(SimCall call, int times, unsigned long ticks);
  // How many of the next calls of `call` are set to fail: a USB gadget must
  // refuse a request before its data stage, so it asks before taking the data.
  int pendingFailures(SimCall call) const;

  // For the thread that set the switch up, while nothing else talks to it.
  const std::vector<SimExchange>& received() const { return received_; }
  const std::vector<SimCall>& calls() const { return calls_; }
  // What it received from the `first`-th exchange on, copied: from any thread.
  std::vector<SimExchange> receivedSince(size_t first) const;
  void clearRecords();

  // Registry: plugging publishes the switch's entries (its HID device, with
  // its USB device two levels up); unplugging terminates them, after which
  // every call on its interfaces fails with kIOReturnNotAttached.
  void plug();
  void unplug();
  bool plugged() const { return plugged_; }
  // Property of the HID device entry as the next plug publishes it; a null
  // value removes the property. Keys: "VendorID", "ProductID",
  // "MaxFeatureReportSize", "SerialNumber".
  void setHIDProperty(const std::string& key, CFTypeRef value);
  // The entries of the last plug (null before).
  EntryPtr hidEntry() const { return hidEntry_; }
  EntryPtr usbDeviceEntry() const { return usbDeviceEntry_; }

 protected:
  // What the backends of one attachment share: the switch while it stays
  // attached (null once it is unplugged or destroyed, so that interfaces handed
  // out earlier fail with kIOReturnNotAttached) and what is open on it.
  struct Presence;

  SimulatedSwitch(uint16_t vendorID, uint16_t productID);
  // Every backend call starts here: records the call and applies injected
  // failures and stalls. Returns 0 or the status to fail with.
  IOReturn enter(SimCall call);
  // Length to answer for a call that may be shortened (`full` when not).
  uint32_t answerLength(SimCall call, uint32_t full);
  void record(SimCall call, uint32_t id, const void* bytes, size_t size);
  void settleScan();
  virtual void buildEntries() = 0;

  uint16_t vendorID_;
  uint16_t productID_;
  SimSwitchState state_;
  double scanSince_ = 0;
  bool scanning_ = false;  // auto-scan seen running by settleScan()
  bool plugged_ = false;
  std::shared_ptr<Presence> presence_;
  std::map<std::string, CFTypeRef> hidProperties_;
  EntryPtr hidEntry_;
  EntryPtr interfaceEntry_;
  EntryPtr usbDeviceEntry_;
  std::vector<EntryPtr> usbInterfaceEntries_;

 private:
  struct Injection {
    int failTimes = 0;
    IOReturn status = 0;
    int shortTimes = 0;
    uint32_t shortLength = 0;
    int stallTimes = 0;
    unsigned long stallTicks = 0;
  };
  std::map<SimCall, Injection> injections_;
  std::vector<SimExchange> received_;
  std::vector<SimCall> calls_;
};

// Generation 2: state in feature reports 5 (4 bytes) and 4 (8 bytes); each
// command is feature report 4. Its HID entry reports "MaxFeatureReportSize" 8.
class FeatureReportSwitch : public SimulatedSwitch {
 public:
  explicit FeatureReportSwitch(uint16_t vendorID = 0x10D5, uint16_t productID = 0x5500);
  ~FeatureReportSwitch() override;

  std::array<uint8_t, 4> report5();
  std::array<uint8_t, 8> report4();
  // A device interface on this switch, with one reference for the caller.
  IOHIDDeviceInterface122** newDeviceInterface();

 private:
  class Backend;
  void buildEntries() override;
  void apply(const uint8_t* report, uint32_t size);
};

// Generation 1: state in the first three UTF-16 code units of its serial-number
// string; each command is an 8-byte packet on the first outgoing pipe. Its HID
// entry carries "SerialNumber" (and "MaxFeatureReportSize" 8).
class SerialNumberSwitch : public SimulatedSwitch {
 public:
  struct Endpoint {
    uint8_t direction;  // kUSBOut or kUSBIn
    uint8_t number;
    uint8_t transferType;  // kUSBInterrupt, kUSBBulk, ...
    uint16_t maxPacketSize;
    uint8_t interval;
  };

  explicit SerialNumberSwitch(uint16_t vendorID = 0x10D5, uint16_t productID = 0x000D);
  ~SerialNumberSwitch() override;

  // The three code units that carry the state.
  std::u16string serialNumber();
  // Interfaces of its configuration and their endpoints (default: one
  // interface, pipe 1 interrupt IN, pipe 2 interrupt OUT). Takes effect at
  // the next plug or device interface.
  void setInterfaces(std::vector<std::vector<Endpoint>> interfaces);
  void setConfigurationCount(uint8_t count);
  uint8_t configurationValue() const { return configurationValue_; }
  // A device interface on this switch, with one reference for the caller.
  IOUSBDeviceInterface** newDeviceInterface();
  // An interface interface on interface `index` of its configuration, with one
  // reference for the caller (null when there is no such interface).
  IOUSBInterfaceInterface** newInterfaceInterface(size_t index);

 private:
  class DeviceBackend;
  class InterfaceBackend;
  // Its HID interface, whose feature reports the switch does not serve.
  class HIDBackend;
  static constexpr uint8_t kSerialNumberStringIndex = 3;
  void buildEntries() override;
  void apply(const uint8_t* packet, uint32_t size);
  std::vector<uint8_t> configurationDescriptor() const;
  std::vector<uint8_t> serialNumberDescriptor();
  std::vector<EntryPtr> interfaceEntries();
  std::vector<std::vector<Endpoint>> interfaces_;
  uint8_t configurationCount_ = 1;
  uint8_t configurationValue_ = 0;
};

}  // namespace platform
