#include "platform/linux/linux_devices.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hid.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/iokit/device_seam.h"
#include "platform/linux/hidraw.h"
#include "platform/linux/libusb_device.h"
#include "platform/linux/linux_devices_testing.h"

namespace platform {

namespace {

struct InterfaceRecord {
  std::string usbDevice;  // syspath of its USB device
  EntryPtr entry;
};

struct HIDRecord {
  std::string usbDevice;
  EntryPtr entry;
};

// A USB device's serial-number string as the device gave it, read once, as
// the kernel reads it once; nothing until a read succeeds. Shared with the
// HID entries that ask for it.
struct SerialCache {
  std::mutex mutex;
  std::optional<std::vector<UniChar>> units;
};

struct USBRecord {
  LibusbDevice device;
  std::shared_ptr<SerialCache> serial = std::make_shared<SerialCache>();
};

struct LinuxDevices {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  QPointer<QSocketNotifier> notifier;
  // By syspath. A USB device's entries live as long as the device: the HID
  // driver leaving it for a moment (a transfer on its pipe) removes only the
  // hidraw node.
  std::map<std::string, USBRecord> usbDevices;
  std::map<std::string, InterfaceRecord> interfaces;
  std::map<std::string, HIDRecord> hids;
};

LinuxDevices& devices() {
  static LinuxDevices d;
  return d;
}

std::string text(const char* value) { return value ? value : ""; }

bool parseHex(const char* value, unsigned long max, unsigned long* out) {
  if (!value || !*value) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long parsed = strtoul(value, &end, 16);
  if (errno != 0 || end == value || *end != '\0' || parsed > max) return false;
  *out = parsed;
  return true;
}

// The descriptor the kernel parsed, from sysfs: readable without access to
// the device node, so the size is known before anyone opens the device.
std::vector<uint8_t> readReportDescriptor(udev_device* hid) {
  std::vector<uint8_t> bytes;
  std::string path = text(udev_device_get_syspath(hid)) + "/report_descriptor";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  uint8_t chunk[512];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
    // Longer than the kernel accepts: not a descriptor it parsed.
    if (bytes.size() > HID_MAX_DESCRIPTOR_SIZE) {
      bytes.clear();
      break;
    }
  }
  ::close(fd);
  return bytes;
}

void setNumber(CFMutableDictionaryRef properties, CFStringRef key, int value) {
  CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value);
  CFDictionarySetValue(properties, key, number);
  CFRelease(number);
}

// The serial string as sysfs has it (UTF-8 from the kernel); byte by byte when
// it does not decode, so that the property is never lost.
CFStringRef sysfsSerialString(const char* serial) {
  CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, serial, kCFStringEncodingUTF8);
  if (string) return string;
  std::vector<UniChar> units;
  for (const char* c = serial; *c; ++c) units.push_back(UniChar(static_cast<unsigned char>(*c)));
  return CFStringCreateWithCharacters(kCFAllocatorDefault, units.data(), CFIndex(units.size()));
}

// The serial-number string of the HID device's USB device, null when it has
// none. The device's own UTF-16 units when it can be asked: the kernel's copy
// (`sysfsSerial`) ends at a zero unit, drops unpaired surrogates and is missing
// when that leaves nothing, and the first units carry the switch's state.
CFStringRef serialString(const LibusbDevice& device, SerialCache& cache, const std::optional<std::string>& sysfsSerial) {
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (!cache.units) cache.units = readSerialNumberUnits(device);
  if (cache.units) {
    if (cache.units->empty()) return nullptr;
    return CFStringCreateWithCharacters(kCFAllocatorDefault, cache.units->data(), CFIndex(cache.units->size()));
  }
  return sysfsSerial ? sysfsSerialString(sysfsSerial->c_str()) : nullptr;
}

std::string usbNode(udev_device* usb) {
  if (const char* node = udev_device_get_devnode(usb)) return node;
  unsigned long bus = 0, address = 0;
  const char* busnum = udev_device_get_sysattr_value(usb, "busnum");
  const char* devnum = udev_device_get_sysattr_value(usb, "devnum");
  if (!busnum || !devnum) return std::string();
  bus = strtoul(busnum, nullptr, 10);
  address = strtoul(devnum, nullptr, 10);
  char node[64];
  snprintf(node, sizeof node, "/dev/bus/usb/%03lu/%03lu", bus, address);
  return node;
}

USBRecord* usbDeviceFor(LinuxDevices& d, udev_device* usb) {
  const std::string syspath = text(udev_device_get_syspath(usb));
  auto found = d.usbDevices.find(syspath);
  if (found != d.usbDevices.end()) return &found->second;
  unsigned long vendor = 0, product = 0;
  if (!parseHex(udev_device_get_sysattr_value(usb, "idVendor"), 0xFFFF, &vendor) ||
      !parseHex(udev_device_get_sysattr_value(usb, "idProduct"), 0xFFFF, &product)) {
    return nullptr;
  }
  std::string node = usbNode(usb);
  if (node.empty()) return nullptr;
  auto [it, added] =
      d.usbDevices.emplace(syspath, USBRecord{makeLibusbDevice(node, uint16_t(vendor), uint16_t(product))});
  publishEntry(it->second.device.entry);
  return &it->second;
}

const InterfaceRecord* interfaceFor(LinuxDevices& d, udev_device* interface, const std::string& usbSyspath,
                                    const LibusbDevice& usb) {
  const std::string syspath = text(udev_device_get_syspath(interface));
  auto found = d.interfaces.find(syspath);
  if (found != d.interfaces.end()) return &found->second;
  unsigned long number = 0;
  if (!parseHex(udev_device_get_sysattr_value(interface, "bInterfaceNumber"), 0xFF, &number)) return nullptr;
  auto [it, added] =
      d.interfaces.emplace(syspath, InterfaceRecord{usbSyspath, makeLibusbInterfaceEntry(usb, uint8_t(number))});
  publishEntry(it->second.entry);
  return &it->second;
}

// A hidraw node of a USB HID device: its USB device and interface are
// published first (when new), then the HID device, as the platform shows a
// device's services from the bus down.
void addHidraw(LinuxDevices& d, udev_device* hidraw) {
  const std::string syspath = text(udev_device_get_syspath(hidraw));
  const char* node = udev_device_get_devnode(hidraw);
  if (syspath.empty() || !node || d.hids.count(syspath)) return;
  udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
  udev_device* interface = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_interface");
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
  // Bluetooth, I2C and virtual HID devices have no USB device to stand on.
  if (!hid || !interface || !usb) return;

  USBRecord* usbDevice = usbDeviceFor(d, usb);
  if (!usbDevice) return;
  const std::string usbSyspath = text(udev_device_get_syspath(usb));
  const InterfaceRecord* parent = interfaceFor(d, interface, usbSyspath, usbDevice->device);
  if (!parent) return;

  CFMutableDictionaryRef properties = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks);
  // HID_ID is "bus:vendor:product" of the HID device itself; without it the
  // USB device's identifiers stand in.
  unsigned bus = 0, vendor = 0, product = 0;
  const char* hidID = udev_device_get_property_value(hid, "HID_ID");
  if (!hidID || sscanf(hidID, "%x:%x:%x", &bus, &vendor, &product) != 3) {
    unsigned long v = 0, p = 0;
    parseHex(udev_device_get_sysattr_value(usb, "idVendor"), 0xFFFF, &v);
    parseHex(udev_device_get_sysattr_value(usb, "idProduct"), 0xFFFF, &p);
    vendor = unsigned(v);
    product = unsigned(p);
  }
  setNumber(properties, CFSTR("VendorID"), int(vendor & 0xFFFF));
  setNumber(properties, CFSTR("ProductID"), int(product & 0xFFFF));
  std::vector<uint8_t> descriptor = readReportDescriptor(hid);
  if (auto size = maxFeatureReportSize(descriptor.data(), descriptor.size())) {
    setNumber(properties, CFSTR("MaxFeatureReportSize"), int(*size));
  }

  auto factory = [node = std::string(node)](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
    if (!(type == CFUUIDGetUUIDBytes(kIOHIDDeviceUserClientTypeID)) ||
        !(iid == CFUUIDGetUUIDBytes(kIOHIDDeviceInterfaceID122))) {
      return nullptr;
    }
    return makeHIDDeviceInterface(makeHidrawBackend(node));
  };
  auto entry = std::make_shared<RegistryEntry>("IOHIDDevice", properties, parent->entry, factory);
  CFRelease(properties);
  // Asking for the serial number opens the device: only the program's
  // reading of a device it matched does, not every HID device's arrival.
  std::optional<std::string> sysfsSerial;
  if (const char* serial = udev_device_get_sysattr_value(usb, "serial")) sysfsSerial = serial;
  entry->setLateProperty("SerialNumber", [device = usbDevice->device, cache = usbDevice->serial, sysfsSerial] {
    return static_cast<CFTypeRef>(serialString(device, *cache, sysfsSerial));
  });
  d.hids.emplace(syspath, HIDRecord{usbSyspath, entry});
  publishEntry(entry);
}

void removeHidraw(LinuxDevices& d, const std::string& syspath) {
  auto found = d.hids.find(syspath);
  if (found == d.hids.end()) return;
  EntryPtr entry = found->second.entry;
  d.hids.erase(found);
  terminateEntry(entry);
}

// The USB device is gone: whatever is left of it goes too, from the HID
// devices up to the device itself.
void removeUSBDevice(LinuxDevices& d, const std::string& syspath) {
  std::vector<EntryPtr> gone;
  for (auto it = d.hids.begin(); it != d.hids.end();) {
    if (it->second.usbDevice != syspath) {
      ++it;
      continue;
    }
    gone.push_back(it->second.entry);
    it = d.hids.erase(it);
  }
  for (auto it = d.interfaces.begin(); it != d.interfaces.end();) {
    if (it->second.usbDevice != syspath) {
      ++it;
      continue;
    }
    gone.push_back(it->second.entry);
    it = d.interfaces.erase(it);
  }
  auto device = d.usbDevices.find(syspath);
  if (device != d.usbDevices.end()) {
    gone.push_back(device->second.device.entry);
    d.usbDevices.erase(device);
  }
  for (auto& entry : gone) terminateEntry(entry);
}

void handleEvent(LinuxDevices& d, udev_device* device) {
  const std::string action = text(udev_device_get_action(device));
  const std::string subsystem = text(udev_device_get_subsystem(device));
  const std::string syspath = text(udev_device_get_syspath(device));
  if (subsystem == "hidraw") {
    if (action == "add") addHidraw(d, device);
    if (action == "remove") removeHidraw(d, syspath);
  } else if (subsystem == "usb" && text(udev_device_get_devtype(device)) == "usb_device") {
    if (action == "remove") removeUSBDevice(d, syspath);
  }
  // Anything else (bind, change, other devices) says nothing about our entries.
}

void enumerate(LinuxDevices& d) {
  udev_enumerate* scan = udev_enumerate_new(d.context);
  if (!scan) return;
  udev_enumerate_add_match_subsystem(scan, "hidraw");
  udev_enumerate_scan_devices(scan);
  udev_list_entry* item;
  udev_list_entry_foreach(item, udev_enumerate_get_list_entry(scan)) {
    udev_device* device = udev_device_new_from_syspath(d.context, udev_list_entry_get_name(item));
    if (!device) continue;
    addHidraw(d, device);
    udev_device_unref(device);
  }
  udev_enumerate_unref(scan);
}

}  // namespace

bool startLinuxDevices() {
  LinuxDevices& d = devices();
  if (d.context) return true;
  d.context = udev_new();
  if (!d.context) return false;
  // The monitor listens before the scan, so that nothing plugged in meanwhile
  // is missed; an arrival the scan already saw is ignored.
  d.monitor = udev_monitor_new_from_netlink(d.context, "udev");
  if (d.monitor) {
    udev_monitor_filter_add_match_subsystem_devtype(d.monitor, "hidraw", nullptr);
    udev_monitor_filter_add_match_subsystem_devtype(d.monitor, "usb", "usb_device");
    if (udev_monitor_enable_receiving(d.monitor) < 0) {
      udev_monitor_unref(d.monitor);
      d.monitor = nullptr;
    }
  }
  enumerate(d);
  if (d.monitor && QCoreApplication::instance()) {
    // Parented to the application, so that it goes before the loop does.
    d.notifier = new QSocketNotifier(udev_monitor_get_fd(d.monitor), QSocketNotifier::Read,
                                     QCoreApplication::instance());
    QObject::connect(d.notifier.data(), &QSocketNotifier::activated, [] { processLinuxDeviceEvents(); });
  }
  return true;
}

void processLinuxDeviceEvents() {
  LinuxDevices& d = devices();
  if (!d.monitor) return;
  while (udev_device* device = udev_monitor_receive_device(d.monitor)) {
    handleEvent(d, device);
    udev_device_unref(device);
  }
}

void stopLinuxDevices() {
  LinuxDevices& d = devices();
  delete d.notifier.data();
  d.notifier = nullptr;
  std::vector<std::string> usbDevices;
  for (auto& [syspath, device] : d.usbDevices) usbDevices.push_back(syspath);
  for (auto& syspath : usbDevices) removeUSBDevice(d, syspath);
  // HID devices whose USB device was never published.
  std::vector<std::string> hids;
  for (auto& [syspath, record] : d.hids) hids.push_back(syspath);
  for (auto& syspath : hids) removeHidraw(d, syspath);
  if (d.monitor) udev_monitor_unref(d.monitor);
  if (d.context) udev_unref(d.context);
  d.monitor = nullptr;
  d.context = nullptr;
}

size_t linuxDeviceEntries() {
  LinuxDevices& d = devices();
  return d.usbDevices.size() + d.interfaces.size() + d.hids.size();
}

}  // namespace platform
