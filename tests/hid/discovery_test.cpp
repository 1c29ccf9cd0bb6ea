// Finding, attaching and losing switches: matching over the device table, the
// generation rules, the hand-off to USB, removal, the poll timer and the login.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/polling_tick.h"
#include "hid/hid_discovery.h"
#include "hid/hid_reports.h"
#include "platform/core/event_loop_timers.h"
#include "platform/icons/icons.h"
#include "tests/support/discovery_fixture.h"
#include "usb/usb_discovery.h"

using platform::FeatureReportSwitch;
using platform::SerialNumberSwitch;
using platform::SimCall;
using testsupport::DiscoveryTest;

namespace {

std::string DumpLine(const unsigned char* b) {
  char line[128];
  snprintf(line, sizeof line,
           "USB Buffer Info: %02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x\n", b[0], b[1], b[2], b[3],
           b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11]);
  return line;
}

std::string DumpOf(FeatureReportSwitch& sw) {
  unsigned char block[12];
  auto r5 = sw.report5();
  auto r4 = sw.report4();
  std::copy(r5.begin(), r5.end(), block);
  std::copy(r4.begin(), r4.end(), block + 4);
  return DumpLine(block);
}

size_t Count(const std::vector<SimCall>& calls, SimCall call) {
  return size_t(std::count(calls.begin(), calls.end(), call));
}

CFNumberRef Number(long value) { return CFNumberCreate(kCFAllocatorDefault, kCFNumberLongType, &value); }

// Iterators of the 258 registrations stay for the whole run.
constexpr size_t kMatchingIterators = 258;

}  // namespace

// --- Matching over the device table

TEST_F(DiscoveryTest, RegistersEveryProductOfTheTableAndKeepsOnlyTheIterators) {
  StartMatching();
  EXPECT_EQ("", err_.take());
  EXPECT_EQ(kMatchingIterators, platform::liveRegistryHandles());
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(nullptr, theTimer);
  EXPECT_EQ(-1, CurrentIconNumber);
}

TEST_F(DiscoveryTest, FirstSwitchInTableOrderWinsAndTheOtherIsLeftUntouched) {
  FeatureReportSwitch later(0x0CF6, 0x6B01);
  FeatureReportSwitch first(0x10D5, 0x55FF);
  later.plug();
  first.plug();
  StartMatching();

  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(0x10D5u, KVMSwitch.info.device.vendorID);
  EXPECT_EQ(0x55FFu, KVMSwitch.info.device.productID);
  EXPECT_TRUE(later.calls().empty());
  EXPECT_EQ("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x55FF. Version: 2\n" + DumpOf(first),
            err_.take());
  // The iterators, the armed removal notification, and nothing else.
  EXPECT_EQ(kMatchingIterators + 1, platform::liveRegistryHandles());
}

TEST_F(DiscoveryTest, AttachingAFeatureReportSwitchReadsShowsAndStartsOnePollTimer) {
  FeatureReportSwitch sw;
  sw.state().port = 1;
  sw.plug();
  StartMatching();

  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(2, KVMSwitch.info.version);
  EXPECT_EQ(1, KVMSwitch.info.currentPort);
  EXPECT_EQ(1, CurrentIconNumber);
  EXPECT_FALSE(platform::dockTileImage().isNull());
  EXPECT_NE(nullptr, theTimer);
  EXPECT_NE(0u, KVMSwitch.info.device.notification);
  EXPECT_EQ(1u, platform::liveEventLoopTimers());
  // open for the attach, then the read opens (already open) and closes once.
  EXPECT_EQ(2u, Count(sw.calls(), SimCall::GetReport));
  EXPECT_EQ(1u, Count(sw.calls(), SimCall::HIDClose));
}

// --- Generation rules and property fallbacks

TEST_F(DiscoveryTest, FeatureReportSizeOtherThanEightIsNotASwitch) {
  FeatureReportSwitch sw;
  CFNumberRef size = Number(64);
  sw.setHIDProperty("MaxFeatureReportSize", size);
  CFRelease(size);
  sw.plug();
  StartMatching();
  EXPECT_EQ(
      "CFNumberGetValue error. Invalid Size: 64."
      "HIDDeviceAdded: Call to HIDFindSwitcherVersion failed. Code result = 00000000\n",
      err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(0, KVMSwitch.info.version);
  EXPECT_TRUE(sw.calls().empty());
  EXPECT_EQ(kMatchingIterators, platform::liveRegistryHandles());
}

TEST_F(DiscoveryTest, MissingVendorIDIsTakenFromTheUSBDeviceTwoLevelsUp) {
  FeatureReportSwitch sw(0x10D5, 0x5501);
  sw.setHIDProperty("VendorID", nullptr);
  sw.plug();
  // Matching by vendor cannot find it; a scan over every HID device can.
  MakeNotifyPort();
  io_iterator_t iterator = 0;
  ASSERT_EQ(0, IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator));
  HIDDeviceAdded(&KVMSwitch, iterator);
  IOObjectRelease(iterator);
  EXPECT_EQ(0x10D5u, KVMSwitch.info.device.vendorID);
  EXPECT_EQ(0x5501u, KVMSwitch.info.device.productID);
  EXPECT_EQ(2, KVMSwitch.info.state);
}

TEST_F(DiscoveryTest, ASerialNumberMakesAGenerationOneSwitchEvenWithFeatureReportsOfEight) {
  SerialNumberSwitch sw;
  sw.plug();
  StartMatching();
  EXPECT_EQ(1, KVMSwitch.info.version);
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_NE(nullptr, theTimer) << "the serial-number switch is polled too";
  EXPECT_NE(nullptr, KVMSwitch.info.device.usbDevice);
  EXPECT_NE(0u, KVMSwitch.info.device.notification);
  EXPECT_EQ(0u, Count(sw.calls(), SimCall::GetReport));
  const std::string log = err_.take();
  EXPECT_EQ(0u, log.find("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0xD. Version: 1\n"
                         "USBDeviceAdded: USBGetDeviceInfo found device info with vendorID=0x10D5 deviceID=0xD\n"
                         "USB Buffer Info: "))
      << log;

  // A port changed on the switch itself shows at the next tick, read with one
  // string-descriptor request and no pacing.
  sw.clearRecords();
  clock_->delays.clear();
  sw.pressPortButton(1);
  clock_->advance(5);
  EXPECT_EQ(1, CurrentIconNumber);
  EXPECT_TRUE(clock_->delays.empty());
  EXPECT_EQ(1u, Count(sw.calls(), SimCall::DeviceRequest));
  err_.take();
}

TEST_F(DiscoveryTest, ASerialNumberThatDoesNotFitIsNoSwitchAtAll) {
  SerialNumberSwitch sw;
  CFStringRef longSerial = CFStringCreateWithCString(kCFAllocatorDefault, "ABCD", kCFStringEncodingASCII);
  sw.setHIDProperty("SerialNumber", longSerial);
  CFRelease(longSerial);
  sw.plug();
  StartMatching();
  EXPECT_EQ(
      "CFStringGetCString error retrieving pDevice->serial."
      "HIDDeviceAdded: Call to HIDFindSwitcherVersion failed. Code result = 00000000\n",
      err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_TRUE(sw.calls().empty());
}

TEST_F(DiscoveryTest, AFeatureReportSizeThatIsNoNumberIsReportedAndRejected) {
  FeatureReportSwitch sw;
  sw.setHIDProperty("MaxFeatureReportSize", CFSTR("eight"));
  sw.plug();
  StartMatching();
  EXPECT_EQ(
      "CFNumberGetValue error retrieving Feature key.CFNumberGetValue error. Invalid Size: 0."
      "HIDDeviceAdded: Call to HIDFindSwitcherVersion failed. Code result = 00000000\n",
      err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
}

// --- Attach failures

TEST_F(DiscoveryTest, ADeviceWithoutAGrandparentIsRejectedAndItsParentReleased) {
  CFMutableDictionaryRef properties =
      CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  for (auto [key, value] : {std::pair{"VendorID", 0x10D5L}, {"ProductID", 0x5500L}, {"MaxFeatureReportSize", 8L}}) {
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingASCII);
    CFNumberRef number = Number(value);
    CFDictionarySetValue(properties, name, number);
    CFRelease(name);
    CFRelease(number);
  }
  auto orphanParent = std::make_shared<platform::RegistryEntry>("IOUSBInterface", nullptr, nullptr, nullptr);
  auto device = std::make_shared<platform::RegistryEntry>("IOHIDDevice", properties, orphanParent, nullptr);
  CFRelease(properties);
  platform::publishEntry(orphanParent);
  platform::publishEntry(device);

  StartMatching();
  EXPECT_EQ("HIDDeviceAdded: Call to HIDFindSwitcherVersion failed. Code result = E00002C0\n", err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(kMatchingIterators, platform::liveRegistryHandles()) << "the parent found is released too";
}

TEST_F(DiscoveryTest, AFailedFirstReadStillAttachesWithTheZeroBlock) {
  FeatureReportSwitch sw;
  sw.state().port = 1;
  sw.failNext(SimCall::GetReport, 5, kIOReturnNotResponding);
  sw.plug();
  StartMatching();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(0, KVMSwitch.info.currentPort);
  EXPECT_EQ(0, KVMSwitch.info.confirmedPort);
  EXPECT_TRUE(KVMSwitch.info.audioFixed);
  EXPECT_TRUE(KVMSwitch.info.hubFixed[0]);
  EXPECT_TRUE(KVMSwitch.info.hubFixed[1]);
  EXPECT_EQ(1, KVMSwitch.info.autoScanPeriod);
  EXPECT_FALSE(KVMSwitch.info.hasBuzzer);
  EXPECT_EQ(0, CurrentIconNumber);
}

TEST_F(DiscoveryTest, AFailedOpenLeavesNoSwitchAndNoTimerAndReleasesTheInterface) {
  FeatureReportSwitch sw;
  sw.failNext(SimCall::HIDOpen, 1, kIOReturnExclusiveAccess);
  sw.plug();
  size_t before = platform::liveDeviceInterfaces();
  StartMatching();
  const std::string log = err_.take();
  EXPECT_NE(std::string::npos,
            log.find("HIDSetHIDDevice: Call to HIDDeviceInterface failed. Code result = E00002C5\n"))
      << log;
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(0, KVMSwitch.info.version) << "the registrations after it each start a scan afresh";
  EXPECT_EQ(nullptr, theTimer);
  EXPECT_EQ(nullptr, KVMSwitch.info.device.hidDevice);
  EXPECT_EQ(before, platform::liveDeviceInterfaces());
  EXPECT_EQ(kMatchingIterators, platform::liveRegistryHandles());
}

// --- Hot-plug

TEST_F(DiscoveryTest, RemovalStopsPollingShowsTheOwnPictureAndReattachStartsOneNewTimer) {
  StartMatching();
  FeatureReportSwitch sw;
  sw.state().port = 1;
  sw.plug();
  RunLoop();
  ASSERT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(1, CurrentIconNumber);
  EXPECT_EQ(1u, platform::liveEventLoopTimers());

  sw.unplug();
  RunLoop();
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(2, KVMSwitch.info.version) << "kept until the next scan";
  EXPECT_EQ(nullptr, theTimer);
  EXPECT_EQ(0u, platform::liveEventLoopTimers());
  EXPECT_EQ(0u, KVMSwitch.info.device.notification);
  EXPECT_EQ(-1, CurrentIconNumber);
  EXPECT_EQ(kMatchingIterators, platform::liveRegistryHandles());

  sw.plug();
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(1u, platform::liveEventLoopTimers());
  EXPECT_EQ(kMatchingIterators + 1, platform::liveRegistryHandles());
}

TEST_F(DiscoveryTest, AttachWhileATimerStillRunsInstallsNoSecondOne) {
  StartMatching();
  FeatureReportSwitch first(0x10D5, 0x5500);
  first.plug();
  RunLoop();
  EventLoopTimerRef timer = theTimer;
  // A failed read leaves no switch in use while the timer keeps running.
  first.failNext(SimCall::GetReport, 5, kIOReturnNotResponding);
  clock_->advance(5);
  ASSERT_EQ(0, KVMSwitch.info.state);

  FeatureReportSwitch second(0x10D5, 0x5501);
  second.plug();
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(0x5501u, KVMSwitch.info.device.productID);
  EXPECT_EQ(timer, theTimer);
  EXPECT_EQ(1u, platform::liveEventLoopTimers());

  // The first switch's removal no longer concerns the record.
  first.unplug();
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(kMatchingIterators + 1, platform::liveRegistryHandles());
}

TEST_F(DiscoveryTest, SerialNumberSwitchReplacesTheRecordOnlyOnceItsUSBAttachSucceeded) {
  StartMatching();
  FeatureReportSwitch first;
  first.plug();
  RunLoop();
  first.failNext(SimCall::GetReport, 5, kIOReturnNotResponding);
  clock_->advance(5);
  ASSERT_EQ(0, KVMSwitch.info.state);
  IOHIDDeviceInterface122** firstDevice = KVMSwitch.info.device.hidDevice;
  const size_t interfaces = platform::liveDeviceInterfaces();

  // The USB attach fails: the first switch keeps its record, open, and its
  // removal is still followed.
  SerialNumberSwitch second;
  second.failNext(SimCall::DeviceOpen, 1, kIOReturnExclusiveAccess);
  second.plug();
  RunLoop();
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(0x5500u, KVMSwitch.info.device.productID);
  ASSERT_EQ(firstDevice, KVMSwitch.info.device.hidDevice);
  EXPECT_NE(0u, KVMSwitch.info.device.notification);
  EXPECT_EQ(interfaces, platform::liveDeviceInterfaces());
  EXPECT_EQ(0, HIDGetDeviceInfo(&KVMSwitch.info.device));

  // Plugged in again, it attaches: the first switch's record goes, and so
  // does its removal notification.
  second.unplug();
  RunLoop();
  second.plug();
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(1, KVMSwitch.info.version);
  EXPECT_EQ(nullptr, KVMSwitch.info.device.hidDevice);
  EXPECT_EQ(interfaces, platform::liveDeviceInterfaces()) << "the first's interface for the second's";
  first.unplug();
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(kMatchingIterators + 1, platform::liveRegistryHandles());
}

TEST_F(DiscoveryTest, OtherMessagesThanTerminationChangeNothing) {
  FeatureReportSwitch sw;
  sw.plug();
  StartMatching();
  HIDDeviceNotification(&KVMSwitch, 0, 0xE0000100, nullptr);
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_NE(nullptr, theTimer);
}

TEST_F(DiscoveryTest, SerialNumberSwitchRemovalAndReattach) {
  StartMatching();
  SerialNumberSwitch sw;
  sw.plug();
  RunLoop();
  ASSERT_EQ(2, KVMSwitch.info.state);
  ASSERT_EQ(1, KVMSwitch.info.version);
  sw.unplug();
  RunLoop();
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(-1, CurrentIconNumber);
  sw.plug();
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(kMatchingIterators + 1, platform::liveRegistryHandles());
}

// --- USB attach

TEST_F(DiscoveryTest, UsbAttachSkipsADeviceWhoseReadFailsAndTakesTheNext) {
  SerialNumberSwitch broken;
  SerialNumberSwitch good;
  broken.failNext(SimCall::DeviceOpen, 1, kIOReturnExclusiveAccess);
  broken.plug();
  good.state().port = 1;
  good.plug();
  MakeNotifyPort();
  DEVICE_ID id = {0x10D5, 0x000D};
  USBGetMatchingDevice(&KVMSwitch, &id);
  const std::string log = err_.take();
  EXPECT_EQ(0u, log.find("USBGetDeviceInfo: unable to open device. ret = e00002c5\n"
                         "USBDeviceAdded: Call to USBGetDeviceInfo failed. Code result = E00002C5\n"
                         "USBDeviceAdded: USBGetDeviceInfo found device info with vendorID=0x10D5 deviceID=0xD\n"
                         "USB Buffer Info: "))
      << log;
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(1, KVMSwitch.info.currentPort);
  EXPECT_EQ(1u, platform::liveRegistryHandles()) << "only the armed removal notification";
}

TEST_F(DiscoveryTest, UsbAttachDoesNothingWhileASwitchIsInUse) {
  SerialNumberSwitch sw;
  sw.plug();
  KVMSwitch.info.state = 1;
  MakeNotifyPort();
  DEVICE_ID id = {0x10D5, 0x000D};
  USBGetMatchingDevice(&KVMSwitch, &id);
  EXPECT_EQ("", err_.take());
  EXPECT_TRUE(sw.calls().empty());
  EXPECT_EQ(0u, platform::liveRegistryHandles());
}

// --- Login switched out

TEST_F(DiscoveryTest, ArrivalWhileTheLoginIsSwitchedOutIsOnlyRemembered) {
  KVMSwitch.loginInactive = true;
  StartMatching();
  FeatureReportSwitch sw;
  sw.plug();
  RunLoop();
  EXPECT_EQ(1, KVMSwitch.info.state);
  EXPECT_EQ(0x5500u, KVMSwitch.info.device.productID);
  EXPECT_TRUE(sw.calls().empty());
  EXPECT_EQ(nullptr, theTimer);

  // Coming back, the login handler matches the remembered identifiers again.
  KVMSwitch.loginInactive = false;
  KVMSwitch.info.state = 0;
  DEVICE_ID id = {KVMSwitch.info.device.vendorID, KVMSwitch.info.device.productID};
  HIDGetMatchingDevice(&KVMSwitch, &id);
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_NE(nullptr, theTimer);
  EXPECT_EQ(kMatchingIterators + 1, platform::liveRegistryHandles());
}

// --- The poll tick

TEST_F(DiscoveryTest, PollsFiveSecondsAfterAttachThenEveryTwo) {
  FeatureReportSwitch sw;
  sw.plug();
  StartMatching();
  sw.clearRecords();
  clock_->advance(4.5);
  EXPECT_EQ(0u, Count(sw.calls(), SimCall::GetReport));
  clock_->advance(0.5);
  EXPECT_EQ(2u, Count(sw.calls(), SimCall::GetReport));
  clock_->advance(1.5);
  EXPECT_EQ(2u, Count(sw.calls(), SimCall::GetReport));
  clock_->advance(0.5);
  EXPECT_EQ(4u, Count(sw.calls(), SimCall::GetReport));
  clock_->advance(4);
  EXPECT_EQ(8u, Count(sw.calls(), SimCall::GetReport));
}

TEST_F(DiscoveryTest, TickFollowsThePortAndShowsNoPortWhileReadingsDisagree) {
  FeatureReportSwitch sw;
  sw.plug();
  StartMatching();
  ASSERT_EQ(0, CurrentIconNumber);

  sw.pressPortButton(1);
  clock_->advance(5);
  EXPECT_EQ(1, CurrentIconNumber);

  sw.state().confirmedPortOverride = 0;
  clock_->advance(2);
  EXPECT_EQ(-1, CurrentIconNumber);

  sw.state().confirmedPortOverride = -1;
  clock_->advance(2);
  EXPECT_EQ(1, CurrentIconNumber);
}

TEST_F(DiscoveryTest, AFailedTickReadShowsTheOwnPictureAndTheNextTickAttachesAgain) {
  FeatureReportSwitch sw;
  sw.plug();
  StartMatching();
  sw.failNext(SimCall::GetReport, 5, kIOReturnNotResponding);
  err_.take();
  clock_->advance(5);
  EXPECT_EQ(
      "HIDGetReport - Could not getReport. Error: -536870163.\n"
      "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = E00002ED\n",
      err_.take());
  EXPECT_EQ(-1, CurrentIconNumber);
  EXPECT_EQ(0, KVMSwitch.info.state);
  clock_->advance(2);
  EXPECT_EQ(0, CurrentIconNumber);
  EXPECT_EQ(2, KVMSwitch.info.state) << "a passing failure does not leave the switch unused until a replug";
}

TEST_F(DiscoveryTest, TickWhileTheLoginIsSwitchedOutReadsNothing) {
  FeatureReportSwitch sw;
  sw.plug();
  StartMatching();
  sw.clearRecords();
  KVMSwitch.loginInactive = true;
  sw.pressPortButton(1);
  clock_->advance(9);
  EXPECT_TRUE(sw.calls().empty());
  EXPECT_EQ(0, CurrentIconNumber);
  KVMSwitch.loginInactive = false;
  clock_->advance(2);
  EXPECT_EQ(1, CurrentIconNumber);
}
