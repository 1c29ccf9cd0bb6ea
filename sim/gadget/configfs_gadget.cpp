#include "sim/gadget/configfs_gadget.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gadget {

namespace {

constexpr char kGadgets[] = "/sys/kernel/config/usb_gadget";
constexpr char kControllers[] = "/sys/class/udc";
// US English, the one language the switch's strings are in.
constexpr char kLanguage[] = "0x409";

std::string hex4(uint16_t value) {
  char text[8];
  snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

std::string failed(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + strerror(error);
}

}  // namespace

bool ConfigfsGadget::makeDir(const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0755) != 0) {
    *error = failed("cannot make", path, errno);
    return false;
  }
  made_.emplace_back(path, false);
  return true;
}

bool ConfigfsGadget::write(const std::string& path, const std::string& value, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = failed("cannot open", path, errno);
    return false;
  }
  // An attribute takes its value in one write; the UDC file takes "\n" to unbind.
  const std::string text = value.empty() ? "\n" : value;
  ssize_t written = ::write(fd, text.data(), text.size());
  int saved = errno;
  ::close(fd);
  if (written != ssize_t(text.size())) {
    *error = failed("cannot write " + value + " to", path, written < 0 ? saved : EIO);
    return false;
  }
  return true;
}

bool ConfigfsGadget::create(const GadgetSettings& settings, std::string* error) {
  struct stat info;
  if (::stat(kGadgets, &info) != 0) {
    *error = std::string(kGadgets) + " is missing: mount configfs on /sys/kernel/config and load libcomposite";
    return false;
  }
  root_ = std::string(kGadgets) + "/" + settings.name;
  const std::string strings = root_ + "/strings/" + kLanguage;
  const std::string config = root_ + "/configs/c.1";
  const std::string function = root_ + "/functions/ffs." + settings.function;
  bool ok = makeDir(root_, error) && write(root_ + "/idVendor", hex4(settings.vendorID), error) &&
            write(root_ + "/idProduct", hex4(settings.productID), error) &&
            write(root_ + "/bcdUSB", "0x0200", error) && write(root_ + "/bcdDevice", "0x0100", error) &&
            makeDir(strings, error) && write(strings + "/manufacturer", settings.manufacturer, error) &&
            write(strings + "/product", settings.product, error) &&
            (!settings.serialNumber || write(strings + "/serialnumber", *settings.serialNumber, error)) &&
            makeDir(config, error) && write(config + "/MaxPower", "100", error) && makeDir(function, error);
  if (ok) {
    const std::string link = config + "/ffs." + settings.function;
    if (::symlink(function.c_str(), link.c_str()) != 0) {
      *error = failed("cannot link", link, errno);
      ok = false;
    } else {
      made_.emplace_back(link, true);
    }
  }
  if (!ok) remove();
  return ok;
}

bool ConfigfsGadget::bind(const std::string& udc, std::string* error) {
  if (bound_) return true;
  if (!write(root_ + "/UDC", udc, error)) return false;
  bound_ = true;
  return true;
}

bool ConfigfsGadget::unbind(std::string* error) {
  if (!bound_) return true;
  if (!write(root_ + "/UDC", "", error)) return false;
  bound_ = false;
  return true;
}

bool ConfigfsGadget::setSerialNumber(const std::string& utf8, std::string* error) {
  return write(root_ + "/strings/" + kLanguage + "/serialnumber", utf8, error);
}

void ConfigfsGadget::remove() {
  std::string ignored;
  if (bound_) unbind(&ignored);
  bound_ = false;
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
    const int result = it->second ? ::unlink(it->first.c_str()) : ::rmdir(it->first.c_str());
    if (result != 0) fprintf(stderr, "portvane-gadget: cannot remove %s: %s\n", it->first.c_str(), strerror(errno));
  }
  made_.clear();
}

std::vector<std::string> deviceControllers() {
  std::vector<std::string> names;
  DIR* dir = ::opendir(kControllers);
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace gadget
