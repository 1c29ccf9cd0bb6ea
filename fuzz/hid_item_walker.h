// A second, separately written reading of a HID report descriptor: short
// items one by one as HID 1.11 (6.2.2) lays them out, feature bits summed per
// report ID, and the kernel's limits on what it accepts. The descriptor fuzz
// target holds the program's parser to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace fuzzing {

// The largest feature report of `descriptor` in bytes, with the report ID
// byte when the descriptor uses report IDs, 0 when it declares none; nothing
// when the kernel would refuse the descriptor or a report is larger than its
// report buffer (HID_MAX_BUFFER_SIZE, 16384 bytes).
std::optional<uint32_t> largestFeatureReport(const uint8_t* descriptor, size_t length);

}  // namespace fuzzing
