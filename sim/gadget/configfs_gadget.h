// A USB gadget made in configfs: the device's identifiers and strings, one
// configuration holding one FunctionFS function, and its binding to a USB
// device controller (UDC), which is what plugs it into that controller's bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gadget {

struct GadgetSettings {
  std::string name;  // the gadget's folder below usb_gadget/
  uint16_t vendorID = 0;
  uint16_t productID = 0;
  std::string manufacturer;
  std::string product;
  // Written before the bind, or never: the kernel lets a string be rewritten
  // while bound only when it had one at the bind.
  std::optional<std::string> serialNumber;
  std::string function;  // instance name of the FunctionFS function
};

class ConfigfsGadget {
 public:
  ~ConfigfsGadget() { remove(); }

  // Makes the gadget and its function; on failure undoes what it made and
  // says why in `error`.
  bool create(const GadgetSettings& settings, std::string* error);
  // Binds to `udc` (plug) or unbinds (unplug); binding needs the function's
  // descriptors written first.
  bool bind(const std::string& udc, std::string* error);
  bool unbind(std::string* error);
  bool bound() const { return bound_; }
  // Replaces the serial-number string; the kernel serves it from the next request on.
  bool setSerialNumber(const std::string& utf8, std::string* error);
  // Unbinds and removes everything create() made, last made first.
  void remove();

 private:
  bool makeDir(const std::string& path, std::string* error);
  bool write(const std::string& path, const std::string& value, std::string* error);

  std::string root_;
  // What create() made, in order: folders (removed with rmdir) and links.
  std::vector<std::pair<std::string, bool>> made_;
  bool bound_ = false;
};

// The UDCs the kernel has (/sys/class/udc), in name order.
std::vector<std::string> deviceControllers();

}  // namespace gadget
