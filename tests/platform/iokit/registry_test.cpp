#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/iokit/device_seam.h"
#include "platform/iokit/iokit.h"

namespace {

using platform::EntryPtr;
using platform::RegistryEntry;

CFMutableDictionaryRef properties(std::initializer_list<std::pair<const char*, int>> values) {
  CFMutableDictionaryRef dict =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  for (auto& [name, value] : values) {
    CFStringRef key = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberIntType, &value);
    CFDictionarySetValue(dict, key, number);
    CFRelease(key);
    CFRelease(number);
  }
  return dict;
}

EntryPtr makeEntry(const char* className, std::initializer_list<std::pair<const char*, int>> values,
                   EntryPtr parent = nullptr, platform::InterfaceFactory factory = nullptr) {
  CFMutableDictionaryRef props = properties(values);
  auto entry = std::make_shared<RegistryEntry>(className, props, std::move(parent), std::move(factory));
  CFRelease(props);
  return entry;
}

CFMutableDictionaryRef hidMatching(int vendor, int product) {
  CFMutableDictionaryRef matching = IOServiceMatching("IOHIDDevice");
  CFNumberRef v = CFNumberCreate(nullptr, kCFNumberIntType, &vendor);
  CFNumberRef p = CFNumberCreate(nullptr, kCFNumberIntType, &product);
  CFDictionarySetValue(matching, CFSTR("VendorID"), v);
  CFDictionarySetValue(matching, CFSTR("ProductID"), p);
  CFRelease(v);
  CFRelease(p);
  return matching;
}

long property(io_registry_entry_t entry, const char* name) {
  CFMutableDictionaryRef props = nullptr;
  if (IORegistryEntryCreateCFProperties(entry, &props, nullptr, 0) != kIOReturnSuccess) return -1;
  CFStringRef key = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
  long value = -2;
  CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(props, key)), kCFNumberLongType, &value);
  CFRelease(key);
  CFRelease(props);
  return value;
}

// Takes every entry of the iterator, reading one property of each, and releases them.
std::vector<long> drain(io_iterator_t iterator, const char* name) {
  std::vector<long> seen;
  while (io_object_t entry = IOIteratorNext(iterator)) {
    seen.push_back(property(entry, name));
    EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(entry));
  }
  return seen;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::resetRegistry();
    platform::drainMainQueue();
  }
  void TearDown() override {
    if (port_) IONotificationPortDestroy(port_);
    platform::resetRegistry();
    platform::drainMainQueue();
  }
  IONotificationPortRef port(bool onRunLoop = true) {
    port_ = IONotificationPortCreate(kIOMasterPortDefault);
    if (onRunLoop)
      CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port_), kCFRunLoopDefaultMode);
    return port_;
  }
  IONotificationPortRef port_ = nullptr;
};

TEST_F(Registry, MatchingFindsPublishedEntriesOfTheClassWithEqualProperties) {
  auto a = makeEntry("IOHIDDevice", {{"VendorID", 0x10D5}, {"ProductID", 0x5501}, {"Serial", 1}});
  auto other = makeEntry("IOHIDDevice", {{"VendorID", 0x10D5}, {"ProductID", 0x5502}, {"Serial", 2}});
  auto usb = makeEntry("IOUSBDevice", {{"VendorID", 0x10D5}, {"ProductID", 0x5501}, {"Serial", 3}});
  auto b = makeEntry("IOHIDDevice", {{"VendorID", 0x10D5}, {"ProductID", 0x5501}, {"Serial", 4}});
  auto gone = makeEntry("IOHIDDevice", {{"VendorID", 0x10D5}, {"ProductID", 0x5501}, {"Serial", 5}});
  auto unpublished = makeEntry("IOHIDDevice", {{"VendorID", 0x10D5}, {"ProductID", 0x5501}, {"Serial", 6}});
  for (auto& e : {a, other, usb, b, gone}) platform::publishEntry(e);
  platform::terminateEntry(gone);

  io_iterator_t iterator = 0;
  ASSERT_EQ(kIOReturnSuccess, IOServiceGetMatchingServices(kIOMasterPortDefault, hidMatching(0x10D5, 0x5501), &iterator));
  EXPECT_NE(0u, iterator);
  EXPECT_EQ((std::vector<long>{1, 4}), drain(iterator, "Serial"));
  EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(iterator));
  EXPECT_EQ(0u, platform::liveRegistryHandles());
}

TEST_F(Registry, HandlesAreCountedAndUnknownOnesAreRefused) {
  auto entry = makeEntry("IOHIDDevice", {{"VendorID", 1}});
  platform::publishEntry(entry);
  io_iterator_t iterator = 0;
  IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator);
  io_object_t handle = IOIteratorNext(iterator);
  ASSERT_NE(0u, handle);
  EXPECT_EQ(2u, platform::liveRegistryHandles());
  EXPECT_EQ(kIOReturnSuccess, IOObjectRetain(handle));
  EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(handle));
  EXPECT_EQ(2u, platform::liveRegistryHandles());
  EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(handle));
  EXPECT_NE(kIOReturnSuccess, IOObjectRelease(handle));
  EXPECT_NE(kIOReturnSuccess, IOObjectRelease(0));
  EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(iterator));
  EXPECT_EQ(0u, platform::liveRegistryHandles());

  CFMutableDictionaryRef props = nullptr;
  EXPECT_EQ(kIOReturnBadArgument, IORegistryEntryCreateCFProperties(handle, &props, nullptr, 0));
  EXPECT_EQ(nullptr, props);

  mach_port_t master = 0;
  ASSERT_EQ(KERN_SUCCESS, IOMasterPort(bootstrap_port, &master));
  EXPECT_NE(0u, master);
  EXPECT_EQ(KERN_SUCCESS, mach_port_deallocate(mach_task_self(), master));
}

TEST_F(Registry, ParentsAreFollowedInTheServicePlane) {
  auto usb = makeEntry("IOUSBDevice", {{"idVendor", 0x10D5}});
  auto interface = makeEntry("IOUSBInterface", {}, usb);
  auto hid = makeEntry("IOHIDDevice", {{"ProductID", 0x5501}}, interface);
  platform::publishEntry(hid);
  io_iterator_t iterator = 0;
  IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator);
  io_object_t service = IOIteratorNext(iterator);
  io_registry_entry_t parent1 = 0, parent2 = 0, none = 7;
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryGetParentEntry(service, kIOServicePlane, &parent1));
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryGetParentEntry(parent1, kIOServicePlane, &parent2));
  EXPECT_EQ(0x10D5, property(parent2, "idVendor"));
  EXPECT_EQ(kIOReturnNoDevice, IORegistryEntryGetParentEntry(parent2, kIOServicePlane, &none));
  EXPECT_EQ(0u, none);
  for (io_object_t h : {parent2, parent1, service, iterator}) EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(h));
  EXPECT_EQ(0u, platform::liveRegistryHandles());
}

struct Arrivals {
  std::vector<long> serials;
  int calls = 0;
  io_iterator_t iterator = 0;
};

void onArrival(void* refCon, io_iterator_t iterator) {
  auto* arrivals = static_cast<Arrivals*>(refCon);
  ++arrivals->calls;
  arrivals->iterator = iterator;
  for (long serial : drain(iterator, "Serial")) arrivals->serials.push_back(serial);
}

TEST_F(Registry, MatchingNotificationsAreDeliveredOnlyOnceTheIteratorWasDrained) {
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 10}}));
  Arrivals arrivals;
  io_iterator_t notification = 0;
  ASSERT_EQ(kIOReturnSuccess, IOServiceAddMatchingNotification(port(), kIOFirstMatchNotification, hidMatching(1, 2),
                                                               onArrival, &arrivals, &notification));
  // Not drained yet: a new arrival waits in the iterator, without a callback.
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 11}}));
  platform::drainMainQueue();
  EXPECT_EQ(0, arrivals.calls);
  EXPECT_EQ((std::vector<long>{10, 11}), drain(notification, "Serial"));

  // Armed now: the next arrivals give one callback through the main queue.
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 12}}));
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 3}, {"Serial", 99}}));
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 13}}));
  EXPECT_EQ(0, arrivals.calls);
  platform::drainMainQueue();
  EXPECT_EQ(1, arrivals.calls);
  EXPECT_EQ(notification, arrivals.iterator);
  EXPECT_EQ((std::vector<long>{12, 13}), arrivals.serials);

  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 14}}));
  platform::drainMainQueue();
  EXPECT_EQ(2, arrivals.calls);
  EXPECT_EQ((std::vector<long>{12, 13, 14}), arrivals.serials);
  EXPECT_EQ(1u, platform::liveRegistryHandles());

  // A released notification is not called any more.
  EXPECT_EQ(kIOReturnSuccess, IOObjectRelease(notification));
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 15}}));
  platform::drainMainQueue();
  EXPECT_EQ(2, arrivals.calls);
  EXPECT_EQ(0u, platform::liveRegistryHandles());
}

TEST_F(Registry, NotificationsWaitForThePortToBeOnTheRunLoop) {
  Arrivals arrivals;
  io_iterator_t notification = 0;
  IONotificationPortRef notifyPort = port(false);
  IOServiceAddMatchingNotification(notifyPort, kIOFirstMatchNotification, hidMatching(1, 2), onArrival, &arrivals,
                                   &notification);
  EXPECT_TRUE(drain(notification, "Serial").empty());
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 20}}));
  platform::drainMainQueue();
  EXPECT_EQ(0, arrivals.calls);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(notifyPort), kCFRunLoopDefaultMode);
  platform::drainMainQueue();
  EXPECT_EQ((std::vector<long>{20}), arrivals.serials);
  IOObjectRelease(notification);
}

struct Removals {
  int calls = 0;
  natural_t message = 0;
  void* argument = reinterpret_cast<void*>(1);
  long serialDuringCall = 0;
  io_object_t notification = 0;
};

void onRemoval(void* refCon, io_service_t service, natural_t messageType, void* messageArgument) {
  auto* removals = static_cast<Removals*>(refCon);
  ++removals->calls;
  removals->message = messageType;
  removals->argument = messageArgument;
  removals->serialDuringCall = property(service, "Serial");
  IOObjectRelease(removals->notification);
}

TEST_F(Registry, TerminationReachesInterestNotificationsThroughTheMainQueue) {
  auto entry = makeEntry("IOHIDDevice", {{"Serial", 30}});
  platform::publishEntry(entry);
  io_iterator_t iterator = 0;
  IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator);
  io_object_t service = IOIteratorNext(iterator);
  IOObjectRelease(iterator);
  Removals removals;
  ASSERT_EQ(kIOReturnSuccess, IOServiceAddInterestNotification(port(), service, kIOGeneralInterest, onRemoval,
                                                               &removals, &removals.notification));
  IOObjectRelease(service);
  EXPECT_EQ(1u, platform::liveRegistryHandles());

  platform::terminateEntry(entry);
  EXPECT_EQ(0, removals.calls);
  platform::drainMainQueue();
  EXPECT_EQ(1, removals.calls);
  EXPECT_EQ(kIOMessageServiceIsTerminated, removals.message);
  EXPECT_EQ(nullptr, removals.argument);
  EXPECT_EQ(30, removals.serialDuringCall);
  EXPECT_EQ(0u, platform::liveRegistryHandles());

  // Gone from matching too.
  IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator);
  EXPECT_EQ(0u, IOIteratorNext(iterator));
  IOObjectRelease(iterator);
}

TEST_F(Registry, AReleasedInterestNotificationIsNotCalled) {
  auto entry = makeEntry("IOHIDDevice", {{"Serial", 31}});
  platform::publishEntry(entry);
  io_iterator_t iterator = 0;
  IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator);
  io_object_t service = IOIteratorNext(iterator);
  Removals removals;
  IOServiceAddInterestNotification(port(), service, kIOGeneralInterest, onRemoval, &removals, &removals.notification);
  platform::terminateEntry(entry);
  IOObjectRelease(removals.notification);
  platform::drainMainQueue();
  EXPECT_EQ(0, removals.calls);

  // Asking after the device went away still reports its removal.
  IOServiceAddInterestNotification(port_, service, kIOGeneralInterest, onRemoval, &removals, &removals.notification);
  platform::drainMainQueue();
  EXPECT_EQ(1, removals.calls);
  IOObjectRelease(service);
  IOObjectRelease(iterator);
  EXPECT_EQ(0u, platform::liveRegistryHandles());
}

TEST_F(Registry, ResetDropsDeliveriesStillQueued) {
  Arrivals arrivals;
  io_iterator_t notification = 0;
  IOServiceAddMatchingNotification(port(), kIOFirstMatchNotification, hidMatching(1, 2), onArrival, &arrivals,
                                   &notification);
  drain(notification, "Serial");
  platform::publishEntry(makeEntry("IOHIDDevice", {{"VendorID", 1}, {"ProductID", 2}, {"Serial", 40}}));
  platform::resetRegistry();
  platform::drainMainQueue();
  EXPECT_EQ(0, arrivals.calls);
  EXPECT_EQ(0u, platform::liveRegistryHandles());
}

class FakeHID : public platform::HIDDeviceBackend {
 public:
  IOReturn open() override { return kIOReturnSuccess; }
  IOReturn close() override { return kIOReturnSuccess; }
  IOReturn getReport(IOHIDReportType, UInt32, void*, UInt32*) override { return kIOReturnSuccess; }
  IOReturn setReport(IOHIDReportType, UInt32, const void*, UInt32) override { return kIOReturnSuccess; }
};

TEST_F(Registry, PlugInsHandOutTheInterfacesTheEntryOffers) {
  auto backend = std::make_shared<FakeHID>();
  std::vector<CFUUIDBytes> asked;
  auto entry = makeEntry("IOHIDDevice", {}, nullptr, [&](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
    asked.push_back(type);
    if (type == CFUUIDGetUUIDBytes(kIOHIDDeviceUserClientTypeID) && iid == CFUUIDGetUUIDBytes(kIOHIDDeviceInterfaceID122))
      return platform::makeHIDDeviceInterface(backend);
    return nullptr;
  });
  platform::publishEntry(entry);
  io_iterator_t iterator = 0;
  IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator);
  io_object_t service = IOIteratorNext(iterator);

  IOCFPlugInInterface** plugIn = nullptr;
  SInt32 score = -1;
  ASSERT_EQ(kIOReturnSuccess, IOCreatePlugInInterfaceForService(service, kIOHIDDeviceUserClientTypeID,
                                                                kIOCFPlugInInterfaceID, &plugIn, &score));
  ASSERT_NE(nullptr, plugIn);
  EXPECT_EQ(1u, platform::liveDeviceInterfaces());

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID), &none));
  EXPECT_EQ(nullptr, none);
  IOHIDDeviceInterface122** hid = nullptr;
  ASSERT_EQ(S_OK, (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOHIDDeviceInterfaceID122),
                                             reinterpret_cast<LPVOID*>(&hid)));
  ASSERT_NE(nullptr, hid);
  EXPECT_EQ(2u, platform::liveDeviceInterfaces());
  EXPECT_EQ(kIOReturnSuccess, IODestroyPlugInInterface(plugIn));
  EXPECT_EQ(1u, platform::liveDeviceInterfaces());
  EXPECT_EQ(kIOReturnSuccess, (*hid)->open(hid, 0));
  (*hid)->Release(hid);
  EXPECT_EQ(0u, platform::liveDeviceInterfaces());
  EXPECT_TRUE(asked.size() == 2 && asked[0] == CFUUIDGetUUIDBytes(kIOHIDDeviceUserClientTypeID));

  entry->setPlugInCheck([](const CFUUIDBytes& type) {
    return type == CFUUIDGetUUIDBytes(kIOUSBDeviceUserClientTypeID) ? kIOReturnUnsupported : kIOReturnSuccess;
  });
  plugIn = reinterpret_cast<IOCFPlugInInterface**>(1);
  EXPECT_EQ(kIOReturnUnsupported, IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                                    kIOCFPlugInInterfaceID, &plugIn, &score));
  EXPECT_EQ(nullptr, plugIn);
  EXPECT_EQ(0u, platform::liveDeviceInterfaces());
  IOObjectRelease(service);
  IOObjectRelease(iterator);
}

TEST_F(Registry, AnEntryWithoutInterfacesGivesNoPlugIn) {
  platform::publishEntry(makeEntry("IOUSBDevice", {}));
  io_iterator_t iterator = 0;
  IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator);
  io_object_t service = IOIteratorNext(iterator);
  IOCFPlugInInterface** plugIn = reinterpret_cast<IOCFPlugInInterface**>(1);
  SInt32 score = 0;
  EXPECT_EQ(kIOReturnUnsupported, IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                                    kIOCFPlugInInterfaceID, &plugIn, &score));
  EXPECT_EQ(nullptr, plugIn);
  EXPECT_NE(kIOReturnSuccess, IOCreatePlugInInterfaceForService(0, kIOUSBDeviceUserClientTypeID,
                                                                kIOCFPlugInInterfaceID, &plugIn, &score));
  IOObjectRelease(service);
  IOObjectRelease(iterator);
}

}  // namespace
