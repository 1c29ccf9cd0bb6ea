// The generation-independent operations: the read and decode, and the eleven
// setting operations dispatched by `version` to the HID or the USB transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/iokit/device_seam.h"
#include "sim/simulated_switch.h"
#include "switch/kvm_operations.h"
#include "tests/support/stderr_capture.h"

namespace {

using platform::SimCall;
using Bytes = std::vector<uint8_t>;

const std::string kReadFailed = "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = E00002BC\n";

std::string dumpLine(const unsigned char* b) {
  char line[128];
  snprintf(line, sizeof line,
           "USB Buffer Info: %02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x\n", b[0], b[1], b[2],
           b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11]);
  return line;
}

// One record whose device carries interfaces on both generations of switch,
// so that a test sees which one a `version` sends to.
class SwitchOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&info, 0, sizeof info);
    featureSwitch.plug();
    serialSwitch.plug();
    info.device.hidDevice = featureSwitch.newDeviceInterface();
    info.device.usbDevice = serialSwitch.newDeviceInterface();
    featureSwitch.clearRecords();
    serialSwitch.clearRecords();
  }
  void TearDown() override {
    DEVICE_DATA& d = info.device;
    (*d.hidDevice)->Release(d.hidDevice);
    (*d.usbDevice)->Release(d.usbDevice);
    if (d.usbInterface != nullptr) (*d.usbInterface)->Release(d.usbInterface);
    featureSwitch.unplug();
    serialSwitch.unplug();
    platform::resetRegistry();
  }

  std::vector<Bytes> reportsSet() const {
    std::vector<Bytes> reports;
    for (const auto& e : featureSwitch.received())
      if (e.call == SimCall::SetReport) reports.push_back(e.bytes);
    return reports;
  }
  std::vector<Bytes> packetsWritten() const {
    std::vector<Bytes> packets;
    for (const auto& e : serialSwitch.received())
      if (e.call == SimCall::WritePipe) packets.push_back(e.bytes);
    return packets;
  }
  // Runs `operation` and checks it left the record as it was.
  void runKeepingRecord(const std::function<void(KVM_INFO*)>& operation, const char* name) {
    KVM_INFO before;
    memcpy(&before, &info, sizeof info);
    operation(&info);
    // The USB search may replace the interface and pipe it found; nothing else.
    before.device.usbInterface = info.device.usbInterface;
    before.device.pipeRef = info.device.pipeRef;
    EXPECT_EQ(memcmp(&before, &info, sizeof info), 0) << name;
  }

  platform::ScopedManualClock clock;
  platform::FeatureReportSwitch featureSwitch;
  platform::SerialNumberSwitch serialSwitch;
  KVM_INFO info;
  testsupport::StderrCapture capture;
};

struct Operation {
  const char* name;
  std::function<void(KVM_INFO*)> run;
};

const std::vector<Operation> kEveryOperation = {
    {"KVMSetPortNumber", [](KVM_INFO* i) { KVMSetPortNumber(i, 1); }},
    {"KVMSetBuzzer", [](KVM_INFO* i) { KVMSetBuzzer(i, false); }},
    {"KVMBindAudio", [](KVM_INFO* i) { KVMBindAudio(i); }},
    {"KVMUnbindAudio", [](KVM_INFO* i) { KVMUnbindAudio(i); }},
    {"KVMFixAudioPortNumber", [](KVM_INFO* i) { KVMFixAudioPortNumber(i, 1); }},
    {"KVMBindHUB", [](KVM_INFO* i) { KVMBindHUB(i, 1); }},
    {"KVMUnbindHUB", [](KVM_INFO* i) { KVMUnbindHUB(i, 1); }},
    {"KVMFixHUBPortNumber", [](KVM_INFO* i) { KVMFixHUBPortNumber(i, 1, 1); }},
    {"KVMSetAutoScanPeriod", [](KVM_INFO* i) { KVMSetAutoScanPeriod(i, 6); }},
    {"KVMSetAutoScan", [](KVM_INFO* i) { KVMSetAutoScan(i, true); }},
    {"KVMSetUniversalHotKey", [](KVM_INFO* i) { KVMSetUniversalHotKey(i, 0x47); }},
};

}  // namespace

// --- Reading the switch ---------------------------------------------------------

TEST_F(SwitchOperations, ReadWithNoKnownSwitchCallsNothingAndClearsTheState) {
  info.version = 0;
  info.state = 2;
  info.currentPort = 1;
  info.confirmedPort = 1;
  info.autoScanPeriod = 4;
  EXPECT_EQ(KVMGetInformation(&info), kIOReturnError);
  EXPECT_EQ(capture.take(), kReadFailed);
  EXPECT_EQ(info.state, 0);
  EXPECT_EQ(info.confirmedPort, -1);
  EXPECT_EQ(info.currentPort, 1);
  EXPECT_EQ(info.autoScanPeriod, 4);
  EXPECT_TRUE(featureSwitch.calls().empty());
  EXPECT_TRUE(serialSwitch.calls().empty());
}

TEST_F(SwitchOperations, ReadOfAFeatureReportSwitchDecodesBothReports) {
  info.version = 2;
  info.state = 2;
  featureSwitch.state().port = 1;
  featureSwitch.state().scanPeriodSeconds = 35;
  KVMGetInformation(&info);
  EXPECT_EQ(capture.take(), dumpLine(info.device.infoBuffer));
  EXPECT_EQ(info.state, 2);
  EXPECT_EQ(info.currentPort, 1);
  EXPECT_EQ(info.confirmedPort, 1);
  EXPECT_EQ(info.autoScanPeriod, 7);
  EXPECT_EQ(info.universalHotKey, 0x47u);
  EXPECT_EQ(info.portCount, 2);
  EXPECT_EQ(clock->delays, (std::vector<unsigned long>{5, 5}));
  EXPECT_TRUE(serialSwitch.calls().empty());
}

TEST_F(SwitchOperations, FailedReadKeepsTransportAndDecodedFieldsAndALaterReadDoesNotRestoreTheState) {
  info.version = 2;
  info.state = 2;
  featureSwitch.state().port = 1;
  KVMGetInformation(&info);
  capture.take();
  unsigned char block[12];
  memcpy(block, info.device.infoBuffer, 12);

  featureSwitch.failNext(SimCall::GetReport, 5, kIOReturnNotResponding);
  EXPECT_EQ(KVMGetInformation(&info), kIOReturnNotResponding);
  EXPECT_EQ(capture.take(), "HIDGetReport - Could not getReport. Error: -536870163.\n"
                            "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = E00002ED\n");
  EXPECT_EQ(info.state, 0);
  EXPECT_EQ(info.confirmedPort, -1);
  EXPECT_EQ(info.currentPort, 1);
  EXPECT_EQ(info.version, 2);
  EXPECT_EQ(memcmp(block, info.device.infoBuffer, 12), 0);

  KVMGetInformation(&info);
  EXPECT_EQ(capture.take(), dumpLine(info.device.infoBuffer));
  EXPECT_EQ(info.confirmedPort, 1);
  EXPECT_EQ(info.state, 0);
}

TEST_F(SwitchOperations, ReadOfASerialNumberSwitchDecodesItsSerialNumber) {
  info.version = 1;
  serialSwitch.state().port = 1;
  serialSwitch.state().autoScan = true;
  KVMGetInformation(&info);
  EXPECT_EQ(capture.take(), dumpLine(info.device.infoBuffer));
  EXPECT_EQ(info.device.vendorID, 0x10D5u);
  EXPECT_EQ(info.device.productID, 0x000Du);
  EXPECT_EQ(info.currentPort, 1);
  EXPECT_EQ(info.confirmedPort, 1);
  EXPECT_TRUE(info.autoScanOn);
  EXPECT_TRUE(info.hasAudio);
  EXPECT_FALSE(info.hasUniversalHotKey);
  EXPECT_TRUE(featureSwitch.calls().empty());
  EXPECT_TRUE(clock->delays.empty());
}

TEST_F(SwitchOperations, ReadOfASerialNumberSwitchWithoutDeviceInterfaceSaysSoTwice) {
  info.version = 1;
  info.state = 1;
  IOUSBDeviceInterface** device = info.device.usbDevice;
  info.device.usbDevice = nullptr;
  KVMGetInformation(&info);
  info.device.usbDevice = device;
  EXPECT_EQ(capture.take(), "USBGetDeviceInfo: No known device\n" + kReadFailed);
  EXPECT_EQ(info.state, 0);
  EXPECT_EQ(info.confirmedPort, -1);
}

TEST_F(SwitchOperations, NullRecordIsIgnored) {
  KVMGetInformation(nullptr);
  for (const auto& op : kEveryOperation) op.run(nullptr);
  EXPECT_EQ(capture.take(), "");
}

// --- Dispatch by version --------------------------------------------------------

TEST_F(SwitchOperations, NoKnownSwitchIsSentNothing) {
  for (int version : {0, 3}) {
    info.version = version;
    for (const auto& op : kEveryOperation) runKeepingRecord(op.run, op.name);
  }
  EXPECT_TRUE(featureSwitch.calls().empty());
  EXPECT_TRUE(serialSwitch.calls().empty());
  EXPECT_TRUE(clock->delays.empty());
  EXPECT_EQ(capture.take(), "");
}

TEST_F(SwitchOperations, FeatureReportSwitchGetsEveryOperationAsItsReport) {
  info.version = 2;
  info.state = 2;
  for (const auto& op : kEveryOperation) runKeepingRecord(op.run, op.name);
  EXPECT_EQ(reportsSet(), (std::vector<Bytes>{
                              {0x04, 0x81, 0x01, 0, 0, 0, 0, 0},
                              {0x04, 0x86, 0x00, 0, 0, 0, 0, 0},
                              {0x04, 0x84, 0x00, 0, 0, 0, 0, 0},
                              {0x04, 0x85, 0x00, 0, 0, 0, 0, 0},
                              {0x04, 0x8C, 0x01, 0, 0, 0, 0, 0},
                              {0x04, 0x8F, 0x00, 0, 0, 0, 0, 0},
                              {0x04, 0x90, 0x00, 0, 0, 0, 0, 0},
                              {0x04, 0x8B, 0x01, 0, 0, 0, 0, 0},
                              {0x04, 0x87, 0x1E, 0, 0, 0, 0, 0},
                              {0x04, 0x88, 0x00, 0, 0, 0, 0, 0},
                              {0x04, 0x91, 0x47, 0, 0, 0, 0, 0},
                          }));
  EXPECT_EQ(clock->delays, std::vector<unsigned long>(11, 10));
  EXPECT_TRUE(serialSwitch.calls().empty());
  EXPECT_EQ(capture.take(), "");
}

TEST_F(SwitchOperations, SerialNumberSwitchGetsOnlyTheOperationsItHasPacketsFor) {
  info.version = 1;
  info.state = 2;
  for (const auto& op : kEveryOperation) runKeepingRecord(op.run, op.name);
  EXPECT_EQ(packetsWritten(), (std::vector<Bytes>{
                                  {0x01, 0x01, 0, 0, 0, 0, 0, 0},
                                  {0x03, 0x00, 0, 0, 0, 0, 0, 0},
                                  {0x04, 0x00, 0, 0, 0, 0, 0, 0},
                                  {0x05, 0x01, 0, 0, 0, 0, 0, 0},
                                  {0x06, 0x06, 0, 0, 0, 0, 0, 0},
                                  {0x07, 0x00, 0, 0, 0, 0, 0, 0},
                              }));
  EXPECT_TRUE(featureSwitch.calls().empty());
  EXPECT_TRUE(clock->delays.empty());
  capture.take();
}

TEST_F(SwitchOperations, SerialNumberSwitchIsSentNothingForHubsHotKeyAndAudioUnbinding) {
  info.version = 1;
  KVMUnbindAudio(&info);
  KVMBindHUB(&info, 0);
  KVMUnbindHUB(&info, 1);
  KVMFixHUBPortNumber(&info, 0, 1);
  KVMSetUniversalHotKey(&info, 0x47);
  EXPECT_TRUE(serialSwitch.calls().empty());
  EXPECT_TRUE(featureSwitch.calls().empty());
  EXPECT_EQ(capture.take(), "");
}

TEST_F(SwitchOperations, ArgumentsPassUncheckedAndTheRecordIsLeftToTheCaller) {
  info.version = 2;
  info.portCount = 2;
  info.autoScanOn = false;
  EXPECT_EQ(KVMSetPortNumber(&info, 3), kIOReturnSuccess);
  EXPECT_EQ(KVMSetAutoScan(&info, true), kIOReturnSuccess);
  EXPECT_EQ(reportsSet(), (std::vector<Bytes>{{0x04, 0x81, 0x03, 0, 0, 0, 0, 0},
                                              {0x04, 0x88, 0x00, 0, 0, 0, 0, 0}}));
  EXPECT_FALSE(info.autoScanOn);
  EXPECT_EQ(info.currentPort, 0);
}

TEST_F(SwitchOperations, FailedCommandIsReportedByItsTransportAndReturnsItsStatus) {
  info.version = 2;
  featureSwitch.failNext(SimCall::SetReport, 5, kIOReturnError);
  EXPECT_EQ(KVMSetBuzzer(&info, true), kIOReturnError);
  EXPECT_EQ(capture.take(), "HIDSetReport - Could not setReport; error: -536870212");

  info.version = 1;
  serialSwitch.failNext(SimCall::DeviceOpen, 1, kIOReturnExclusiveAccess);
  EXPECT_EQ(KVMSetBuzzer(&info, true), kIOReturnExclusiveAccess);
  EXPECT_EQ(capture.take(), "USBGetInterfaceInterface: unable to open device. ret = e00002c5\n"
                            "USBTransferData: unable to open interface. ret = e00002c5\n");
}
