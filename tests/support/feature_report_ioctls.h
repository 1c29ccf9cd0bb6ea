// A fake hidraw node's feature reports under umockdev: each HIDIOCGFEATURE and
// HIDIOCSFEATURE on the node goes to a HID device interface (a simulated
// switch's), as the kernel would hand it to the device. Every buffer is kept,
// and the next requests can be made to fail with chosen errno values.
#pragma once

#include <umockdev.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "platform/iokit/device_interfaces.h"

namespace testsupport {

class FeatureReportIoctls {
 public:
  // Answers with `device`, which must be open and outlive this object.
  explicit FeatureReportIoctls(IOHIDDeviceInterface122** device);
  ~FeatureReportIoctls();
  FeatureReportIoctls(const FeatureReportIoctls&) = delete;
  FeatureReportIoctls& operator=(const FeatureReportIoctls&) = delete;

  // Answers the ioctls of `node` ("/dev/hidraw0") in the test bed from now on.
  bool attach(UMockdevTestbed* bed, const std::string& node);

  // The next feature-report requests fail with these errno values, in order.
  void failNext(std::initializer_list<int> errors);
  // The buffer of every feature-report request as it arrived, oldest first.
  std::vector<std::vector<uint8_t>> buffers();

  struct Request {
    bool set;  // HIDIOCSFEATURE; else HIDIOCGFEATURE
    std::vector<uint8_t> buffer;
    std::chrono::steady_clock::time_point arrived;
  };
  // The same, with what each was and when it came.
  std::vector<Request> requests();

 private:
  // Runs on umockdev's thread while the caller waits in ioctl().
  static gboolean handle(UMockdevIoctlBase*, UMockdevIoctlClient* client, FeatureReportIoctls* self);

  UMockdevIoctlBase* ioctls_;
  IOHIDDeviceInterface122** device_;
  std::mutex mutex_;
  std::deque<int> errors_;
  std::vector<Request> requests_;
};

}  // namespace testsupport
