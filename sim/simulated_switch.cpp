#include "sim/simulated_switch.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "platform/core/clock.h"

namespace platform {

struct SimulatedSwitch::Presence {
  explicit Presence(SimulatedSwitch* owner) : sw(owner) {}
  SimulatedSwitch* sw;
  // The USB device and its interfaces are opened exclusively, as on the platform.
  bool deviceOpen = false;
  std::set<size_t> openInterfaces;
};

namespace {

// One lock for every simulated switch and its backends: the program's switch
// worker, the demo's front panel and a USB gadget's threads all reach the
// model. Re-entrant, and a stalled call lets go of it entirely while it
// sleeps, so that a switch "busy for 5 seconds" does not freeze the panel.
class ModelLock {
 public:
  void lock() {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> held(mutex_);
    if (depth_ > 0 && owner_ == me) {
      ++depth_;
      return;
    }
    free_.wait(held, [this] { return depth_ == 0; });
    owner_ = me;
    depth_ = 1;
  }
  void unlock() {
    std::lock_guard<std::mutex> held(mutex_);
    if (--depth_ == 0) free_.notify_one();
  }
  // Lets go however deep the caller holds it; returns that depth.
  int releaseAll() {
    std::lock_guard<std::mutex> held(mutex_);
    const int depth = depth_;
    depth_ = 0;
    free_.notify_one();
    return depth;
  }
  void reacquire(int depth) {
    if (depth == 0) return;
    std::unique_lock<std::mutex> held(mutex_);
    free_.wait(held, [this] { return depth_ == 0; });
    owner_ = std::this_thread::get_id();
    depth_ = depth;
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  std::thread::id owner_;
  int depth_ = 0;
};

ModelLock& modelLock() {
  static ModelLock lock;
  return lock;
}

using ModelGuard = std::lock_guard<ModelLock>;

constexpr int kPortSlots = 4;  // port fields and the available-port mask have room for four

bool isPort(int port) { return port >= 0 && port < kPortSlots; }

bool same(const CFUUIDBytes& bytes, CFUUIDRef id) { return bytes == CFUUIDGetUUIDBytes(id); }

CFMutableDictionaryRef newDictionary() {
  return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

void setValue(CFMutableDictionaryRef dict, const std::string& key, CFTypeRef value) {
  CFStringRef cfKey = CFStringCreateWithCString(kCFAllocatorDefault, key.c_str(), kCFStringEncodingUTF8);
  if (value) {
    CFDictionarySetValue(dict, cfKey, value);
  } else {
    CFDictionaryRemoveValue(dict, cfKey);
  }
  CFRelease(cfKey);
}

void setNumber(CFMutableDictionaryRef dict, const std::string& key, int value) {
  CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value);
  setValue(dict, key, number);
  CFRelease(number);
}

// The entry keeps its own reference to the properties; ours goes here.
EntryPtr newEntry(const char* className, CFMutableDictionaryRef properties, EntryPtr parent,
                  InterfaceFactory factory) {
  auto entry = std::make_shared<RegistryEntry>(className, properties, std::move(parent), std::move(factory));
  CFRelease(properties);
  return entry;
}

// An entry without a plug-in: creating one for it fails.
InterfaceFactory offersNothing() { return nullptr; }

// The HID device entry's properties: the switch's own, then the test's overrides.
CFMutableDictionaryRef hidProperties(uint16_t vendorID, uint16_t productID, CFStringRef serialNumber,
                                     const std::map<std::string, CFTypeRef>& overrides) {
  CFMutableDictionaryRef dict = newDictionary();
  setNumber(dict, "VendorID", vendorID);
  setNumber(dict, "ProductID", productID);
  setNumber(dict, "MaxFeatureReportSize", 8);
  if (serialNumber) setValue(dict, "SerialNumber", serialNumber);
  for (const auto& [key, value] : overrides) setValue(dict, key, value);
  return dict;
}

CFMutableDictionaryRef usbDeviceProperties(uint16_t vendorID, uint16_t productID) {
  CFMutableDictionaryRef dict = newDictionary();
  setNumber(dict, "idVendor", vendorID);
  setNumber(dict, "idProduct", productID);
  return dict;
}

CFMutableDictionaryRef usbInterfaceProperties(int number, int interfaceClass) {
  CFMutableDictionaryRef dict = newDictionary();
  setNumber(dict, "bInterfaceNumber", number);
  setNumber(dict, "bInterfaceClass", interfaceClass);
  return dict;
}

// The first interface is the switch's HID interface; any further ones are its own.
int interfaceClassOf(size_t index) { return index == 0 ? 3 : 0xFF; }

}  // namespace

const char* simCallName(SimCall call) {
  switch (call) {
    case SimCall::HIDOpen: return "HIDOpen";
    case SimCall::HIDClose: return "HIDClose";
    case SimCall::GetReport: return "GetReport";
    case SimCall::SetReport: return "SetReport";
    case SimCall::DeviceOpen: return "DeviceOpen";
    case SimCall::DeviceClose: return "DeviceClose";
    case SimCall::GetDeviceVendor: return "GetDeviceVendor";
    case SimCall::GetDeviceProduct: return "GetDeviceProduct";
    case SimCall::GetSerialIndex: return "GetSerialIndex";
    case SimCall::DeviceRequest: return "DeviceRequest";
    case SimCall::GetNumberOfConfigurations: return "GetNumberOfConfigurations";
    case SimCall::GetConfigurationDescriptor: return "GetConfigurationDescriptor";
    case SimCall::SetConfiguration: return "SetConfiguration";
    case SimCall::CreateInterfaceIterator: return "CreateInterfaceIterator";
    case SimCall::InterfaceOpen: return "InterfaceOpen";
    case SimCall::InterfaceClose: return "InterfaceClose";
    case SimCall::GetNumEndpoints: return "GetNumEndpoints";
    case SimCall::GetPipeProperties: return "GetPipeProperties";
    case SimCall::WritePipe: return "WritePipe";
  }
  return "?";
}

// ---- Common to both generations ----

SimulatedSwitch::SimulatedSwitch(uint16_t vendorID, uint16_t productID)
    : vendorID_(vendorID), productID_(productID), presence_(std::make_shared<Presence>(this)) {}

SimulatedSwitch::~SimulatedSwitch() {
  unplug();
  presence_->sw = nullptr;
  for (auto& [key, value] : hidProperties_) {
    if (value) CFRelease(value);
  }
}

SimSwitchState& SimulatedSwitch::state() {
  ModelGuard guard(modelLock());
  settleScan();
  return state_;
}

int SimulatedSwitch::currentPort() {
  ModelGuard guard(modelLock());
  settleScan();
  return state_.port;
}

void SimulatedSwitch::pressPortButton(int port) {
  ModelGuard guard(modelLock());
  settleScan();
  if (!isPort(port) || !(state_.availablePorts & (1u << port))) return;
  state_.port = port;
  scanSince_ = clock().now();
}

void SimulatedSwitch::failNext(SimCall call, int times, IOReturn status) {
  ModelGuard guard(modelLock());
  Injection& injection = injections_[call];
  injection.failTimes = times;
  injection.status = status;
}

void SimulatedSwitch::shortNext(SimCall call, int times, uint32_t length) {
  ModelGuard guard(modelLock());
  Injection& injection = injections_[call];
  injection.shortTimes = times;
  injection.shortLength = length;
}

void SimulatedSwitch::stallNext(SimCall call, int times, unsigned long ticks) {
  ModelGuard guard(modelLock());
  Injection& injection = injections_[call];
  injection.stallTimes = times;
  injection.stallTicks = ticks;
}

int SimulatedSwitch::pendingFailures(SimCall call) const {
  ModelGuard guard(modelLock());
  auto it = injections_.find(call);
  return it == injections_.end() ? 0 : it->second.failTimes;
}

std::vector<SimExchange> SimulatedSwitch::receivedSince(size_t first) const {
  ModelGuard guard(modelLock());
  if (first >= received_.size()) return {};
  return std::vector<SimExchange>(received_.begin() + std::ptrdiff_t(first), received_.end());
}

SimSwitchState SimulatedSwitch::snapshot() {
  ModelGuard guard(modelLock());
  settleScan();
  return state_;
}

void SimulatedSwitch::clearRecords() {
  ModelGuard guard(modelLock());
  received_.clear();
  calls_.clear();
}

IOReturn SimulatedSwitch::enter(SimCall call) {
  calls_.push_back(call);
  auto it = injections_.find(call);
  if (it == injections_.end()) return kIOReturnSuccess;
  Injection& injection = it->second;
  if (injection.stallTimes > 0) {
    --injection.stallTimes;
    const double seconds = double(injection.stallTicks) / 60.0;
    // A stalled device holds up its caller; it is not a delay the program asked for.
    if (auto* manual = dynamic_cast<ManualClock*>(&clock())) {
      manual->passTime(seconds);
    } else {
      const int depth = modelLock().releaseAll();
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      modelLock().reacquire(depth);
      // Pulled out while it held the caller up.
      if (!plugged_) return kIOReturnNotAttached;
    }
  }
  if (injection.failTimes > 0) {
    --injection.failTimes;
    return injection.status;
  }
  return kIOReturnSuccess;
}

uint32_t SimulatedSwitch::answerLength(SimCall call, uint32_t full) {
  auto it = injections_.find(call);
  if (it == injections_.end() || it->second.shortTimes <= 0) return full;
  --it->second.shortTimes;
  return std::min(full, it->second.shortLength);
}

void SimulatedSwitch::record(SimCall call, uint32_t id, const void* bytes, size_t size) {
  const auto* first = static_cast<const uint8_t*>(bytes);
  received_.push_back(SimExchange{call, id, first ? std::vector<uint8_t>(first, first + size) : std::vector<uint8_t>{}});
}

void SimulatedSwitch::settleScan() {
  const double now = clock().now();
  if (!state_.autoScan) {
    scanning_ = false;
    return;
  }
  if (!scanning_) {
    scanning_ = true;
    scanSince_ = now;
    return;
  }
  if (state_.scanPeriodSeconds <= 0) {
    scanSince_ = now;
    return;
  }
  const double period = state_.scanPeriodSeconds;
  // The small margin keeps an interval that ends exactly now from being lost to rounding.
  const auto steps = static_cast<long long>(std::floor((now - scanSince_) / period + 1e-9));
  if (steps <= 0) return;
  scanSince_ += double(steps) * period;
  const unsigned available = state_.availablePorts & ((1u << kPortSlots) - 1);
  const int cycle = std::popcount(available);
  if (cycle == 0) return;
  // After the first step the port is on the cycle of available ports.
  const long long moves = steps > cycle ? 1 + (steps - 1) % cycle : steps;
  for (long long i = 0; i < moves; ++i) {
    for (int k = 1; k <= kPortSlots; ++k) {
      const int next = ((state_.port < 0 ? 0 : state_.port) + k) % kPortSlots;
      if (available & (1u << next)) {
        state_.port = next;
        break;
      }
    }
  }
}

void SimulatedSwitch::plug() {
  ModelGuard guard(modelLock());
  if (plugged_) return;
  buildEntries();
  publishEntry(usbDeviceEntry_);
  const bool hidInterfaceListed =
      std::find(usbInterfaceEntries_.begin(), usbInterfaceEntries_.end(), interfaceEntry_) != usbInterfaceEntries_.end();
  if (!hidInterfaceListed) publishEntry(interfaceEntry_);
  for (const EntryPtr& entry : usbInterfaceEntries_) publishEntry(entry);
  publishEntry(hidEntry_);
  plugged_ = true;
}

void SimulatedSwitch::unplug() {
  ModelGuard guard(modelLock());
  if (!plugged_) return;
  plugged_ = false;
  terminateEntry(hidEntry_);
  const bool hidInterfaceListed =
      std::find(usbInterfaceEntries_.begin(), usbInterfaceEntries_.end(), interfaceEntry_) != usbInterfaceEntries_.end();
  if (!hidInterfaceListed) terminateEntry(interfaceEntry_);
  for (const EntryPtr& entry : usbInterfaceEntries_) terminateEntry(entry);
  terminateEntry(usbDeviceEntry_);
  // Interfaces of this attachment go dead; the next plug is a new device.
  presence_->sw = nullptr;
  presence_ = std::make_shared<Presence>(this);
}

void SimulatedSwitch::setHIDProperty(const std::string& key, CFTypeRef value) {
  ModelGuard guard(modelLock());
  auto it = hidProperties_.find(key);
  if (it != hidProperties_.end() && it->second) CFRelease(it->second);
  hidProperties_[key] = value ? CFRetain(value) : nullptr;
}

// ---- Feature-report switch ----

class FeatureReportSwitch::Backend : public HIDDeviceBackend {
 public:
  explicit Backend(std::shared_ptr<Presence> presence) : presence_(std::move(presence)) {}

  IOReturn open() override {
    ModelGuard guard(modelLock());
    FeatureReportSwitch* sw = attached();
    return sw ? sw->enter(SimCall::HIDOpen) : kIOReturnNotAttached;
  }

  IOReturn close() override {
    ModelGuard guard(modelLock());
    FeatureReportSwitch* sw = attached();
    return sw ? sw->enter(SimCall::HIDClose) : kIOReturnNotAttached;
  }

  IOReturn getReport(IOHIDReportType type, UInt32 reportID, void* buffer, UInt32* size) override {
    ModelGuard guard(modelLock());
    FeatureReportSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetReport)) return status;
    if (!buffer || !size || type != kIOHIDReportTypeFeature) return kIOReturnBadArgument;
    uint8_t report[8];
    uint32_t full;
    if (reportID == 5) {
      const auto five = sw->report5();
      std::copy(five.begin(), five.end(), report);
      full = uint32_t(five.size());
    } else if (reportID == 4) {
      const auto four = sw->report4();
      std::copy(four.begin(), four.end(), report);
      full = uint32_t(four.size());
    } else {
      return kIOReturnBadArgument;
    }
    const uint32_t length = std::min(*size, sw->answerLength(SimCall::GetReport, full));
    std::memcpy(buffer, report, length);
    *size = length;
    return kIOReturnSuccess;
  }

  IOReturn setReport(IOHIDReportType type, UInt32 reportID, const void* buffer, UInt32 size) override {
    ModelGuard guard(modelLock());
    FeatureReportSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    const IOReturn status = sw->enter(SimCall::SetReport);
    sw->record(SimCall::SetReport, reportID, buffer, buffer ? size : 0);
    if (status) return status;
    if (type != kIOHIDReportTypeFeature || reportID != 4 || !buffer || size != 8) return kIOReturnBadArgument;
    sw->apply(static_cast<const uint8_t*>(buffer), size);
    return kIOReturnSuccess;
  }

 private:
  FeatureReportSwitch* attached() const { return static_cast<FeatureReportSwitch*>(presence_->sw); }
  std::shared_ptr<Presence> presence_;
};

FeatureReportSwitch::FeatureReportSwitch(uint16_t vendorID, uint16_t productID)
    : SimulatedSwitch(vendorID, productID) {}

FeatureReportSwitch::~FeatureReportSwitch() = default;

std::array<uint8_t, 4> FeatureReportSwitch::report5() {
  ModelGuard guard(modelLock());
  settleScan();
  const SimSwitchState& s = state_;
  const uint8_t capabilities = uint8_t(s.hasBuzzer | s.hasAudio << 1 | s.hasHub[0] << 2 | s.hasHub[1] << 3 |
                                       s.hasAutoScanPeriod << 4 | s.hasUniversalHotKey << 5);
  const uint8_t bindable = uint8_t(s.audioBindable << 1 | s.hubBindable[0] << 2 | s.hubBindable[1] << 3);
  return {5, uint8_t(s.port & 0x0F), capabilities, bindable};
}

std::array<uint8_t, 8> FeatureReportSwitch::report4() {
  ModelGuard guard(modelLock());
  settleScan();
  const SimSwitchState& s = state_;
  const uint8_t flags =
      uint8_t(s.buzzer | s.audioBound << 1 | s.hubBound[0] << 2 | s.hubBound[1] << 3 | s.autoScan << 4);
  const int confirmed = s.confirmedPortOverride >= 0 ? s.confirmedPortOverride : s.port;
  return {4,
          flags,
          uint8_t((confirmed & 0x0F) | (s.audioPort & 0x0F) << 4),
          uint8_t((s.hubPort[0] & 0x0F) | (s.hubPort[1] & 0x0F) << 4),
          uint8_t(s.scanPeriodSeconds),
          s.universalHotKey,
          uint8_t(s.availablePorts & 0x0F),
          0};
}

IOHIDDeviceInterface122** FeatureReportSwitch::newDeviceInterface() {
  return makeHIDDeviceInterface(std::make_shared<Backend>(presence_));
}

void FeatureReportSwitch::buildEntries() {
  usbDeviceEntry_ = newEntry("IOUSBDevice", usbDeviceProperties(vendorID_, productID_), nullptr, offersNothing());
  interfaceEntry_ = newEntry("IOUSBInterface", usbInterfaceProperties(0, 3), usbDeviceEntry_, offersNothing());
  usbInterfaceEntries_.clear();
  auto backend = std::make_shared<Backend>(presence_);
  hidEntry_ = newEntry("IOHIDDevice", hidProperties(vendorID_, productID_, nullptr, hidProperties_), interfaceEntry_,
                       [backend](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
                         if (!same(type, kIOHIDDeviceUserClientTypeID) || !same(iid, kIOHIDDeviceInterfaceID122)) {
                           return nullptr;
                         }
                         return makeHIDDeviceInterface(backend);
                       });
}

void FeatureReportSwitch::apply(const uint8_t* report, uint32_t size) {
  if (size < 3) return;
  settleScan();
  SimSwitchState& s = state_;
  const uint8_t argument = report[2];
  switch (report[1]) {
    case 0x81:
      if (isPort(argument)) {
        s.port = argument;
        scanSince_ = clock().now();
      }
      break;
    case 0x84: s.audioBound = true; break;
    case 0x85: s.audioBound = false; break;
    case 0x86: s.buzzer = argument != 0; break;
    case 0x87: s.scanPeriodSeconds = argument; break;
    case 0x88:
      if (!s.autoScan) {
        s.autoScan = true;
        scanning_ = true;
        scanSince_ = clock().now();
      }
      break;
    case 0x89:
      s.autoScan = false;
      scanning_ = false;
      break;
    case 0x8A:
    case 0x8B:
      if (isPort(argument)) s.hubPort[report[1] - 0x8A] = argument;
      break;
    case 0x8C:
      if (isPort(argument)) s.audioPort = argument;
      break;
    case 0x8D: s.hubBound[0] = true; break;
    case 0x8E: s.hubBound[0] = false; break;
    case 0x8F: s.hubBound[1] = true; break;
    case 0x90: s.hubBound[1] = false; break;
    case 0x91: s.universalHotKey = argument; break;
    default: break;  // not a command of this switch: kept in received(), otherwise ignored
  }
}

// ---- Serial-number switch ----

class SerialNumberSwitch::HIDBackend : public HIDDeviceBackend {
 public:
  explicit HIDBackend(std::shared_ptr<Presence> presence) : presence_(std::move(presence)) {}

  IOReturn open() override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    return sw ? sw->enter(SimCall::HIDOpen) : kIOReturnNotAttached;
  }
  IOReturn close() override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    return sw ? sw->enter(SimCall::HIDClose) : kIOReturnNotAttached;
  }
  IOReturn getReport(IOHIDReportType, UInt32, void*, UInt32*) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetReport)) return status;
    return kIOReturnUnsupported;
  }
  IOReturn setReport(IOHIDReportType, UInt32 reportID, const void* buffer, UInt32 size) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    const IOReturn status = sw->enter(SimCall::SetReport);
    sw->record(SimCall::SetReport, reportID, buffer, buffer ? size : 0);
    return status ? status : kIOReturnUnsupported;
  }

 private:
  SerialNumberSwitch* attached() const { return static_cast<SerialNumberSwitch*>(presence_->sw); }
  std::shared_ptr<Presence> presence_;
};

class SerialNumberSwitch::DeviceBackend : public USBDeviceBackend {
 public:
  explicit DeviceBackend(std::shared_ptr<Presence> presence) : presence_(std::move(presence)) {}

  IOReturn open() override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::DeviceOpen)) return status;
    if (presence_->deviceOpen) return kIOReturnExclusiveAccess;
    presence_->deviceOpen = true;
    return kIOReturnSuccess;
  }

  IOReturn close() override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::DeviceClose)) return status;
    presence_->deviceOpen = false;
    return kIOReturnSuccess;
  }

  IOReturn vendor(UInt16* vendor) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetDeviceVendor)) return status;
    if (!vendor) return kIOReturnBadArgument;
    *vendor = sw->vendorID_;
    return kIOReturnSuccess;
  }

  IOReturn product(UInt16* product) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetDeviceProduct)) return status;
    if (!product) return kIOReturnBadArgument;
    *product = sw->productID_;
    return kIOReturnSuccess;
  }

  IOReturn serialNumberStringIndex(UInt8* index) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetSerialIndex)) return status;
    if (!index) return kIOReturnBadArgument;
    *index = kSerialNumberStringIndex;
    return kIOReturnSuccess;
  }

  IOReturn deviceRequest(IOUSBDevRequest* request) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    const IOReturn status = sw->enter(SimCall::DeviceRequest);
    if (!request) return status ? status : kIOReturnBadArgument;
    const uint8_t setup[8] = {request->bmRequestType,       request->bRequest,
                              uint8_t(request->wValue),     uint8_t(request->wValue >> 8),
                              uint8_t(request->wIndex),     uint8_t(request->wIndex >> 8),
                              uint8_t(request->wLength),    uint8_t(request->wLength >> 8)};
    sw->record(SimCall::DeviceRequest, request->wValue, setup, sizeof setup);
    if (status) return status;
    request->wLenDone = 0;
    // Only string descriptors are served: the language list and the serial number.
    if (request->bmRequestType != 0x80 || request->bRequest != kUSBRqGetDescriptor ||
        (request->wValue >> 8) != kUSBStringDesc) {
      return kIOReturnBadArgument;
    }
    std::vector<uint8_t> reply;
    const unsigned index = request->wValue & 0xFF;
    if (index == 0) {
      reply = {4, kUSBStringDesc, 0x09, 0x04};
    } else if (index == kSerialNumberStringIndex) {
      reply = sw->serialNumberDescriptor();
    } else {
      return kIOReturnBadArgument;
    }
    const uint32_t wanted = std::min<uint32_t>(request->wLength, uint32_t(reply.size()));
    if (wanted > 0 && !request->pData) return kIOReturnBadArgument;
    const uint32_t length = sw->answerLength(SimCall::DeviceRequest, wanted);
    if (length > 0) std::memcpy(request->pData, reply.data(), length);
    request->wLenDone = length;
    return kIOReturnSuccess;
  }

  IOReturn numberOfConfigurations(UInt8* count) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetNumberOfConfigurations)) return status;
    if (!count) return kIOReturnBadArgument;
    *count = sw->configurationCount_;
    return kIOReturnSuccess;
  }

  IOReturn configurationDescriptor(UInt8 index, std::vector<UInt8>* descriptor) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetConfigurationDescriptor)) return status;
    if (!descriptor || index >= sw->configurationCount_) return kIOReturnBadArgument;
    *descriptor = sw->configurationDescriptor();
    (*descriptor)[5] = uint8_t(index + 1);  // bConfigurationValue
    return kIOReturnSuccess;
  }

  IOReturn setConfiguration(UInt8 value) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::SetConfiguration)) return status;
    if (value > sw->configurationCount_) return kIOReturnBadArgument;
    sw->configurationValue_ = value;
    return kIOReturnSuccess;
  }

  IOReturn interfaces(const IOUSBFindInterfaceRequest& request, std::vector<EntryPtr>* entries) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::CreateInterfaceIterator)) return status;
    if (!entries) return kIOReturnBadArgument;
    entries->clear();
    // A switch that is not in the registry still answers, with entries of its own.
    const std::vector<EntryPtr> all = sw->plugged_ ? sw->usbInterfaceEntries_ : sw->interfaceEntries();
    auto fits = [](UInt16 wanted, int actual) { return wanted == kIOUSBFindInterfaceDontCare || wanted == actual; };
    for (size_t i = 0; i < all.size(); ++i) {
      if (fits(request.bInterfaceClass, interfaceClassOf(i)) && fits(request.bInterfaceSubClass, 0) &&
          fits(request.bInterfaceProtocol, 0) && fits(request.bAlternateSetting, 0)) {
        entries->push_back(all[i]);
      }
    }
    return kIOReturnSuccess;
  }

 private:
  SerialNumberSwitch* attached() const { return static_cast<SerialNumberSwitch*>(presence_->sw); }
  std::shared_ptr<Presence> presence_;
};

class SerialNumberSwitch::InterfaceBackend : public USBInterfaceBackend {
 public:
  InterfaceBackend(std::shared_ptr<Presence> presence, size_t index, std::vector<Endpoint> endpoints)
      : presence_(std::move(presence)), index_(index), endpoints_(std::move(endpoints)) {}

  IOReturn open() override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::InterfaceOpen)) return status;
    if (!presence_->openInterfaces.insert(index_).second) return kIOReturnExclusiveAccess;
    return kIOReturnSuccess;
  }

  IOReturn close() override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::InterfaceClose)) return status;
    presence_->openInterfaces.erase(index_);
    return kIOReturnSuccess;
  }

  IOReturn numEndpoints(UInt8* count) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetNumEndpoints)) return status;
    if (!count) return kIOReturnBadArgument;
    *count = uint8_t(endpoints_.size());
    return kIOReturnSuccess;
  }

  IOReturn pipeProperties(UInt8 pipeRef, UInt8* direction, UInt8* number, UInt8* transferType, UInt16* maxPacketSize,
                          UInt8* interval) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    if (IOReturn status = sw->enter(SimCall::GetPipeProperties)) return status;
    const Endpoint* endpoint = pipe(pipeRef);
    if (!endpoint) return kIOReturnBadArgument;
    if (direction) *direction = endpoint->direction;
    if (number) *number = endpoint->number;
    if (transferType) *transferType = endpoint->transferType;
    if (maxPacketSize) *maxPacketSize = endpoint->maxPacketSize;
    if (interval) *interval = endpoint->interval;
    return kIOReturnSuccess;
  }

  IOReturn writePipe(UInt8 pipeRef, const void* buffer, UInt32 size) override {
    ModelGuard guard(modelLock());
    SerialNumberSwitch* sw = attached();
    if (!sw) return kIOReturnNotAttached;
    const IOReturn status = sw->enter(SimCall::WritePipe);
    sw->record(SimCall::WritePipe, pipeRef, buffer, buffer ? size : 0);
    if (status) return status;
    const Endpoint* endpoint = pipe(pipeRef);
    if (!endpoint || endpoint->direction != kUSBOut || (size > 0 && !buffer)) return kIOReturnBadArgument;
    sw->apply(static_cast<const uint8_t*>(buffer), size);
    return kIOReturnSuccess;
  }

 private:
  SerialNumberSwitch* attached() const { return static_cast<SerialNumberSwitch*>(presence_->sw); }
  const Endpoint* pipe(UInt8 pipeRef) const {
    return pipeRef >= 1 && pipeRef <= endpoints_.size() ? &endpoints_[pipeRef - 1] : nullptr;
  }
  std::shared_ptr<Presence> presence_;
  size_t index_;
  std::vector<Endpoint> endpoints_;
};

SerialNumberSwitch::SerialNumberSwitch(uint16_t vendorID, uint16_t productID)
    : SimulatedSwitch(vendorID, productID),
      interfaces_{{Endpoint{kUSBIn, 1, kUSBInterrupt, 8, 10}, Endpoint{kUSBOut, 2, kUSBInterrupt, 8, 10}}} {}

SerialNumberSwitch::~SerialNumberSwitch() = default;

std::u16string SerialNumberSwitch::serialNumber() {
  ModelGuard guard(modelLock());
  settleScan();
  const SimSwitchState& s = state_;
  // Bit 0 of the second unit: the buzzer can be switched; bits 1-2: two ports.
  const int periodUnits = std::clamp(s.scanPeriodSeconds / 5, 0, 15);
  return {char16_t((s.port & 0x07) | (s.portUnitMarks & ~0x07)),
          char16_t(0x01 | 0x02 | s.autoScan << 3 | (s.availablePorts & 0x0F) << 4),
          char16_t(periodUnits | s.buzzer << 4 | (s.audioPort & 0x03) << 5 | s.audioBound << 7)};
}

std::vector<uint8_t> SerialNumberSwitch::serialNumberDescriptor() {
  const std::u16string units = serialNumber();
  std::vector<uint8_t> descriptor{uint8_t(2 + 2 * units.size()), kUSBStringDesc};
  for (char16_t unit : units) {
    descriptor.push_back(uint8_t(unit));
    descriptor.push_back(uint8_t(unit >> 8));
  }
  return descriptor;
}

void SerialNumberSwitch::setInterfaces(std::vector<std::vector<Endpoint>> interfaces) {
  ModelGuard guard(modelLock());
  interfaces_ = std::move(interfaces);
}

void SerialNumberSwitch::setConfigurationCount(uint8_t count) { configurationCount_ = count; }

IOUSBDeviceInterface** SerialNumberSwitch::newDeviceInterface() {
  return makeUSBDeviceInterface(std::make_shared<DeviceBackend>(presence_));
}

IOUSBInterfaceInterface** SerialNumberSwitch::newInterfaceInterface(size_t index) {
  if (index >= interfaces_.size()) return nullptr;
  return makeUSBInterfaceInterface(std::make_shared<InterfaceBackend>(presence_, index, interfaces_[index]));
}

std::vector<uint8_t> SerialNumberSwitch::configurationDescriptor() const {
  std::vector<uint8_t> descriptor{9, 2, 0, 0, uint8_t(interfaces_.size()), 1, 0, 0x80, 50};
  for (size_t i = 0; i < interfaces_.size(); ++i) {
    const auto& endpoints = interfaces_[i];
    descriptor.insert(descriptor.end(),
                      {9, 4, uint8_t(i), 0, uint8_t(endpoints.size()), uint8_t(interfaceClassOf(i)), 0, 0, 0});
    for (const Endpoint& e : endpoints) {
      descriptor.insert(descriptor.end(),
                        {7, 5, uint8_t(e.number | (e.direction == kUSBIn ? 0x80 : 0x00)), e.transferType,
                         uint8_t(e.maxPacketSize), uint8_t(e.maxPacketSize >> 8), e.interval});
    }
  }
  descriptor[2] = uint8_t(descriptor.size());
  descriptor[3] = uint8_t(descriptor.size() >> 8);
  return descriptor;
}

std::vector<EntryPtr> SerialNumberSwitch::interfaceEntries() {
  std::vector<EntryPtr> entries;
  for (size_t i = 0; i < interfaces_.size(); ++i) {
    auto backend = std::make_shared<InterfaceBackend>(presence_, i, interfaces_[i]);
    entries.push_back(newEntry("IOUSBInterface", usbInterfaceProperties(int(i), interfaceClassOf(i)), usbDeviceEntry_,
                               [backend](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
                                 if (!same(type, kIOUSBInterfaceUserClientTypeID) ||
                                     !same(iid, kIOUSBInterfaceInterfaceID)) {
                                   return nullptr;
                                 }
                                 return makeUSBInterfaceInterface(backend);
                               }));
  }
  return entries;
}

void SerialNumberSwitch::buildEntries() {
  auto device = std::make_shared<DeviceBackend>(presence_);
  usbDeviceEntry_ = newEntry("IOUSBDevice", usbDeviceProperties(vendorID_, productID_), nullptr,
                             [device](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
                               if (!same(type, kIOUSBDeviceUserClientTypeID) || !same(iid, kIOUSBDeviceInterfaceID)) {
                                 return nullptr;
                               }
                               return makeUSBDeviceInterface(device);
                             });
  usbInterfaceEntries_ = interfaceEntries();
  // The HID device hangs below the first interface; a switch set up without
  // interfaces still shows it, below an interface of its own.
  interfaceEntry_ = usbInterfaceEntries_.empty()
                        ? newEntry("IOUSBInterface", usbInterfaceProperties(0, 3), usbDeviceEntry_, offersNothing())
                        : usbInterfaceEntries_.front();
  const std::u16string units = serialNumber();
  CFStringRef serial = CFStringCreateWithCharacters(kCFAllocatorDefault, reinterpret_cast<const UniChar*>(units.data()),
                                                    CFIndex(units.size()));
  auto hid = std::make_shared<HIDBackend>(presence_);
  hidEntry_ = newEntry("IOHIDDevice", hidProperties(vendorID_, productID_, serial, hidProperties_), interfaceEntry_,
                       [hid](const CFUUIDBytes& type, const CFUUIDBytes& iid) -> void* {
                         if (!same(type, kIOHIDDeviceUserClientTypeID) || !same(iid, kIOHIDDeviceInterfaceID122)) {
                           return nullptr;
                         }
                         return makeHIDDeviceInterface(hid);
                       });
  CFRelease(serial);
}

void SerialNumberSwitch::apply(const uint8_t* packet, uint32_t size) {
  if (size != 8) return;  // the switch takes whole packets only
  settleScan();
  SimSwitchState& s = state_;
  const uint8_t argument = packet[1];
  switch (packet[0]) {
    case 0x01:
      if (isPort(argument)) {
        s.port = argument;
        scanSince_ = clock().now();
      }
      break;
    case 0x02: s.buzzer = true; break;
    case 0x03: s.buzzer = false; break;
    case 0x04: s.audioBound = true; break;
    case 0x05:
      if (isPort(argument)) {
        s.audioPort = argument;
        s.audioBound = false;
      }
      break;
    case 0x06: s.scanPeriodSeconds = argument * 5; break;
    case 0x07:
      if (!s.autoScan) {
        s.autoScan = true;
        scanning_ = true;
        scanSince_ = clock().now();
      }
      break;
    case 0x08:
      s.autoScan = false;
      scanning_ = false;
      break;
    default: break;  // not a command of this switch: kept in received(), otherwise ignored
  }
}

}  // namespace platform
