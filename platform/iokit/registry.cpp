#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/iokit/device_seam.h"
#include "platform/iokit/iokit.h"

// Notification ports are not handles: they live until destroyed, and
// notifications registered on one share it.
struct IONotificationPort {
  CFRunLoopSourceRef source = nullptr;
};

const mach_port_t bootstrap_port = 0x0807;
const mach_port_t kIOMasterPortDefault = 0;

const CFUUIDRef kIOCFPlugInInterfaceID = CFUUIDGetConstantUUIDWithBytes(
    nullptr, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F);
const CFUUIDRef kIOHIDDeviceUserClientTypeID = CFUUIDGetConstantUUIDWithBytes(
    nullptr, 0xFA, 0x12, 0xFA, 0x38, 0x6F, 0x1A, 0x11, 0xD4, 0xBA, 0x0C, 0x00, 0x05, 0x02, 0x8F, 0x18, 0xD5);
const CFUUIDRef kIOHIDDeviceInterfaceID122 = CFUUIDGetConstantUUIDWithBytes(
    nullptr, 0xB7, 0x0A, 0xBF, 0x31, 0x16, 0xD5, 0x11, 0xD7, 0xAB, 0x35, 0x00, 0x30, 0x65, 0x60, 0x88, 0x84);
const CFUUIDRef kIOUSBDeviceUserClientTypeID = CFUUIDGetConstantUUIDWithBytes(
    nullptr, 0x9D, 0xC7, 0xB7, 0x80, 0x9E, 0xC0, 0x11, 0xD4, 0xA5, 0x4F, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);
const CFUUIDRef kIOUSBDeviceInterfaceID = CFUUIDGetConstantUUIDWithBytes(
    nullptr, 0x5C, 0x81, 0x87, 0xD0, 0x9E, 0xF3, 0x11, 0xD4, 0x8B, 0x45, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);
const CFUUIDRef kIOUSBInterfaceUserClientTypeID = CFUUIDGetConstantUUIDWithBytes(
    nullptr, 0x2D, 0x97, 0x86, 0xC6, 0x9E, 0xF3, 0x11, 0xD4, 0xAD, 0x51, 0x00, 0x0A, 0x27, 0x05, 0x28, 0x61);
const CFUUIDRef kIOUSBInterfaceInterfaceID = CFUUIDGetConstantUUIDWithBytes(
    nullptr, 0x49, 0x23, 0xAC, 0x4C, 0x48, 0x96, 0x11, 0xD5, 0x92, 0x08, 0x00, 0x0A, 0x27, 0x80, 0x1E, 0x86);

namespace platform {

namespace {

constexpr mach_port_t kTaskSelf = 0x0103;
constexpr mach_port_t kMasterPort = 0x0B03;

struct IteratorState {
  ~IteratorState() {
    if (matching) CFRelease(matching);
  }
  std::deque<EntryPtr> queued;
  // A matching notification's iterator also remembers what it watches, and
  // whether the program has drained it since the last callback (armed).
  bool notifies = false;
  CFDictionaryRef matching = nullptr;
  std::shared_ptr<IONotificationPort> port;
  IOServiceMatchingCallback callback = nullptr;
  void* refCon = nullptr;
  bool armed = false;
};

struct InterestState {
  EntryPtr entry;
  std::shared_ptr<IONotificationPort> port;
  IOServiceInterestCallback callback = nullptr;
  void* refCon = nullptr;
};

struct HandleRecord {
  enum Kind { kEntry, kIterator, kInterest } kind;
  unsigned long references = 1;
  EntryPtr entry;
  std::shared_ptr<IteratorState> iterator;
  std::shared_ptr<InterestState> interest;
};

struct Registry {
  std::recursive_mutex mutex;
  std::map<io_object_t, HandleRecord> handles;
  // One handle per entry while the program holds it, as the platform names one object once.
  std::map<const RegistryEntry*, io_object_t> entryHandles;
  std::vector<EntryPtr> published;
  std::map<IONotificationPort*, std::shared_ptr<IONotificationPort>> ports;
  io_object_t nextHandle = 0x2003;
  // Bumped by resetRegistry(): deliveries queued before it are dropped.
  uint64_t generation = 0;
};

// Never freed, so that deliveries still queued at exit find it.
Registry& registry() {
  static auto* r = new Registry;
  return *r;
}

using Lock = std::lock_guard<std::recursive_mutex>;

io_object_t newHandle(Registry& r, HandleRecord handle) {
  io_object_t id;
  do {
    id = r.nextHandle++;
  } while (id == 0 || r.handles.count(id));
  r.handles.emplace(id, std::move(handle));
  return id;
}

io_object_t acquireEntryHandle(Registry& r, const EntryPtr& entry) {
  auto found = r.entryHandles.find(entry.get());
  if (found != r.entryHandles.end()) {
    ++r.handles.at(found->second).references;
    return found->second;
  }
  io_object_t id = newHandle(r, HandleRecord{HandleRecord::kEntry, 1, entry, nullptr, nullptr});
  r.entryHandles[entry.get()] = id;
  return id;
}

HandleRecord* findHandle(Registry& r, io_object_t id, HandleRecord::Kind kind) {
  auto it = r.handles.find(id);
  return it != r.handles.end() && it->second.kind == kind ? &it->second : nullptr;
}

std::shared_ptr<IONotificationPort> findPort(Registry& r, IONotificationPortRef port) {
  auto it = r.ports.find(port);
  return it == r.ports.end() ? nullptr : it->second;
}

std::string text(CFStringRef str) {
  if (CFGetTypeID(str) != CFStringGetTypeID()) return std::string();
  std::string buffer(size_t(CFStringGetLength(str)) * 3 + 1, '\0');
  if (!CFStringGetCString(str, buffer.data(), CFIndex(buffer.size()), kCFStringEncodingUTF8)) return std::string();
  return buffer.c_str();
}

// The class must be the matching's "IOProviderClass"; every other key of the
// matching must be a property of the entry with an equal value.
bool matches(const RegistryEntry& entry, CFDictionaryRef matching) {
  CFIndex count = CFDictionaryGetCount(matching);
  std::vector<const void*> keys(static_cast<size_t>(count)), values(static_cast<size_t>(count));
  CFDictionaryGetKeysAndValues(matching, keys.data(), values.data());
  for (CFIndex i = 0; i < count; ++i) {
    if (CFEqual(keys[size_t(i)], CFSTR("IOProviderClass"))) {
      if (text(static_cast<CFStringRef>(values[size_t(i)])) != entry.className()) return false;
    } else if (!CFEqual(CFDictionaryGetValue(entry.properties(), keys[size_t(i)]), values[size_t(i)])) {
      return false;
    }
  }
  return true;
}

void deliverMatching(uint64_t generation, io_iterator_t id, std::weak_ptr<IteratorState> expected) {
  Registry& r = registry();
  IOServiceMatchingCallback callback;
  void* refCon;
  {
    Lock lock(r.mutex);
    HandleRecord* h = findHandle(r, id, HandleRecord::kIterator);
    if (generation != r.generation || !h || h->iterator != expected.lock()) return;
    callback = h->iterator->callback;
    refCon = h->iterator->refCon;
  }
  if (callback) callback(refCon, id);
}

void deliverTermination(uint64_t generation, io_object_t id, std::weak_ptr<InterestState> expected) {
  Registry& r = registry();
  IOServiceInterestCallback callback;
  void* refCon;
  io_service_t service;
  {
    Lock lock(r.mutex);
    HandleRecord* h = findHandle(r, id, HandleRecord::kInterest);
    // A notification released meanwhile is not called any more.
    if (generation != r.generation || !h || h->interest != expected.lock()) return;
    callback = h->interest->callback;
    refCon = h->interest->refCon;
    if (!callback) return;
    service = acquireEntryHandle(r, h->interest->entry);
  }
  callback(refCon, service, kIOMessageServiceIsTerminated, nullptr);
  IOObjectRelease(service);
}

CFRunLoopSourceRef retained(CFRunLoopSourceRef source) {
  CFRetain(source);
  return source;
}

using Delivery = std::pair<CFRunLoopSourceRef, std::function<void()>>;

// Sends deliveries after the registry lock is left, so that a waker that
// drains at once never runs callbacks inside it.
void send(std::vector<Delivery>& deliveries) {
  for (auto& [source, work] : deliveries) {
    signalRunLoopSource(source, std::move(work));
    CFRelease(source);
  }
}

Delivery terminationDelivery(Registry& r, io_object_t id, const std::shared_ptr<InterestState>& interest) {
  return {retained(interest->port->source),
          [g = r.generation, id, w = std::weak_ptr<InterestState>(interest)] { deliverTermination(g, id, w); }};
}

}  // namespace

// ---- Entries

void publishEntry(const EntryPtr& entry) {
  Registry& r = registry();
  std::vector<Delivery> deliveries;
  {
    Lock lock(r.mutex);
    if (!entry || entry->published_ || entry->terminated_) return;
    entry->published_ = true;
    r.published.push_back(entry);
    for (auto& [id, h] : r.handles) {
      if (h.kind != HandleRecord::kIterator || !h.iterator->notifies || !matches(*entry, h.iterator->matching)) continue;
      IteratorState& it = *h.iterator;
      it.queued.push_back(entry);
      // Not armed: the entry waits in the iterator for the program's next drain.
      if (!it.armed || !it.port->source) continue;
      it.armed = false;
      deliveries.push_back({retained(it.port->source),
                            [g = r.generation, id = id, w = std::weak_ptr<IteratorState>(h.iterator)] {
                              deliverMatching(g, id, w);
                            }});
    }
  }
  send(deliveries);
}

void terminateEntry(const EntryPtr& entry) {
  Registry& r = registry();
  std::vector<Delivery> deliveries;
  {
    Lock lock(r.mutex);
    if (!entry || entry->terminated_) return;
    entry->terminated_ = true;
    std::erase(r.published, entry);
    for (auto& [id, h] : r.handles) {
      if (h.kind == HandleRecord::kInterest && h.interest->entry == entry && h.interest->port->source) {
        deliveries.push_back(terminationDelivery(r, id, h.interest));
      }
    }
  }
  send(deliveries);
}

RegistryEntry::RegistryEntry(std::string className, CFDictionaryRef properties, EntryPtr parent,
                             InterfaceFactory factory)
    : className_(std::move(className)),
      properties_(properties ? static_cast<CFDictionaryRef>(CFRetain(properties)) : nullptr),
      parent_(std::move(parent)),
      factory_(std::move(factory)) {}

RegistryEntry::~RegistryEntry() {
  if (properties_) CFRelease(properties_);
  if (lateValue_) CFRelease(lateValue_);
}

void RegistryEntry::setLateProperty(std::string key, std::function<CFTypeRef()> read) {
  std::lock_guard<std::mutex> lock(lateMutex_);
  lateKey_ = std::move(key);
  readLate_ = std::move(read);
}

CFMutableDictionaryRef RegistryEntry::copyProperties() {
  if (!properties_) return nullptr;
  CFMutableDictionaryRef copy = CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, properties_);
  std::lock_guard<std::mutex> lock(lateMutex_);
  if (readLate_) {
    lateValue_ = readLate_();
    readLate_ = nullptr;
  }
  if (lateValue_) {
    CFStringRef key = CFStringCreateWithCString(kCFAllocatorDefault, lateKey_.c_str(), kCFStringEncodingUTF8);
    CFDictionarySetValue(copy, key, lateValue_);
    CFRelease(key);
  }
  return copy;
}

io_iterator_t makeRegistryIterator(std::vector<EntryPtr> entries) {
  Registry& r = registry();
  auto state = std::make_shared<IteratorState>();
  for (auto& entry : entries) {
    if (entry) state->queued.push_back(std::move(entry));
  }
  Lock lock(r.mutex);
  return newHandle(r, HandleRecord{HandleRecord::kIterator, 1, nullptr, state, nullptr});
}

size_t liveRegistryHandles() {
  Registry& r = registry();
  Lock lock(r.mutex);
  return r.handles.size();
}

void resetRegistry() {
  Registry& r = registry();
  std::map<io_object_t, HandleRecord> handles;
  std::vector<EntryPtr> published;
  {
    Lock lock(r.mutex);
    ++r.generation;
    handles.swap(r.handles);
    published.swap(r.published);
    r.entryHandles.clear();
  }
  // Freed outside the lock: an entry's last reference may go with them.
}

}  // namespace platform

using namespace platform;

// ---- Ports

mach_port_t mach_task_self() { return kTaskSelf; }

kern_return_t mach_port_deallocate(mach_port_t task, mach_port_t name) {
  if (task != kTaskSelf) return KERN_INVALID_ARGUMENT;
  return name == kMasterPort ? KERN_SUCCESS : KERN_INVALID_NAME;
}

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort) {
  if (!masterPort) return kIOReturnBadArgument;
  *masterPort = kMasterPort;
  return KERN_SUCCESS;
}

IONotificationPortRef IONotificationPortCreate(mach_port_t) {
  Registry& r = registry();
  auto port = std::make_shared<IONotificationPort>();
  port->source = createRunLoopSource();
  Lock lock(r.mutex);
  r.ports[port.get()] = port;
  return port.get();
}

void IONotificationPortDestroy(IONotificationPortRef notify) {
  Registry& r = registry();
  CFRunLoopSourceRef source = nullptr;
  {
    Lock lock(r.mutex);
    auto port = findPort(r, notify);
    if (!port) return;
    // Notifications still registered on it stay, but deliver nothing.
    source = port->source;
    port->source = nullptr;
    r.ports.erase(notify);
  }
  CFRelease(source);
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
  Registry& r = registry();
  Lock lock(r.mutex);
  auto port = findPort(r, notify);
  return port ? port->source : nullptr;
}

// ---- Matching

CFMutableDictionaryRef IOServiceMatching(const char* name) {
  if (!name) return nullptr;
  CFMutableDictionaryRef matching =
      CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFStringRef className = CFStringCreateWithCString(kCFAllocatorDefault, name, kCFStringEncodingUTF8);
  CFDictionarySetValue(matching, CFSTR("IOProviderClass"), className);
  CFRelease(className);
  return matching;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
  if (existing) *existing = 0;
  if (!matching) return kIOReturnBadArgument;
  kern_return_t status = kIOReturnBadArgument;
  if (existing && (masterPort == kIOMasterPortDefault || masterPort == kMasterPort)) {
    Registry& r = registry();
    Lock lock(r.mutex);
    auto state = std::make_shared<IteratorState>();
    for (auto& entry : r.published) {
      if (matches(*entry, matching)) state->queued.push_back(entry);
    }
    *existing = newHandle(r, HandleRecord{HandleRecord::kIterator, 1, nullptr, state, nullptr});
    status = kIOReturnSuccess;
  }
  CFRelease(matching);
  return status;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const char* notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* notification) {
  if (notification) *notification = 0;
  if (!matching) return kIOReturnBadArgument;
  Registry& r = registry();
  Lock lock(r.mutex);
  auto port = findPort(r, notifyPort);
  if (!port || !notification || !notificationType) {
    CFRelease(matching);
    return kIOReturnBadArgument;
  }
  if (std::strcmp(notificationType, kIOFirstMatchNotification) != 0) {
    CFRelease(matching);
    return kIOReturnUnsupported;
  }
  auto state = std::make_shared<IteratorState>();
  state->notifies = true;
  state->matching = matching;  // consumed: the iterator keeps the caller's reference
  state->port = port;
  state->callback = callback;
  state->refCon = refCon;
  for (auto& entry : r.published) {
    if (matches(*entry, matching)) state->queued.push_back(entry);
  }
  *notification = newHandle(r, HandleRecord{HandleRecord::kIterator, 1, nullptr, state, nullptr});
  return kIOReturnSuccess;
}

kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort, io_service_t service,
                                               const char* interestType, IOServiceInterestCallback callback,
                                               void* refCon, io_object_t* notification) {
  if (notification) *notification = 0;
  Registry& r = registry();
  std::vector<Delivery> deliveries;
  {
    Lock lock(r.mutex);
    auto port = findPort(r, notifyPort);
    HandleRecord* entryHandle = findHandle(r, service, HandleRecord::kEntry);
    if (!port || !entryHandle || !notification || !interestType) return kIOReturnBadArgument;
    if (std::strcmp(interestType, kIOGeneralInterest) != 0) return kIOReturnUnsupported;
    auto state = std::make_shared<InterestState>();
    state->entry = entryHandle->entry;
    state->port = port;
    state->callback = callback;
    state->refCon = refCon;
    *notification = newHandle(r, HandleRecord{HandleRecord::kInterest, 1, nullptr, nullptr, state});
    // A device that went away before the program asked is reported at once,
    // so that the program never waits for a removal that already happened.
    if (state->entry->terminated() && port->source) deliveries.push_back(terminationDelivery(r, *notification, state));
  }
  send(deliveries);
  return kIOReturnSuccess;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
  Registry& r = registry();
  Lock lock(r.mutex);
  HandleRecord* h = findHandle(r, iterator, HandleRecord::kIterator);
  if (!h) return 0;
  IteratorState& state = *h->iterator;
  while (!state.queued.empty()) {
    EntryPtr entry = std::move(state.queued.front());
    state.queued.pop_front();
    if (!entry->terminated()) return acquireEntryHandle(r, entry);
  }
  state.armed = true;
  return 0;
}

kern_return_t IOObjectRetain(io_object_t object) {
  Registry& r = registry();
  Lock lock(r.mutex);
  auto it = r.handles.find(object);
  if (it == r.handles.end()) return kIOReturnBadArgument;
  ++it->second.references;
  return kIOReturnSuccess;
}

kern_return_t IOObjectRelease(io_object_t object) {
  Registry& r = registry();
  HandleRecord gone{HandleRecord::kEntry, 0, nullptr, nullptr, nullptr};
  {
    Lock lock(r.mutex);
    auto it = r.handles.find(object);
    if (it == r.handles.end()) return kIOReturnBadArgument;
    if (--it->second.references > 0) return kIOReturnSuccess;
    if (it->second.kind == HandleRecord::kEntry) r.entryHandles.erase(it->second.entry.get());
    gone = std::move(it->second);
    r.handles.erase(it);
  }
  // `gone` may hold an entry's or an iterator's last reference: freed outside the lock.
  return kIOReturnSuccess;
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef* properties,
                                                CFAllocatorRef, IOOptionBits) {
  if (!properties) return kIOReturnBadArgument;
  *properties = nullptr;
  EntryPtr found;
  {
    Registry& r = registry();
    Lock lock(r.mutex);
    HandleRecord* h = findHandle(r, entry, HandleRecord::kEntry);
    if (!h) return kIOReturnBadArgument;
    found = h->entry;
  }
  // A late property asks the device: not while the registry is held.
  *properties = found->copyProperties();
  return *properties ? kIOReturnSuccess : kIOReturnError;
}

kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const char* plane,
                                            io_registry_entry_t* parent) {
  if (!parent) return kIOReturnBadArgument;
  *parent = 0;
  Registry& r = registry();
  Lock lock(r.mutex);
  HandleRecord* h = findHandle(r, entry, HandleRecord::kEntry);
  if (!h || !plane || std::strcmp(plane, kIOServicePlane) != 0) return kIOReturnBadArgument;
  if (!h->entry->parent()) return kIOReturnNoDevice;
  EntryPtr parentEntry = h->entry->parent();
  *parent = acquireEntryHandle(r, parentEntry);
  return kIOReturnSuccess;
}

// ---- Plug-ins

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType, CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface, SInt32* theScore) {
  if (!theInterface) return kIOReturnBadArgument;
  *theInterface = nullptr;
  if (!pluginType || !CFEqual(interfaceType, kIOCFPlugInInterfaceID)) return kIOReturnBadArgument;
  EntryPtr entry;
  {
    Registry& r = registry();
    Lock lock(r.mutex);
    HandleRecord* h = findHandle(r, service, HandleRecord::kEntry);
    if (!h) return kIOReturnBadArgument;
    entry = h->entry;
  }
  if (!entry->factory()) return kIOReturnUnsupported;
  const CFUUIDBytes userClientType = CFUUIDGetUUIDBytes(pluginType);
  if (entry->plugInCheck()) {
    IOReturn status = entry->plugInCheck()(userClientType);
    if (status != kIOReturnSuccess) return status;
  }
  *theInterface = makePlugInInterface(entry->factory(), userClientType);
  if (theScore) *theScore = 0;
  return kIOReturnSuccess;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface) {
  if (!interface || !*interface) return kIOReturnBadArgument;
  (*interface)->Release(interface);
  return kIOReturnSuccess;
}
