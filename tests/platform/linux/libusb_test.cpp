// The USB device and interface interfaces over libusb, driven by the program's
// own USB transport against a scripted libusb: the serial-number request, the
// configuration, the pipes and the OUT transfer, and what a failure leaves.
#include <dirent.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/core/clock.h"
#include "platform/iokit/device_seam.h"
#include "platform/linux/libusb_device.h"
#include "tests/support/stderr_capture.h"
#include "usb/usb_transport.h"

namespace {

using Bytes = std::vector<uint8_t>;

size_t OpenFileDescriptors() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

std::string Hex(const unsigned char* bytes, int length) {
  std::string out;
  char byte[4];
  for (int i = 0; i < length; ++i) {
    snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
    out += byte;
  }
  return out;
}

libusb_endpoint_descriptor Endpoint(uint8_t address, uint8_t type, uint16_t maxPacket = 8, uint8_t interval = 10) {
  libusb_endpoint_descriptor e = {};
  e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
  e.bDescriptorType = LIBUSB_DT_ENDPOINT;
  e.bEndpointAddress = address;
  e.bmAttributes = type;
  e.wMaxPacketSize = maxPacket;
  e.bInterval = interval;
  return e;
}

// A scripted libusb: answers from the fields below, fails the calls named in
// `failures` with their code, and logs every call with its arguments.
struct FakeLibusb {
  std::vector<std::string> log;
  std::map<std::string, int> failures;
  uint8_t serialIndex = 3;
  Bytes serialReply = {0x08, 0x03, 'X', 0, 'Y', 0, 'Z', 0};
  int currentConfiguration = 1;
  int driverActive = 1;
  int shortWrite = -1;  // bytes the device takes, -1: all
  // Interfaces of the configuration, each with its endpoints.
  std::vector<std::vector<libusb_endpoint_descriptor>> interfaces = {
      {Endpoint(0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT), Endpoint(0x02, LIBUSB_TRANSFER_TYPE_INTERRUPT)}};
  int liveHandles = 0;
  int liveConfigs = 0;

  int fail(const std::string& call) {
    auto it = failures.find(call);
    return it == failures.end() ? 0 : it->second;
  }
  int logged(const std::string& entry, const std::string& call) {
    log.push_back(entry);
    return fail(call);
  }
};

FakeLibusb* fake = nullptr;
int contextToken, deviceToken;

libusb_config_descriptor* NewConfig() {
  auto* config = new libusb_config_descriptor{};
  config->bLength = 9;
  config->bDescriptorType = LIBUSB_DT_CONFIG;
  config->bConfigurationValue = 1;
  config->bNumInterfaces = uint8_t(fake->interfaces.size());
  auto* interfaces = new libusb_interface[fake->interfaces.size()];
  for (size_t i = 0; i < fake->interfaces.size(); ++i) {
    auto* setting = new libusb_interface_descriptor{};
    setting->bLength = 9;
    setting->bInterfaceNumber = uint8_t(i);
    setting->bInterfaceClass = 3;
    setting->bNumEndpoints = uint8_t(fake->interfaces[i].size());
    auto* endpoints = new libusb_endpoint_descriptor[fake->interfaces[i].size()];
    std::copy(fake->interfaces[i].begin(), fake->interfaces[i].end(), endpoints);
    setting->endpoint = endpoints;
    interfaces[i].altsetting = setting;
    interfaces[i].num_altsetting = 1;
  }
  config->interface = interfaces;
  ++fake->liveConfigs;
  return config;
}

const platform::LibusbCalls kFake = {
    .init =
        [](libusb_context** context) {
          *context = reinterpret_cast<libusb_context*>(&contextToken);
          return fake->logged("init", "init");
        },
    .wrap_sys_device =
        [](libusb_context*, intptr_t, libusb_device_handle** handle) {
          int error = fake->logged("wrap_sys_device", "wrap_sys_device");
          if (error) return error;
          *handle = reinterpret_cast<libusb_device_handle*>(new int(0));
          ++fake->liveHandles;
          return 0;
        },
    .close =
        [](libusb_device_handle* handle) {
          fake->log.push_back("close");
          delete reinterpret_cast<int*>(handle);
          --fake->liveHandles;
        },
    .get_device = [](libusb_device_handle*) { return reinterpret_cast<libusb_device*>(&deviceToken); },
    .get_device_descriptor =
        [](libusb_device*, libusb_device_descriptor* descriptor) {
          *descriptor = {};
          descriptor->iSerialNumber = fake->serialIndex;
          descriptor->bNumConfigurations = 1;
          return fake->fail("get_device_descriptor");
        },
    .get_config_descriptor =
        [](libusb_device*, uint8_t index, libusb_config_descriptor** config) {
          int error = fake->logged("get_config_descriptor(" + std::to_string(index) + ")", "get_config_descriptor");
          if (!error) *config = NewConfig();
          return error;
        },
    .get_active_config_descriptor =
        [](libusb_device*, libusb_config_descriptor** config) {
          int error = fake->logged("get_active_config_descriptor", "get_active_config_descriptor");
          if (!error) *config = NewConfig();
          return error;
        },
    .free_config_descriptor =
        [](libusb_config_descriptor* config) {
          for (int i = 0; i < config->bNumInterfaces; ++i) {
            delete[] config->interface[i].altsetting->endpoint;
            delete config->interface[i].altsetting;
          }
          delete[] config->interface;
          delete config;
          --fake->liveConfigs;
        },
    .get_configuration =
        [](libusb_device_handle*, int* configuration) {
          *configuration = fake->currentConfiguration;
          return fake->logged("get_configuration", "get_configuration");
        },
    .set_configuration =
        [](libusb_device_handle*, int configuration) {
          return fake->logged("set_configuration(" + std::to_string(configuration) + ")", "set_configuration");
        },
    .control_transfer =
        [](libusb_device_handle*, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
           unsigned char* data, uint16_t length, unsigned int timeout) {
          char entry[96];
          snprintf(entry, sizeof entry, "control_transfer(%02x %02x %04x %04x %u, %ums)", requestType, request, value,
                   index, length, timeout);
          int error = fake->logged(entry, "control_transfer");
          if (error) return error;
          size_t n = std::min<size_t>(length, fake->serialReply.size());
          std::copy(fake->serialReply.begin(), fake->serialReply.begin() + long(n), data);
          return int(n);
        },
    .kernel_driver_active =
        [](libusb_device_handle*, int number) {
          fake->log.push_back("kernel_driver_active(" + std::to_string(number) + ")");
          return fake->driverActive;
        },
    .detach_kernel_driver =
        [](libusb_device_handle*, int number) {
          return fake->logged("detach_kernel_driver(" + std::to_string(number) + ")", "detach_kernel_driver");
        },
    .attach_kernel_driver =
        [](libusb_device_handle*, int number) {
          return fake->logged("attach_kernel_driver(" + std::to_string(number) + ")", "attach_kernel_driver");
        },
    .claim_interface =
        [](libusb_device_handle*, int number) {
          return fake->logged("claim_interface(" + std::to_string(number) + ")", "claim_interface");
        },
    .release_interface =
        [](libusb_device_handle*, int number) {
          return fake->logged("release_interface(" + std::to_string(number) + ")", "release_interface");
        },
    .interrupt_transfer =
        [](libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* transferred,
           unsigned int timeout) {
          char head[64];
          snprintf(head, sizeof head, "interrupt_transfer(%02x, %ums, ", endpoint, timeout);
          int error = fake->logged(head + Hex(data, length) + ")", "interrupt_transfer");
          *transferred = error ? 0 : (fake->shortWrite >= 0 ? fake->shortWrite : length);
          return error;
        },
    .bulk_transfer =
        [](libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* transferred,
           unsigned int timeout) {
          char head[64];
          snprintf(head, sizeof head, "bulk_transfer(%02x, %ums, ", endpoint, timeout);
          int error = fake->logged(head + Hex(data, length) + ")", "bulk_transfer");
          *transferred = error ? 0 : length;
          return error;
        },
};

class LibusbDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = &usb;
    platform::setLibusbCalls(&kFake);
    fdsBefore = OpenFileDescriptors();
  }
  void TearDown() override {
    if (device.usbDevice) (*device.usbDevice)->Release(device.usbDevice);
    if (device.usbInterface) (*device.usbInterface)->Release(device.usbInterface);
    device = {};
    platform::resetRegistry();
    // Nothing stays open once the interfaces are gone.
    EXPECT_EQ(0, usb.liveHandles);
    EXPECT_EQ(0, usb.liveConfigs);
    EXPECT_EQ(0u, platform::openUSBConnections());
    EXPECT_EQ(fdsBefore, OpenFileDescriptors());
    EXPECT_EQ(0u, platform::liveDeviceInterfaces());
    platform::setLibusbCalls(nullptr);
    fake = nullptr;
  }

  // The switch's USB device on `node`, found as the program finds it, with its
  // device interface in the record.
  void Attach(const std::string& node = "/dev/null") {
    platform::LibusbDevice usbDevice = platform::makeLibusbDevice(node, 0x10D5, 0x000D);
    platform::publishEntry(usbDevice.entry);
    io_iterator_t iterator = 0;
    ASSERT_EQ(0, IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOUSBDevice"), &iterator));
    io_service_t service = IOIteratorNext(iterator);
    ASSERT_NE(0u, service);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    ASSERT_EQ(0, IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                   &plugIn, &score));
    ASSERT_EQ(S_OK, (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID),
                                              reinterpret_cast<LPVOID*>(&device.usbDevice)));
    IODestroyPlugInInterface(plugIn);
    IOObjectRelease(service);
    IOObjectRelease(iterator);
  }

  std::vector<std::string> TakeLog() {
    std::vector<std::string> log;
    log.swap(usb.log);
    return log;
  }

  FakeLibusb usb;
  DEVICE_DATA device = {};
  size_t fdsBefore = 0;
  testsupport::StderrCapture err;
};

using Log = std::vector<std::string>;

const char kSearchLines[] =
    "USBGetInterfaceInterface: found 1 configuration(s)\n"
    "USBGetInterfaceInterface: Got 2 Pipes\n"
    "USBGetInterfaceInterface direction=1 number=1 transferType=3 maxPAcketSize=8, interval=10\n"
    "USBGetInterfaceInterface direction=0 number=2 transferType=3 maxPAcketSize=8, interval=10\n";

}  // namespace

// --- The serial-number string

TEST_F(LibusbDevice, SerialNumberRequestIsTheStringDescriptorRequestWithAFiniteTimeout) {
  Attach();
  ASSERT_EQ(0, USBGetDeviceInfo(&device));
  EXPECT_EQ((Log{"init", "wrap_sys_device", "control_transfer(80 06 0303 0409 8, 1000ms)", "close"}), TakeLog());
  EXPECT_EQ(0x10D5u, device.vendorID);
  EXPECT_EQ(0x000Du, device.productID);
  EXPECT_EQ((Bytes{'X', 0, 'Y', 0, 'Z', 0, 0, 0}), Bytes(device.infoBuffer, device.infoBuffer + 8));
  EXPECT_EQ("", err.take());
}

TEST_F(LibusbDevice, ShortDescriptorAnswerSucceedsWithWhatCame) {
  usb.serialReply = {0x04, 0x03, 'X', 0};
  Attach();
  ASSERT_EQ(0, USBGetDeviceInfo(&device));
  EXPECT_EQ((Bytes{'X', 0, 0, 0, 0, 0, 0, 0}), Bytes(device.infoBuffer, device.infoBuffer + 8));
  EXPECT_EQ("", err.take());
}

TEST_F(LibusbDevice, DeviceGoneDuringTheRequestIsNotAttachedAndClosesTheNode) {
  usb.failures["control_transfer"] = LIBUSB_ERROR_NO_DEVICE;
  Attach();
  EXPECT_EQ(kIOReturnNotAttached, USBGetDeviceInfo(&device));
  EXPECT_EQ("close", TakeLog().back());
}

TEST_F(LibusbDevice, NodeGoneBeforeOpenGivesTheOpenMessage) {
  Attach("/dev/bus/usb/nonexistent/001");
  EXPECT_EQ(kIOReturnNotAttached, USBGetDeviceInfo(&device));
  EXPECT_EQ("USBGetDeviceInfo: unable to open device. ret = e00002d9\n", err.take());
  EXPECT_EQ(Log{"init"}, TakeLog());
}

TEST_F(LibusbDevice, LibusbRefusingTheNodeClosesIt) {
  usb.failures["wrap_sys_device"] = LIBUSB_ERROR_ACCESS;
  Attach();
  EXPECT_EQ(kIOReturnNotPrivileged, USBGetDeviceInfo(&device));
  EXPECT_EQ("USBGetDeviceInfo: unable to open device. ret = e00002c1\n", err.take());
}

// --- Configuration and pipes

TEST_F(LibusbDevice, CurrentConfigurationIsNotSetAgain) {
  Attach();
  ASSERT_EQ(0, USBGetInterfaceInterface(&device));
  EXPECT_EQ((Log{"init", "wrap_sys_device", "get_config_descriptor(0)", "get_configuration",
                 "get_active_config_descriptor", "close"}),
            TakeLog());
  EXPECT_EQ(2, device.pipeRef);
  std::string out = err.take();
  EXPECT_EQ(0u, out.find(kSearchLines)) << out;
}

TEST_F(LibusbDevice, UnconfiguredDeviceIsConfigured) {
  usb.currentConfiguration = 0;
  Attach();
  ASSERT_EQ(0, USBGetInterfaceInterface(&device));
  Log log = TakeLog();
  EXPECT_NE(log.end(), std::find(log.begin(), log.end(), "set_configuration(1)"));
}

TEST_F(LibusbDevice, PipesAreNumberedFromOneInEndpointOrderAcrossInterfaces) {
  usb.interfaces = {{Endpoint(0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT)},
                    {Endpoint(0x83, LIBUSB_TRANSFER_TYPE_BULK, 64, 0), Endpoint(0x04, LIBUSB_TRANSFER_TYPE_BULK, 512, 0)}};
  Attach();
  ASSERT_EQ(0, USBGetInterfaceInterface(&device));
  EXPECT_EQ(2, device.pipeRef);
  std::string out = err.take();
  EXPECT_NE(std::string::npos, out.find("USBGetInterfaceInterface direction=1 number=3 transferType=2 "
                                        "maxPAcketSize=64, interval=0\n"
                                        "USBGetInterfaceInterface direction=0 number=4 transferType=2 "
                                        "maxPAcketSize=512, interval=0\n"))
      << out;
}

// --- The OUT transfer

TEST_F(LibusbDevice, InterruptPipeIsWrittenWithTheDriverLentForTheTransferOnly) {
  Attach();
  ASSERT_EQ(0, USBSetPortNumber(&device, 1));
  Log log = TakeLog();
  Log transfer(std::find(log.begin(), log.end(), "kernel_driver_active(0)"), log.end());
  EXPECT_EQ((Log{"kernel_driver_active(0)", "detach_kernel_driver(0)", "claim_interface(0)",
                 "interrupt_transfer(02, 1000ms, 01 01 00 00 00 00 00 00)", "release_interface(0)",
                 "attach_kernel_driver(0)", "close"}),
            transfer);
}

TEST_F(LibusbDevice, BulkPipeIsWrittenAsBulkAndAnUnboundInterfaceIsNotReattached) {
  usb.interfaces = {{Endpoint(0x01, LIBUSB_TRANSFER_TYPE_BULK, 64, 0)}};
  usb.driverActive = 0;
  Attach();
  ASSERT_EQ(0, USBSetBuzzer(&device, true));
  Log log = TakeLog();
  Log transfer(std::find(log.begin(), log.end(), "kernel_driver_active(0)"), log.end());
  EXPECT_EQ((Log{"kernel_driver_active(0)", "claim_interface(0)", "bulk_transfer(01, 1000ms, 02 00 00 00 00 00 00 00)",
                 "release_interface(0)", "close"}),
            transfer);
}

TEST_F(LibusbDevice, DeviceGoneDuringTheTransferGivesTheDriverBackAndReportsNotAttached) {
  usb.failures["interrupt_transfer"] = LIBUSB_ERROR_NO_DEVICE;
  Attach();
  EXPECT_EQ(kIOReturnNotAttached, USBSetPortNumber(&device, 0));
  Log log = TakeLog();
  EXPECT_EQ((Log{"release_interface(0)", "attach_kernel_driver(0)", "close"}), Log(log.end() - 3, log.end()));
  std::string out = err.take();
  EXPECT_EQ("USBTransferData: WritePipeFailed, result = e00002d9\n",
            out.substr(out.size() - std::string("USBTransferData: WritePipeFailed, result = e00002d9\n").size()));
}

TEST_F(LibusbDevice, TransferTimeoutAndShortWriteAreFailures) {
  usb.failures["interrupt_transfer"] = LIBUSB_ERROR_TIMEOUT;
  Attach();
  EXPECT_EQ(kIOReturnTimeout, USBSetPortNumber(&device, 0));
  usb.failures.clear();
  usb.shortWrite = 3;
  EXPECT_EQ(kIOReturnIOError, USBSetPortNumber(&device, 0));
}

TEST_F(LibusbDevice, InterfaceHeldByAnotherProgramIsExclusiveAccess) {
  usb.failures["claim_interface"] = LIBUSB_ERROR_BUSY;
  Attach();
  EXPECT_EQ(kIOReturnExclusiveAccess, USBSetPortNumber(&device, 0));
  Log log = TakeLog();
  // Not claimed, so not released; the driver goes back all the same.
  EXPECT_EQ((Log{"claim_interface(0)", "attach_kernel_driver(0)", "close"}), Log(log.end() - 3, log.end()));
}

// --- One translation of libusb's errors

TEST(LibusbErrors, EachBecomesThePlatformStatus) {
  EXPECT_EQ(kIOReturnSuccess, platform::ioReturnFromLibusb(0));
  EXPECT_EQ(kIOReturnSuccess, platform::ioReturnFromLibusb(8));
  EXPECT_EQ(kIOReturnNotAttached, platform::ioReturnFromLibusb(LIBUSB_ERROR_NO_DEVICE));
  EXPECT_EQ(kIOReturnNotPrivileged, platform::ioReturnFromLibusb(LIBUSB_ERROR_ACCESS));
  EXPECT_EQ(kIOReturnTimeout, platform::ioReturnFromLibusb(LIBUSB_ERROR_TIMEOUT));
  EXPECT_EQ(kIOReturnExclusiveAccess, platform::ioReturnFromLibusb(LIBUSB_ERROR_BUSY));
  EXPECT_EQ(kIOReturnUnsupported, platform::ioReturnFromLibusb(LIBUSB_ERROR_PIPE));
  EXPECT_EQ(kIOReturnIOError, platform::ioReturnFromLibusb(LIBUSB_ERROR_IO));
  EXPECT_EQ(kIOReturnError, platform::ioReturnFromLibusb(LIBUSB_ERROR_OTHER));
}
