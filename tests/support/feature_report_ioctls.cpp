#include "tests/support/feature_report_ioctls.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/iokit/iokit.h"

namespace testsupport {

FeatureReportIoctls::FeatureReportIoctls(IOHIDDeviceInterface122** device)
    : ioctls_(umockdev_ioctl_base_new()), device_(device) {
  g_signal_connect(ioctls_, "handle-ioctl", G_CALLBACK(&FeatureReportIoctls::handle), this);
}

FeatureReportIoctls::~FeatureReportIoctls() {
  // The test bed may keep the handler object after this one is gone.
  g_signal_handlers_disconnect_by_data(ioctls_, this);
  g_object_unref(ioctls_);
}

bool FeatureReportIoctls::attach(UMockdevTestbed* bed, const std::string& node) {
  return umockdev_testbed_attach_ioctl(bed, node.c_str(), ioctls_, nullptr);
}

void FeatureReportIoctls::failNext(std::initializer_list<int> errors) {
  std::lock_guard<std::mutex> lock(mutex_);
  errors_.insert(errors_.end(), errors);
}

std::vector<std::vector<uint8_t>> FeatureReportIoctls::buffers() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::vector<uint8_t>> buffers;
  for (const Request& request : requests_) buffers.push_back(request.buffer);
  return buffers;
}

std::vector<FeatureReportIoctls::Request> FeatureReportIoctls::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

gboolean FeatureReportIoctls::handle(UMockdevIoctlBase*, UMockdevIoctlClient* client, FeatureReportIoctls* self) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  const bool get = request == HIDIOCGFEATURE(_IOC_SIZE(request));
  const bool set = request == HIDIOCSFEATURE(_IOC_SIZE(request));
  if (!get && !set) return FALSE;
  const UInt32 length = _IOC_SIZE(request);
  g_autoptr(UMockdevIoctlData) data =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, nullptr);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->requests_.push_back(
        {set, std::vector<uint8_t>(data->data, data->data + length), std::chrono::steady_clock::now()});
    if (!self->errors_.empty()) {
      const int error = self->errors_.front();
      self->errors_.pop_front();
      umockdev_ioctl_client_complete(client, -1, error);
      return TRUE;
    }
  }
  IOHIDDeviceInterface122** device = self->device_;
  UInt32 size = length;
  const IOReturn status = get ? (*device)->getReport(device, kIOHIDReportTypeFeature, data->data[0], data->data,
                                                     &size, 0, nullptr, nullptr, nullptr)
                              : (*device)->setReport(device, kIOHIDReportTypeFeature, data->data[0], data->data,
                                                     length, 0, nullptr, nullptr, nullptr);
  if (status != 0) {
    // A device gone from the bus answers as the kernel's unplugged node does,
    // and one that let the kernel's time run out as its timed-out request.
    const int error = status == kIOReturnNotAttached ? ENODEV : status == kIOReturnTimeout ? ETIMEDOUT : EIO;
    umockdev_ioctl_client_complete(client, -1, error);
  } else {
    umockdev_ioctl_client_complete(client, long(size), 0);
  }
  return TRUE;
}

}  // namespace testsupport
