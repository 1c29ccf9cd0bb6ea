// The device seam: how devices enter and leave the registry, and the backends
// behind the device interfaces. Simulated switches and the Linux side (udev,
// hidraw, libusb) are the two providers; the program never includes this file.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/iokit/device_interfaces.h"

namespace platform {

// What stands behind an IOHIDDeviceInterface122. The interface object keeps
// the open state, so open() and close() are each called once per open period.
class HIDDeviceBackend {
 public:
  virtual ~HIDDeviceBackend() = default;
  virtual IOReturn open() = 0;
  virtual IOReturn close() = 0;
  virtual IOReturn getReport(IOHIDReportType type, UInt32 reportID, void* buffer, UInt32* size) = 0;
  virtual IOReturn setReport(IOHIDReportType type, UInt32 reportID, const void* buffer, UInt32 size) = 0;
};

class RegistryEntry;
using EntryPtr = std::shared_ptr<RegistryEntry>;

// What stands behind an IOUSBDeviceInterface. The interface object keeps the
// open state: open() and close() are called once per open period, and
// deviceRequest() and setConfiguration() only while open.
class USBDeviceBackend {
 public:
  virtual ~USBDeviceBackend() = default;
  virtual IOReturn open() = 0;
  virtual IOReturn close() = 0;
  virtual IOReturn vendor(UInt16* vendor) = 0;
  virtual IOReturn product(UInt16* product) = 0;
  virtual IOReturn serialNumberStringIndex(UInt8* index) = 0;
  virtual IOReturn deviceRequest(IOUSBDevRequest* request) = 0;
  virtual IOReturn numberOfConfigurations(UInt8* count) = 0;
  // The raw configuration descriptor (with its interfaces and endpoints) of `index`.
  virtual IOReturn configurationDescriptor(UInt8 index, std::vector<UInt8>* descriptor) = 0;
  virtual IOReturn setConfiguration(UInt8 value) = 0;
  // Registry entries of the interfaces of the current configuration that fit the request.
  virtual IOReturn interfaces(const IOUSBFindInterfaceRequest& request, std::vector<EntryPtr>* entries) = 0;
};

// What stands behind an IOUSBInterfaceInterface; writePipe() only while open.
class USBInterfaceBackend {
 public:
  virtual ~USBInterfaceBackend() = default;
  virtual IOReturn open() = 0;
  virtual IOReturn close() = 0;
  virtual IOReturn numEndpoints(UInt8* count) = 0;
  virtual IOReturn pipeProperties(UInt8 pipeRef, UInt8* direction, UInt8* number, UInt8* transferType,
                                  UInt16* maxPacketSize, UInt8* interval) = 0;
  virtual IOReturn writePipe(UInt8 pipeRef, const void* buffer, UInt32 size) = 0;
};

// Interface objects in the platform's call shape, each with one reference that
// the caller owns (released through the table's Release).
IOHIDDeviceInterface122** makeHIDDeviceInterface(std::shared_ptr<HIDDeviceBackend> backend);
IOUSBDeviceInterface** makeUSBDeviceInterface(std::shared_ptr<USBDeviceBackend> backend);
IOUSBInterfaceInterface** makeUSBInterfaceInterface(std::shared_ptr<USBInterfaceBackend> backend);
// Live interface objects of all three kinds (tests check for leaks).
size_t liveDeviceInterfaces();

// Given a user-client type, the interface object for `iid` (with one reference
// for the caller), or null when the entry does not offer it.
using InterfaceFactory = std::function<void*(const CFUUIDBytes& userClientType, const CFUUIDBytes& iid)>;

// One entry of the registry. Created by a provider, published to make it
// visible to matching, terminated when its device goes away.
class RegistryEntry {
 public:
  RegistryEntry(std::string className, CFDictionaryRef properties, EntryPtr parent, InterfaceFactory factory);
  ~RegistryEntry();
  RegistryEntry(const RegistryEntry&) = delete;
  RegistryEntry& operator=(const RegistryEntry&) = delete;

  const std::string& className() const { return className_; }
  CFDictionaryRef properties() const { return properties_; }
  const EntryPtr& parent() const { return parent_; }
  const InterfaceFactory& factory() const { return factory_; }
  // Optional: the status IOCreatePlugInInterfaceForService gives for a
  // user-client type, so a provider can make the creation fail. Without it the
  // creation succeeds for every entry that has a factory.
  using PlugInCheck = std::function<IOReturn(const CFUUIDBytes& userClientType)>;
  void setPlugInCheck(PlugInCheck check) { plugInCheck_ = std::move(check); }
  const PlugInCheck& plugInCheck() const { return plugInCheck_; }
  // Optional: a property that costs a request to the device, asked for the
  // first time the entry's properties are read (never for matching), so that
  // only a device the program matched is asked. `read` gives the value with
  // one reference for the entry, or null when the device has none.
  void setLateProperty(std::string key, std::function<CFTypeRef()> read);
  // The properties with the late one (read now if not yet): a new dictionary
  // with one reference for the caller, or null when the entry has none.
  CFMutableDictionaryRef copyProperties();
  bool published() const { return published_; }
  bool terminated() const { return terminated_; }

 private:
  friend void publishEntry(const EntryPtr&);
  friend void terminateEntry(const EntryPtr&);
  std::string className_;
  CFDictionaryRef properties_;
  EntryPtr parent_;
  InterfaceFactory factory_;
  PlugInCheck plugInCheck_;
  std::mutex lateMutex_;
  std::string lateKey_;
  std::function<CFTypeRef()> readLate_;
  CFTypeRef lateValue_ = nullptr;
  bool published_ = false;
  bool terminated_ = false;
};

// Makes an entry visible to matching; armed matching notifications for it are
// delivered through their notification port on the main run loop.
void publishEntry(const EntryPtr& entry);
// The device is gone: the entry no longer matches, and interest notifications
// on it are delivered kIOMessageServiceIsTerminated on the main run loop.
void terminateEntry(const EntryPtr& entry);

// An iterator handle over `entries` (skipping terminated ones), as
// CreateInterfaceIterator hands it out; released with IOObjectRelease.
io_iterator_t makeRegistryIterator(std::vector<EntryPtr> entries);
// The plug-in object of a service for `userClientType`, with one reference:
// QueryInterface asks `factory` for each interface.
IOCFPlugInInterface** makePlugInInterface(InterfaceFactory factory, const CFUUIDBytes& userClientType);

// Handles the program holds (objects, iterators, notifications), for leak checks.
size_t liveRegistryHandles();
// Forgets every entry, handle and notification (between tests).
void resetRegistry();

}  // namespace platform
