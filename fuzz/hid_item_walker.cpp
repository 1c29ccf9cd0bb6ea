#include "fuzz/hid_item_walker.h"

#include <array>

namespace fuzzing {

namespace {

// Item prefixes with the two size bits cleared (HID 1.11, 6.2.2.4 to 6.2.2.7).
constexpr uint8_t kFeature = 0xB0;
constexpr uint8_t kCollection = 0xA0;
constexpr uint8_t kEndCollection = 0xC0;
constexpr uint8_t kReportSize = 0x74;
constexpr uint8_t kReportID = 0x84;
constexpr uint8_t kReportCount = 0x94;
constexpr uint8_t kPush = 0xA4;
constexpr uint8_t kPop = 0xB4;
// A long item: its data length and its tag follow the prefix (6.2.2.3).
constexpr uint8_t kLongItem = 0xFE;

// What the kernel's parser (drivers/hid/hid-core.c) refuses a descriptor for.
constexpr uint32_t kLargestReportSize = 256;      // bits of one field
constexpr uint32_t kLargestReportCount = 12288;   // HID_MAX_USAGES
constexpr unsigned kGlobalStackDepth = 4;         // HID_GLOBAL_STACK_SIZE
// The kernel keeps one byte of HID_MAX_BUFFER_SIZE (16384) for the report ID,
// whether or not the device numbers its reports.
constexpr uint64_t kLargestDataBytes = 16384 - 1;
constexpr uint32_t kReportIDs = 256;              // one byte on the wire, 0 reserved

struct GlobalState {
  uint32_t size = 0;
  uint32_t count = 0;
  uint32_t id = 0;
};

}  // namespace

std::optional<uint32_t> largestFeatureReport(const uint8_t* descriptor, size_t length) {
  if (descriptor == nullptr || length == 0) return std::nullopt;

  std::array<uint64_t, kReportIDs> bits{};
  std::array<GlobalState, kGlobalStackDepth> saved{};
  unsigned depth = 0;
  GlobalState global;
  bool reportIDs = false;
  long openCollections = 0;

  const uint8_t* const end = descriptor + length;
  const uint8_t* p = descriptor;
  while (p != end) {
    const uint8_t prefix = *p++;
    if (prefix == kLongItem) {
      if (end - p < 2) return std::nullopt;
      const uint8_t dataLength = p[0];
      p += 2;
      if (end - p < dataLength) return std::nullopt;
      p += dataLength;
      continue;
    }
    // bSize 3 means four data bytes.
    const unsigned dataBytes = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (end - p < long(dataBytes)) return std::nullopt;
    uint32_t data = 0;
    for (unsigned i = dataBytes; i > 0; --i) data = (data << 8) | p[i - 1];
    p += dataBytes;

    switch (prefix & 0xFC) {
      case kFeature:
        bits[global.id] += uint64_t(global.size) * global.count;
        break;
      case kCollection:
        ++openCollections;
        break;
      case kEndCollection:
        if (openCollections-- == 0) return std::nullopt;
        break;
      case kReportSize:
        if (data > kLargestReportSize) return std::nullopt;
        global.size = data;
        break;
      case kReportCount:
        if (data > kLargestReportCount) return std::nullopt;
        global.count = data;
        break;
      case kReportID:
        if (data == 0 || data >= kReportIDs) return std::nullopt;
        global.id = data;
        reportIDs = true;
        break;
      case kPush:
        if (depth == kGlobalStackDepth) return std::nullopt;
        saved[depth++] = global;
        break;
      case kPop:
        if (depth == 0) return std::nullopt;
        global = saved[--depth];
        break;
      default:
        // Input, Output, the other globals, locals and reserved items carry
        // no feature data.
        break;
    }
  }
  if (openCollections != 0) return std::nullopt;

  uint64_t largest = 0;
  for (uint64_t reportBits : bits) {
    if (reportBits == 0) continue;
    const uint64_t dataBytes = (reportBits + 7) / 8;
    if (dataBytes > kLargestDataBytes) return std::nullopt;
    const uint64_t bytes = dataBytes + (reportIDs ? 1 : 0);
    if (bytes > largest) largest = bytes;
  }
  return uint32_t(largest);
}

}  // namespace fuzzing
