// HID devices through the kernel's hidraw nodes: the backend behind an
// IOHIDDeviceInterface122 on Linux, the largest feature report of a report
// descriptor, and the one translation of errno into IOReturn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/iokit/device_seam.h"

namespace platform {

// The IOReturn for an errno of the device-node calls (open, ioctl) of both
// the hidraw and the USB side: device gone, no access, timeout, busy, refused.
IOReturn ioReturnFromErrno(int error);

// Opens a device node read-write and close-on-exec, and takes an exclusive
// flock(2) on it, held until closeDeviceNode(): another process that opens the
// switch (portvane-ctl, or the program) waits until this one's request is
// done, so no two interleave theirs. Waiting is fine: callers are the switch
// worker or the command line, never the interface thread. Opens of a node
// this process has open already share the lock. Returns the descriptor, or
// -errno; a permission failure also prints the line that names the node and
// the fix, unless `nameDenial` is false.
int openDeviceNode(const std::string& node, bool nameDenial = true);
// Closes a descriptor from openDeviceNode(node), giving back the lock once no
// other open of the node in this process holds it.
void closeDeviceNode(const std::string& node, int fd);
// Why this user may not open `node` and what to do, when more is known than
// that the udev rules are missing: udev gave the node to the user of the
// active local session (its uaccess tag), or the installed program's rules
// have not been applied to it. Empty otherwise.
std::string deniedNodeReason(const std::string& node);
// The node of the last open refused for want of permission that was named so,
// forgotten once taken; empty when none was since.
std::string takeDeniedDeviceNode();

// The size in bytes of the largest feature report that `descriptor` declares,
// counting the report ID byte when the descriptor uses report IDs (0 when it
// declares no feature report). Nothing for a descriptor that is empty,
// truncated or malformed, or whose feature report would not fit the kernel's
// report buffer (16384 bytes, the ID byte included); never reads past `length`.
std::optional<uint32_t> maxFeatureReportSize(const uint8_t* descriptor, size_t length);

// A HID device backend over the hidraw node `node` (e.g. "/dev/hidraw3"):
// open() opens the node, close() closes it, feature reports go through
// HIDIOCGFEATURE / HIDIOCSFEATURE with the report ID in byte 0 of the buffer.
std::shared_ptr<HIDDeviceBackend> makeHidrawBackend(std::string node);
// hidraw nodes open now (tests check for leaks).
size_t openHidrawNodes();

}  // namespace platform
