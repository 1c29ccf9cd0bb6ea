// The simulated switches as the program meets them: found in the registry,
// reached through plug-ins and device interfaces, answering reports, the
// serial-number descriptor and packets, and following every command.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/core/clock.h"
#include "platform/core/main_queue.h"
#include "platform/iokit/device_seam.h"
#include "sim/simulated_switch.h"

using namespace platform;

namespace {

using Bytes = std::vector<uint8_t>;

class SimulatedSwitchTest : public ::testing::Test {
 protected:
  void SetUp() override { resetRegistry(); }
  void TearDown() override {
    drainMainQueue();
    resetRegistry();
  }
  ScopedManualClock clock_;
};

void setNumber(CFMutableDictionaryRef dict, const char* key, int value) {
  CFStringRef cfKey = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
  CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value);
  CFDictionarySetValue(dict, cfKey, number);
  CFRelease(number);
  CFRelease(cfKey);
}

CFMutableDictionaryRef matching(const char* className, const char* vendorKey, int vendor, const char* productKey,
                                int product) {
  CFMutableDictionaryRef dict = IOServiceMatching(className);
  if (vendorKey) setNumber(dict, vendorKey, vendor);
  if (productKey) setNumber(dict, productKey, product);
  return dict;
}

std::vector<io_service_t> drain(io_iterator_t iterator) {
  std::vector<io_service_t> services;
  while (io_service_t service = IOIteratorNext(iterator)) services.push_back(service);
  return services;
}

std::vector<io_service_t> present(CFMutableDictionaryRef match) {
  io_iterator_t iterator = 0;
  EXPECT_EQ(kIOReturnSuccess, IOServiceGetMatchingServices(kIOMasterPortDefault, match, &iterator));
  std::vector<io_service_t> services = drain(iterator);
  IOObjectRelease(iterator);
  return services;
}

std::vector<io_service_t> hidDevices(int vendor, int product) {
  return present(matching("IOHIDDevice", "VendorID", vendor, "ProductID", product));
}

std::vector<io_service_t> usbDevices(int vendor, int product) {
  return present(matching("IOUSBDevice", "idVendor", vendor, "idProduct", product));
}

void releaseAll(const std::vector<io_service_t>& services) {
  for (io_service_t service : services) IOObjectRelease(service);
}

template <typename Interface>
Interface** interfaceOf(io_service_t service, CFUUIDRef userClientType, CFUUIDRef iid) {
  IOCFPlugInInterface** plugIn = nullptr;
  SInt32 score = 0;
  if (IOCreatePlugInInterfaceForService(service, userClientType, kIOCFPlugInInterfaceID, &plugIn, &score) != 0 ||
      !plugIn) {
    return nullptr;
  }
  Interface** result = nullptr;
  (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(iid), reinterpret_cast<LPVOID*>(&result));
  IODestroyPlugInInterface(plugIn);
  return result;
}

// A device interface handle with the caller's reference, released at scope end.
template <typename Interface>
class Handle {
 public:
  explicit Handle(Interface** handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_) (*handle_)->Release(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Interface** get() const { return handle_; }
  Interface* operator->() const { return *handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  Interface** handle_;
};
using HID = Handle<IOHIDDeviceInterface122>;
using USBDevice = Handle<IOUSBDeviceInterface>;
using USBInterface = Handle<IOUSBInterfaceInterface>;

IOHIDDeviceInterface122** hidInterfaceOf(io_service_t service) {
  return interfaceOf<IOHIDDeviceInterface122>(service, kIOHIDDeviceUserClientTypeID, kIOHIDDeviceInterfaceID122);
}

// The HID interface of the one plugged switch with these identifiers.
IOHIDDeviceInterface122** findHID(int vendor, int product) {
  std::vector<io_service_t> services = hidDevices(vendor, product);
  EXPECT_EQ(1u, services.size());
  IOHIDDeviceInterface122** hid = services.empty() ? nullptr : hidInterfaceOf(services[0]);
  releaseAll(services);
  return hid;
}

IOUSBDeviceInterface** findUSBDevice(int vendor, int product) {
  std::vector<io_service_t> services = usbDevices(vendor, product);
  EXPECT_EQ(1u, services.size());
  IOUSBDeviceInterface** device =
      services.empty() ? nullptr
                       : interfaceOf<IOUSBDeviceInterface>(services[0], kIOUSBDeviceUserClientTypeID,
                                                           kIOUSBDeviceInterfaceID);
  releaseAll(services);
  return device;
}

IOReturn getFeature(const HID& hid, UInt32 reportID, Bytes* bytes, UInt32 bufferSize) {
  bytes->assign(bufferSize, 0xEE);
  UInt32 size = bufferSize;
  IOReturn status = hid->getReport(hid.get(), kIOHIDReportTypeFeature, reportID, bytes->data(), &size, 0, nullptr,
                                   nullptr, nullptr);
  if (status == kIOReturnSuccess) bytes->resize(size);
  return status;
}

Bytes feature(const HID& hid, UInt32 reportID, UInt32 length) {
  Bytes bytes;
  EXPECT_EQ(kIOReturnSuccess, getFeature(hid, reportID, &bytes, length));
  return bytes;
}

IOReturn command(const HID& hid, uint8_t code, uint8_t argument) {
  uint8_t report[8] = {4, code, argument, 0, 0, 0, 0, 0};
  return hid->setReport(hid.get(), kIOHIDReportTypeFeature, 4, report, sizeof report, 0, nullptr, nullptr, nullptr);
}

IOReturn serialRequest(const USBDevice& device, UInt16 wValue, UInt16 wLength, Bytes* reply) {
  reply->assign(32, 0xEE);
  IOUSBDevRequest request{0x80, kUSBRqGetDescriptor, wValue, 0x0409, wLength, reply->data(), 0xFFFF};
  IOReturn status = device->DeviceRequest(device.get(), &request);
  reply->resize(status == kIOReturnSuccess ? request.wLenDone : 0);
  return status;
}

// The serial-number descriptor as the program reads it (the device is open).
Bytes serialDescriptor(const USBDevice& device) {
  Bytes reply;
  EXPECT_EQ(kIOReturnSuccess, serialRequest(device, 0x0303, 8, &reply));
  return reply;
}

IOReturn packet(const USBInterface& interface, UInt8 pipe, uint8_t code, uint8_t argument) {
  uint8_t bytes[8] = {code, argument, 0, 0, 0, 0, 0, 0};
  return interface->WritePipe(interface.get(), pipe, bytes, sizeof bytes);
}

// ---- Feature-report switch

TEST_F(SimulatedSwitchTest, FeatureReportsDescribeTheStateAsTheBlockTableSays) {
  FeatureReportSwitch sw;
  SimSwitchState& s = sw.state();
  s.port = 1;
  s.buzzer = false;
  s.scanPeriodSeconds = 25;
  s.audioBound = false;
  s.audioPort = 2;
  s.hubBound[1] = false;
  s.hubPort[0] = 1;
  s.hubPort[1] = 3;
  s.universalHotKey = 0x39;
  s.hasAudio = false;
  s.hasHub[1] = false;
  s.hubBindable[0] = false;
  sw.plug();

  HID hid(findHID(0x10D5, 0x5500));
  ASSERT_TRUE(hid);
  ASSERT_EQ(kIOReturnSuccess, hid->open(hid.get(), 0));
  EXPECT_EQ((Bytes{0x05, 0x01, 0x35, 0x0A}), feature(hid, 5, 4));
  EXPECT_EQ((Bytes{0x04, 0x04, 0x21, 0x31, 25, 0x39, 0x03, 0x00}), feature(hid, 4, 8));

  sw.state().confirmedPortOverride = 0;
  EXPECT_EQ(0x20, feature(hid, 4, 8)[2]);

  // A buffer shorter than the report takes its beginning.
  EXPECT_EQ((Bytes{0x04, 0x04, 0x20}), feature(hid, 4, 3));
  hid->close(hid.get());
}

TEST_F(SimulatedSwitchTest, FeatureReportSwitchRefusesReportsItDoesNotHave) {
  FeatureReportSwitch sw;
  HID hid(sw.newDeviceInterface());
  ASSERT_EQ(kIOReturnSuccess, hid->open(hid.get(), 0));
  Bytes bytes;
  EXPECT_EQ(kIOReturnBadArgument, getFeature(hid, 3, &bytes, 8));
  UInt32 size = 4;
  uint8_t buffer[4];
  EXPECT_EQ(kIOReturnBadArgument,
            hid->getReport(hid.get(), kIOHIDReportTypeInput, 5, buffer, &size, 0, nullptr, nullptr, nullptr));

  uint8_t report5[4] = {5, 0x81, 1, 0};
  EXPECT_EQ(kIOReturnBadArgument,
            hid->setReport(hid.get(), kIOHIDReportTypeFeature, 5, report5, 4, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, sw.currentPort());
  // Refused or not, the report is what the switch was sent.
  ASSERT_EQ(1u, sw.received().size());
  EXPECT_EQ(SimCall::SetReport, sw.received()[0].call);
  EXPECT_EQ(5u, sw.received()[0].id);
  EXPECT_EQ((Bytes{5, 0x81, 1, 0}), sw.received()[0].bytes);
  hid->close(hid.get());
}

TEST_F(SimulatedSwitchTest, EveryFeatureCommandChangesWhatTheReportsSay) {
  struct Case {
    uint8_t code, argument;
    int report, byte;
    uint8_t mask, expected;
  };
  // Starting from the default state: port 0, buzzer on, everything bound, scan off.
  const Case cases[] = {
      {0x81, 1, 5, 1, 0x0F, 1},     {0x81, 7, 5, 1, 0x0F, 1},  // a port the switch lacks is ignored
      {0x86, 0, 4, 1, 0x01, 0},     {0x86, 1, 4, 1, 0x01, 1},    {0x85, 0, 4, 1, 0x02, 0},
      {0x84, 0, 4, 1, 0x02, 2},     {0x8E, 0, 4, 1, 0x04, 0},    {0x8D, 0, 4, 1, 0x04, 4},
      {0x90, 0, 4, 1, 0x08, 0},     {0x8F, 0, 4, 1, 0x08, 8},    {0x88, 0, 4, 1, 0x10, 0x10},
      {0x89, 0, 4, 1, 0x10, 0},     {0x87, 0x14, 4, 4, 0xFF, 0x14}, {0x8A, 1, 4, 3, 0x0F, 1},
      {0x8B, 2, 4, 3, 0xF0, 0x20},  {0x8C, 3, 4, 2, 0xF0, 0x30}, {0x91, 0x45, 4, 5, 0xFF, 0x45},
  };
  FeatureReportSwitch sw;
  HID hid(sw.newDeviceInterface());
  ASSERT_EQ(kIOReturnSuccess, hid->open(hid.get(), 0));
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command 0x" << std::hex << int(c.code) << " argument 0x" << int(c.argument));
    ASSERT_EQ(kIOReturnSuccess, command(hid, c.code, c.argument));
    Bytes report = c.report == 5 ? feature(hid, 5, 4) : feature(hid, 4, 8);
    EXPECT_EQ(c.expected, report[size_t(c.byte)] & c.mask);
  }

  // An unknown code is taken, kept and changes nothing.
  const Bytes five = feature(hid, 5, 4), four = feature(hid, 4, 8);
  EXPECT_EQ(kIOReturnSuccess, command(hid, 0x99, 1));
  EXPECT_EQ(five, feature(hid, 5, 4));
  EXPECT_EQ(four, feature(hid, 4, 8));

  ASSERT_EQ(std::size(cases) + 1, sw.received().size());
  EXPECT_EQ(4u, sw.received()[0].id);
  EXPECT_EQ((Bytes{4, 0x81, 1, 0, 0, 0, 0, 0}), sw.received()[0].bytes);
  EXPECT_EQ((Bytes{4, 0x99, 1, 0, 0, 0, 0, 0}), sw.received().back().bytes);
  hid->close(hid.get());
}

TEST_F(SimulatedSwitchTest, InjectedFailuresShortAnswersAndStalls) {
  FeatureReportSwitch sw;
  HID hid(sw.newDeviceInterface());
  ASSERT_EQ(kIOReturnSuccess, hid->open(hid.get(), 0));

  sw.failNext(SimCall::GetReport, 2, kIOReturnNotResponding);
  Bytes bytes;
  EXPECT_EQ(kIOReturnNotResponding, getFeature(hid, 5, &bytes, 4));
  EXPECT_EQ((Bytes{0xEE, 0xEE, 0xEE, 0xEE}), bytes);
  EXPECT_EQ(kIOReturnNotResponding, getFeature(hid, 5, &bytes, 4));
  EXPECT_EQ(kIOReturnSuccess, getFeature(hid, 5, &bytes, 4));
  EXPECT_EQ((std::vector<SimCall>{SimCall::HIDOpen, SimCall::GetReport, SimCall::GetReport, SimCall::GetReport}),
            sw.calls());

  sw.shortNext(SimCall::GetReport, 1, 2);
  EXPECT_EQ((Bytes{0x04, 0x0F}), feature(hid, 4, 8));
  EXPECT_EQ(8u, feature(hid, 4, 8).size());

  // A failed command has no effect but was still sent.
  sw.clearRecords();
  sw.failNext(SimCall::SetReport, 1, kIOReturnTimeout);
  EXPECT_EQ(kIOReturnTimeout, command(hid, 0x81, 1));
  EXPECT_EQ(0, sw.currentPort());
  EXPECT_EQ(1u, sw.received().size());

  // A stall takes clock time but is no delay the program asked for.
  sw.stallNext(SimCall::SetReport, 1, 30);
  const double before = clock_->now();
  EXPECT_EQ(kIOReturnSuccess, command(hid, 0x81, 1));
  EXPECT_DOUBLE_EQ(before + 0.5, clock_->now());
  EXPECT_TRUE(clock_->delays.empty());
  EXPECT_EQ(1, sw.currentPort());
  EXPECT_EQ(kIOReturnSuccess, command(hid, 0x81, 0));
  EXPECT_DOUBLE_EQ(before + 0.5, clock_->now());
  hid->close(hid.get());
}

TEST_F(SimulatedSwitchTest, AutoScanMovesAlongTheAvailablePortsOnTheClock) {
  FeatureReportSwitch sw;
  sw.state().availablePorts = 0x0B;  // ports 0, 1 and 3
  HID hid(sw.newDeviceInterface());
  ASSERT_EQ(kIOReturnSuccess, hid->open(hid.get(), 0));
  auto port = [&] { return feature(hid, 5, 4)[1]; };
  ASSERT_EQ(kIOReturnSuccess, command(hid, 0x87, 10));
  ASSERT_EQ(kIOReturnSuccess, command(hid, 0x88, 0));

  clock_->advance(9.9);
  EXPECT_EQ(0, port());
  clock_->advance(0.1);
  EXPECT_EQ(1, port());
  clock_->advance(10);
  EXPECT_EQ(3, port());
  clock_->advance(10);
  EXPECT_EQ(0, port());
  // Asking again within the interval does not move it on.
  EXPECT_EQ(0, port());

  // The front panel restarts the interval; a port it lacks does nothing.
  clock_->advance(5);
  sw.pressPortButton(1);
  sw.pressPortButton(2);
  clock_->advance(9);
  EXPECT_EQ(1, port());
  clock_->advance(1);
  EXPECT_EQ(3, port());

  // A port command restarts it too.
  clock_->advance(4);
  ASSERT_EQ(kIOReturnSuccess, command(hid, 0x81, 0));
  clock_->advance(9);
  EXPECT_EQ(0, port());
  clock_->advance(1);
  EXPECT_EQ(1, port());

  // A long wait: 100 more intervals from port 1 along 0, 1, 3.
  clock_->advance(1000);
  EXPECT_EQ(3, port());

  ASSERT_EQ(kIOReturnSuccess, command(hid, 0x89, 0));
  clock_->advance(100);
  EXPECT_EQ(3, port());
  hid->close(hid.get());
}

// ---- Serial-number switch

TEST_F(SimulatedSwitchTest, SerialNumberDescriptorCarriesTheStateAsTheBlockTableSays) {
  SerialNumberSwitch sw;
  SimSwitchState& s = sw.state();
  s.port = 1;
  s.scanPeriodSeconds = 30;
  s.audioBound = false;
  s.audioPort = 1;
  s.autoScan = false;
  sw.plug();

  USBDevice device(findUSBDevice(0x10D5, 0x000D));
  ASSERT_TRUE(device);
  ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen(device.get()));
  UInt16 vendor = 0, product = 0;
  UInt8 index = 0;
  EXPECT_EQ(kIOReturnSuccess, device->GetDeviceVendor(device.get(), &vendor));
  EXPECT_EQ(kIOReturnSuccess, device->GetDeviceProduct(device.get(), &product));
  EXPECT_EQ(kIOReturnSuccess, device->USBGetSerialNumberStringIndex(device.get(), &index));
  EXPECT_EQ(0x10D5, vendor);
  EXPECT_EQ(0x000D, product);
  EXPECT_EQ(3, index);

  EXPECT_EQ((Bytes{0x08, 0x03, 0x01, 0x00, 0x33, 0x00, 0x36, 0x00}), serialDescriptor(device));
  ASSERT_EQ(1u, sw.received().size());
  EXPECT_EQ(SimCall::DeviceRequest, sw.received()[0].call);
  EXPECT_EQ(0x0303u, sw.received()[0].id);
  EXPECT_EQ((Bytes{0x80, 0x06, 0x03, 0x03, 0x09, 0x04, 0x08, 0x00}), sw.received()[0].bytes);

  sw.state().autoScan = true;
  sw.state().buzzer = false;
  sw.state().availablePorts = 0x01;
  EXPECT_EQ((Bytes{0x08, 0x03, 0x01, 0x00, 0x1B, 0x00, 0x26, 0x00}), serialDescriptor(device));

  Bytes reply;
  EXPECT_EQ(kIOReturnSuccess, serialRequest(device, 0x0303, 4, &reply));
  EXPECT_EQ((Bytes{0x08, 0x03, 0x01, 0x00}), reply);
  sw.shortNext(SimCall::DeviceRequest, 1, 2);
  EXPECT_EQ(kIOReturnSuccess, serialRequest(device, 0x0303, 8, &reply));
  EXPECT_EQ((Bytes{0x08, 0x03}), reply);
  // Only the string descriptors are served.
  EXPECT_EQ(kIOReturnBadArgument, serialRequest(device, 0x0100, 18, &reply));
  EXPECT_EQ(kIOReturnBadArgument, serialRequest(device, 0x0305, 8, &reply));
  device->USBDeviceClose(device.get());

  // The HID device entry names the same three units.
  std::vector<io_service_t> hid = hidDevices(0x10D5, 0x000D);
  ASSERT_EQ(1u, hid.size());
  CFMutableDictionaryRef properties = nullptr;
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryCreateCFProperties(hid[0], &properties, kCFAllocatorDefault, 0));
  auto serial = static_cast<CFStringRef>(CFDictionaryGetValue(properties, CFSTR("SerialNumber")));
  ASSERT_NE(nullptr, serial);
  ASSERT_EQ(3, CFStringGetLength(serial));
  EXPECT_EQ(0x01, CFStringGetCharacterAtIndex(serial, 0));
  EXPECT_EQ(0x33, CFStringGetCharacterAtIndex(serial, 1));
  EXPECT_EQ(0x36, CFStringGetCharacterAtIndex(serial, 2));
  CFRelease(properties);

  // Its HID interface serves no feature reports.
  HID hidInterface(hidInterfaceOf(hid[0]));
  ASSERT_TRUE(hidInterface);
  ASSERT_EQ(kIOReturnSuccess, hidInterface->open(hidInterface.get(), 0));
  EXPECT_EQ(kIOReturnUnsupported, getFeature(hidInterface, 5, &reply, 4));
  hidInterface->close(hidInterface.get());
  releaseAll(hid);
}

TEST_F(SimulatedSwitchTest, SerialNumberSwitchConfigurationPipesAndPackets) {
  SerialNumberSwitch sw;
  sw.plug();
  USBDevice device(findUSBDevice(0x10D5, 0x000D));
  ASSERT_TRUE(device);
  ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen(device.get()));
  // The device is opened exclusively.
  USBDevice second(sw.newDeviceInterface());
  EXPECT_EQ(kIOReturnExclusiveAccess, second->USBDeviceOpen(second.get()));

  UInt8 count = 0;
  EXPECT_EQ(kIOReturnSuccess, device->GetNumberOfConfigurations(device.get(), &count));
  EXPECT_EQ(1, count);
  IOUSBConfigurationDescriptorPtr config = nullptr;
  ASSERT_EQ(kIOReturnSuccess, device->GetConfigurationDescriptorPtr(device.get(), 0, &config));
  ASSERT_NE(nullptr, config);
  const auto* raw = reinterpret_cast<const uint8_t*>(config);
  EXPECT_EQ((Bytes{9, 2, 32, 0, 1, 1, 0, 0x80, 50,        // configuration 1, one interface
                   9, 4, 0, 0, 2, 3, 0, 0, 0,              // interface 0, two endpoints
                   7, 5, 0x81, kUSBInterrupt, 8, 0, 10,    // pipe 1: interrupt IN
                   7, 5, 0x02, kUSBInterrupt, 8, 0, 10}),  // pipe 2: interrupt OUT
            Bytes(raw, raw + 32));
  EXPECT_EQ(kIOReturnSuccess, device->SetConfiguration(device.get(), config->bConfigurationValue));
  EXPECT_EQ(1, sw.configurationValue());

  IOUSBFindInterfaceRequest any{kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                kIOUSBFindInterfaceDontCare};
  io_iterator_t iterator = 0;
  ASSERT_EQ(kIOReturnSuccess, device->CreateInterfaceIterator(device.get(), &any, &iterator));
  std::vector<io_service_t> entries = drain(iterator);
  IOObjectRelease(iterator);
  ASSERT_EQ(1u, entries.size());
  USBInterface interface(
      interfaceOf<IOUSBInterfaceInterface>(entries[0], kIOUSBInterfaceUserClientTypeID, kIOUSBInterfaceInterfaceID));
  releaseAll(entries);
  ASSERT_TRUE(interface);

  UInt8 endpoints = 0;
  EXPECT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(interface.get(), &endpoints));
  EXPECT_EQ(2, endpoints);
  UInt8 direction = 0xFF, number = 0xFF, type = 0xFF, interval = 0xFF;
  UInt16 maxPacket = 0xFFFF;
  EXPECT_EQ(kIOReturnSuccess,
            interface->GetPipeProperties(interface.get(), 2, &direction, &number, &type, &maxPacket, &interval));
  EXPECT_EQ(kUSBOut, direction);
  EXPECT_EQ(2, number);
  EXPECT_EQ(kUSBInterrupt, type);
  EXPECT_EQ(8, maxPacket);
  EXPECT_EQ(10, interval);
  EXPECT_EQ(kIOReturnBadArgument,
            interface->GetPipeProperties(interface.get(), 3, &direction, &number, &type, &maxPacket, &interval));

  ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpen(interface.get()));
  EXPECT_EQ(kIOReturnBadArgument, packet(interface, 1, 0x01, 1));  // pipe 1 comes in
  EXPECT_EQ(0, sw.currentPort());

  struct Case {
    uint8_t code, argument;
    int unit;  // which code unit of the serial number, and what its low byte then holds
    uint8_t mask, expected;
  };
  // From the default state: port 0, ports 0 and 1, buzzer on, audio bound on port 0, 10 s, scan off.
  const Case cases[] = {
      {0x01, 1, 0, 0x07, 1},    {0x01, 9, 0, 0x07, 1},  // a port the switch lacks is ignored
      {0x03, 0, 2, 0x10, 0},    {0x02, 0, 2, 0x10, 0x10}, {0x05, 2, 2, 0xE0, 0x40},  // audio fixed on port 2
      {0x04, 0, 2, 0x80, 0x80}, {0x06, 4, 2, 0x0F, 4},    {0x07, 0, 1, 0x08, 0x08},
      {0x08, 0, 1, 0x08, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "packet 0x" << std::hex << int(c.code) << " argument 0x" << int(c.argument));
    ASSERT_EQ(kIOReturnSuccess, packet(interface, 2, c.code, c.argument));
    EXPECT_EQ(c.expected, serialDescriptor(device)[size_t(2 + 2 * c.unit)] & c.mask);
  }
  EXPECT_EQ(20, sw.state().scanPeriodSeconds);

  // Every packet is kept with its pipe, refused ones included.
  std::vector<SimExchange> packets;
  for (const SimExchange& e : sw.received()) {
    if (e.call == SimCall::WritePipe) packets.push_back(e);
  }
  ASSERT_EQ(std::size(cases) + 1, packets.size());
  EXPECT_EQ(1u, packets[0].id);
  EXPECT_EQ(2u, packets[1].id);
  EXPECT_EQ((Bytes{0x01, 0x01, 0, 0, 0, 0, 0, 0}), packets[1].bytes);

  interface->USBInterfaceClose(interface.get());
  device->USBDeviceClose(device.get());
  EXPECT_EQ(kIOReturnSuccess, second->USBDeviceOpen(second.get()));
  second->USBDeviceClose(second.get());
}

TEST_F(SimulatedSwitchTest, AnInterfaceWithOnlyIncomingPipesRefusesPackets) {
  using E = SerialNumberSwitch::Endpoint;
  SerialNumberSwitch sw;
  sw.setInterfaces({{E{kUSBIn, 1, kUSBInterrupt, 8, 10}}, {E{kUSBIn, 1, kUSBBulk, 64, 0}, E{kUSBOut, 2, kUSBBulk, 64, 0}}});
  sw.plug();
  USBDevice device(findUSBDevice(0x10D5, 0x000D));
  ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen(device.get()));
  IOUSBFindInterfaceRequest any{kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                kIOUSBFindInterfaceDontCare};
  io_iterator_t iterator = 0;
  ASSERT_EQ(kIOReturnSuccess, device->CreateInterfaceIterator(device.get(), &any, &iterator));
  std::vector<io_service_t> entries = drain(iterator);
  IOObjectRelease(iterator);
  ASSERT_EQ(2u, entries.size());
  USBInterface first(
      interfaceOf<IOUSBInterfaceInterface>(entries[0], kIOUSBInterfaceUserClientTypeID, kIOUSBInterfaceInterfaceID));
  USBInterface second(
      interfaceOf<IOUSBInterfaceInterface>(entries[1], kIOUSBInterfaceUserClientTypeID, kIOUSBInterfaceInterfaceID));
  releaseAll(entries);
  ASSERT_EQ(kIOReturnSuccess, first->USBInterfaceOpen(first.get()));
  ASSERT_EQ(kIOReturnSuccess, second->USBInterfaceOpen(second.get()));
  EXPECT_EQ(kIOReturnBadArgument, packet(first, 1, 0x01, 1));
  EXPECT_EQ(kIOReturnSuccess, packet(second, 2, 0x01, 1));
  EXPECT_EQ(1, sw.currentPort());
  first->USBInterfaceClose(first.get());
  second->USBInterfaceClose(second.get());
  device->USBDeviceClose(device.get());
}

// ---- In and out of the registry

struct Seen {
  std::vector<std::vector<io_service_t>> arrivals;
  std::vector<natural_t> messages;
};

void arrived(void* refCon, io_iterator_t iterator) { static_cast<Seen*>(refCon)->arrivals.push_back(drain(iterator)); }

void interest(void* refCon, io_service_t, natural_t messageType, void*) {
  static_cast<Seen*>(refCon)->messages.push_back(messageType);
}

TEST_F(SimulatedSwitchTest, PluggingAndUnpluggingAreSeenThroughMatchingAndInterest) {
  IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port), kCFRunLoopDefaultMode);
  Seen seen;
  io_iterator_t watch = 0;
  ASSERT_EQ(kIOReturnSuccess,
            IOServiceAddMatchingNotification(port, kIOFirstMatchNotification,
                                             matching("IOHIDDevice", "VendorID", 0x10D5, "ProductID", 0x5500),
                                             arrived, &seen, &watch));
  EXPECT_TRUE(drain(watch).empty());

  FeatureReportSwitch sw;
  sw.plug();
  drainMainQueue();
  ASSERT_EQ(1u, seen.arrivals.size());
  ASSERT_EQ(1u, seen.arrivals[0].size());
  io_service_t service = seen.arrivals[0][0];

  CFMutableDictionaryRef properties = nullptr;
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0));
  int value = 0;
  auto number = [&](const char* key) {
    CFStringRef cfKey = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
    auto n = static_cast<CFNumberRef>(CFDictionaryGetValue(properties, cfKey));
    CFRelease(cfKey);
    value = -1;
    if (n) CFNumberGetValue(n, kCFNumberIntType, &value);
    return value;
  };
  EXPECT_EQ(0x10D5, number("VendorID"));
  EXPECT_EQ(0x5500, number("ProductID"));
  EXPECT_EQ(8, number("MaxFeatureReportSize"));
  EXPECT_FALSE(CFDictionaryContainsKey(properties, CFSTR("SerialNumber")));
  CFRelease(properties);

  // The USB device is two levels up.
  io_registry_entry_t parent1 = 0, parent2 = 0;
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryGetParentEntry(service, kIOServicePlane, &parent1));
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryGetParentEntry(parent1, kIOServicePlane, &parent2));
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryCreateCFProperties(parent2, &properties, kCFAllocatorDefault, 0));
  EXPECT_EQ(0x10D5, number("idVendor"));
  EXPECT_EQ(0x5500, number("idProduct"));
  CFRelease(properties);
  std::vector<io_service_t> usb = usbDevices(0x10D5, 0x5500);
  ASSERT_EQ(1u, usb.size());
  EXPECT_EQ(parent2, usb[0]);
  releaseAll(usb);
  IOObjectRelease(parent1);
  IOObjectRelease(parent2);

  io_object_t notification = 0;
  ASSERT_EQ(kIOReturnSuccess,
            IOServiceAddInterestNotification(port, service, kIOGeneralInterest, interest, &seen, &notification));
  HID old(hidInterfaceOf(service));
  ASSERT_TRUE(old);
  ASSERT_EQ(kIOReturnSuccess, old->open(old.get(), 0));
  IOObjectRelease(service);

  sw.unplug();
  drainMainQueue();
  EXPECT_EQ((std::vector<natural_t>{kIOMessageServiceIsTerminated}), seen.messages);
  EXPECT_TRUE(hidDevices(0x10D5, 0x5500).empty());
  EXPECT_TRUE(usbDevices(0x10D5, 0x5500).empty());
  Bytes bytes;
  EXPECT_EQ(kIOReturnNotAttached, getFeature(old, 5, &bytes, 4));
  EXPECT_EQ(kIOReturnNotAttached, command(old, 0x81, 1));
  EXPECT_EQ(0, sw.currentPort());

  // Plugged again it is a new device: found again, served again; the old interface stays dead.
  sw.plug();
  drainMainQueue();
  ASSERT_EQ(2u, seen.arrivals.size());
  ASSERT_EQ(1u, seen.arrivals[1].size());
  HID fresh(hidInterfaceOf(seen.arrivals[1][0]));
  IOObjectRelease(seen.arrivals[1][0]);
  ASSERT_TRUE(fresh);
  ASSERT_EQ(kIOReturnSuccess, fresh->open(fresh.get(), 0));
  EXPECT_EQ(kIOReturnSuccess, command(fresh, 0x81, 1));
  EXPECT_EQ(1, sw.currentPort());
  EXPECT_EQ(kIOReturnNotAttached, getFeature(old, 5, &bytes, 4));
  fresh->close(fresh.get());

  IOObjectRelease(notification);
  IOObjectRelease(watch);
  IONotificationPortDestroy(port);
}

TEST_F(SimulatedSwitchTest, HIDPropertiesCanBeOverriddenOrRemoved) {
  SerialNumberSwitch sw;
  int size = 64;
  CFNumberRef sixtyFour = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &size);
  sw.setHIDProperty("MaxFeatureReportSize", sixtyFour);
  CFRelease(sixtyFour);  // the switch keeps its own reference
  sw.setHIDProperty("VendorID", nullptr);
  sw.setHIDProperty("SerialNumber", nullptr);
  sw.plug();

  std::vector<io_service_t> hid = present(matching("IOHIDDevice", nullptr, 0, "ProductID", 0x000D));
  ASSERT_EQ(1u, hid.size());
  CFMutableDictionaryRef properties = nullptr;
  ASSERT_EQ(kIOReturnSuccess, IORegistryEntryCreateCFProperties(hid[0], &properties, kCFAllocatorDefault, 0));
  EXPECT_FALSE(CFDictionaryContainsKey(properties, CFSTR("VendorID")));
  EXPECT_FALSE(CFDictionaryContainsKey(properties, CFSTR("SerialNumber")));
  int value = 0;
  auto max = static_cast<CFNumberRef>(CFDictionaryGetValue(properties, CFSTR("MaxFeatureReportSize")));
  ASSERT_NE(nullptr, max);
  CFNumberGetValue(max, kCFNumberIntType, &value);
  EXPECT_EQ(64, value);
  CFRelease(properties);
  releaseAll(hid);
}

TEST_F(SimulatedSwitchTest, AGoneSwitchLeavesItsInterfacesFailingNotDangling) {
  auto sw = std::make_unique<SerialNumberSwitch>();
  sw->plug();
  std::vector<io_service_t> usb = usbDevices(0x10D5, 0x000D);
  ASSERT_EQ(1u, usb.size());
  IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port), kCFRunLoopDefaultMode);
  Seen seen;
  io_object_t notification = 0;
  ASSERT_EQ(kIOReturnSuccess,
            IOServiceAddInterestNotification(port, usb[0], kIOGeneralInterest, interest, &seen, &notification));
  USBDevice device(
      interfaceOf<IOUSBDeviceInterface>(usb[0], kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID));
  releaseAll(usb);
  ASSERT_TRUE(device);

  sw.reset();  // destroying a plugged switch unplugs it
  drainMainQueue();
  EXPECT_EQ((std::vector<natural_t>{kIOMessageServiceIsTerminated}), seen.messages);
  EXPECT_EQ(kIOReturnNotAttached, device->USBDeviceOpen(device.get()));
  UInt16 vendor = 0;
  EXPECT_EQ(kIOReturnNotAttached, device->GetDeviceVendor(device.get(), &vendor));
  IOObjectRelease(notification);
  IONotificationPortDestroy(port);
}

}  // namespace

// What a USB gadget presenting the switch asks of it: the failures still to
// come (it must refuse before a request's data), an interface to take
// packets on, and marks above the port, which keep the first unit from zero.
TEST_F(SimulatedSwitchTest, WhatAUSBGadgetAsksOfTheModel) {
  FeatureReportSwitch feature;
  EXPECT_EQ(0, feature.pendingFailures(SimCall::SetReport));
  feature.failNext(SimCall::SetReport, 2, kIOReturnBusy);
  IOHIDDeviceInterface122** hid = feature.newDeviceInterface();
  ASSERT_EQ(0, (*hid)->open(hid, 0));
  EXPECT_EQ(kIOReturnBusy,
            (*hid)->setReport(hid, kIOHIDReportTypeFeature, 4, nullptr, 0, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(1, feature.pendingFailures(SimCall::SetReport));
  (*hid)->close(hid);
  (*hid)->Release(hid);

  SerialNumberSwitch serial;
  EXPECT_EQ(nullptr, serial.newInterfaceInterface(1));
  IOUSBInterfaceInterface** interface = serial.newInterfaceInterface(0);
  ASSERT_NE(nullptr, interface);
  ASSERT_EQ(0, (*interface)->USBInterfaceOpen(interface));
  uint8_t port2[8] = {0x01, 0x01, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, (*interface)->WritePipe(interface, 2, port2, 8));
  EXPECT_EQ(1, serial.currentPort());
  (*interface)->USBInterfaceClose(interface);
  (*interface)->Release(interface);

  EXPECT_EQ(char16_t(0x0001), serial.serialNumber()[0]);
  serial.state().portUnitMarks = 0x30;
  EXPECT_EQ(u'1', serial.serialNumber()[0]);
  serial.state().port = 0;
  EXPECT_EQ(u'0', serial.serialNumber()[0]);
}
