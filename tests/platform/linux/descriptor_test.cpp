// The largest feature report of a HID report descriptor, as the registry's
// "MaxFeatureReportSize" gives it, and what a broken descriptor gives.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/linux/hidraw.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::optional<uint32_t> Size(const Bytes& d) { return platform::maxFeatureReportSize(d.data(), d.size()); }

// Vendor page, one application collection around `body`.
Bytes Application(const Bytes& body) {
  Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  for (uint8_t byte : body) d.push_back(byte);
  d.push_back(0xC0);
  return d;
}

// Report `id` of `count` bytes (id 0: no Report ID item), of main item `main`.
Bytes Report(uint8_t id, uint8_t count, uint8_t main = 0xB1) {
  Bytes d = {0x75, 0x08, 0x95, count, 0x09, 0x01, main, 0x02};
  if (id) d.insert(d.begin(), {0x85, id});
  return d;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes d;
  for (const Bytes& p : parts) d.insert(d.end(), p.begin(), p.end());
  return d;
}

// The feature-report switch: report 5 of 3 data bytes, report 4 of 7.
const Bytes kSwitch = Application(Join({Report(5, 3), Report(4, 7)}));

}  // namespace

TEST(ReportDescriptor, LargestFeatureReportCountsItsReportIDByte) {
  EXPECT_EQ(8u, Size(kSwitch));
  EXPECT_EQ(64u, Size(Application(Join({Report(1, 63), Report(2, 2)}))));
}

TEST(ReportDescriptor, WithoutReportIDsTheSizeIsTheDataAlone) {
  EXPECT_EQ(8u, Size(Application(Report(0, 8))));
}

TEST(ReportDescriptor, InputAndOutputReportsDoNotCount) {
  EXPECT_EQ(0u, Size(Application(Join({Report(1, 32, 0x81), Report(2, 16, 0x91)}))));
  EXPECT_EQ(4u, Size(Application(Join({Report(1, 32, 0x81), Report(2, 3)}))));
}

TEST(ReportDescriptor, ItemsOfOneReportAddUpAndBitsRoundUpToBytes) {
  // Report 3: 1 bit + 7 bits of padding + 12 bits: 20 bits, 3 bytes, plus the ID.
  Bytes body = {0x85, 0x03, 0x75, 0x01, 0x95, 0x01, 0xB1, 0x02, 0x75, 0x07, 0xB1, 0x03,
                0x75, 0x04, 0x95, 0x03, 0xB1, 0x02};
  EXPECT_EQ(4u, Size(Application(body)));
}

TEST(ReportDescriptor, PushAndPopRestoreTheGlobals) {
  // Report 2 of two 8-bit fields; push, then 1-bit fields of report 9; pop:
  // the last item is again two 8-bit fields of report 2.
  Bytes body = {0x85, 0x02, 0x75, 0x08, 0x95, 0x02, 0xB1, 0x02, 0xA4, 0x75, 0x01,
                0x85, 0x09, 0xB1, 0x02, 0xB4, 0xB1, 0x02};
  EXPECT_EQ(5u, Size(Application(body)));  // report 2: 4 bytes and the ID; report 9: 2
}

TEST(ReportDescriptor, LongItemsAreSkipped) {
  Bytes body = Join({{0xFE, 0x03, 0x10, 0xB1, 0xB1, 0xB1}, Report(5, 3)});
  EXPECT_EQ(4u, Size(Application(body)));
}

TEST(ReportDescriptor, TruncatedDescriptorsHaveNoSize) {
  // Cut inside an item's data, or anywhere inside the collection.
  for (size_t length : {1, 2, 4}) {
    EXPECT_EQ(std::nullopt, Size(Bytes(kSwitch.begin(), kSwitch.begin() + long(length)))) << "length " << length;
  }
  for (size_t length = 6; length < kSwitch.size(); ++length) {
    Bytes cut(kSwitch.begin(), kSwitch.begin() + long(length));
    EXPECT_EQ(std::nullopt, Size(cut)) << "length " << length;
  }
  EXPECT_EQ(std::nullopt, Size(Bytes{}));
  EXPECT_EQ(std::nullopt, platform::maxFeatureReportSize(nullptr, 4));
  EXPECT_EQ(std::nullopt, Size(Bytes{0xFE, 0x05, 0x10, 0x01}));  // long item past the end
}

TEST(ReportDescriptor, MalformedDescriptorsHaveNoSize) {
  EXPECT_EQ(std::nullopt, Size(Application({0x85, 0x00})));                        // report ID 0
  EXPECT_EQ(std::nullopt, Size(Application({0x86, 0x00, 0x01})));                  // report ID above 255
  EXPECT_EQ(std::nullopt, Size(Application({0xB4})));                               // pop without push
  EXPECT_EQ(std::nullopt, Size(Application({0xA4, 0xA4, 0xA4, 0xA4, 0xA4})));      // stack overflow
  EXPECT_EQ(std::nullopt, Size(Join({kSwitch, {0xC0}})));                           // end without collection
  EXPECT_EQ(std::nullopt, Size(Bytes{0xA1, 0x01, 0x85, 0x01}));                     // collection left open
  EXPECT_EQ(std::nullopt, Size(Application({0x77, 0xFF, 0xFF, 0xFF, 0xFF})));      // absurd report size
  EXPECT_EQ(std::nullopt, Size(Application({0x97, 0xFF, 0xFF, 0xFF, 0x7F})));      // absurd report count
}

TEST(ReportDescriptor, FeatureReportsBeyondTheKernelsBufferHaveNoSize) {
  // 256-bit fields, 12288 of them, in 10923 feature items: 4,295,098,368
  // bytes, which a 32-bit sum would give as 131072.
  Bytes huge = {0x76, 0x00, 0x01, 0x96, 0x00, 0x30};
  huge.insert(huge.end(), 10923, 0xB0);
  ASSERT_EQ(10929u, huge.size());
  EXPECT_EQ(std::nullopt, Size(huge));
  // 8192 and 8191 data bytes and the ID fill the buffer; one bit more does not fit.
  Bytes full = {0x85, 0x01, 0x75, 0x08, 0x96, 0x00, 0x20, 0xB1, 0x02, 0x96, 0xFF, 0x1F, 0xB1, 0x02};
  EXPECT_EQ(16384u, Size(Application(full)));
  full.insert(full.end(), {0x75, 0x01, 0x95, 0x01, 0xB1, 0x02});
  EXPECT_EQ(std::nullopt, Size(Application(full)));
}
