// The kernel's devices in the registry, tested at their system calls: a fake
// sysfs and /dev (umockdev) that the real libudev, open and ioctl see, with
// the feature reports answered by the simulated feature-report switch.
// Enumeration, properties and parents, the program's generation rules on
// them, hot-plug through the loop, both report directions, errno, permissions.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <umockdev.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid_discovery.h"
#include "platform/linux/hidraw.h"
#include "platform/linux/libusb_device.h"
#include "platform/linux/linux_devices.h"
#include "platform/linux/linux_devices_testing.h"
#include "switch/kvm_operations.h"
#include "tests/support/discovery_fixture.h"
#include "tests/support/feature_report_ioctls.h"

namespace {

using platform::FeatureReportSwitch;
using Bytes = std::vector<uint8_t>;

// Device nodes the Linux side holds open: hidraw nodes and USB connections.
// (Under umockdev a node's descriptor is one of its sockets, so the count
// comes from the side that opens them.)
size_t OpenDeviceNodes() { return platform::openHidrawNodes() + platform::openUSBConnections(); }

// Report 5 of 3 data bytes and report 4 of 7, as the feature-report switch has them.
const char kSwitchDescriptor[] = "0600FF0901A1018505750895030901B102850475089507 0901B102C0";
// The same, cut short inside its last report.
const char kTruncatedDescriptor[] = "0600FF0901A10185057508950309";
// One 63-byte feature report with an ID: size 64.
const char kLargeDescriptor[] = "0600FF0901A1018501750895 3F0901B102C0";

std::string Compact(const char* hex) {
  std::string out;
  for (const char* c = hex; *c; ++c)
    if (*c != ' ') out += *c;
  return out;
}

struct USBHID {
  int bus;
  int address;
  int hidraw;
  uint16_t vendor;
  uint16_t product;
  const char* serial;      // null: none
  const char* descriptor;  // hex
};

std::string UsbPath(const USBHID& d) { return "/sys/devices/pci0000:00/usb" + std::to_string(d.bus) + "/" +
                                              std::to_string(d.bus) + "-" + std::to_string(d.address); }
std::string HidrawPath(const USBHID& d) {
  char hid[64];
  snprintf(hid, sizeof hid, "0003:%04X:%04X.%04X", d.vendor, d.product, d.hidraw + 1);
  return UsbPath(d) + "/" + std::to_string(d.bus) + "-" + std::to_string(d.address) + ":1.0/" + hid + "/hidraw/hidraw" +
         std::to_string(d.hidraw);
}

// usb device -> interface -> hid device -> hidraw node, as sysfs has them.
std::string Describe(const USBHID& d) {
  char text[2048];
  const std::string usb = UsbPath(d).substr(4);  // without "/sys"
  const std::string interface = usb + "/" + std::to_string(d.bus) + "-" + std::to_string(d.address) + ":1.0";
  const std::string hidraw = HidrawPath(d).substr(4);
  const std::string hid = hidraw.substr(0, hidraw.find("/hidraw/"));
  snprintf(text, sizeof text,
           "P: %s\nN: bus/usb/%03d/%03d\nE: DEVNAME=/dev/bus/usb/%03d/%03d\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=%04x\n"
           "A: idProduct=%04x\nA: busnum=%d\nA: devnum=%d\n%s%s%s\n"
           "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\nA: bInterfaceClass=03\n\n"
           "P: %s\nE: SUBSYSTEM=hid\nE: HID_ID=0003:%08X:%08X\nH: report_descriptor=%s\n\n"
           "P: %s\nN: hidraw%d\nE: DEVNAME=/dev/hidraw%d\nE: SUBSYSTEM=hidraw\n\n",
           usb.c_str(), d.bus, d.address, d.bus, d.address, d.vendor, d.product, d.bus, d.address, d.serial ? "A: serial=" : "",
           d.serial ? d.serial : "", d.serial ? "\n" : "", interface.c_str(), hid.c_str(), d.vendor, d.product,
           Compact(d.descriptor).c_str(), hidraw.c_str(), d.hidraw, d.hidraw);
  return text;
}

const USBHID kFeatureSwitch = {1, 2, 0, 0x10D5, 0x5500, nullptr, kSwitchDescriptor};
const USBHID kSerialSwitch = {1, 3, 1, 0x10D5, 0x000D, "ABC", kSwitchDescriptor};

// A scripted libusb that finds every node gone: enough to see the USB side
// reached through the registry, without a device behind the node.
const platform::LibusbCalls kGoneLibusb = [] {
  platform::LibusbCalls calls = platform::libusbCalls();
  calls.init = [](libusb_context** context) {
    static int token;
    *context = reinterpret_cast<libusb_context*>(&token);
    return 0;
  };
  calls.wrap_sys_device = [](libusb_context*, intptr_t, libusb_device_handle**) { return int(LIBUSB_ERROR_NO_DEVICE); };
  return calls;
}();

// A scripted libusb whose device opens and answers string requests: string
// descriptor 0 lists German first, the serial-number string (index 3) holds
// `units` in any language. Each request is logged as "value index length".
struct StringDevice {
  std::u16string units;
  std::vector<std::string> requests;
};
StringDevice stringDevice;

const platform::LibusbCalls kStringLibusb = [] {
  platform::LibusbCalls calls = kGoneLibusb;
  calls.wrap_sys_device = [](libusb_context*, intptr_t, libusb_device_handle** handle) {
    static int token;
    *handle = reinterpret_cast<libusb_device_handle*>(&token);
    return 0;
  };
  calls.close = [](libusb_device_handle*) {};
  calls.get_device = [](libusb_device_handle*) {
    static int token;
    return reinterpret_cast<libusb_device*>(&token);
  };
  calls.get_device_descriptor = [](libusb_device*, libusb_device_descriptor* descriptor) {
    *descriptor = {};
    descriptor->iSerialNumber = 3;
    return 0;
  };
  calls.control_transfer = [](libusb_device_handle*, uint8_t, uint8_t, uint16_t value, uint16_t index,
                              unsigned char* data, uint16_t length, unsigned int) {
    char request[32];
    snprintf(request, sizeof request, "%04x %04x %u", value, index, length);
    stringDevice.requests.push_back(request);
    Bytes descriptor = {4, LIBUSB_DT_STRING, 0x07, 0x04};
    if (value == 0x0303) {
      descriptor = {uint8_t(2 + 2 * stringDevice.units.size()), LIBUSB_DT_STRING};
      for (char16_t unit : stringDevice.units) descriptor.insert(descriptor.end(), {uint8_t(unit), uint8_t(unit >> 8)});
    } else if (value != 0x0300) {
      return int(LIBUSB_ERROR_PIPE);
    }
    const size_t n = std::min<size_t>(length, descriptor.size());
    std::copy(descriptor.begin(), descriptor.begin() + long(n), data);
    return int(n);
  };
  return calls;
}();

// Takes away root's right to open any file, so that a node's mode applies.
class WithoutFileAccessOverride {
 public:
  WithoutFileAccessOverride() {
    if (geteuid() != 0) return;
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct dropped[2] = {saved_[0], saved_[1]};
    dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header_, dropped);
  }
  ~WithoutFileAccessOverride() {
    if (geteuid() == 0) syscall(SYS_capset, &header_, saved_);
  }

 private:
  __user_cap_header_struct header_ = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
};

class LinuxDevices : public testsupport::DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    bed_ = umockdev_testbed_new();
    model_ = sim_.newDeviceInterface();
    (*model_)->open(model_, 0);
    ioctls_.emplace(model_);
    platform::setLibusbCalls(&kGoneLibusb);
  }
  void TearDown() override {
    // Whatever a test did, no device node stays open behind it.
    EXPECT_EQ(0u, OpenDeviceNodes());
    platform::stopLinuxDevices();
    DiscoveryTest::TearDown();
    platform::setLibusbCalls(nullptr);
    ioctls_.reset();
    (*model_)->Release(model_);
    g_object_unref(bed_);
  }

  // Plugs a device in; its feature reports are the simulated switch's.
  void Add(const USBHID& device) {
    ASSERT_TRUE(umockdev_testbed_add_from_string(bed_, Describe(device).c_str(), nullptr));
    std::string node = "/dev/hidraw" + std::to_string(device.hidraw);
    ASSERT_TRUE(ioctls_->attach(bed_, node));
  }
  void Remove(const USBHID& device) {
    umockdev_testbed_uevent(bed_, HidrawPath(device).c_str(), "remove");
    umockdev_testbed_uevent(bed_, UsbPath(device).c_str(), "remove");
    umockdev_testbed_detach_ioctl(bed_, ("/dev/hidraw" + std::to_string(device.hidraw)).c_str(), nullptr);
    umockdev_testbed_remove_device(bed_, UsbPath(device).c_str());
  }
  std::string NodeFile(const std::string& node) {
    g_autofree gchar* root = umockdev_testbed_get_root_dir(bed_);
    return root + node;
  }

  // Runs the Qt loop until `done`, or gives up after a while so that a broken
  // monitor fails the test instead of hanging it.
  template <typename Done>
  bool LoopUntil(Done done) {
    QDeadlineTimer watchdog(5000);
    while (!done() && !watchdog.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      usleep(1000);
    }
    return done();
  }

  // The next feature-report ioctls fail with these errno values, in order.
  void FailIoctls(std::initializer_list<int> errors) { ioctls_->failNext(errors); }
  std::vector<Bytes> IoctlBuffers() { return ioctls_->buffers(); }

  // The HID device interface of the one "IOHIDDevice" entry, as the program gets it.
  IOHIDDeviceInterface122** HIDInterface() {
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator);
    io_service_t service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score;
    IOHIDDeviceInterface122** hid = nullptr;
    if (IOCreatePlugInInterfaceForService(service, kIOHIDDeviceUserClientTypeID, kIOCFPlugInInterfaceID, &plugIn,
                                          &score) == 0) {
      (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOHIDDeviceInterfaceID122),
                                reinterpret_cast<LPVOID*>(&hid));
      IODestroyPlugInInterface(plugIn);
    }
    IOObjectRelease(service);
    return hid;
  }

  FeatureReportSwitch sim_;
  UMockdevTestbed* bed_ = nullptr;

 private:
  IOHIDDeviceInterface122** model_ = nullptr;
  std::optional<testsupport::FeatureReportIoctls> ioctls_;
};

CFTypeRef Property(io_registry_entry_t entry, const char* key) {
  CFMutableDictionaryRef properties = nullptr;
  IORegistryEntryCreateCFProperties(entry, &properties, kCFAllocatorDefault, 0);
  if (!properties) return nullptr;
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
  CFTypeRef value = CFDictionaryGetValue(properties, name);
  if (value) CFRetain(value);
  CFRelease(name);
  CFRelease(properties);
  return value;
}

long Number(io_registry_entry_t entry, const char* key) {
  CFTypeRef value = Property(entry, key);
  long number = -1;
  if (value) {
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongType, &number);
    CFRelease(value);
  }
  return number;
}

std::string DumpLine(FeatureReportSwitch& sw) {
  auto r5 = sw.report5();
  auto r4 = sw.report4();
  Bytes b(r5.begin(), r5.end());
  b.insert(b.end(), r4.begin(), r4.end());
  char line[128];
  snprintf(line, sizeof line, "USB Buffer Info: %02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x\n", b[0],
           b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11]);
  return line;
}

const char kPermissionLine[] =
    "portvane: no permission to open /dev/hidraw0: install the udev rules (scripts/install-udev-rules.sh) and "
    "replug the switch\n";

}  // namespace

// --- Enumeration

TEST_F(LinuxDevices, EachUSBHidrawDeviceIsAHIDEntryWithItsInterfaceAndUSBDeviceAbove) {
  Add(kFeatureSwitch);
  Add(kSerialSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  EXPECT_EQ(6u, platform::linuxDeviceEntries());

  io_iterator_t iterator = 0;
  ASSERT_EQ(0, IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator));
  std::vector<io_service_t> hids;
  while (io_service_t s = IOIteratorNext(iterator)) hids.push_back(s);
  IOObjectRelease(iterator);
  ASSERT_EQ(2u, hids.size());

  // In syspath order: the feature-report switch first.
  EXPECT_EQ(0x10D5, Number(hids[0], "VendorID"));
  EXPECT_EQ(0x5500, Number(hids[0], "ProductID"));
  EXPECT_EQ(8, Number(hids[0], "MaxFeatureReportSize"));
  EXPECT_EQ(nullptr, Property(hids[0], "SerialNumber"));
  EXPECT_EQ(0x000D, Number(hids[1], "ProductID"));
  CFTypeRef serial = Property(hids[1], "SerialNumber");
  ASSERT_NE(nullptr, serial);
  EXPECT_EQ(3, CFStringGetLength(static_cast<CFStringRef>(serial)));
  EXPECT_EQ(UniChar('A'), CFStringGetCharacterAtIndex(static_cast<CFStringRef>(serial), 0));
  CFRelease(serial);

  for (io_service_t hid : hids) {
    io_registry_entry_t interface = 0, usb = 0;
    ASSERT_EQ(0, IORegistryEntryGetParentEntry(hid, kIOServicePlane, &interface));
    ASSERT_EQ(0, IORegistryEntryGetParentEntry(interface, kIOServicePlane, &usb));
    EXPECT_EQ(0, Number(interface, "bInterfaceNumber"));
    EXPECT_EQ(0x10D5, Number(usb, "idVendor"));
    EXPECT_EQ(Number(hid, "ProductID"), Number(usb, "idProduct"));
    IOObjectRelease(usb);
    IOObjectRelease(interface);
    IOObjectRelease(hid);
  }
}

TEST_F(LinuxDevices, HidrawDevicesNotOnUSBAreLeftOut) {
  ASSERT_TRUE(umockdev_testbed_add_from_string(
      bed_,
      "P: /devices/virtual/misc/uhid/0005:10D5:5500.0009\nE: SUBSYSTEM=hid\nE: HID_ID=0005:000010D5:00005500\n\n"
      "P: /devices/virtual/misc/uhid/0005:10D5:5500.0009/hidraw/hidraw7\nN: hidraw7\nE: DEVNAME=/dev/hidraw7\n"
      "E: SUBSYSTEM=hidraw\n\n",
      nullptr));
  ASSERT_TRUE(platform::startLinuxDevices());
  EXPECT_EQ(0u, platform::linuxDeviceEntries());
}

// --- The program's generation rules on these properties

TEST_F(LinuxDevices, FeatureReportSwitchIsAttachedAndDrivenThroughHidraw) {
  Add(kFeatureSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  const size_t fds = OpenDeviceNodes();
  StartMatching();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ(2, KVMSwitch.info.version);
  EXPECT_EQ("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500. Version: 2\n" + DumpLine(sim_),
            err_.take());

  KVMSetPortNumber(&KVMSwitch.info, 1);
  EXPECT_EQ(1, sim_.currentPort());
  // The reads of the attach, then the command: byte 0 is the report ID.
  std::vector<Bytes> buffers = IoctlBuffers();
  ASSERT_EQ(3u, buffers.size());
  EXPECT_EQ((Bytes{5, 0, 0, 0}), buffers[0]);
  EXPECT_EQ((Bytes{4, 0, 0, 0, 0, 0, 0, 0}), buffers[1]);
  EXPECT_EQ((Bytes{4, 0x81, 1, 0, 0, 0, 0, 0}), buffers[2]);
  // Opened around each request and closed again.
  EXPECT_EQ(fds, OpenDeviceNodes());
}

TEST_F(LinuxDevices, SerialNumberSwitchIsHandedToTheUSBDeviceTwoLevelsUp) {
  Add(kSerialSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  const size_t fds = OpenDeviceNodes();
  StartMatching();
  // The USB device was found by its identifiers and its node opened; the
  // scripted libusb then finds it gone.
  EXPECT_EQ("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0xD. Version: 1\n"
            "USBGetDeviceInfo: unable to open device. ret = e00002d9\n"
            "USBDeviceAdded: Call to USBGetDeviceInfo failed. Code result = E00002D9\n",
            err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(fds, OpenDeviceNodes());
  EXPECT_EQ(0u, platform::openUSBConnections());
}

TEST_F(LinuxDevices, SerialNumberSwitchIsKnownByTheUnitsTheDeviceHolds) {
  platform::setLibusbCalls(&kStringLibusb);
  ASSERT_TRUE(platform::startLinuxDevices());
  StartMatching();
  struct Case {
    std::u16string units;
    const char* kernelCopy;  // what the kernel made of them
    int port;
    bool buzzer;
  };
  const Case cases[] = {
      {{0x0000, u'K', u'T'}, nullptr, 0, true},
      {{0x0131, 0x00C2, 0x20AC}, "\u0131\u00C2\u20AC", 1, false},
      {{u'2', u'B', 0xD800}, "2B", 2, false},
  };
  int address = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(address);
    stringDevice = {c.units, {}};
    const USBHID device = {1, address, address, 0x10D5, 0x000D, c.kernelCopy, kSwitchDescriptor};
    ++address;
    Add(device);
    ASSERT_TRUE(LoopUntil([] { return platform::linuxDeviceEntries() == 3; }));
    RunLoop();

    io_iterator_t iterator = 0;
    ASSERT_EQ(0, IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOHIDDevice"), &iterator));
    io_service_t hid = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    CFTypeRef serial = Property(hid, "SerialNumber");
    IOObjectRelease(hid);
    ASSERT_NE(nullptr, serial);
    std::u16string units;
    for (CFIndex i = 0; i < CFStringGetLength(static_cast<CFStringRef>(serial)); ++i) {
      units += char16_t(CFStringGetCharacterAtIndex(static_cast<CFStringRef>(serial), i));
    }
    CFRelease(serial);
    EXPECT_TRUE(units == c.units);

    EXPECT_EQ(1, KVMSwitch.info.version);
    EXPECT_EQ(2, KVMSwitch.info.state);
    EXPECT_EQ(c.port, KVMSwitch.info.currentPort);
    EXPECT_EQ(c.buzzer, KVMSwitch.info.hasBuzzer);
    // The registry reads in the kernel's language, the switch's read asks for English.
    EXPECT_EQ((std::vector<std::string>{"0300 0000 255", "0303 0407 255", "0303 0409 8"}), stringDevice.requests);
    EXPECT_EQ(std::string::npos, err_.take().find("Invalid"));

    Remove(device);
    ASSERT_TRUE(LoopUntil([] { return platform::linuxDeviceEntries() == 0; }));
    RunLoop();
    EXPECT_EQ(0, KVMSwitch.info.state);
  }
}

TEST_F(LinuxDevices, OnlyASwitchOfTheTableIsAskedForItsSerialNumber) {
  stringDevice = {u"\u0001\u0033\u0092", {}};
  platform::setLibusbCalls(&kStringLibusb);
  // A keyboard beside the switch, with a serial number of its own.
  Add({1, 4, 2, 0x046D, 0xC31C, "KBD", kSwitchDescriptor});
  Add(kSerialSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  StartMatching();
  EXPECT_EQ(2, KVMSwitch.info.state);
  // The switch's string in the kernel's language, then the switch's read; nothing of the keyboard.
  EXPECT_EQ((std::vector<std::string>{"0300 0000 255", "0303 0407 255", "0303 0409 8"}), stringDevice.requests);
}

TEST_F(LinuxDevices, DescriptorsThatGiveNoSwitchSize) {
  Add({1, 2, 0, 0x10D5, 0x5501, nullptr, kLargeDescriptor});
  Add({1, 4, 1, 0x10D5, 0x5502, nullptr, kTruncatedDescriptor});
  ASSERT_TRUE(platform::startLinuxDevices());
  StartMatching();
  // 64 bytes is not the switch's size; a descriptor cut short gives no size at all.
  EXPECT_EQ("CFNumberGetValue error. Invalid Size: 64."
            "HIDDeviceAdded: Call to HIDFindSwitcherVersion failed. Code result = 00000000\n"
            "HIDDeviceAdded: Call to HIDFindSwitcherVersion failed. Code result = 00000000\n",
            err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
}

// --- Hot-plug through the loop

TEST_F(LinuxDevices, ArrivalAndRemovalReachTheProgramThroughTheLoop) {
  ASSERT_TRUE(platform::startLinuxDevices());
  StartMatching();
  Add(kFeatureSwitch);
  ASSERT_TRUE(LoopUntil([] { return platform::linuxDeviceEntries() == 3; }));
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_NE(nullptr, theTimer);
  err_.take();

  Remove(kFeatureSwitch);
  ASSERT_TRUE(LoopUntil([] { return platform::linuxDeviceEntries() == 0; }));
  RunLoop();
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(nullptr, theTimer);
  EXPECT_EQ(-1, CurrentIconNumber);
  EXPECT_EQ("", err_.take());

  // Plugged in again (the kernel numbers it anew): attached again.
  Add({1, 5, 2, 0x10D5, 0x5500, nullptr, kSwitchDescriptor});
  ASSERT_TRUE(LoopUntil([] { return platform::linuxDeviceEntries() == 3; }));
  RunLoop();
  EXPECT_EQ(2, KVMSwitch.info.state);
}

TEST_F(LinuxDevices, UnrelatedEventsChangeNothing) {
  Add(kFeatureSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  StartMatching();
  err_.take();
  // A change on the switch's node, a device of another subsystem, an
  // interface's removal, and the removal of a USB device we never published.
  umockdev_testbed_uevent(bed_, HidrawPath(kFeatureSwitch).c_str(), "change");
  umockdev_testbed_add_from_string(bed_, "P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\n\n",
                                   nullptr);
  umockdev_testbed_add_from_string(
      bed_, "P: /devices/pci0000:00/usb2/2-1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=046d\n\n", nullptr);
  umockdev_testbed_uevent(bed_, "/sys/devices/pci0000:00/usb2/2-1", "remove");
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  platform::processLinuxDeviceEvents();
  RunLoop();
  EXPECT_EQ(3u, platform::linuxDeviceEntries());
  EXPECT_EQ(2, KVMSwitch.info.state);
  EXPECT_EQ("", err_.take());
}

// --- Feature reports and failures at the node

TEST_F(LinuxDevices, FeatureReportsGoBothWaysWithTheReportIDInByteZero) {
  Add(kFeatureSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  const size_t fds = OpenDeviceNodes();
  IOHIDDeviceInterface122** hid = HIDInterface();
  ASSERT_NE(nullptr, hid);
  ASSERT_EQ(0, (*hid)->open(hid, 0));
  EXPECT_EQ(fds + 1, OpenDeviceNodes());

  uint8_t four[4] = {0xAA, 0, 0, 0};
  UInt32 size = sizeof four;
  ASSERT_EQ(0, (*hid)->getReport(hid, kIOHIDReportTypeFeature, 5, four, &size, 0, nullptr, nullptr, nullptr));
  auto expected = sim_.report5();
  EXPECT_EQ(Bytes(expected.begin(), expected.end()), Bytes(four, four + 4));
  EXPECT_EQ(4u, size);

  uint8_t command[8] = {0x04, 0x86, 0x00, 0, 0, 0, 0, 0};  // buzzer off
  ASSERT_EQ(0, (*hid)->setReport(hid, kIOHIDReportTypeFeature, 4, command, 8, 0, nullptr, nullptr, nullptr));
  EXPECT_FALSE(sim_.state().buzzer);

  // Gone between two reports: the node stays open until closed.
  FailIoctls({ENODEV, EPIPE, ETIMEDOUT, EACCES});
  EXPECT_EQ(kIOReturnNotAttached,
            (*hid)->getReport(hid, kIOHIDReportTypeFeature, 4, command, &size, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kIOReturnUnsupported,
            (*hid)->getReport(hid, kIOHIDReportTypeFeature, 4, command, &size, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kIOReturnTimeout,
            (*hid)->setReport(hid, kIOHIDReportTypeFeature, 4, command, 8, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(kIOReturnNotPrivileged,
            (*hid)->setReport(hid, kIOHIDReportTypeFeature, 4, command, 8, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, (*hid)->close(hid));
  (*hid)->Release(hid);
  EXPECT_EQ(fds, OpenDeviceNodes());
}

TEST_F(LinuxDevices, SwitchGoneBetweenEnumerationAndOpen) {
  Add(kFeatureSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  ASSERT_EQ(0, unlink(NodeFile("/dev/hidraw0").c_str()));
  const size_t fds = OpenDeviceNodes();
  StartMatching();
  EXPECT_EQ("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500. Version: 2\n"
            "HIDSetHIDDevice: Call to HIDDeviceInterface failed. Code result = E00002D9\n",
            err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
  EXPECT_EQ(fds, OpenDeviceNodes());
}

TEST_F(LinuxDevices, NoPermissionNamesTheNodeAndTheFix) {
  Add(kFeatureSwitch);
  ASSERT_TRUE(platform::startLinuxDevices());
  ASSERT_EQ(0, chmod(NodeFile("/dev/hidraw0").c_str(), 0600));
  ASSERT_EQ(0, chown(NodeFile("/dev/hidraw0").c_str(), 65534, 65534));
  {
    WithoutFileAccessOverride user;
    StartMatching();
  }
  EXPECT_EQ(std::string("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500. Version: 2\n") +
                kPermissionLine + "HIDSetHIDDevice: Call to HIDDeviceInterface failed. Code result = E00002C1\n",
            err_.take());
  EXPECT_EQ(0, KVMSwitch.info.state);
}

TEST_F(LinuxDevices, NoPermissionOnTheUSBNodeNamesItToo) {
  Add(kSerialSwitch);
  ASSERT_EQ(0, chown(NodeFile("/dev/bus/usb/001/003").c_str(), 65534, 65534));
  ASSERT_EQ(0, chmod(NodeFile("/dev/bus/usb/001/003").c_str(), 0600));
  // A device that could be asked would give an empty string, and no switch.
  stringDevice = {};
  platform::setLibusbCalls(&kStringLibusb);
  {
    // The serial-number string is the kernel's copy then, taken without a word.
    WithoutFileAccessOverride user;
    ASSERT_TRUE(platform::startLinuxDevices());
    StartMatching();
  }
  EXPECT_EQ("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0xD. Version: 1\n"
            "portvane: no permission to open /dev/bus/usb/001/003: install the udev rules "
            "(scripts/install-udev-rules.sh) and replug the switch\n"
            "USBGetDeviceInfo: unable to open device. ret = e00002c1\n"
            "USBDeviceAdded: Call to USBGetDeviceInfo failed. Code result = E00002C1\n",
            err_.take());
}

TEST_F(LinuxDevices, NoPermissionOnANodeGivenToTheSeatNamesTheSession) {
  // The rules tagged the node for logind; this user is not at the seat.
  std::string tagged = Describe(kFeatureSwitch);
  tagged.insert(tagged.size() - 1, "E: TAGS=:uaccess:\nE: CURRENT_TAGS=:uaccess:\n");
  ASSERT_TRUE(umockdev_testbed_add_from_string(bed_, tagged.c_str(), nullptr));
  ASSERT_TRUE(platform::startLinuxDevices());
  ASSERT_EQ(0, chmod(NodeFile("/dev/hidraw0").c_str(), 0600));
  ASSERT_EQ(0, chown(NodeFile("/dev/hidraw0").c_str(), 65534, 65534));
  {
    WithoutFileAccessOverride user;
    StartMatching();
  }
  EXPECT_EQ("HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500. Version: 2\n"
            "portvane: no permission to open /dev/hidraw0: access is given only to the user of the active local "
            "session; check yours with loginctl\n"
            "HIDSetHIDDevice: Call to HIDDeviceInterface failed. Code result = E00002C1\n",
            err_.take());
}

TEST(ErrnoTranslation, EachBecomesThePlatformStatus) {
  EXPECT_EQ(kIOReturnNotAttached, platform::ioReturnFromErrno(ENODEV));
  EXPECT_EQ(kIOReturnNotAttached, platform::ioReturnFromErrno(ENXIO));
  EXPECT_EQ(kIOReturnNotAttached, platform::ioReturnFromErrno(ESHUTDOWN));
  EXPECT_EQ(kIOReturnNotAttached, platform::ioReturnFromErrno(ENOENT));
  EXPECT_EQ(kIOReturnNotPrivileged, platform::ioReturnFromErrno(EACCES));
  EXPECT_EQ(kIOReturnNotPrivileged, platform::ioReturnFromErrno(EPERM));
  EXPECT_EQ(kIOReturnTimeout, platform::ioReturnFromErrno(ETIMEDOUT));
  EXPECT_EQ(kIOReturnExclusiveAccess, platform::ioReturnFromErrno(EBUSY));
  EXPECT_EQ(kIOReturnUnsupported, platform::ioReturnFromErrno(EPIPE));
  EXPECT_EQ(kIOReturnError, platform::ioReturnFromErrno(EINVAL));
  EXPECT_EQ(kIOReturnIOError, platform::ioReturnFromErrno(EIO));
  EXPECT_EQ(kIOReturnIOError, platform::ioReturnFromErrno(EPROTO));
}
