#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/iokit/device_seam.h"

namespace {

using Calls = std::vector<std::string>;

class RecordingHID : public platform::HIDDeviceBackend {
 public:
  Calls calls;
  IOReturn open() override { return record("open"); }
  IOReturn close() override { return record("close"); }
  IOReturn getReport(IOHIDReportType, UInt32 id, void* buffer, UInt32* size) override {
    static_cast<UInt8*>(buffer)[0] = UInt8(id);
    *size = 1;
    return record("get " + std::to_string(id));
  }
  IOReturn setReport(IOHIDReportType, UInt32 id, const void*, UInt32 size) override {
    return record("set " + std::to_string(id) + "/" + std::to_string(size));
  }

 private:
  IOReturn record(std::string call) {
    calls.push_back(std::move(call));
    return kIOReturnSuccess;
  }
};

TEST(HIDDeviceInterface, TheInterfaceKeepsTheOpenState) {
  auto backend = std::make_shared<RecordingHID>();
  IOHIDDeviceInterface122** hid = platform::makeHIDDeviceInterface(backend);
  UInt8 report[8] = {};
  UInt32 size = sizeof report;
  EXPECT_EQ(kIOReturnNotOpen, (*hid)->getReport(hid, kIOHIDReportTypeFeature, 5, report, &size, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kIOReturnNotOpen, (*hid)->setReport(hid, kIOHIDReportTypeFeature, 4, report, 8, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kIOReturnNotOpen, (*hid)->close(hid));

  EXPECT_EQ(kIOReturnSuccess, (*hid)->open(hid, 0));
  EXPECT_EQ(kIOReturnSuccess, (*hid)->open(hid, 0));
  EXPECT_EQ(kIOReturnSuccess, (*hid)->getReport(hid, kIOHIDReportTypeFeature, 5, report, &size, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(1u, size);
  EXPECT_EQ(5, report[0]);
  EXPECT_EQ(kIOReturnSuccess, (*hid)->setReport(hid, kIOHIDReportTypeFeature, 4, report, 8, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kIOReturnBadArgument, (*hid)->getReport(hid, kIOHIDReportTypeFeature, 5, report, nullptr, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kIOReturnSuccess, (*hid)->close(hid));
  EXPECT_EQ(kIOReturnNotOpen, (*hid)->close(hid));
  EXPECT_EQ((Calls{"open", "get 5", "set 4/8", "close"}), backend->calls);
  EXPECT_EQ(0u, (*hid)->Release(hid));
  EXPECT_EQ(0u, platform::liveDeviceInterfaces());
}

TEST(HIDDeviceInterface, QueryInterfaceGivesAnotherReferenceAndTheLastReleaseCloses) {
  auto backend = std::make_shared<RecordingHID>();
  IOHIDDeviceInterface122** hid = platform::makeHIDDeviceInterface(backend);
  void* same = nullptr;
  ASSERT_EQ(S_OK, (*hid)->QueryInterface(hid, CFUUIDGetUUIDBytes(kIOHIDDeviceInterfaceID122), &same));
  EXPECT_EQ(static_cast<void*>(hid), same);
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, (*hid)->QueryInterface(hid, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID), &other));
  EXPECT_EQ(nullptr, other);
  (*hid)->open(hid, 0);
  EXPECT_EQ(1u, (*hid)->Release(hid));
  EXPECT_EQ(1u, platform::liveDeviceInterfaces());
  EXPECT_EQ(0u, (*hid)->Release(hid));
  EXPECT_EQ((Calls{"open", "close"}), backend->calls);
  EXPECT_EQ(0u, platform::liveDeviceInterfaces());
}

class RecordingUSBDevice : public platform::USBDeviceBackend {
 public:
  Calls calls;
  std::vector<UInt8> descriptor = {9, 2, 32, 0, 1, 7, 0, 0x80, 50};
  std::vector<platform::EntryPtr> entries;
  IOReturn open() override { return record("open"); }
  IOReturn close() override { return record("close"); }
  IOReturn vendor(UInt16* v) override {
    *v = 0x10D5;
    return kIOReturnSuccess;
  }
  IOReturn product(UInt16* p) override {
    *p = 0x000D;
    return kIOReturnSuccess;
  }
  IOReturn serialNumberStringIndex(UInt8* index) override {
    *index = 3;
    return kIOReturnSuccess;
  }
  IOReturn deviceRequest(IOUSBDevRequest* request) override {
    return record("request " + std::to_string(request->wValue));
  }
  IOReturn numberOfConfigurations(UInt8* count) override {
    *count = 1;
    return kIOReturnSuccess;
  }
  IOReturn configurationDescriptor(UInt8 index, std::vector<UInt8>* bytes) override {
    record("descriptor " + std::to_string(index));
    *bytes = descriptor;
    return kIOReturnSuccess;
  }
  IOReturn setConfiguration(UInt8 value) override { return record("configuration " + std::to_string(value)); }
  IOReturn interfaces(const IOUSBFindInterfaceRequest&, std::vector<platform::EntryPtr>* out) override {
    *out = entries;
    return kIOReturnSuccess;
  }

 private:
  IOReturn record(std::string call) {
    calls.push_back(std::move(call));
    return kIOReturnSuccess;
  }
};

TEST(USBDeviceInterface, RequestsNeedAnOpenDeviceAndOpeningTwiceIsRefused) {
  auto backend = std::make_shared<RecordingUSBDevice>();
  IOUSBDeviceInterface** dev = platform::makeUSBDeviceInterface(backend);
  UInt8 data[10];
  IOUSBDevRequest request = {0x80, kUSBRqGetDescriptor, 0x0303, 0x0409, 8, data, 0};
  EXPECT_EQ(kIOReturnNotOpen, (*dev)->DeviceRequest(dev, &request));
  EXPECT_EQ(kIOReturnNotOpen, (*dev)->SetConfiguration(dev, 7));
  EXPECT_EQ(kIOReturnNotOpen, (*dev)->USBDeviceClose(dev));
  UInt16 vendor = 0;
  EXPECT_EQ(kIOReturnSuccess, (*dev)->GetDeviceVendor(dev, &vendor));
  EXPECT_EQ(0x10D5, vendor);
  EXPECT_EQ(kIOReturnBadArgument, (*dev)->GetDeviceProduct(dev, nullptr));

  EXPECT_EQ(kIOReturnSuccess, (*dev)->USBDeviceOpen(dev));
  EXPECT_EQ(kIOReturnExclusiveAccess, (*dev)->USBDeviceOpen(dev));
  EXPECT_EQ(kIOReturnSuccess, (*dev)->DeviceRequest(dev, &request));
  EXPECT_EQ(kIOReturnBadArgument, (*dev)->DeviceRequest(dev, nullptr));
  EXPECT_EQ(kIOReturnSuccess, (*dev)->SetConfiguration(dev, 7));
  EXPECT_EQ(kIOReturnSuccess, (*dev)->USBDeviceClose(dev));
  EXPECT_EQ((Calls{"open", "request 771", "configuration 7", "close"}), backend->calls);
  (*dev)->Release(dev);
  EXPECT_EQ(0u, platform::liveDeviceInterfaces());
}

TEST(USBDeviceInterface, TheConfigurationDescriptorStaysWithTheInterface) {
  auto backend = std::make_shared<RecordingUSBDevice>();
  IOUSBDeviceInterface** dev = platform::makeUSBDeviceInterface(backend);
  IOUSBConfigurationDescriptorPtr first = nullptr, again = nullptr;
  ASSERT_EQ(kIOReturnSuccess, (*dev)->GetConfigurationDescriptorPtr(dev, 0, &first));
  backend->descriptor[5] = 9;
  ASSERT_EQ(kIOReturnSuccess, (*dev)->GetConfigurationDescriptorPtr(dev, 0, &again));
  EXPECT_EQ(first, again);
  EXPECT_EQ(7, first->bConfigurationValue);
  EXPECT_EQ(32, first->wTotalLength);

  backend->descriptor.resize(4);
  IOUSBConfigurationDescriptorPtr shortOne = reinterpret_cast<IOUSBConfigurationDescriptorPtr>(1);
  EXPECT_NE(kIOReturnSuccess, (*dev)->GetConfigurationDescriptorPtr(dev, 1, &shortOne));
  EXPECT_EQ(nullptr, shortOne);
  EXPECT_EQ((Calls{"descriptor 0", "descriptor 1"}), backend->calls);
  (*dev)->Release(dev);
}

TEST(USBDeviceInterface, InterfaceIteratorsAreRegistryHandles) {
  platform::resetRegistry();
  auto backend = std::make_shared<RecordingUSBDevice>();
  backend->entries = {std::make_shared<platform::RegistryEntry>("IOUSBInterface", nullptr, nullptr, nullptr),
                      std::make_shared<platform::RegistryEntry>("IOUSBInterface", nullptr, nullptr, nullptr)};
  IOUSBDeviceInterface** dev = platform::makeUSBDeviceInterface(backend);
  IOUSBFindInterfaceRequest any = {kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                   kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
  io_iterator_t iterator = 0;
  ASSERT_EQ(kIOReturnSuccess, (*dev)->CreateInterfaceIterator(dev, &any, &iterator));
  io_object_t first = IOIteratorNext(iterator), second = IOIteratorNext(iterator);
  EXPECT_NE(0u, first);
  EXPECT_NE(0u, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(0u, IOIteratorNext(iterator));
  EXPECT_EQ(3u, platform::liveRegistryHandles());
  for (io_object_t h : {first, second, iterator}) IOObjectRelease(h);
  EXPECT_EQ(0u, platform::liveRegistryHandles());
  (*dev)->Release(dev);
}

class RecordingUSBInterface : public platform::USBInterfaceBackend {
 public:
  Calls calls;
  IOReturn open() override { return record("open"); }
  IOReturn close() override { return record("close"); }
  IOReturn numEndpoints(UInt8* count) override {
    *count = 2;
    return kIOReturnSuccess;
  }
  IOReturn pipeProperties(UInt8 pipe, UInt8* direction, UInt8* number, UInt8* type, UInt16* maxPacket,
                          UInt8* interval) override {
    *direction = pipe == 1 ? kUSBIn : kUSBOut;
    *number = pipe;
    *type = kUSBInterrupt;
    *maxPacket = 8;
    *interval = 10;
    return kIOReturnSuccess;
  }
  IOReturn writePipe(UInt8 pipe, const void* buffer, UInt32 size) override {
    return record("write " + std::to_string(pipe) + ": " +
                  std::to_string(static_cast<const UInt8*>(buffer)[0]) + " x" + std::to_string(size));
  }

 private:
  IOReturn record(std::string call) {
    calls.push_back(std::move(call));
    return kIOReturnSuccess;
  }
};

TEST(USBInterfaceInterface, WritingNeedsAnOpenInterface) {
  auto backend = std::make_shared<RecordingUSBInterface>();
  IOUSBInterfaceInterface** intf = platform::makeUSBInterfaceInterface(backend);
  UInt8 packet[8] = {1, 1};
  EXPECT_EQ(kIOReturnNotOpen, (*intf)->WritePipe(intf, 2, packet, 8));
  UInt8 direction, number, type, interval;
  UInt16 maxPacket;
  EXPECT_EQ(kIOReturnSuccess, (*intf)->GetPipeProperties(intf, 2, &direction, &number, &type, &maxPacket, &interval));
  EXPECT_EQ(kUSBOut, direction);
  EXPECT_EQ(kIOReturnBadArgument, (*intf)->GetPipeProperties(intf, 2, &direction, &number, nullptr, &maxPacket, &interval));
  EXPECT_EQ(kIOReturnSuccess, (*intf)->USBInterfaceOpen(intf));
  EXPECT_EQ(kIOReturnExclusiveAccess, (*intf)->USBInterfaceOpen(intf));
  EXPECT_EQ(kIOReturnSuccess, (*intf)->WritePipe(intf, 2, packet, 8));
  EXPECT_EQ(kIOReturnSuccess, (*intf)->USBInterfaceClose(intf));
  EXPECT_EQ(kIOReturnNotOpen, (*intf)->USBInterfaceClose(intf));
  EXPECT_EQ((Calls{"open", "write 2: 1 x8", "close"}), backend->calls);
  (*intf)->Release(intf);
  EXPECT_EQ(0u, platform::liveDeviceInterfaces());
}

}  // namespace
