// The kernel's devices as udev shows them, with attribute and property values
// from the input, read by the program's own start-up scan through a umockdev
// testbed (the real libudev over a fake sysfs; run under umockdev-wrapper).
// Whatever the values, the scan publishes at most the three entries of one
// USB HID device with well-formed properties, and stopping takes them all
// back.
//
// Input: byte 0 bit 0 gives the USB device a node, bit 1 the hidraw device.
// Bit n of byte 1 leaves field n out. Then the fields, each ended by a zero
// byte: idVendor, idProduct, busnum, devnum, bInterfaceNumber (attributes),
// HID_ID (a property of the HID device; a line break ends it), serial
// (attribute); what follows the seventh is the report descriptor (field 7).
//
// The devices are added to the testbed once; each input rewrites their
// attribute and uevent files, since umockdev keeps a socket for every device
// or value it is asked to add. The scan's failed opens of the USB device's
// node are given back to umockdev after each input (releaseFailedOpens).
#include <umockdev.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/iokit/device_seam.h"
#include "platform/linux/hidraw.h"
#include "platform/iokit/iokit.h"
#include "platform/linux/libusb_device.h"
#include "platform/linux/linux_devices.h"
#include "platform/linux/linux_devices_testing.h"

namespace {

constexpr char kTarget[] = "udev_properties";
// The kernel's limit on a report descriptor (HID_MAX_DESCRIPTOR_SIZE).
constexpr size_t kLargestDescriptor = 4096;

enum Field { kIdVendor, kIdProduct, kBusnum, kDevnum, kInterfaceNumber, kHidID, kSerial, kDescriptor, kFields };
constexpr const char* kFieldNames[kDescriptor] = {"idVendor", "idProduct", "busnum", "devnum",
                                                  "bInterfaceNumber", "HID_ID", "serial"};

const std::string kUsb = "/sys/devices/pci0000:00/usb1/1-2";
const std::string kInterface = kUsb + "/1-2:1.0";

UMockdevTestbed* bed = nullptr;
std::string root;  // the testbed's directory, which stands for "/"

void check(bool holds, const char* what) {
  if (!holds) fuzzing::fail(kTarget, what);
}

const std::string kHid = kInterface + "/0003:10D5:5500.0001";
const std::string kHidraw = kHid + "/hidraw/hidraw0";

struct Devices {
  bool usbNode = false;
  bool hidrawNode = false;
  std::optional<std::string> text[kDescriptor];
  std::optional<std::vector<uint8_t>> descriptor;
};

Devices parse(const uint8_t* data, size_t size) {
  fuzzing::Input input(data, size);
  Devices d;
  const uint8_t shape = input.byte();
  const uint8_t absent = input.byte();
  d.usbNode = shape & 1;
  d.hidrawNode = shape & 2;
  for (int field = 0; field < kDescriptor; ++field) {
    if (input.empty()) break;
    std::string value;
    for (uint8_t c = input.byte(); c != 0; c = input.byte()) {
      value += char(c);
      if (input.empty()) break;
    }
    if (!(absent & (1 << field))) d.text[field] = value;
  }
  if (d.text[kHidID]) d.text[kHidID] = d.text[kHidID]->substr(0, d.text[kHidID]->find('\n'));
  if (!(absent & (1 << kDescriptor)) && !input.empty()) {
    d.descriptor.emplace(input.left());
    input.take(d.descriptor->data(), d.descriptor->size());
  }
  return d;
}

// The testbed's file for `syspath` + `name`.
std::string file(const std::string& syspath, const char* name) { return root + syspath + "/" + name; }

// Writes `bytes` as the whole file, or removes it when there are none.
void put(const std::string& path, const std::optional<std::string>& bytes) {
  if (!bytes) {
    unlink(path.c_str());
    return;
  }
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) fuzzing::fail(kTarget, "cannot write the testbed");
  if (!bytes->empty() && fwrite(bytes->data(), 1, bytes->size(), f) != bytes->size()) {
    fuzzing::fail(kTarget, "cannot write the testbed");
  }
  fclose(f);
}

// usb device -> interface -> hid device -> hidraw node, as sysfs has them.
void addDevices() {
  const std::string text = "P: " + kUsb.substr(4) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n\n" +
                           "P: " + kInterface.substr(4) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n" +
                           "P: " + kHid.substr(4) + "\nE: SUBSYSTEM=hid\n\n" +
                           "P: " + kHidraw.substr(4) + "\nE: SUBSYSTEM=hidraw\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bed, text.c_str(), &error)) {
    fprintf(stderr, "%s: %s\n", kTarget, error ? error->message : "?");
    fuzzing::fail(kTarget, "the testbed refused the devices");
  }
}

void plugIn(const Devices& d) {
  put(file(kUsb, "uevent"), std::string("SUBSYSTEM=usb\nDEVTYPE=usb_device\n") +
                                (d.usbNode ? "DEVNAME=/dev/bus/usb/001/002\n" : ""));
  for (int field : {kIdVendor, kIdProduct, kBusnum, kDevnum, kSerial}) put(file(kUsb, kFieldNames[field]), d.text[field]);
  put(file(kInterface, kFieldNames[kInterfaceNumber]), d.text[kInterfaceNumber]);
  put(file(kHid, "uevent"), "SUBSYSTEM=hid\n" + (d.text[kHidID] ? "HID_ID=" + *d.text[kHidID] + "\n" : ""));
  std::optional<std::string> descriptor;
  if (d.descriptor) descriptor.emplace(d.descriptor->begin(), d.descriptor->end());
  put(file(kHid, "report_descriptor"), descriptor);
  put(file(kHidraw, "uevent"), std::string("SUBSYSTEM=hidraw\n") + (d.hidrawNode ? "DEVNAME=/dev/hidraw0\n" : ""));
}

// umockdev's preload connects a socket to the testbed for every open() of a
// /dev path and files it, in a table of 50, under the descriptor open()
// returned; close() of that descriptor gives it back. A node the testbed does
// not have (the scan asks the USB device for its serial number at its DEVNAME
// or at the node its fuzzed bus and address name) fails to open and its socket
// is filed under -1, which nobody closes: the table fills within 50 inputs and
// the preload aborts in the next open. close(-1) takes one back (and is only
// an EBADF when none is left), so as many calls as the table holds empty it.
void releaseFailedOpens() {
  constexpr int kPreloadTableSize = 50;
  for (int i = 0; i < kPreloadTableSize; ++i) close(-1);
}

std::optional<int> number(CFDictionaryRef properties, CFStringRef key) {
  CFTypeRef value = CFDictionaryGetValue(properties, key);
  if (!value) return std::nullopt;
  check(CFGetTypeID(value) == CFNumberGetTypeID(), "a numeric property is not a number");
  int n = 0;
  check(CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &n), "a numeric property is not an int");
  return n;
}

// The one HID entry published, checked against what sysfs held.
void checkHIDEntry(const Devices& d) {
  io_iterator_t iterator = 0;
  check(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator) ==
            KERN_SUCCESS,
        "no matching");
  io_service_t service = IOIteratorNext(iterator);
  if (service) {
    check(IOIteratorNext(iterator) == 0, "more than one HID entry for one device");
    CFMutableDictionaryRef properties = nullptr;
    check(IORegistryEntryCreateCFProperties(service, &properties, kCFAllocatorDefault, 0) == KERN_SUCCESS &&
              properties,
          "no properties");

    const std::optional<int> vendor = number(properties, CFSTR("VendorID"));
    const std::optional<int> product = number(properties, CFSTR("ProductID"));
    check(vendor && *vendor >= 0 && *vendor <= 0xFFFF, "VendorID missing or wider than 16 bits");
    check(product && *product >= 0 && *product <= 0xFFFF, "ProductID missing or wider than 16 bits");

    // The size is the parser's answer for the descriptor the kernel would have taken.
    std::optional<uint32_t> size;
    if (d.descriptor && d.descriptor->size() <= kLargestDescriptor) {
      size = platform::maxFeatureReportSize(d.descriptor->data(), d.descriptor->size());
    }
    const std::optional<int> published = number(properties, CFSTR("MaxFeatureReportSize"));
    check(published.has_value() == size.has_value() && (!size || uint32_t(*published) == *size),
          "MaxFeatureReportSize is not the descriptor's");

    if (CFTypeRef serial = CFDictionaryGetValue(properties, CFSTR("SerialNumber"))) {
      check(CFGetTypeID(serial) == CFStringGetTypeID(), "SerialNumber is not a string");
      check(d.text[kSerial].has_value(), "a serial number the device does not have");
      check(size_t(CFStringGetLength(static_cast<CFStringRef>(serial))) <= d.text[kSerial]->size(),
            "SerialNumber longer than the attribute");
    }
    CFRelease(properties);
    IOObjectRelease(service);
  }
  IOObjectRelease(iterator);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Without the preloaded library the testbed is not what libudev sees.
  const char* preload = getenv("LD_PRELOAD");
  if (!preload || !strstr(preload, "libumockdev-preload")) {
    fprintf(stderr, "%s: run under umockdev-wrapper\n", kTarget);
    exit(1);
  }
  bed = umockdev_testbed_new();
  gchar* dir = umockdev_testbed_get_root_dir(bed);
  root = dir;
  g_free(dir);
  addDevices();
  atexit([] { g_object_unref(bed); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Devices devices = parse(data, size);
  const size_t handlesBefore = platform::liveRegistryHandles();
  plugIn(devices);

  check(platform::startLinuxDevices(), "udev could not be reached");
  check(platform::linuxDeviceEntries() <= 3, "more entries than one device has");
  checkHIDEntry(devices);
  platform::stopLinuxDevices();
  releaseFailedOpens();

  check(platform::linuxDeviceEntries() == 0, "entries left after stopping");
  check(platform::openUSBConnections() == 0 && platform::openHidrawNodes() == 0, "a scan opened a device");
  check(platform::liveRegistryHandles() == handlesBefore, "a registry handle leaked");
  return 0;
}
