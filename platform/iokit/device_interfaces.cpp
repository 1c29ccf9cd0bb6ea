#include <algorithm>
#include <atomic>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/iokit/device_interfaces.h"
#include "platform/iokit/device_seam.h"

namespace platform {

namespace {

std::atomic<size_t> liveObjects{0};

constexpr CFUUIDBytes kIUnknownID = {0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

struct NoExtra {};

// Every interface object starts with its function table, so that the
// handle (a pointer to the object) is a pointer to a pointer to the table.
// The object, not the backend, keeps the open state.
template <typename Table, typename Backend, typename Extra = NoExtra>
struct InterfaceObject {
  Table* table;
  std::atomic<ULONG> references;
  std::shared_ptr<Backend> backend;
  bool open;
  Extra extra;
};

template <typename Object>
Object* self_cast(void* self) {
  static_assert(std::is_standard_layout_v<Object>);
  return static_cast<Object*>(self);
}

template <typename Object>
Object* create(typename std::remove_pointer_t<decltype(Object::table)>* table,
               decltype(Object::backend) backend) {
  auto* object = new Object{table, {1}, std::move(backend), false, {}};
  ++liveObjects;
  return object;
}

template <typename Object>
ULONG addRef(void* self) {
  return self ? ++self_cast<Object>(self)->references : 0;
}

// The last release of an open interface closes its device, so that a
// forgotten close does not keep the device open for the rest of the run.
template <typename Object>
ULONG release(void* self) {
  if (!self) return 0;
  Object* object = self_cast<Object>(self);
  ULONG left = --object->references;
  if (left == 0) {
    if (object->open && object->backend) object->backend->close();
    delete object;
    --liveObjects;
  }
  return left;
}

template <typename Object>
HRESULT queryInterface(void* self, const CFUUIDBytes& own, REFIID iid, LPVOID* ppv) {
  if (!ppv) return E_NOINTERFACE;
  if (self && (iid == own || iid == kIUnknownID)) {
    addRef<Object>(self);
    *ppv = self;
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

// ---- HID device interface

using HIDObject = InterfaceObject<IOHIDDeviceInterface122, HIDDeviceBackend>;

HIDObject* hid(void* self) { return self ? self_cast<HIDObject>(self) : nullptr; }

IOReturn hidOpen(void* self, UInt32) {
  HIDObject* o = hid(self);
  if (!o) return kIOReturnBadArgument;
  if (o->open) return kIOReturnSuccess;
  IOReturn status = o->backend->open();
  if (status == kIOReturnSuccess) o->open = true;
  return status;
}

IOReturn hidClose(void* self) {
  HIDObject* o = hid(self);
  if (!o) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  o->open = false;
  return o->backend->close();
}

void reportCompletion(void* self, IOReturn status, UInt32 size, IOHIDReportCallbackFunction callback, void* target,
                      void* refcon) {
  if (callback) postToMainQueue([=] { callback(target, status, refcon, self, size); });
}

IOReturn hidGetReport(void* self, IOHIDReportType reportType, UInt32 reportID, void* reportBuffer,
                      UInt32* reportBufferSize, UInt32, IOHIDReportCallbackFunction callback, void* callbackTarget,
                      void* callbackRefcon) {
  HIDObject* o = hid(self);
  if (!o || !reportBufferSize || (!reportBuffer && *reportBufferSize > 0)) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  IOReturn status = o->backend->getReport(reportType, reportID, reportBuffer, reportBufferSize);
  reportCompletion(self, status, *reportBufferSize, callback, callbackTarget, callbackRefcon);
  return status;
}

IOReturn hidSetReport(void* self, IOHIDReportType reportType, UInt32 reportID, void* reportBuffer,
                      UInt32 reportBufferSize, UInt32, IOHIDReportCallbackFunction callback, void* callbackTarget,
                      void* callbackRefcon) {
  HIDObject* o = hid(self);
  if (!o || (!reportBuffer && reportBufferSize > 0)) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  IOReturn status = o->backend->setReport(reportType, reportID, reportBuffer, reportBufferSize);
  reportCompletion(self, status, reportBufferSize, callback, callbackTarget, callbackRefcon);
  return status;
}

HRESULT hidQuery(void* self, REFIID iid, LPVOID* ppv) {
  return queryInterface<HIDObject>(self, CFUUIDGetUUIDBytes(kIOHIDDeviceInterfaceID122), iid, ppv);
}

IOHIDDeviceInterface122 hidTable = {
    nullptr, hidQuery, addRef<HIDObject>, release<HIDObject>, hidOpen, hidClose, hidGetReport, hidSetReport,
};

// ---- USB device interface

// Configuration descriptors handed out stay with the interface until it goes
// (a moved inner vector keeps its bytes where they were).
struct StoredDescriptor {
  UInt8 index;
  std::vector<UInt8> bytes;
};
using DescriptorStore = std::vector<StoredDescriptor>;
using USBDeviceObject = InterfaceObject<IOUSBDeviceInterface, USBDeviceBackend, DescriptorStore>;

USBDeviceObject* usbDevice(void* self) { return self ? self_cast<USBDeviceObject>(self) : nullptr; }

IOReturn usbDeviceOpen(void* self) {
  USBDeviceObject* o = usbDevice(self);
  if (!o) return kIOReturnBadArgument;
  if (o->open) return kIOReturnExclusiveAccess;
  IOReturn status = o->backend->open();
  if (status == kIOReturnSuccess) o->open = true;
  return status;
}

IOReturn usbDeviceClose(void* self) {
  USBDeviceObject* o = usbDevice(self);
  if (!o) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  o->open = false;
  return o->backend->close();
}

IOReturn usbGetVendor(void* self, UInt16* devVendor) {
  USBDeviceObject* o = usbDevice(self);
  if (!o || !devVendor) return kIOReturnBadArgument;
  return o->backend->vendor(devVendor);
}

IOReturn usbGetProduct(void* self, UInt16* devProduct) {
  USBDeviceObject* o = usbDevice(self);
  if (!o || !devProduct) return kIOReturnBadArgument;
  return o->backend->product(devProduct);
}

IOReturn usbGetSerialIndex(void* self, UInt8* si) {
  USBDeviceObject* o = usbDevice(self);
  if (!o || !si) return kIOReturnBadArgument;
  return o->backend->serialNumberStringIndex(si);
}

IOReturn usbDeviceRequest(void* self, IOUSBDevRequest* req) {
  USBDeviceObject* o = usbDevice(self);
  if (!o || !req || (!req->pData && req->wLength > 0)) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  return o->backend->deviceRequest(req);
}

IOReturn usbGetNumberOfConfigurations(void* self, UInt8* numConfig) {
  USBDeviceObject* o = usbDevice(self);
  if (!o || !numConfig) return kIOReturnBadArgument;
  return o->backend->numberOfConfigurations(numConfig);
}

IOReturn usbGetConfigurationDescriptorPtr(void* self, UInt8 configIndex, IOUSBConfigurationDescriptorPtr* desc) {
  USBDeviceObject* o = usbDevice(self);
  if (!o || !desc) return kIOReturnBadArgument;
  *desc = nullptr;
  DescriptorStore& descriptors = o->extra;
  auto found = std::find_if(descriptors.begin(), descriptors.end(),
                            [&](const StoredDescriptor& d) { return d.index == configIndex; });
  if (found == descriptors.end()) {
    std::vector<UInt8> bytes;
    IOReturn status = o->backend->configurationDescriptor(configIndex, &bytes);
    if (status != kIOReturnSuccess) return status;
    // A descriptor shorter than its fixed header would be read past its end.
    if (bytes.size() < sizeof(IOUSBConfigurationDescriptor)) return kIOReturnUnderrun;
    descriptors.push_back({configIndex, std::move(bytes)});
    found = descriptors.end() - 1;
  }
  *desc = reinterpret_cast<IOUSBConfigurationDescriptorPtr>(found->bytes.data());
  return kIOReturnSuccess;
}

IOReturn usbSetConfiguration(void* self, UInt8 configNum) {
  USBDeviceObject* o = usbDevice(self);
  if (!o) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  return o->backend->setConfiguration(configNum);
}

IOReturn usbCreateInterfaceIterator(void* self, IOUSBFindInterfaceRequest* req, io_iterator_t* iter) {
  USBDeviceObject* o = usbDevice(self);
  if (!o || !req || !iter) return kIOReturnBadArgument;
  *iter = 0;
  std::vector<EntryPtr> entries;
  IOReturn status = o->backend->interfaces(*req, &entries);
  if (status != kIOReturnSuccess) return status;
  *iter = makeRegistryIterator(std::move(entries));
  return kIOReturnSuccess;
}

HRESULT usbDeviceQuery(void* self, REFIID iid, LPVOID* ppv) {
  return queryInterface<USBDeviceObject>(self, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID), iid, ppv);
}

IOUSBDeviceInterface usbDeviceTable = {
    nullptr,
    usbDeviceQuery,
    addRef<USBDeviceObject>,
    release<USBDeviceObject>,
    usbDeviceOpen,
    usbDeviceClose,
    usbGetVendor,
    usbGetProduct,
    usbGetSerialIndex,
    usbDeviceRequest,
    usbGetNumberOfConfigurations,
    usbGetConfigurationDescriptorPtr,
    usbSetConfiguration,
    usbCreateInterfaceIterator,
};

// ---- USB interface interface

using USBInterfaceObject = InterfaceObject<IOUSBInterfaceInterface, USBInterfaceBackend>;

USBInterfaceObject* usbInterface(void* self) { return self ? self_cast<USBInterfaceObject>(self) : nullptr; }

IOReturn usbInterfaceOpen(void* self) {
  USBInterfaceObject* o = usbInterface(self);
  if (!o) return kIOReturnBadArgument;
  if (o->open) return kIOReturnExclusiveAccess;
  IOReturn status = o->backend->open();
  if (status == kIOReturnSuccess) o->open = true;
  return status;
}

IOReturn usbInterfaceClose(void* self) {
  USBInterfaceObject* o = usbInterface(self);
  if (!o) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  o->open = false;
  return o->backend->close();
}

IOReturn usbGetNumEndpoints(void* self, UInt8* count) {
  USBInterfaceObject* o = usbInterface(self);
  if (!o || !count) return kIOReturnBadArgument;
  return o->backend->numEndpoints(count);
}

IOReturn usbGetPipeProperties(void* self, UInt8 pipeRef, UInt8* direction, UInt8* number, UInt8* transferType,
                              UInt16* maxPacketSize, UInt8* interval) {
  USBInterfaceObject* o = usbInterface(self);
  if (!o || !direction || !number || !transferType || !maxPacketSize || !interval) return kIOReturnBadArgument;
  return o->backend->pipeProperties(pipeRef, direction, number, transferType, maxPacketSize, interval);
}

IOReturn usbWritePipe(void* self, UInt8 pipeRef, void* buf, UInt32 size) {
  USBInterfaceObject* o = usbInterface(self);
  if (!o || (!buf && size > 0)) return kIOReturnBadArgument;
  if (!o->open) return kIOReturnNotOpen;
  return o->backend->writePipe(pipeRef, buf, size);
}

HRESULT usbInterfaceQuery(void* self, REFIID iid, LPVOID* ppv) {
  return queryInterface<USBInterfaceObject>(self, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID), iid, ppv);
}

IOUSBInterfaceInterface usbInterfaceTable = {
    nullptr,          usbInterfaceQuery,  addRef<USBInterfaceObject>, release<USBInterfaceObject>,
    usbInterfaceOpen, usbInterfaceClose,  usbGetNumEndpoints,         usbGetPipeProperties,
    usbWritePipe,
};

// ---- Plug-in

struct PlugInState {
  InterfaceFactory factory;
  CFUUIDBytes userClientType;
  IOReturn close() { return kIOReturnSuccess; }  // a plug-in is never open
};

using PlugInObject = InterfaceObject<IOCFPlugInInterface, PlugInState>;

HRESULT plugInQuery(void* self, REFIID iid, LPVOID* ppv) {
  if (!ppv) return E_NOINTERFACE;
  *ppv = nullptr;
  if (!self) return E_NOINTERFACE;
  PlugInObject* o = self_cast<PlugInObject>(self);
  if (iid == CFUUIDGetUUIDBytes(kIOCFPlugInInterfaceID) || iid == kIUnknownID) {
    addRef<PlugInObject>(self);
    *ppv = self;
    return S_OK;
  }
  void* found = o->backend->factory ? o->backend->factory(o->backend->userClientType, iid) : nullptr;
  if (!found) return E_NOINTERFACE;
  *ppv = found;
  return S_OK;
}

IOCFPlugInInterface plugInTable = {nullptr, plugInQuery, addRef<PlugInObject>, release<PlugInObject>};

}  // namespace

IOHIDDeviceInterface122** makeHIDDeviceInterface(std::shared_ptr<HIDDeviceBackend> backend) {
  if (!backend) return nullptr;
  return &create<HIDObject>(&hidTable, std::move(backend))->table;
}

IOUSBDeviceInterface** makeUSBDeviceInterface(std::shared_ptr<USBDeviceBackend> backend) {
  if (!backend) return nullptr;
  return &create<USBDeviceObject>(&usbDeviceTable, std::move(backend))->table;
}

IOUSBInterfaceInterface** makeUSBInterfaceInterface(std::shared_ptr<USBInterfaceBackend> backend) {
  if (!backend) return nullptr;
  return &create<USBInterfaceObject>(&usbInterfaceTable, std::move(backend))->table;
}

IOCFPlugInInterface** makePlugInInterface(InterfaceFactory factory, const CFUUIDBytes& userClientType) {
  auto state = std::make_shared<PlugInState>();
  state->factory = std::move(factory);
  state->userClientType = userClientType;
  return &create<PlugInObject>(&plugInTable, std::move(state))->table;
}

size_t liveDeviceInterfaces() { return liveObjects.load(); }

}  // namespace platform
