// The report-descriptor parser behind "MaxFeatureReportSize": any bytes a
// device or sysfs hands over, read within their length, and the same answer
// as the separate item walker gives; a disagreement stops the run.
#include <cstdint>
#include <cstdio>
#include <optional>

#include "fuzz/hid_item_walker.h"
#include "platform/linux/hidraw.h"

namespace {

void print(const char* who, const std::optional<uint32_t>& size) {
  if (size) {
    fprintf(stderr, "%s: %u\n", who, *size);
  } else {
    fprintf(stderr, "%s: none\n", who);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty input stands for a descriptor that could not be read.
  const uint8_t* descriptor = size > 0 ? data : nullptr;
  const std::optional<uint32_t> parsed = platform::maxFeatureReportSize(descriptor, size);
  const std::optional<uint32_t> walked = fuzzing::largestFeatureReport(descriptor, size);
  if (parsed != walked) {
    print("maxFeatureReportSize", parsed);
    print("item walker", walked);
    __builtin_trap();
  }
  return 0;
}
