// The serial-number switch's transport: the descriptor read, the search for
// the outgoing pipe, the command packets, and every message on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/iokit/device_seam.h"
#include "sim/simulated_switch.h"
#include "tests/support/stderr_capture.h"
#include "usb/usb_transport.h"

namespace {

using platform::SerialNumberSwitch;
using platform::SimCall;
using Bytes = std::vector<uint8_t>;
using Endpoint = SerialNumberSwitch::Endpoint;

constexpr Endpoint kIn{kUSBIn, 1, kUSBInterrupt, 8, 10};
constexpr Endpoint kOut{kUSBOut, 2, kUSBInterrupt, 8, 10};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char line[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  return line;
}

std::string pipeLine(const Endpoint& e) {
  return format("USBGetInterfaceInterface direction=%d number=%d transferType=%d maxPAcketSize=%d, interval=%d\n",
                e.direction, e.number, e.transferType, e.maxPacketSize, e.interval);
}

std::string foundLine(IOUSBInterfaceInterface** intf, int pipe) {
  return format("USBGetInterfaceInterface: Found InterfaceInterface %x with pipe %d\n",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(intf)), pipe);
}

class USBTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    interfacesBefore = platform::liveDeviceInterfaces();
    handlesBefore = platform::liveRegistryHandles();
  }
  void TearDown() override {
    if (d.usbInterface != nullptr) (*d.usbInterface)->Release(d.usbInterface);
    if (d.usbDevice != nullptr) (*d.usbDevice)->Release(d.usbDevice);
    // Nothing the transport took is left behind.
    EXPECT_EQ(platform::liveDeviceInterfaces(), interfacesBefore);
    EXPECT_EQ(platform::liveRegistryHandles(), handlesBefore);
    sim.unplug();
    platform::resetRegistry();
  }

  // Plugs the switch in with `interfaces` and takes a device interface on it.
  void attach(std::vector<std::vector<Endpoint>> interfaces = {{kIn, kOut}}) {
    sim.setInterfaces(std::move(interfaces));
    sim.plug();
    d.usbDevice = sim.newDeviceInterface();
    sim.clearRecords();
  }

  size_t count(SimCall call) const { return std::count(sim.calls().begin(), sim.calls().end(), call); }
  std::vector<Bytes> packets(uint32_t pipe) const {
    std::vector<Bytes> sent;
    for (const auto& exchange : sim.received())
      if (exchange.call == SimCall::WritePipe && exchange.id == pipe) sent.push_back(exchange.bytes);
    return sent;
  }
  size_t packetCount() const {
    return std::count_if(sim.received().begin(), sim.received().end(),
                         [](const platform::SimExchange& e) { return e.call == SimCall::WritePipe; });
  }

  size_t interfacesBefore = 0;
  size_t handlesBefore = 0;
  SerialNumberSwitch sim;
  DEVICE_DATA d = {};
  testsupport::StderrCapture capture;
};

}  // namespace

// --- Command packets ------------------------------------------------------------

TEST_F(USBTransport, EveryBuilderWritesItsEightBytesToTheOutgoingPipe) {
  attach();
  const struct {
    const char* name;
    std::function<IOReturn(DEVICE_DATA*)> send;
    Bytes bytes;
  } cases[] = {
      {"port 1", [](DEVICE_DATA* x) { return USBSetPortNumber(x, 1); }, {0x01, 0x01, 0, 0, 0, 0, 0, 0}},
      {"port 0", [](DEVICE_DATA* x) { return USBSetPortNumber(x, 0); }, {0x01, 0x00, 0, 0, 0, 0, 0, 0}},
      {"buzzer on", [](DEVICE_DATA* x) { return USBSetBuzzer(x, true); }, {0x02, 0, 0, 0, 0, 0, 0, 0}},
      {"buzzer off", [](DEVICE_DATA* x) { return USBSetBuzzer(x, false); }, {0x03, 0, 0, 0, 0, 0, 0, 0}},
      {"bind audio", [](DEVICE_DATA* x) { return USBBindAudio(x); }, {0x04, 0, 0, 0, 0, 0, 0, 0}},
      {"fix audio", [](DEVICE_DATA* x) { return USBFixAudioPortNumber(x, 1); }, {0x05, 0x01, 0, 0, 0, 0, 0, 0}},
      {"period 6", [](DEVICE_DATA* x) { return USBSetAutoScanPeriod(x, 6); }, {0x06, 0x06, 0, 0, 0, 0, 0, 0}},
      {"auto-scan on", [](DEVICE_DATA* x) { return USBSetAutoScan(x, true); }, {0x07, 0, 0, 0, 0, 0, 0, 0}},
      {"auto-scan off", [](DEVICE_DATA* x) { return USBSetAutoScan(x, false); }, {0x08, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    sim.clearRecords();
    EXPECT_EQ(c.send(&d), kIOReturnSuccess) << c.name;
    EXPECT_EQ(packets(2), std::vector<Bytes>{c.bytes}) << c.name;
    EXPECT_EQ(packetCount(), 1u) << c.name;
  }
  EXPECT_EQ(d.pipeRef, 2);
}

TEST_F(USBTransport, PortAndPeriodAbove255SendTheirLowEightBits) {
  attach();
  EXPECT_EQ(USBSetPortNumber(&d, 0x101), kIOReturnSuccess);
  EXPECT_EQ(USBSetAutoScanPeriod(&d, 300), kIOReturnSuccess);
  EXPECT_EQ(USBFixAudioPortNumber(&d, -1), kIOReturnSuccess);
  EXPECT_EQ(packets(2), (std::vector<Bytes>{{0x01, 0x01, 0, 0, 0, 0, 0, 0},
                                            {0x06, 0x2C, 0, 0, 0, 0, 0, 0},
                                            {0x05, 0xFF, 0, 0, 0, 0, 0, 0}}));
}

TEST_F(USBTransport, SwitchFollowsThePortPacket) {
  attach();
  ASSERT_EQ(sim.currentPort(), 0);
  EXPECT_EQ(USBSetPortNumber(&d, 1), kIOReturnSuccess);
  EXPECT_EQ(sim.currentPort(), 1);
}

// --- The search for the outgoing pipe -------------------------------------------

TEST_F(USBTransport, EveryCommandLogsTheWholeSearch) {
  attach();
  ASSERT_EQ(USBSetBuzzer(&d, true), kIOReturnSuccess);
  ASSERT_NE(d.usbInterface, nullptr);
  const std::string search = "USBGetInterfaceInterface: found 1 configuration(s)\n"
                             "USBGetInterfaceInterface: Got 2 Pipes\n" +
                             pipeLine(kIn) + pipeLine(kOut) + foundLine(d.usbInterface, 2);
  EXPECT_EQ(capture.take(), search);

  ASSERT_EQ(USBSetBuzzer(&d, false), kIOReturnSuccess);
  EXPECT_EQ(capture.take(), "USBGetInterfaceInterface: found 1 configuration(s)\n"
                            "USBGetInterfaceInterface: Got 2 Pipes\n" +
                                pipeLine(kIn) + pipeLine(kOut) + foundLine(d.usbInterface, 2));
  EXPECT_EQ(sim.configurationValue(), 1);
  // The record holds one interface; the one the second search replaced is gone.
  EXPECT_EQ(platform::liveDeviceInterfaces(), interfacesBefore + 2);
  EXPECT_EQ(count(SimCall::DeviceOpen), 2u);
  EXPECT_EQ(count(SimCall::DeviceClose), 2u);
  EXPECT_EQ(count(SimCall::InterfaceOpen), 4u);
  EXPECT_EQ(count(SimCall::InterfaceClose), 4u);
}

TEST_F(USBTransport, InterfaceWithOnlyIncomingPipesIsPassedOverAndLaterOnesAreNotOpened) {
  const Endpoint out1{kUSBOut, 3, kUSBBulk, 64, 0};
  attach({{kIn}, {kIn, out1}, {kOut}});
  ASSERT_EQ(USBSetPortNumber(&d, 1), kIOReturnSuccess);
  EXPECT_EQ(d.pipeRef, 2);
  EXPECT_EQ(capture.take(), "USBGetInterfaceInterface: found 1 configuration(s)\n"
                            "USBGetInterfaceInterface: Got 1 Pipes\n" +
                                pipeLine(kIn) + "USBGetInterfaceInterface: Got 2 Pipes\n" + pipeLine(kIn) +
                                pipeLine(out1) + foundLine(d.usbInterface, 2));
  // Two interfaces searched, one opened for the write; the third never.
  EXPECT_EQ(count(SimCall::InterfaceOpen), 3u);
  EXPECT_EQ(count(SimCall::GetNumEndpoints), 2u);
  EXPECT_EQ(packets(2), (std::vector<Bytes>{{0x01, 0x01, 0, 0, 0, 0, 0, 0}}));
}

TEST_F(USBTransport, PipeWhosePropertiesCannotBeReadIsLoggedAndSkipped) {
  attach({{kOut, kIn, kOut}});
  sim.failNext(SimCall::GetPipeProperties, 1, kIOReturnNotResponding);
  ASSERT_EQ(USBBindAudio(&d), kIOReturnSuccess);
  const Endpoint untouched{0xFF, 0xFF, 0xFF, 0xFFFF, 0xFF};
  EXPECT_EQ(capture.take(),
            "USBGetInterfaceInterface: found 1 configuration(s)\n"
            "USBGetInterfaceInterface: Got 3 Pipes\n" +
                pipeLine(untouched) +
                "USBGetInterfaceInterface: unable to get pipe hidProperties for pipe 1, result = e00002ed\n" +
                pipeLine(kIn) + pipeLine(kOut) + foundLine(d.usbInterface, 3));
  EXPECT_EQ(packets(3).size(), 1u);
}

TEST_F(USBTransport, NoOutgoingPipeAnywhereSendsNothing) {
  attach({{kIn}, {kIn, kIn}});
  EXPECT_EQ(USBSetAutoScan(&d, true), kIOReturnError);
  EXPECT_EQ(capture.take(), "USBGetInterfaceInterface: found 1 configuration(s)\n"
                            "USBGetInterfaceInterface: Got 1 Pipes\n" +
                                pipeLine(kIn) + "USBGetInterfaceInterface: Got 2 Pipes\n" + pipeLine(kIn) +
                                pipeLine(kIn) +
                                "USBGetInterfaceInterface: unable to find interface. ret = 00000000\n"
                                "USBTransferData: unable to open interface. ret = e00002bc\n");
  EXPECT_EQ(d.usbInterface, nullptr);
  EXPECT_EQ(packetCount(), 0u);
}

TEST_F(USBTransport, SearchThatFindsNoPipeNeverWritesThroughTheInterfaceOfAnEarlierOne) {
  attach();
  ASSERT_EQ(USBSetPortNumber(&d, 1), kIOReturnSuccess);
  IOUSBInterfaceInterface** earlier = d.usbInterface;
  capture.take();
  sim.clearRecords();

  sim.failNext(SimCall::GetNumEndpoints, 1, kIOReturnNotResponding);
  EXPECT_EQ(USBSetPortNumber(&d, 0), kIOReturnError);
  EXPECT_EQ(capture.take(),
            "USBGetInterfaceInterface: found 1 configuration(s)\n"
            "USBGetInterfaceInterface: unable to get number of endpoints. ret = e00002ed\n"
            "USBGetInterfaceInterface: unable to find interface. ret = 00000000\n"
            "USBTransferData: unable to open interface. ret = e00002bc\n");
  EXPECT_EQ(packetCount(), 0u);
  EXPECT_EQ(sim.currentPort(), 1);
  // The record keeps the last interface and pipe found.
  EXPECT_EQ(d.usbInterface, earlier);
  EXPECT_EQ(d.pipeRef, 2);
}

TEST_F(USBTransport, InterfaceThatCannotBeOpenedIsReleasedAndTheSearchFails) {
  attach();
  sim.failNext(SimCall::InterfaceOpen, 1, kIOReturnExclusiveAccess);
  EXPECT_EQ(USBSetBuzzer(&d, true), kIOReturnError);
  EXPECT_EQ(capture.take(), "USBGetInterfaceInterface: found 1 configuration(s)\n"
                            "USBGetInterfaceInterface: unable to open interface. ret = e00002c5\n"
                            "USBGetInterfaceInterface: unable to find interface. ret = e00002c5\n"
                            "USBTransferData: unable to open interface. ret = e00002bc\n");
  EXPECT_EQ(d.usbInterface, nullptr);
  EXPECT_EQ(count(SimCall::InterfaceClose), 0u);
  EXPECT_EQ(packetCount(), 0u);
}

TEST_F(USBTransport, DeviceThatCannotBeOpenedGivesTwoLinesWithTheSameStatus) {
  attach();
  sim.failNext(SimCall::DeviceOpen, 1, kIOReturnExclusiveAccess);
  EXPECT_EQ(USBSetPortNumber(&d, 1), kIOReturnExclusiveAccess);
  EXPECT_EQ(capture.take(), "USBGetInterfaceInterface: unable to open device. ret = e00002c5\n"
                            "USBTransferData: unable to open interface. ret = e00002c5\n");
  EXPECT_EQ(sim.calls(), std::vector<SimCall>{SimCall::DeviceOpen});
}

TEST_F(USBTransport, DeviceWithoutConfigurationFailsAfterItsLine) {
  sim.setConfigurationCount(0);
  attach();
  EXPECT_EQ(USBSetPortNumber(&d, 1), kIOReturnError);
  EXPECT_EQ(capture.take(),
            "USBGetInterfaceInterface: unable to obtain the number of configurations. ret = 00000000\n"
            "USBTransferData: unable to open interface. ret = e00002bc\n");
  EXPECT_EQ(sim.calls().back(), SimCall::DeviceClose);
  EXPECT_EQ(packetCount(), 0u);
}

TEST_F(USBTransport, EachFailingStepOfTheConfigurationClosesTheDevice) {
  const struct {
    SimCall call;
    std::string lines;
  } cases[] = {
      {SimCall::GetNumberOfConfigurations,
       "USBGetInterfaceInterface: unable to obtain the number of configurations. ret = e00002ed\n"},
      {SimCall::GetConfigurationDescriptor,
       "USBGetInterfaceInterface: found 1 configuration(s)\n"
       "USBGetInterfaceInterface:unable to get config descriptor for index 0\n"},
      {SimCall::SetConfiguration,
       "USBGetInterfaceInterface: found 1 configuration(s)\n"
       "USBGetInterfaceInterface: unable to set the configuration\n"},
      {SimCall::CreateInterfaceIterator,
       "USBGetInterfaceInterface: found 1 configuration(s)\n"
       "USBGetInterfaceInterface: unable to create interface iterator\n"},
  };
  attach();
  for (const auto& c : cases) {
    sim.clearRecords();
    sim.failNext(c.call, 1, kIOReturnNotResponding);
    EXPECT_EQ(USBSetBuzzer(&d, true), kIOReturnNotResponding) << platform::simCallName(c.call);
    EXPECT_EQ(capture.take(), c.lines + "USBTransferData: unable to open interface. ret = e00002ed\n")
        << platform::simCallName(c.call);
    EXPECT_EQ(sim.calls().back(), SimCall::DeviceClose) << platform::simCallName(c.call);
    EXPECT_EQ(count(SimCall::DeviceClose), 1u) << platform::simCallName(c.call);
    EXPECT_EQ(packetCount(), 0u);
  }
}

TEST_F(USBTransport, DirectSearchReportsSuccessOnlyWhenItChoseAPipe) {
  attach({{kIn}});
  EXPECT_EQ(USBGetInterfaceInterface(&d), kIOReturnError);
  EXPECT_EQ(d.usbInterface, nullptr);
  capture.take();
}

// --- Writing --------------------------------------------------------------------

TEST_F(USBTransport, FailedWriteIsReportedAndReturned) {
  attach();
  sim.failNext(SimCall::WritePipe, 1, kIOReturnNotResponding);
  EXPECT_EQ(USBSetPortNumber(&d, 1), kIOReturnNotResponding);
  std::string out = capture.take();
  const std::string tail = "USBTransferData: WritePipeFailed, result = e00002ed\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(sim.calls().back(), SimCall::InterfaceClose);
  EXPECT_EQ(sim.currentPort(), 0);
}

TEST_F(USBTransport, NoRecordOrNoDeviceInterfaceFailsWithoutAnyCall) {
  attach();
  IOUSBDeviceInterface** device = d.usbDevice;
  d.usbDevice = nullptr;
  unsigned char packet[8] = {0x01, 0x01};
  EXPECT_EQ(USBTransferData(nullptr, packet, 8), kIOReturnError);
  EXPECT_EQ(USBSetPortNumber(nullptr, 1), kIOReturnError);
  EXPECT_EQ(USBSetPortNumber(&d, 1), kIOReturnError);
  EXPECT_EQ(USBGetDeviceInfo(nullptr), kIOReturnError);
  EXPECT_EQ(USBGetDeviceInfo(&d), kIOReturnError);
  EXPECT_EQ(capture.take(), "USBTransferData: No known interface\n"
                            "USBTransferData: No known interface\n"
                            "USBTransferData: No known interface\n"
                            "USBGetDeviceInfo: No known device\n"
                            "USBGetDeviceInfo: No known device\n");
  EXPECT_EQ(USBGetInterfaceInterface(nullptr), kIOReturnError);
  EXPECT_EQ(USBGetInterfaceInterface(&d), kIOReturnError);
  EXPECT_EQ(capture.take(), "");
  EXPECT_TRUE(sim.calls().empty());
  d.usbDevice = device;
}

TEST_F(USBTransport, UnpluggedSwitchFailsEveryCommandWithTwoLines) {
  attach();
  sim.unplug();
  EXPECT_EQ(USBSetPortNumber(&d, 1), kIOReturnNotAttached);
  EXPECT_EQ(capture.take(), "USBGetInterfaceInterface: unable to open device. ret = e00002d9\n"
                            "USBTransferData: unable to open interface. ret = e00002d9\n");
  EXPECT_EQ(USBGetDeviceInfo(&d), kIOReturnNotAttached);
  EXPECT_EQ(capture.take(), "USBGetDeviceInfo: unable to open device. ret = e00002d9\n");
}

// --- Reading the information block ----------------------------------------------

TEST_F(USBTransport, InformationBlockIsTheSerialNumbersFirstThreeCodeUnits) {
  attach();
  sim.state().port = 1;
  sim.state().autoScan = true;
  memset(d.infoBuffer, 0xAA, sizeof d.infoBuffer);
  const std::u16string serial = sim.serialNumber();
  ASSERT_EQ(serial.size(), 3u);

  EXPECT_EQ(USBGetDeviceInfo(&d), kIOReturnSuccess);
  EXPECT_EQ(d.vendorID, 0x10D5u);
  EXPECT_EQ(d.productID, 0x000Du);
  const unsigned char expected[12] = {
      uint8_t(serial[0]), uint8_t(serial[0] >> 8), uint8_t(serial[1]), uint8_t(serial[1] >> 8),
      uint8_t(serial[2]), uint8_t(serial[2] >> 8), 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(memcmp(d.infoBuffer, expected, 12), 0);
  EXPECT_EQ(d.infoBuffer[0] & 0x07, 1);
  EXPECT_EQ(capture.take(), "");

  EXPECT_EQ(sim.calls(), (std::vector<SimCall>{SimCall::DeviceOpen, SimCall::GetDeviceVendor,
                                               SimCall::GetDeviceProduct, SimCall::GetSerialIndex,
                                               SimCall::DeviceRequest, SimCall::DeviceClose}));
  ASSERT_EQ(sim.received().size(), 1u);
  const auto& request = sim.received()[0];
  EXPECT_EQ(request.call, SimCall::DeviceRequest);
  ASSERT_EQ(request.bytes.size(), 8u);
  const uint8_t index = request.bytes[2];
  EXPECT_EQ(request.id, 0x0300u + index);
  EXPECT_EQ(request.bytes, (Bytes{0x80, 0x06, index, 0x03, 0x09, 0x04, 0x08, 0x00}));
}

TEST_F(USBTransport, ShortDescriptorLeavesZerosInTheBlock) {
  attach();
  memset(d.infoBuffer, 0xAA, sizeof d.infoBuffer);
  sim.shortNext(SimCall::DeviceRequest, 1, 4);
  const std::u16string serial = sim.serialNumber();
  EXPECT_EQ(USBGetDeviceInfo(&d), kIOReturnSuccess);
  const unsigned char expected[12] = {uint8_t(serial[0]), uint8_t(serial[0] >> 8), 0, 0, 0, 0, 0, 0,
                                      0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(memcmp(d.infoBuffer, expected, 12), 0);
}

TEST_F(USBTransport, EachFailingStepOfTheReadKeepsTheBlockAndClosesTheDevice) {
  const struct {
    SimCall call;
    std::string line;
  } cases[] = {
      {SimCall::GetDeviceVendor, "USBGetDeviceInfo: unable to obtain the Vendor ID. ret = e00002ed\n"},
      {SimCall::GetDeviceProduct, "USBGetDeviceInfo: unable to obtain the Product ID. ret = e00002ed\n"},
      {SimCall::GetSerialIndex, "USBGetDeviceInfo: unable to obtain the Serial index. ret = e00002ed\n"},
      {SimCall::DeviceRequest, ""},
  };
  attach();
  const unsigned char before[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (const auto& c : cases) {
    memcpy(d.infoBuffer, before, 12);
    sim.clearRecords();
    sim.failNext(c.call, 1, kIOReturnNotResponding);
    EXPECT_EQ(USBGetDeviceInfo(&d), kIOReturnNotResponding) << platform::simCallName(c.call);
    EXPECT_EQ(capture.take(), c.line) << platform::simCallName(c.call);
    EXPECT_EQ(memcmp(d.infoBuffer, before, 12), 0) << platform::simCallName(c.call);
    EXPECT_EQ(sim.calls().back(), SimCall::DeviceClose) << platform::simCallName(c.call);
    EXPECT_EQ(sim.calls().back(), SimCall::DeviceClose);
  }
}

TEST_F(USBTransport, ReadWhoseOpenFailsDoesNotClose) {
  attach();
  sim.failNext(SimCall::DeviceOpen, 1, kIOReturnExclusiveAccess);
  EXPECT_EQ(USBGetDeviceInfo(&d), kIOReturnExclusiveAccess);
  EXPECT_EQ(capture.take(), "USBGetDeviceInfo: unable to open device. ret = e00002c5\n");
  EXPECT_EQ(sim.calls(), std::vector<SimCall>{SimCall::DeviceOpen});
}
