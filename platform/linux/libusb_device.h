// USB devices through libusb-1.0: the backends behind IOUSBDeviceInterface and
// IOUSBInterfaceInterface on Linux, and the registry entries that offer them.
// The device node is opened by us and handed to libusb (libusb_wrap_sys_device,
// no device discovery), so libusb runs no hot-plug thread of its own, and it
// is locked while open as a hidraw node is (openDeviceNode).
#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/iokit/device_seam.h"

namespace platform {

// Every libusb call the USB side makes, in one table, so that tests can put a
// scripted fake in the library's place. Each slot has libusb's contract and
// libusb's error codes.
struct LibusbCalls {
  // A context that discovers no devices (only wrapped nodes are used).
  int (*init)(libusb_context** context);
  int (*wrap_sys_device)(libusb_context* context, intptr_t fd, libusb_device_handle** handle);
  void (*close)(libusb_device_handle* handle);
  libusb_device* (*get_device)(libusb_device_handle* handle);
  int (*get_device_descriptor)(libusb_device* device, libusb_device_descriptor* descriptor);
  int (*get_config_descriptor)(libusb_device* device, uint8_t index, libusb_config_descriptor** config);
  int (*get_active_config_descriptor)(libusb_device* device, libusb_config_descriptor** config);
  void (*free_config_descriptor)(libusb_config_descriptor* config);
  int (*get_configuration)(libusb_device_handle* handle, int* configuration);
  int (*set_configuration)(libusb_device_handle* handle, int configuration);
  int (*control_transfer)(libusb_device_handle* handle, uint8_t requestType, uint8_t request, uint16_t value,
                          uint16_t index, unsigned char* data, uint16_t length, unsigned int timeoutMS);
  int (*kernel_driver_active)(libusb_device_handle* handle, int interfaceNumber);
  int (*detach_kernel_driver)(libusb_device_handle* handle, int interfaceNumber);
  int (*attach_kernel_driver)(libusb_device_handle* handle, int interfaceNumber);
  int (*claim_interface)(libusb_device_handle* handle, int interfaceNumber);
  int (*release_interface)(libusb_device_handle* handle, int interfaceNumber);
  int (*interrupt_transfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                            int* transferred, unsigned int timeoutMS);
  int (*bulk_transfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
                       int* transferred, unsigned int timeoutMS);
};

// The table in force; the real library unless a test installed another.
const LibusbCalls& libusbCalls();
// Installs `calls` (null: the real library) and forgets the context made
// with the previous table. The table must outlive its use.
void setLibusbCalls(const LibusbCalls* calls);

// The IOReturn for a libusb error code (0 and positive counts are success).
IOReturn ioReturnFromLibusb(int error);

// Every request and transfer ends after this long: the caller holds the
// switch's lock, and the device node's flock, while it waits.
constexpr unsigned int kUSBTimeoutMS = 1000;

// One USB device node, shared by the device interfaces and interface
// interfaces made on it: opened by the first user, closed by the last.
class USBConnection;

struct LibusbDevice {
  // The "IOUSBDevice" entry ("idVendor", "idProduct"), unpublished.
  EntryPtr entry;
  std::shared_ptr<USBConnection> connection;
};

// The device at `node` (e.g. "/dev/bus/usb/001/004") with the identifiers
// udev gave for it.
LibusbDevice makeLibusbDevice(std::string node, uint16_t vendorID, uint16_t productID);
// The "IOUSBInterface" entry of interface `number` of `device`, unpublished,
// with `device.entry` as its parent.
EntryPtr makeLibusbInterfaceEntry(const LibusbDevice& device, uint8_t number);
// The serial-number string of `device` as the device itself holds it: its
// UTF-16 code units unchanged, a zero unit or a lone surrogate included, read
// in the language the kernel reads strings in (the first that string
// descriptor 0 lists). Empty when the device names no serial-number string;
// nothing when its node cannot be opened (no message then) or a request fails.
std::optional<std::vector<UniChar>> readSerialNumberUnits(const LibusbDevice& device);

// Device nodes libusb holds open now (tests check for leaks).
size_t openUSBConnections();

}  // namespace platform
