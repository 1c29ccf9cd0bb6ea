// The serial-number switch's information read and its decode: the string
// descriptor request through the libusb backend, answered with any status,
// length and bytes. A read either decodes the bytes the device sent (zeros
// where it sent nothing) into values the program can use, or leaves the block
// as it was and marks the switch out of use; the request is always the same
// and every handle is given back.
//
// Input: byte 0 is how opening the node ends (0xF0 and above: the device is
// gone), byte 1 how reading the device descriptor ends (likewise), byte 2 the
// serial-number string index. Then the control transfer: a status byte (0xC0
// and above: one of four libusb errors) and, on success, the answer's length
// and its bytes. When the input runs out, the device is gone.
#include <libusb.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/linux/libusb_device.h"
#include "switch/kvm_operations.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kTarget[] = "info_serial_number";
constexpr uint8_t kStale = 0x5A;
constexpr int kErrors[4] = {LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_OVERFLOW};
constexpr uint16_t kVendor = 0x10D5;
constexpr uint16_t kProduct = 0x000D;

void check(bool holds, const char* what) {
  if (!holds) fuzzing::fail(kTarget, what);
}

// What one input makes the device do, and what it saw.
struct Device {
  fuzzing::Input* input = nullptr;
  uint8_t serialIndex = 0;
  int handles = 0;
  int transfers = 0;
  bool answered = false;
  Bytes answer;  // what the last successful transfer put in the buffer
};
Device device;
int contextToken;
int deviceToken;

int wrapSysDevice(libusb_context*, intptr_t, libusb_device_handle** handle) {
  if (device.input->byte() >= 0xF0) return LIBUSB_ERROR_NO_DEVICE;
  *handle = reinterpret_cast<libusb_device_handle*>(new int(0));
  ++device.handles;
  return 0;
}

int getDeviceDescriptor(libusb_device* dev, libusb_device_descriptor* descriptor) {
  check(dev == reinterpret_cast<libusb_device*>(&deviceToken), "asked another device for its descriptor");
  const uint8_t status = device.input->byte();
  device.serialIndex = device.input->byte();
  if (status >= 0xF0) return LIBUSB_ERROR_IO;
  memset(descriptor, 0, sizeof *descriptor);
  descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
  descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
  descriptor->idVendor = kVendor;
  descriptor->idProduct = kProduct;
  descriptor->iSerialNumber = device.serialIndex;
  descriptor->bNumConfigurations = 1;
  return 0;
}

int controlTransfer(libusb_device_handle* handle, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                    unsigned char* data, uint16_t length, unsigned int timeout) {
  check(handle != nullptr && data != nullptr, "transfer without a handle or a buffer");
  check(requestType == 0x80 && request == LIBUSB_REQUEST_GET_DESCRIPTOR &&
            value == ((LIBUSB_DT_STRING << 8) | device.serialIndex) && index == 0x0409 && length == 8,
        "not the serial-number string request");
  check(timeout > 0, "a transfer without a time limit");
  ++device.transfers;
  if (device.input->empty()) return LIBUSB_ERROR_NO_DEVICE;
  const uint8_t status = device.input->byte();
  if (status >= 0xC0) return kErrors[status & 3];
  const size_t wanted = std::min<size_t>(device.input->byte(), length);
  const size_t got = device.input->take(data, wanted);
  device.answer.assign(data, data + got);
  device.answered = true;
  return int(got);
}

[[noreturn]] void unexpected() { fuzzing::fail(kTarget, "the read made a call it has no need of"); }

const platform::LibusbCalls kScripted = {
    .init =
        [](libusb_context** context) {
          *context = reinterpret_cast<libusb_context*>(&contextToken);
          return 0;
        },
    .wrap_sys_device = wrapSysDevice,
    .close =
        [](libusb_device_handle* handle) {
          delete reinterpret_cast<int*>(handle);
          --device.handles;
        },
    .get_device = [](libusb_device_handle*) { return reinterpret_cast<libusb_device*>(&deviceToken); },
    .get_device_descriptor = getDeviceDescriptor,
    .get_config_descriptor = [](libusb_device*, uint8_t, libusb_config_descriptor**) -> int { unexpected(); },
    .get_active_config_descriptor = [](libusb_device*, libusb_config_descriptor**) -> int { unexpected(); },
    .free_config_descriptor = [](libusb_config_descriptor*) { unexpected(); },
    .get_configuration = [](libusb_device_handle*, int*) -> int { unexpected(); },
    .set_configuration = [](libusb_device_handle*, int) -> int { unexpected(); },
    .control_transfer = controlTransfer,
    .kernel_driver_active = [](libusb_device_handle*, int) -> int { unexpected(); },
    .detach_kernel_driver = [](libusb_device_handle*, int) -> int { unexpected(); },
    .attach_kernel_driver = [](libusb_device_handle*, int) -> int { unexpected(); },
    .claim_interface = [](libusb_device_handle*, int) -> int { unexpected(); },
    .release_interface = [](libusb_device_handle*, int) -> int { unexpected(); },
    .interrupt_transfer = [](libusb_device_handle*, unsigned char, unsigned char*, int, int*, unsigned int) -> int {
      unexpected();
    },
    .bulk_transfer = [](libusb_device_handle*, unsigned char, unsigned char*, int, int*, unsigned int) -> int {
      unexpected();
    },
};

bool sameDecode(const KVM_INFO& a, const KVM_INFO& b) {
  return a.portCount == b.portCount && a.availablePorts == b.availablePorts && a.currentPort == b.currentPort &&
         a.hasBuzzer == b.hasBuzzer && a.hasAudio == b.hasAudio && a.audioBindable == b.audioBindable &&
         a.hasAutoScanPeriod == b.hasAutoScanPeriod && a.hasHub[0] == b.hasHub[0] && a.hasHub[1] == b.hasHub[1] &&
         a.hasUniversalHotKey == b.hasUniversalHotKey && a.buzzerOn == b.buzzerOn && a.audioFixed == b.audioFixed &&
         a.autoScanOn == b.autoScanOn && a.audioPort == b.audioPort && a.autoScanPeriod == b.autoScanPeriod;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::setLibusbCalls(&kScripted);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  device = Device{};
  device.input = &input;
  const size_t interfacesBefore = platform::liveDeviceInterfaces();

  // The device as discovery finds it on a node; opening the node is real,
  // everything libusb would do with it is the input's.
  platform::LibusbDevice usb = platform::makeLibusbDevice("/dev/null", kVendor, kProduct);
  auto* usbDevice = static_cast<IOUSBDeviceInterface**>(usb.entry->factory()(
      CFUUIDGetUUIDBytes(kIOUSBDeviceUserClientTypeID), CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID)));
  check(usbDevice != nullptr, "no device interface");

  KVM_INFO info;
  memset(&info, 0, sizeof info);
  info.state = 2;
  info.version = 1;
  info.portCount = 2;
  info.currentPort = 1;
  info.confirmedPort = 1;
  info.autoScanPeriod = 3;
  // What only the other generation decodes, which this one must keep.
  info.hubBindable[0] = true;
  info.hubFixed[1] = true;
  info.hubPort[0] = 1;
  info.hubPort[1] = 2;
  info.universalHotKey = 0x47;
  memset(info.device.infoBuffer, kStale, sizeof info.device.infoBuffer);
  info.device.usbDevice = usbDevice;
  const KVM_INFO before = info;

  KVMGetInformation(&info);

  check(device.transfers <= 1, "asked for the serial number more than once");
  check(info.version == 1, "the generation changed");
  check(info.hubBindable[0] && !info.hubBindable[1] && !info.hubFixed[0] && info.hubFixed[1] && info.hubPort[0] == 1 &&
            info.hubPort[1] == 2 && info.universalHotKey == 0x47,
        "changed what only the feature-report switch reports");
  if (info.state == 2) {
    check(device.answered, "decoded a block the device never sent");
    // The string's code units follow its two-byte header; nothing sent reads as 0.
    Bytes reply(10, 0);
    std::copy(device.answer.begin(), device.answer.end(), reply.begin());
    check(memcmp(info.device.infoBuffer, reply.data() + 2, 8) == 0, "the block is not the string the device sent");
    check(info.device.vendorID == kVendor && info.device.productID == kProduct, "the identifiers are not the device's");
    check(info.portCount == 2, "port count other than 2");
    check(info.currentPort >= 0 && info.currentPort <= 2, "current port out of range");
    check(info.confirmedPort == info.currentPort, "confirmed port differs from the current port");
    check(info.availablePorts >= 0 && info.availablePorts <= 15, "available ports out of range");
    check(info.audioPort >= 0 && info.audioPort <= 3, "audio port out of range");
    check(info.autoScanPeriod >= 2 && info.autoScanPeriod <= 12, "auto-scan period out of range");
    check(info.hasAudio && info.audioBindable && info.hasAutoScanPeriod && !info.hasHub[0] && !info.hasHub[1] &&
              !info.hasUniversalHotKey,
          "not the capabilities of this generation");
  } else {
    check(info.state == 0 && info.confirmedPort == -1, "a failed read left the switch in use");
    check(memcmp(info.device.infoBuffer, before.device.infoBuffer, 12) == 0, "a failed read changed the block");
    check(sameDecode(info, before), "a failed read changed the decoded fields");
  }

  (*usbDevice)->Release(usbDevice);
  usb = {};
  check(device.handles == 0 && platform::openUSBConnections() == 0, "a USB handle or node stayed open");
  check(platform::liveDeviceInterfaces() == interfacesBefore, "an interface object leaked");
  return 0;
}
