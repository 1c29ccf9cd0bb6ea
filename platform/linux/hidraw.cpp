#include "platform/linux/hidraw.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/core/bundle.h"

namespace platform {

IOReturn ioReturnFromErrno(int error) {
  switch (error) {
    case 0:
      return kIOReturnSuccess;
    // The node or the device behind it is gone (unplugged, driver unbound).
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
    case ENOENT:
      return kIOReturnNotAttached;
    case EACCES:
    case EPERM:
      return kIOReturnNotPrivileged;
    case ETIMEDOUT:
      return kIOReturnTimeout;
    case EBUSY:
      return kIOReturnExclusiveAccess;
    // The device stalled the request: it has no such report.
    case EPIPE:
      return kIOReturnUnsupported;
    case EINVAL:
      return kIOReturnError;
    case ENOMEM:
      return kIOReturnNoMemory;
    default:
      return kIOReturnIOError;
  }
}

namespace {

std::mutex deniedMutex;
std::string deniedNode;

// The tag udev's rules put on a node for logind, which gives it to the user of
// the active local session only.
constexpr char kSeatTag[] = "uaccess";

// Whether udev's rules tag the node now, by the name udev gave it. The tag
// list is also the CURRENT_TAGS property (":seat:uaccess:"), which is what a
// fake udev database holds.
bool taggedForSeat(const std::string& node) {
  udev* context = udev_new();
  if (!context) return false;
  bool tagged = false;
  udev_enumerate* scan = udev_enumerate_new(context);
  if (scan && udev_enumerate_add_match_property(scan, "DEVNAME", node.c_str()) >= 0 &&
      udev_enumerate_scan_devices(scan) >= 0) {
    const std::string listed = std::string(":") + kSeatTag + ":";
    udev_list_entry* item;
    udev_list_entry_foreach(item, udev_enumerate_get_list_entry(scan)) {
      udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(item));
      if (!device) continue;
      const char* tags = udev_device_get_property_value(device, "CURRENT_TAGS");
      tagged = tagged || udev_device_has_current_tag(device, kSeatTag) > 0 ||
               (tags && std::strstr(tags, listed.c_str()) != nullptr);
      udev_device_unref(device);
    }
  }
  if (scan) udev_enumerate_unref(scan);
  udev_unref(context);
  return tagged;
}

}  // namespace

std::string deniedNodeReason(const std::string& node) {
  if (taggedForSeat(node)) {
    return "access is given only to the user of the active local session; check yours with loginctl";
  }
  const std::string prefix = installedPrefix();
  if (prefix.empty()) return std::string();
  // udev reads no rules below /usr/local: a local install's copy is not in force.
  const std::string rules = prefix + "/" PORTVANE_UDEV_RULES_DIR "/70-portvane.rules";
  return "udev has not applied " + rules +
         " to it (udev reads only /usr/lib/udev/rules.d and /etc/udev/rules.d); replug the switch";
}

namespace {

// The device nodes this process holds the lock on. The flock belongs to the
// open file description, so a duplicate of the first open's descriptor holds
// it, whichever of the node's opens closes first; a later open of the same
// node in this process takes no lock of its own, which would wait for ever on
// the first.
struct NodeLock {
  int fd;
  int opens;
};
std::mutex nodeLocksMutex;
std::map<std::string, NodeLock> nodeLocks;

bool sharesNodeLock(const std::string& node) {
  std::lock_guard<std::mutex> lock(nodeLocksMutex);
  auto it = nodeLocks.find(node);
  if (it == nodeLocks.end()) return false;
  ++it->second.opens;
  return true;
}

// Waits for the node's lock on `fd`. A node that takes no lock (a file system
// without them) is used unlocked, as before locks were taken.
void lockNode(const std::string& node, int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX);
  } while (result < 0 && errno == EINTR);
  const int holder = result == 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
  std::lock_guard<std::mutex> lock(nodeLocksMutex);
  auto [it, added] = nodeLocks.try_emplace(node, NodeLock{holder, 1});
  if (!added) {
    // Another thread of this process locked it meanwhile (after ours was given back).
    ++it->second.opens;
    if (holder >= 0) ::close(holder);
  }
}

}  // namespace

void closeDeviceNode(const std::string& node, int fd) {
  ::close(fd);
  std::lock_guard<std::mutex> lock(nodeLocksMutex);
  auto it = nodeLocks.find(node);
  if (it == nodeLocks.end() || --it->second.opens > 0) return;
  if (it->second.fd >= 0) ::close(it->second.fd);
  nodeLocks.erase(it);
}

int openDeviceNode(const std::string& node, bool nameDenial) {
  int fd;
  do {
    fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    if (!sharesNodeLock(node)) lockNode(node, fd);
    return fd;
  }
  int error = errno;
  if (nameDenial && (error == EACCES || error == EPERM)) {
    const std::string reason = deniedNodeReason(node);
    if (reason.empty()) {
      fprintf(stderr,
              "portvane: no permission to open %s: install the udev rules (scripts/install-udev-rules.sh) and replug "
              "the switch\n",
              node.c_str());
    } else {
      fprintf(stderr, "portvane: no permission to open %s: %s\n", node.c_str(), reason.c_str());
    }
    std::lock_guard<std::mutex> lock(deniedMutex);
    deniedNode = node;
  }
  return -error;
}

std::string takeDeniedDeviceNode() {
  std::lock_guard<std::mutex> lock(deniedMutex);
  std::string node;
  node.swap(deniedNode);
  return node;
}

// ---- Report descriptor

namespace {

// Limits the kernel's own parser applies; beyond them it refuses the device.
constexpr uint32_t kMaxReportSizeBits = 256;
constexpr uint32_t kMaxReportCount = 12288;
constexpr size_t kMaxGlobalStack = 4;
// The kernel's report buffer (HID_MAX_BUFFER_SIZE in its linux/hid.h, not
// exported to user space); a report's data must leave a byte of it for the ID.
constexpr uint64_t kMaxBufferSize = 16384;
constexpr uint64_t kMaxReportBits = (kMaxBufferSize - 1) * 8;

struct Globals {
  uint32_t reportID = 0;
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
};

}  // namespace

std::optional<uint32_t> maxFeatureReportSize(const uint8_t* descriptor, size_t length) {
  if (!descriptor || length == 0) return std::nullopt;
  Globals globals;
  std::vector<Globals> stack;
  std::map<uint32_t, uint64_t> featureBits;  // per report ID
  bool usesReportIDs = false;
  int collectionDepth = 0;

  size_t at = 0;
  while (at < length) {
    const uint8_t prefix = descriptor[at++];
    if (prefix == 0xFE) {
      // Long item: data size and tag follow; no long item is defined, skip it.
      if (length - at < 2) return std::nullopt;
      const size_t dataSize = descriptor[at];
      at += 2;
      if (length - at < dataSize) return std::nullopt;
      at += dataSize;
      continue;
    }
    static constexpr size_t kDataSizes[4] = {0, 1, 2, 4};
    const size_t dataSize = kDataSizes[prefix & 0x03];
    if (length - at < dataSize) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 0; i < dataSize; ++i) value |= uint32_t(descriptor[at + i]) << (8 * i);
    at += dataSize;

    const uint8_t type = (prefix >> 2) & 0x03;
    const uint8_t tag = prefix >> 4;
    if (type == 0) {  // main
      switch (tag) {
        case 0x0B: {  // Feature
          uint64_t& bits = featureBits[globals.reportID];
          bits += uint64_t(globals.reportSize) * globals.reportCount;
          // More than the kernel's buffer holds: it would refuse the device.
          if (bits > kMaxReportBits) return std::nullopt;
          break;
        }
        case 0x0A:  // Collection
          ++collectionDepth;
          break;
        case 0x0C:  // End Collection
          if (collectionDepth == 0) return std::nullopt;
          --collectionDepth;
          break;
        default:  // Input, Output and reserved tags add no feature data
          break;
      }
    } else if (type == 1) {  // global
      switch (tag) {
        case 0x07:  // Report Size
          if (value > kMaxReportSizeBits) return std::nullopt;
          globals.reportSize = value;
          break;
        case 0x08:  // Report ID: 0 is reserved, and IDs are one byte on the wire
          if (value == 0 || value > 0xFF) return std::nullopt;
          globals.reportID = value;
          usesReportIDs = true;
          break;
        case 0x09:  // Report Count
          if (value > kMaxReportCount) return std::nullopt;
          globals.reportCount = value;
          break;
        case 0x0A:  // Push
          if (stack.size() == kMaxGlobalStack) return std::nullopt;
          stack.push_back(globals);
          break;
        case 0x0B:  // Pop
          if (stack.empty()) return std::nullopt;
          globals = stack.back();
          stack.pop_back();
          break;
        default:
          break;
      }
    }
    // Local items and the reserved type do not change report sizes.
  }
  if (collectionDepth != 0) return std::nullopt;

  // At most kMaxBufferSize, so the size fits every field it is stored in.
  uint32_t largest = 0;
  for (const auto& [id, bits] : featureBits) {
    if (bits == 0) continue;
    largest = std::max(largest, uint32_t((bits + 7) / 8 + (usesReportIDs ? 1 : 0)));
  }
  return largest;
}

// ---- Backend

namespace {

std::atomic<size_t> openNodes{0};

// The size field of the hidraw ioctls is 14 bits wide.
constexpr uint32_t kMaxIoctlLength = (1u << 14) - 1;

int retryingIoctl(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ::ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

class HidrawBackend : public HIDDeviceBackend {
 public:
  explicit HidrawBackend(std::string node) : node_(std::move(node)) {}
  ~HidrawBackend() override { closeNode(); }

  IOReturn open() override {
    if (fd_ >= 0) return kIOReturnSuccess;
    int fd = openDeviceNode(node_);
    if (fd < 0) return ioReturnFromErrno(-fd);
    fd_ = fd;
    ++openNodes;
    return kIOReturnSuccess;
  }

  IOReturn close() override {
    if (fd_ < 0) return kIOReturnNotOpen;
    closeNode();
    return kIOReturnSuccess;
  }

  IOReturn getReport(IOHIDReportType type, UInt32 reportID, void* buffer, UInt32* size) override {
    if (fd_ < 0) return kIOReturnNotOpen;
    if (type != kIOHIDReportTypeFeature) return kIOReturnUnsupported;
    if (!buffer || !size || *size == 0 || *size > kMaxIoctlLength || reportID > 0xFF) return kIOReturnBadArgument;
    // The kernel reads the report ID from byte 0 and answers with it in byte 0.
    auto* bytes = static_cast<uint8_t*>(buffer);
    bytes[0] = uint8_t(reportID);
    int received = retryingIoctl(fd_, HIDIOCGFEATURE(*size), bytes);
    if (received < 0) return ioReturnFromErrno(errno);
    *size = std::min<UInt32>(UInt32(received), *size);
    return kIOReturnSuccess;
  }

  IOReturn setReport(IOHIDReportType type, UInt32 reportID, const void* buffer, UInt32 size) override {
    if (fd_ < 0) return kIOReturnNotOpen;
    if (type != kIOHIDReportTypeFeature) return kIOReturnUnsupported;
    if (!buffer || size == 0 || size > kMaxIoctlLength || reportID > 0xFF) return kIOReturnBadArgument;
    // The report sent is the one the caller names: the kernel takes its ID from byte 0.
    std::vector<uint8_t> report(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + size);
    report[0] = uint8_t(reportID);
    if (retryingIoctl(fd_, HIDIOCSFEATURE(size), report.data()) < 0) return ioReturnFromErrno(errno);
    return kIOReturnSuccess;
  }

 private:
  void closeNode() {
    if (fd_ < 0) return;
    closeDeviceNode(node_, fd_);
    fd_ = -1;
    --openNodes;
  }

  std::string node_;
  int fd_ = -1;
};

}  // namespace

size_t openHidrawNodes() { return openNodes; }

std::shared_ptr<HIDDeviceBackend> makeHidrawBackend(std::string node) {
  return std::make_shared<HidrawBackend>(std::move(node));
}

}  // namespace platform
