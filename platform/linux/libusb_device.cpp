#include "platform/linux/libusb_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/hidraw.h"

namespace platform {

// ---- The table

namespace {

int realInit(libusb_context** context) {
  // Only nodes we open ourselves are used: no enumeration, no hot-plug thread.
  libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
  return libusb_init(context);
}

const LibusbCalls kRealLibusb = {
    .init = realInit,
    .wrap_sys_device = libusb_wrap_sys_device,
    .close = libusb_close,
    .get_device = libusb_get_device,
    .get_device_descriptor = libusb_get_device_descriptor,
    .get_config_descriptor = libusb_get_config_descriptor,
    .get_active_config_descriptor = libusb_get_active_config_descriptor,
    .free_config_descriptor = libusb_free_config_descriptor,
    .get_configuration = libusb_get_configuration,
    .set_configuration = libusb_set_configuration,
    .control_transfer = libusb_control_transfer,
    .kernel_driver_active = libusb_kernel_driver_active,
    .detach_kernel_driver = libusb_detach_kernel_driver,
    .attach_kernel_driver = libusb_attach_kernel_driver,
    .claim_interface = libusb_claim_interface,
    .release_interface = libusb_release_interface,
    .interrupt_transfer = libusb_interrupt_transfer,
    .bulk_transfer = libusb_bulk_transfer,
};

const LibusbCalls* currentCalls = &kRealLibusb;
libusb_context* context = nullptr;
std::atomic<size_t> openConnections{0};

const LibusbCalls& usb() { return *currentCalls; }

IOReturn ensureContext() {
  if (context) return kIOReturnSuccess;
  int result = usb().init(&context);
  if (result < 0) {
    context = nullptr;
    return ioReturnFromLibusb(result);
  }
  return kIOReturnSuccess;
}

}  // namespace

const LibusbCalls& libusbCalls() { return usb(); }

void setLibusbCalls(const LibusbCalls* calls) {
  currentCalls = calls ? calls : &kRealLibusb;
  context = nullptr;
}

IOReturn ioReturnFromLibusb(int error) {
  if (error >= 0) return kIOReturnSuccess;
  switch (error) {
    case LIBUSB_ERROR_NO_DEVICE:
      return kIOReturnNotAttached;
    case LIBUSB_ERROR_ACCESS:
      return kIOReturnNotPrivileged;
    case LIBUSB_ERROR_TIMEOUT:
      return kIOReturnTimeout;
    case LIBUSB_ERROR_BUSY:
      return kIOReturnExclusiveAccess;
    case LIBUSB_ERROR_INVALID_PARAM:
      return kIOReturnBadArgument;
    case LIBUSB_ERROR_NOT_FOUND:
      return kIOReturnNotFound;
    // The device stalled the request.
    case LIBUSB_ERROR_PIPE:
      return kIOReturnUnsupported;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return kIOReturnUnsupported;
    case LIBUSB_ERROR_OVERFLOW:
      return kIOReturnNoSpace;
    case LIBUSB_ERROR_INTERRUPTED:
      return kIOReturnAborted;
    case LIBUSB_ERROR_NO_MEM:
      return kIOReturnNoMemory;
    case LIBUSB_ERROR_IO:
      return kIOReturnIOError;
    default:
      return kIOReturnError;
  }
}

// ---- Connection

class USBConnection {
 public:
  USBConnection(std::string node, uint16_t vendorID, uint16_t productID)
      : node_(std::move(node)), vendorID_(vendorID), productID_(productID) {}
  ~USBConnection() {
    if (handle_) shut();
  }

  // `nameDenial`: whether a node the user may not open is named with its fix.
  IOReturn acquire(bool nameDenial = true) {
    if (users_ > 0) {
      ++users_;
      return kIOReturnSuccess;
    }
    IOReturn status = ensureContext();
    if (status != kIOReturnSuccess) return status;
    int fd = openDeviceNode(node_, nameDenial);
    if (fd < 0) return ioReturnFromErrno(-fd);
    libusb_device_handle* handle = nullptr;
    int result = usb().wrap_sys_device(context, intptr_t(fd), &handle);
    if (result < 0 || !handle) {
      closeDeviceNode(node_, fd);
      return result < 0 ? ioReturnFromLibusb(result) : kIOReturnError;
    }
    fd_ = fd;
    handle_ = handle;
    users_ = 1;
    ++openConnections;
    return kIOReturnSuccess;
  }

  void release() {
    if (users_ > 0 && --users_ == 0) shut();
  }

  libusb_device_handle* handle() const { return handle_; }
  libusb_device* device() const { return handle_ ? usb().get_device(handle_) : nullptr; }
  uint16_t vendorID() const { return vendorID_; }
  uint16_t productID() const { return productID_; }

  IOReturn deviceDescriptor(libusb_device_descriptor* descriptor) const {
    libusb_device* dev = device();
    if (!dev) return kIOReturnNotOpen;
    return ioReturnFromLibusb(usb().get_device_descriptor(dev, descriptor));
  }

 private:
  void shut() {
    // libusb does not own a wrapped descriptor: it is closed after the handle.
    usb().close(handle_);
    closeDeviceNode(node_, fd_);
    handle_ = nullptr;
    fd_ = -1;
    users_ = 0;
    --openConnections;
  }

  std::string node_;
  uint16_t vendorID_;
  uint16_t productID_;
  int fd_ = -1;
  libusb_device_handle* handle_ = nullptr;
  int users_ = 0;
};

size_t openUSBConnections() { return openConnections; }

namespace {

// What the kernel reads strings in when string descriptor 0 is malformed.
constexpr uint16_t kEnglishUS = 0x0409;
// Every string request asks for the most a descriptor can hold, as the kernel does.
constexpr uint16_t kStringRequestLength = 255;

// String descriptor `index` in `language`: the number of bytes that came, or a
// libusb error.
int requestString(libusb_device_handle* handle, uint8_t index, uint16_t language, uint8_t* bytes) {
  const uint8_t standardDeviceIn =
      uint8_t(LIBUSB_ENDPOINT_IN) | uint8_t(LIBUSB_REQUEST_TYPE_STANDARD) | uint8_t(LIBUSB_RECIPIENT_DEVICE);
  return usb().control_transfer(handle, standardDeviceIn, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                uint16_t((LIBUSB_DT_STRING << 8) | index), language, bytes, kStringRequestLength,
                                kUSBTimeoutMS);
}

// The descriptor's own length, within what came and even; 0 when what came is
// no string descriptor.
size_t stringLength(const uint8_t* bytes, int received) {
  if (received < 2 || bytes[1] != LIBUSB_DT_STRING) return 0;
  return std::min<size_t>(size_t(received), bytes[0]) & ~size_t(1);
}

std::optional<uint16_t> stringLanguage(libusb_device_handle* handle) {
  uint8_t bytes[kStringRequestLength];
  const int received = requestString(handle, 0, 0, bytes);
  // A device that cannot answer has no strings for the kernel either.
  if (received < 2) return std::nullopt;
  if (stringLength(bytes, received) < 4) return kEnglishUS;
  return uint16_t(bytes[2] | (bytes[3] << 8));
}

}  // namespace

std::optional<std::vector<UniChar>> readSerialNumberUnits(const LibusbDevice& device) {
  USBConnection& connection = *device.connection;
  if (connection.acquire(false) != kIOReturnSuccess) return std::nullopt;
  std::optional<std::vector<UniChar>> units;
  libusb_device_descriptor descriptor;
  if (connection.deviceDescriptor(&descriptor) == kIOReturnSuccess) {
    if (descriptor.iSerialNumber == 0) {
      units.emplace();
    } else if (std::optional<uint16_t> language = stringLanguage(connection.handle())) {
      uint8_t bytes[kStringRequestLength];
      const size_t length =
          stringLength(bytes, requestString(connection.handle(), descriptor.iSerialNumber, *language, bytes));
      if (length >= 2) {
        units.emplace();
        for (size_t at = 2; at < length; at += 2) units->push_back(UniChar(bytes[at] | (bytes[at + 1] << 8)));
      }
    }
  }
  connection.release();
  return units;
}

namespace {

// Frees a configuration descriptor through the table.
struct ConfigHolder {
  libusb_config_descriptor* config = nullptr;
  ~ConfigHolder() {
    if (config) usb().free_config_descriptor(config);
  }
};

struct Endpoint {
  uint8_t address;
  uint8_t attributes;
  uint16_t maxPacketSize;
  uint8_t interval;
};

std::vector<Endpoint> endpointsOf(const libusb_interface_descriptor& altsetting) {
  std::vector<Endpoint> endpoints;
  for (int i = 0; i < altsetting.bNumEndpoints && altsetting.endpoint; ++i) {
    const libusb_endpoint_descriptor& e = altsetting.endpoint[i];
    endpoints.push_back({e.bEndpointAddress, e.bmAttributes, e.wMaxPacketSize, e.bInterval});
  }
  return endpoints;
}

// The interface's first (current) setting in the configuration.
const libusb_interface_descriptor* findInterface(const libusb_config_descriptor* config, uint8_t number) {
  for (int i = 0; config && i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    if (interface.num_altsetting > 0 && interface.altsetting[0].bInterfaceNumber == number) {
      return &interface.altsetting[0];
    }
  }
  return nullptr;
}

void appendBytes(std::vector<UInt8>& out, const unsigned char* bytes, int length) {
  if (bytes && length > 0) out.insert(out.end(), bytes, bytes + length);
}

void append16(std::vector<UInt8>& out, uint16_t value) {
  out.push_back(UInt8(value & 0xFF));
  out.push_back(UInt8(value >> 8));
}

// The configuration descriptor as the device sends it, rebuilt from libusb's
// parsed copy so that asking for it does not touch the device.
std::vector<UInt8> rawConfiguration(const libusb_config_descriptor& config) {
  std::vector<UInt8> out = {9, LIBUSB_DT_CONFIG, 0, 0, config.bNumInterfaces, config.bConfigurationValue,
                            config.iConfiguration, config.bmAttributes, config.MaxPower};
  appendBytes(out, config.extra, config.extra_length);
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& s = interface.altsetting[a];
      out.insert(out.end(), {9, LIBUSB_DT_INTERFACE, s.bInterfaceNumber, s.bAlternateSetting, s.bNumEndpoints,
                             s.bInterfaceClass, s.bInterfaceSubClass, s.bInterfaceProtocol, s.iInterface});
      appendBytes(out, s.extra, s.extra_length);
      for (int e = 0; e < s.bNumEndpoints && s.endpoint; ++e) {
        const libusb_endpoint_descriptor& d = s.endpoint[e];
        // Audio endpoints carry two more bytes.
        const bool audio = d.bLength >= LIBUSB_DT_ENDPOINT_AUDIO_SIZE;
        out.insert(out.end(), {UInt8(audio ? LIBUSB_DT_ENDPOINT_AUDIO_SIZE : LIBUSB_DT_ENDPOINT_SIZE),
                               LIBUSB_DT_ENDPOINT, d.bEndpointAddress, d.bmAttributes});
        append16(out, d.wMaxPacketSize);
        out.push_back(d.bInterval);
        if (audio) out.insert(out.end(), {d.bRefresh, d.bSynchAddress});
        appendBytes(out, d.extra, d.extra_length);
      }
    }
  }
  out[2] = UInt8(out.size() & 0xFF);
  out[3] = UInt8((out.size() >> 8) & 0xFF);
  return out;
}

bool fits(UInt16 wanted, uint8_t actual) { return wanted == kIOUSBFindInterfaceDontCare || wanted == actual; }

// ---- Interface backend

class LibusbInterfaceBackend : public USBInterfaceBackend {
 public:
  LibusbInterfaceBackend(std::shared_ptr<USBConnection> connection, uint8_t number,
                         std::optional<std::vector<Endpoint>> endpoints)
      : connection_(std::move(connection)), number_(number), endpoints_(std::move(endpoints)) {}
  ~LibusbInterfaceBackend() override {
    if (open_) connection_->release();
  }

  IOReturn open() override {
    if (open_) return kIOReturnSuccess;
    IOReturn status = connection_->acquire();
    if (status != kIOReturnSuccess) return status;
    if (!endpoints_) {
      ConfigHolder config;
      status = ioReturnFromLibusb(usb().get_active_config_descriptor(connection_->device(), &config.config));
      const libusb_interface_descriptor* setting = status == kIOReturnSuccess ? findInterface(config.config, number_)
                                                                              : nullptr;
      if (!setting) {
        connection_->release();
        return status != kIOReturnSuccess ? status : kIOReturnNotFound;
      }
      endpoints_ = endpointsOf(*setting);
    }
    open_ = true;
    return kIOReturnSuccess;
  }

  IOReturn close() override {
    if (!open_) return kIOReturnNotOpen;
    open_ = false;
    connection_->release();
    return kIOReturnSuccess;
  }

  IOReturn numEndpoints(UInt8* count) override {
    if (!count) return kIOReturnBadArgument;
    if (!endpoints_) return kIOReturnNotOpen;
    *count = UInt8(endpoints_->size());
    return kIOReturnSuccess;
  }

  IOReturn pipeProperties(UInt8 pipeRef, UInt8* direction, UInt8* number, UInt8* transferType,
                          UInt16* maxPacketSize, UInt8* interval) override {
    const Endpoint* e = endpoint(pipeRef);
    if (!e) return endpoints_ ? kIOReturnBadArgument : kIOReturnNotOpen;
    if (direction) *direction = (e->address & LIBUSB_ENDPOINT_IN) ? kUSBIn : kUSBOut;
    if (number) *number = e->address & 0x0F;
    // libusb's transfer types are numbered as the platform's.
    if (transferType) *transferType = e->attributes & LIBUSB_TRANSFER_TYPE_MASK;
    if (maxPacketSize) *maxPacketSize = e->maxPacketSize & 0x07FF;
    if (interval) *interval = e->interval;
    return kIOReturnSuccess;
  }

  IOReturn writePipe(UInt8 pipeRef, const void* buffer, UInt32 size) override {
    if (!open_) return kIOReturnNotOpen;
    const Endpoint* e = endpoint(pipeRef);
    if (!e || (e->address & LIBUSB_ENDPOINT_IN) || (!buffer && size > 0) || size > 0x7FFFFFFF) {
      return kIOReturnBadArgument;
    }
    const uint8_t type = e->attributes & LIBUSB_TRANSFER_TYPE_MASK;
    if (type != LIBUSB_TRANSFER_TYPE_INTERRUPT && type != LIBUSB_TRANSFER_TYPE_BULK) return kIOReturnUnsupported;

    libusb_device_handle* handle = connection_->handle();
    // The kernel's HID driver holds the switch's interface: it is lent to us
    // for this one transfer and given back at once, so the HID side goes on.
    const bool detached = usb().kernel_driver_active(handle, number_) == 1 &&
                          usb().detach_kernel_driver(handle, number_) == LIBUSB_SUCCESS;
    int result = usb().claim_interface(handle, number_);
    if (result == LIBUSB_SUCCESS) {
      std::vector<unsigned char> data(static_cast<const unsigned char*>(buffer),
                                      static_cast<const unsigned char*>(buffer) + size);
      int transferred = 0;
      auto transfer = type == LIBUSB_TRANSFER_TYPE_INTERRUPT ? usb().interrupt_transfer : usb().bulk_transfer;
      result = transfer(handle, e->address, data.data(), int(size), &transferred, kUSBTimeoutMS);
      if (result == LIBUSB_SUCCESS && transferred != int(size)) result = LIBUSB_ERROR_IO;
      usb().release_interface(handle, number_);
    }
    if (detached) usb().attach_kernel_driver(handle, number_);
    return ioReturnFromLibusb(result);
  }

 private:
  const Endpoint* endpoint(UInt8 pipeRef) const {
    if (!endpoints_ || pipeRef == 0 || pipeRef > endpoints_->size()) return nullptr;
    return &(*endpoints_)[pipeRef - 1];
  }

  std::shared_ptr<USBConnection> connection_;
  uint8_t number_;
  std::optional<std::vector<Endpoint>> endpoints_;
  bool open_ = false;
};

CFNumberRef intNumber(int value) { return CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value); }

void setInt(CFMutableDictionaryRef properties, const char* key, int value) {
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
  CFNumberRef number = intNumber(value);
  CFDictionarySetValue(properties, name, number);
  CFRelease(number);
  CFRelease(name);
}

CFMutableDictionaryRef newProperties() {
  return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

EntryPtr interfaceEntry(const EntryPtr& parent, const std::shared_ptr<USBConnection>& connection, uint8_t number,
                        std::optional<std::vector<Endpoint>> endpoints) {
  CFMutableDictionaryRef properties = newProperties();
  setInt(properties, "bInterfaceNumber", number);
  // Shared, so the factory copies a pointer rather than the endpoint list.
  auto known = std::make_shared<const std::optional<std::vector<Endpoint>>>(std::move(endpoints));
  auto factory = [connection, number, known](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
    if (!(type == CFUUIDGetUUIDBytes(kIOUSBInterfaceUserClientTypeID)) ||
        !(iid == CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID))) {
      return nullptr;
    }
    return makeUSBInterfaceInterface(std::make_shared<LibusbInterfaceBackend>(connection, number, *known));
  };
  auto entry = std::make_shared<RegistryEntry>("IOUSBInterface", properties, parent, factory);
  CFRelease(properties);
  return entry;
}

// ---- Device backend

class LibusbDeviceBackend : public USBDeviceBackend {
 public:
  LibusbDeviceBackend(std::shared_ptr<USBConnection> connection, std::weak_ptr<RegistryEntry> entry)
      : connection_(std::move(connection)), entry_(std::move(entry)) {}
  ~LibusbDeviceBackend() override {
    if (open_) connection_->release();
  }

  IOReturn open() override {
    if (open_) return kIOReturnSuccess;
    IOReturn status = connection_->acquire();
    if (status == kIOReturnSuccess) open_ = true;
    return status;
  }

  IOReturn close() override {
    if (!open_) return kIOReturnNotOpen;
    open_ = false;
    connection_->release();
    return kIOReturnSuccess;
  }

  // The identifiers are known from udev, so they need no open device.
  IOReturn vendor(UInt16* vendor) override {
    if (!vendor) return kIOReturnBadArgument;
    *vendor = connection_->vendorID();
    return kIOReturnSuccess;
  }

  IOReturn product(UInt16* product) override {
    if (!product) return kIOReturnBadArgument;
    *product = connection_->productID();
    return kIOReturnSuccess;
  }

  IOReturn serialNumberStringIndex(UInt8* index) override {
    if (!index) return kIOReturnBadArgument;
    libusb_device_descriptor descriptor;
    IOReturn status = openDescriptor(&descriptor);
    if (status == kIOReturnSuccess) *index = descriptor.iSerialNumber;
    return status;
  }

  IOReturn deviceRequest(IOUSBDevRequest* request) override {
    if (!request || (!request->pData && request->wLength > 0)) return kIOReturnBadArgument;
    if (!open_) return kIOReturnNotOpen;
    request->wLenDone = 0;
    int result = usb().control_transfer(connection_->handle(), request->bmRequestType, request->bRequest,
                                        request->wValue, request->wIndex, static_cast<unsigned char*>(request->pData),
                                        request->wLength, kUSBTimeoutMS);
    if (result < 0) return ioReturnFromLibusb(result);
    // A short answer is not an error: the caller learns its length.
    request->wLenDone = UInt32(result);
    return kIOReturnSuccess;
  }

  IOReturn numberOfConfigurations(UInt8* count) override {
    if (!count) return kIOReturnBadArgument;
    libusb_device_descriptor descriptor;
    IOReturn status = openDescriptor(&descriptor);
    if (status == kIOReturnSuccess) *count = descriptor.bNumConfigurations;
    return status;
  }

  IOReturn configurationDescriptor(UInt8 index, std::vector<UInt8>* descriptor) override {
    if (!descriptor) return kIOReturnBadArgument;
    if (!open_) return kIOReturnNotOpen;
    ConfigHolder config;
    IOReturn status = ioReturnFromLibusb(usb().get_config_descriptor(connection_->device(), index, &config.config));
    if (status != kIOReturnSuccess) return status;
    if (!config.config) return kIOReturnError;
    *descriptor = rawConfiguration(*config.config);
    return kIOReturnSuccess;
  }

  IOReturn setConfiguration(UInt8 value) override {
    if (!open_) return kIOReturnNotOpen;
    // Choosing the configuration again would drop the kernel's HID driver from
    // the switch: when it is already current, the device is left alone.
    int current = -1;
    int result = usb().get_configuration(connection_->handle(), &current);
    if (result < 0) return ioReturnFromLibusb(result);
    if (current == int(value)) return kIOReturnSuccess;
    return ioReturnFromLibusb(usb().set_configuration(connection_->handle(), value));
  }

  IOReturn interfaces(const IOUSBFindInterfaceRequest& request, std::vector<EntryPtr>* entries) override {
    if (!entries) return kIOReturnBadArgument;
    if (!open_) return kIOReturnNotOpen;
    ConfigHolder config;
    IOReturn status = ioReturnFromLibusb(usb().get_active_config_descriptor(connection_->device(), &config.config));
    if (status != kIOReturnSuccess) return status;
    if (!config.config) return kIOReturnError;
    EntryPtr parent = entry_.lock();
    entries->clear();
    for (int i = 0; i < config.config->bNumInterfaces; ++i) {
      const libusb_interface& interface = config.config->interface[i];
      if (interface.num_altsetting < 1) continue;
      const libusb_interface_descriptor& s = interface.altsetting[0];
      if (!fits(request.bInterfaceClass, s.bInterfaceClass) || !fits(request.bInterfaceSubClass, s.bInterfaceSubClass) ||
          !fits(request.bInterfaceProtocol, s.bInterfaceProtocol) ||
          !fits(request.bAlternateSetting, s.bAlternateSetting)) {
        continue;
      }
      entries->push_back(interfaceEntry(parent, connection_, s.bInterfaceNumber, endpointsOf(s)));
    }
    return kIOReturnSuccess;
  }

 private:
  IOReturn openDescriptor(libusb_device_descriptor* descriptor) {
    if (!open_) return kIOReturnNotOpen;
    return connection_->deviceDescriptor(descriptor);
  }

  std::shared_ptr<USBConnection> connection_;
  std::weak_ptr<RegistryEntry> entry_;
  bool open_ = false;
};

}  // namespace

LibusbDevice makeLibusbDevice(std::string node, uint16_t vendorID, uint16_t productID) {
  auto connection = std::make_shared<USBConnection>(std::move(node), vendorID, productID);
  CFMutableDictionaryRef properties = newProperties();
  setInt(properties, "idVendor", vendorID);
  setInt(properties, "idProduct", productID);
  // The backend names its own entry as the parent of the interfaces it lists;
  // a weak reference, so that the entry does not keep itself alive.
  auto self = std::make_shared<std::weak_ptr<RegistryEntry>>();
  auto factory = [connection, self](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
    if (!(type == CFUUIDGetUUIDBytes(kIOUSBDeviceUserClientTypeID)) ||
        !(iid == CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID))) {
      return nullptr;
    }
    return makeUSBDeviceInterface(std::make_shared<LibusbDeviceBackend>(connection, *self));
  };
  auto entry = std::make_shared<RegistryEntry>("IOUSBDevice", properties, nullptr, factory);
  CFRelease(properties);
  *self = entry;
  return {entry, connection};
}

EntryPtr makeLibusbInterfaceEntry(const LibusbDevice& device, uint8_t number) {
  return interfaceEntry(device.entry, device.connection, number, std::nullopt);
}

}  // namespace platform
