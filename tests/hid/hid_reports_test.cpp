// Feature reports of the feature-report switch: command bytes, the five
// attempts, the pacing before each, and the messages of the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <vector>

#include "hid/hid_reports.h"
#include "platform/core/clock.h"
#include "sim/simulated_switch.h"
#include "tests/support/stderr_capture.h"

namespace {

using platform::SimCall;
using Bytes = std::vector<uint8_t>;
using Ticks = std::vector<unsigned long>;

class HIDTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.plug();
    device.hidDevice = sim.newDeviceInterface();
    sim.clearRecords();
  }
  void TearDown() override {
    (*device.hidDevice)->Release(device.hidDevice);
    sim.unplug();
    platform::resetRegistry();
  }

  size_t count(SimCall call) const {
    return std::count(sim.calls().begin(), sim.calls().end(), call);
  }
  // The reports the switch took, as (report ID, bytes).
  std::vector<std::pair<uint32_t, Bytes>> reportsSet() const {
    std::vector<std::pair<uint32_t, Bytes>> reports;
    for (const auto& exchange : sim.received())
      if (exchange.call == SimCall::SetReport) reports.emplace_back(exchange.id, exchange.bytes);
    return reports;
  }

  platform::ScopedManualClock clock;
  platform::FeatureReportSwitch sim;
  DEVICE_DATA device = {};
  testsupport::StderrCapture capture;
};

// A manual clock that lets a test act at the n-th requested delay.
class HookedClock : public platform::ManualClock {
 public:
  explicit HookedClock(std::function<void(size_t)> hook) : hook_(std::move(hook)), previous_(&platform::clock()) {
    platform::setClock(this);
  }
  ~HookedClock() override { platform::setClock(previous_); }
  void delayTicks(unsigned long ticks) override {
    hook_(delays.size());
    ManualClock::delayTicks(ticks);
  }

 private:
  std::function<void(size_t)> hook_;
  platform::Clock* previous_;
};

Bytes command(uint8_t code, uint8_t argument) { return {0x04, code, argument, 0, 0, 0, 0, 0}; }

}  // namespace

// --- Command bytes --------------------------------------------------------------

TEST_F(HIDTransport, EveryBuilderSendsItsEightBytesAsFeatureReportFour) {
  const struct {
    const char* name;
    std::function<int(DEVICE_DATA*)> send;
    Bytes bytes;
  } cases[] = {
      {"port 1", [](DEVICE_DATA* d) { return HIDSetPortNumber(d, 1); }, command(0x81, 0x01)},
      {"port 3", [](DEVICE_DATA* d) { return HIDSetPortNumber(d, 3); }, command(0x81, 0x03)},
      {"bind audio", [](DEVICE_DATA* d) { return HIDBindAudio(d); }, command(0x84, 0x00)},
      {"unbind audio", [](DEVICE_DATA* d) { return HIDUnbindAudio(d); }, command(0x85, 0x00)},
      {"buzzer on", [](DEVICE_DATA* d) { return HIDSetBuzzer(d, true); }, command(0x86, 0x01)},
      {"buzzer off", [](DEVICE_DATA* d) { return HIDSetBuzzer(d, false); }, command(0x86, 0x00)},
      {"period 4", [](DEVICE_DATA* d) { return HIDSetAutoScanPeriod(d, 4); }, command(0x87, 0x14)},
      {"period 20", [](DEVICE_DATA* d) { return HIDSetAutoScanPeriod(d, 20); }, command(0x87, 0x64)},
      {"auto-scan on", [](DEVICE_DATA* d) { return HIDSetAutoScan(d, true); }, command(0x88, 0x00)},
      {"auto-scan off", [](DEVICE_DATA* d) { return HIDSetAutoScan(d, false); }, command(0x89, 0x00)},
      {"fix hub 0", [](DEVICE_DATA* d) { return HIDFixHUBPortNumber(d, 0, 1); }, command(0x8A, 0x01)},
      {"fix hub 1", [](DEVICE_DATA* d) { return HIDFixHUBPortNumber(d, 1, 0); }, command(0x8B, 0x00)},
      {"fix audio", [](DEVICE_DATA* d) { return HIDFixAudioPortNumber(d, 1); }, command(0x8C, 0x01)},
      {"bind hub 0", [](DEVICE_DATA* d) { return HIDBindHUB(d, 0); }, command(0x8D, 0x00)},
      {"bind hub 1", [](DEVICE_DATA* d) { return HIDBindHUB(d, 1); }, command(0x8F, 0x00)},
      {"unbind hub 0", [](DEVICE_DATA* d) { return HIDUnbindHUB(d, 0); }, command(0x8E, 0x00)},
      {"unbind hub 1", [](DEVICE_DATA* d) { return HIDUnbindHUB(d, 1); }, command(0x90, 0x00)},
      {"hot key", [](DEVICE_DATA* d) { return HIDSetUniversalHotKey(d, 0x47); }, command(0x91, 0x47)},
  };
  for (const auto& c : cases) {
    sim.clearRecords();
    clock->delays.clear();
    EXPECT_EQ(c.send(&device), kIOReturnSuccess) << c.name;
    auto reports = reportsSet();
    ASSERT_EQ(reports.size(), 1u) << c.name;
    EXPECT_EQ(reports[0].first, 4u) << c.name;
    EXPECT_EQ(reports[0].second, c.bytes) << c.name;
    EXPECT_EQ(clock->delays, Ticks{10}) << c.name;
    EXPECT_EQ(sim.calls(), (std::vector<SimCall>{SimCall::HIDOpen, SimCall::SetReport, SimCall::HIDClose}))
        << c.name;
  }
  EXPECT_EQ(capture.take(), "");
}

TEST_F(HIDTransport, ArgumentsAndCodesAreTakenModulo256) {
  HIDSetPortNumber(&device, 0x1FF);
  HIDSetAutoScanPeriod(&device, 60);  // 300 seconds
  HIDSetUniversalHotKey(&device, 0x147);
  HIDFixAudioPortNumber(&device, -1);
  HIDBindHUB(&device, 0x80);  // 0x8D + 0x100
  auto reports = reportsSet();
  ASSERT_EQ(reports.size(), 5u);
  EXPECT_EQ(reports[0].second, command(0x81, 0xFF));
  EXPECT_EQ(reports[1].second, command(0x87, 0x2C));
  EXPECT_EQ(reports[2].second, command(0x91, 0x47));
  EXPECT_EQ(reports[3].second, command(0x8C, 0xFF));
  EXPECT_EQ(reports[4].second, command(0x8D, 0x00));
}

TEST_F(HIDTransport, ReportIdentifierIsFourWhateverByteZeroHolds) {
  unsigned char report[8] = {0x07, 0x81, 0x01, 0, 0, 0, 0, 0};
  EXPECT_EQ(HIDSetDeviceInfo(&device, report, 8), kIOReturnSuccess);
  auto reports = reportsSet();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].first, 4u);
}

// --- Writing: attempts, pacing, failures ---------------------------------------

TEST_F(HIDTransport, WriteThatFailsTwiceIsSentThreeTimesTenTicksApartWithoutMessage) {
  sim.failNext(SimCall::SetReport, 2, kIOReturnNotResponding);
  EXPECT_EQ(HIDSetPortNumber(&device, 1), kIOReturnSuccess);
  EXPECT_EQ(count(SimCall::SetReport), 3u);
  EXPECT_EQ(clock->delays, (Ticks{10, 10, 10}));
  EXPECT_EQ(count(SimCall::HIDOpen), 1u);
  EXPECT_EQ(count(SimCall::HIDClose), 1u);
  // The switch sees every attempt; only the last one took effect.
  EXPECT_EQ(reportsSet(), (std::vector<std::pair<uint32_t, Bytes>>(3, {4, command(0x81, 0x01)})));
  EXPECT_EQ(sim.currentPort(), 1);
  EXPECT_EQ(capture.take(), "");
}

TEST_F(HIDTransport, WriteThatFailsFiveTimesReportsTheLastStatusWithoutLineEnd) {
  sim.failNext(SimCall::SetReport, 5, kIOReturnError);
  EXPECT_EQ(HIDSetBuzzer(&device, false), kIOReturnError);
  EXPECT_EQ(count(SimCall::SetReport), 5u);
  EXPECT_EQ(clock->delays, (Ticks{10, 10, 10, 10, 10}));
  EXPECT_EQ(sim.calls().back(), SimCall::HIDClose);
  EXPECT_TRUE(sim.state().buzzer);
  EXPECT_EQ(capture.take(), "HIDSetReport - Could not setReport; error: -536870212");
}

TEST_F(HIDTransport, WriteWhoseOpenFailsSendsNothingAndSaysNothing) {
  sim.failNext(SimCall::HIDOpen, 1, kIOReturnExclusiveAccess);
  EXPECT_EQ(HIDSetAutoScan(&device, true), kIOReturnExclusiveAccess);
  EXPECT_EQ(sim.calls(), std::vector<SimCall>{SimCall::HIDOpen});
  EXPECT_TRUE(clock->delays.empty());
  EXPECT_EQ(capture.take(), "");
}

TEST_F(HIDTransport, WriteWithoutRecordInterfaceOrReportReturnsErrorAtOnce) {
  unsigned char report[8] = {0x04, 0x81};
  EXPECT_EQ(HIDSetDeviceInfo(nullptr, report, 8), kIOReturnError);
  EXPECT_EQ(HIDSetPortNumber(nullptr, 1), kIOReturnError);
  EXPECT_EQ(HIDSetDeviceInfo(&device, nullptr, 8), kIOReturnError);
  EXPECT_EQ(HIDSetDeviceInfo(&device, report, -1), kIOReturnError);
  DEVICE_DATA noInterface = {};
  EXPECT_EQ(HIDSetPortNumber(&noInterface, 1), kIOReturnError);
  EXPECT_TRUE(sim.calls().empty());
  EXPECT_TRUE(clock->delays.empty());
  EXPECT_EQ(capture.take(), "");
}

TEST_F(HIDTransport, UnpluggedSwitchRefusesTheOpenAndNothingIsSent) {
  sim.unplug();
  EXPECT_EQ(HIDSetPortNumber(&device, 1), kIOReturnNotAttached);
  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnNotAttached);
  EXPECT_TRUE(clock->delays.empty());
  EXPECT_EQ(capture.take(), "");
}

// --- Reading the information block ----------------------------------------------

TEST_F(HIDTransport, InformationBlockIsReportFiveThenReportFour) {
  sim.state().port = 1;
  auto report5 = sim.report5();
  auto report4 = sim.report4();
  memset(device.infoBuffer, 0xAA, sizeof device.infoBuffer);

  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnSuccess);
  EXPECT_EQ(memcmp(device.infoBuffer, report5.data(), 4), 0);
  EXPECT_EQ(memcmp(device.infoBuffer + 4, report4.data(), 8), 0);
  EXPECT_EQ(device.infoBuffer[1] & 0x0F, 1);
  EXPECT_EQ(clock->delays, (Ticks{5, 5}));
  EXPECT_EQ(sim.calls(), (std::vector<SimCall>{SimCall::HIDOpen, SimCall::GetReport, SimCall::GetReport,
                                               SimCall::HIDClose}));
  EXPECT_TRUE(sim.received().empty());
  EXPECT_EQ(capture.take(), "");
}

TEST_F(HIDTransport, ReadThatFailsFourTimesSucceedsOnTheFifthAttempt) {
  sim.failNext(SimCall::GetReport, 4, kIOReturnNotResponding);
  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnSuccess);
  EXPECT_EQ(count(SimCall::GetReport), 6u);
  EXPECT_EQ(clock->delays, Ticks(6, 5));
  EXPECT_EQ(capture.take(), "");
}

TEST_F(HIDTransport, FailedReadOfReportFiveSkipsReportFourAndKeepsTheBlock) {
  const unsigned char before[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  memcpy(device.infoBuffer, before, 12);
  sim.failNext(SimCall::GetReport, 5, kIOReturnError);
  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnError);
  EXPECT_EQ(count(SimCall::GetReport), 5u);
  EXPECT_EQ(clock->delays, Ticks(5, 5));
  EXPECT_EQ(sim.calls().back(), SimCall::HIDClose);
  EXPECT_EQ(memcmp(device.infoBuffer, before, 12), 0);
  EXPECT_EQ(capture.take(), "HIDGetReport - Could not getReport. Error: -536870212.\n");
}

TEST_F(HIDTransport, ASilentSwitchEndsTheReadOrTheCommandAtItsFirstTimeout) {
  // The kernel has already waited its whole time: no second attempt, no report 4.
  sim.failNext(SimCall::GetReport, 1, kIOReturnTimeout);
  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnTimeout);
  EXPECT_EQ(count(SimCall::GetReport), 1u);
  EXPECT_EQ(capture.take(), "HIDGetReport - Could not getReport. Error: -536870186.\n");
  // A "busy" answer before it is still tried again.
  sim.failNext(SimCall::SetReport, 1, kIOReturnNotResponding);
  EXPECT_EQ(HIDSetPortNumber(&device, 1), kIOReturnSuccess);
  sim.clearRecords();
  sim.failNext(SimCall::SetReport, 1, kIOReturnTimeout);
  EXPECT_EQ(HIDSetPortNumber(&device, 0), kIOReturnTimeout);
  EXPECT_EQ(count(SimCall::SetReport), 1u);
  EXPECT_EQ(capture.take(), "HIDSetReport - Could not setReport; error: -536870186");
}

TEST_F(HIDTransport, FailedReadOfReportFourKeepsTheWholeBlock) {
  const unsigned char before[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  memcpy(device.infoBuffer, before, 12);
  // The pause before the first attempt at report 4 is the moment to make the
  // switch stop answering.
  HookedClock hooked([&](size_t delayIndex) {
    if (delayIndex == 1) sim.failNext(SimCall::GetReport, 5, kIOReturnNotResponding);
  });
  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnNotResponding);
  EXPECT_EQ(count(SimCall::GetReport), 6u);
  EXPECT_EQ(hooked.delays, Ticks(6, 5));
  EXPECT_EQ(memcmp(device.infoBuffer, before, 12), 0);
  EXPECT_EQ(capture.take(), "HIDGetReport - Could not getReport. Error: -536870163.\n");
}

TEST_F(HIDTransport, ShortAnswersLeaveZerosNotStaleBytes) {
  memset(device.infoBuffer, 0xAA, sizeof device.infoBuffer);
  sim.shortNext(SimCall::GetReport, 2, 2);
  auto report5 = sim.report5();
  auto report4 = sim.report4();
  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnSuccess);
  const unsigned char expected[12] = {report5[0], report5[1], 0, 0, report4[0], report4[1], 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(device.infoBuffer, expected, 12), 0);
}

TEST_F(HIDTransport, ReadWhoseOpenFailsReadsNothing) {
  memset(device.infoBuffer, 0x5A, sizeof device.infoBuffer);
  sim.failNext(SimCall::HIDOpen, 1, kIOReturnExclusiveAccess);
  EXPECT_EQ(HIDGetDeviceInfo(&device), kIOReturnExclusiveAccess);
  EXPECT_EQ(sim.calls(), std::vector<SimCall>{SimCall::HIDOpen});
  EXPECT_TRUE(clock->delays.empty());
  EXPECT_EQ(device.infoBuffer[0], 0x5A);
  EXPECT_EQ(capture.take(), "");
}

TEST_F(HIDTransport, ReadWithoutRecordOrInterfaceReturnsErrorAtOnce) {
  EXPECT_EQ(HIDGetDeviceInfo(nullptr), kIOReturnError);
  DEVICE_DATA noInterface = {};
  EXPECT_EQ(HIDGetDeviceInfo(&noInterface), kIOReturnError);
  uint32_t length = 4;
  unsigned char buffer[4];
  EXPECT_EQ(HIDGetReport(nullptr, kIOHIDReportTypeFeature, 5, buffer, &length), kIOReturnError);
  EXPECT_EQ(HIDGetReport(device.hidDevice, kIOHIDReportTypeFeature, 5, nullptr, &length), kIOReturnError);
  EXPECT_EQ(HIDGetReport(device.hidDevice, kIOHIDReportTypeFeature, 5, buffer, nullptr), kIOReturnError);
  EXPECT_TRUE(sim.calls().empty());
  EXPECT_TRUE(clock->delays.empty());
  EXPECT_EQ(capture.take(), "");
}
