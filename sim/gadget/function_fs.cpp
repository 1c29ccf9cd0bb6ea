#include "sim/gadget/function_fs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace gadget {

namespace {

// A control request the host still waits for is answered at once; one that
// takes longer was given up (the kernel waits 5 s), and only the next request
// or an unplug would end the call.
constexpr int kEp0CallSeconds = 2;

void onAlarm(int) {}

// Arms SIGALRM around one blocking call on ep0: the call returns EINTR and
// FunctionFS takes its request back.
class Ep0Deadline {
 public:
  Ep0Deadline() {
    struct sigaction action = {};
    action.sa_handler = onAlarm;  // no SA_RESTART: the call is cut short
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    itimerval timer = {};
    timer.it_value.tv_sec = kEp0CallSeconds;
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~Ep0Deadline() {
    itimerval timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
};

bool isIn(const usb_ctrlrequest& setup) { return setup.bRequestType & USB_DIR_IN; }

}  // namespace

void put16(Bytes& out, uint16_t value) {
  out.push_back(uint8_t(value));
  out.push_back(uint8_t(value >> 8));
}

void put32(Bytes& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(value >> shift));
}

bool FunctionFs::open(const std::string& instance, const std::string& mountPoint, const SpeedDescriptors& fullSpeed,
                      const SpeedDescriptors& highSpeed, int endpoints, std::string* error) {
  mountPoint_ = mountPoint;
  if (::mkdir(mountPoint.c_str(), 0700) == 0) {
    madeMountPoint_ = true;
  } else if (errno != EEXIST) {
    *error = "cannot make " + mountPoint + ": " + strerror(errno);
    return false;
  }
  if (::mount(instance.c_str(), mountPoint.c_str(), "functionfs", 0, nullptr) != 0) {
    *error = "cannot mount FunctionFS " + instance + " on " + mountPoint + ": " + strerror(errno) +
             " (is usb_f_fs loaded?)";
    close();
    return false;
  }
  mounted_ = true;
  ep0_ = ::open((mountPoint + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (ep0_ < 0) {
    *error = "cannot open " + mountPoint + "/ep0: " + strerror(errno);
    close();
    return false;
  }

  Bytes descriptors;
  put32(descriptors, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  put32(descriptors, 0);  // length, below
  put32(descriptors, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  put32(descriptors, fullSpeed.count);
  put32(descriptors, highSpeed.count);
  descriptors.insert(descriptors.end(), fullSpeed.bytes.begin(), fullSpeed.bytes.end());
  descriptors.insert(descriptors.end(), highSpeed.bytes.begin(), highSpeed.bytes.end());
  const uint32_t length = uint32_t(descriptors.size());
  for (int i = 0; i < 4; ++i) descriptors[4 + i] = uint8_t(length >> (8 * i));
  // The interface names no string: an empty table.
  Bytes strings;
  put32(strings, FUNCTIONFS_STRINGS_MAGIC);
  put32(strings, 16);
  put32(strings, 0);
  put32(strings, 0);
  if (::write(ep0_, descriptors.data(), descriptors.size()) != ssize_t(descriptors.size())) {
    *error = "FunctionFS refused the descriptors: " + std::string(strerror(errno));
    close();
    return false;
  }
  if (::write(ep0_, strings.data(), strings.size()) != ssize_t(strings.size())) {
    *error = "FunctionFS refused the strings: " + std::string(strerror(errno));
    close();
    return false;
  }
  for (int number = 1; number <= endpoints; ++number) {
    const std::string path = mountPoint + "/ep" + std::to_string(number);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    // Halting and clearing must not wait for the host to configure the device.
    int nonBlocking = fd < 0 ? -1 : ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || nonBlocking < 0) {
      *error = "cannot open " + path + ": " + strerror(errno);
      if (fd >= 0) ::close(fd);
      close();
      return false;
    }
    endpoints_.push_back(fd);
    nonBlocking_.push_back(nonBlocking);
  }
  return true;
}

void FunctionFs::close() {
  for (int fd : endpoints_) ::close(fd);
  for (int fd : nonBlocking_) ::close(fd);
  endpoints_.clear();
  nonBlocking_.clear();
  if (ep0_ >= 0) ::close(ep0_);
  ep0_ = -1;
  if (mounted_ && ::umount(mountPoint_.c_str()) != 0) {
    fprintf(stderr, "portvane-gadget: cannot unmount %s: %s\n", mountPoint_.c_str(), strerror(errno));
  }
  mounted_ = false;
  if (madeMountPoint_) ::rmdir(mountPoint_.c_str());
  madeMountPoint_ = false;
}

int FunctionFs::endpoint(int number) const {
  return number >= 1 && size_t(number) <= endpoints_.size() ? endpoints_[size_t(number) - 1] : -1;
}

std::vector<usb_functionfs_event> FunctionFs::events() {
  usb_functionfs_event buffer[4];
  for (;;) {
    ssize_t n = ::read(ep0_, buffer, sizeof buffer);
    // A request given up by the host is reported once, then the events come.
    if (n < 0 && errno == EIDRM) continue;
    if (n <= 0) return {};
    return std::vector<usb_functionfs_event>(buffer, buffer + size_t(n) / sizeof buffer[0]);
  }
}

bool FunctionFs::answer(const usb_ctrlrequest& setup, const void* data, size_t length) {
  if (length > setup.wLength) length = setup.wLength;
  Ep0Deadline deadline;
  return ::write(ep0_, data, length) == ssize_t(length);
}

long FunctionFs::take(const usb_ctrlrequest& setup, void* data, size_t length) {
  if (length > setup.wLength) length = setup.wLength;
  Ep0Deadline deadline;
  uint8_t none;
  ssize_t n = ::read(ep0_, length ? data : &none, length);
  return n < 0 ? -1 : long(n);
}

void FunctionFs::stall(const usb_ctrlrequest& setup) {
  // FunctionFS stalls a pending request that is read (IN) or written (OUT)
  // against its direction; one the host gave up answers EIDRM, and nothing is lost.
  uint8_t none = 0;
  if (isIn(setup)) {
    if (::read(ep0_, &none, 0) < 0 && errno != EL2HLT && errno != EIDRM) {
      fprintf(stderr, "portvane-gadget: stalling a request failed: %s\n", strerror(errno));
    }
  } else if (::write(ep0_, &none, 0) < 0 && errno != EL2HLT && errno != EIDRM) {
    fprintf(stderr, "portvane-gadget: stalling a request failed: %s\n", strerror(errno));
  }
}

bool FunctionFs::halt(int number) {
  if (number < 1 || size_t(number) > nonBlocking_.size()) return false;
  // An OUT endpoint written to (or an IN one read) halts: FunctionFS answers EBADMSG.
  uint8_t none = 0;
  ssize_t n = ::write(nonBlocking_[size_t(number) - 1], &none, 0);
  return n < 0 && errno == EBADMSG;
}

bool FunctionFs::clearHalt(int number) {
  if (number < 1 || size_t(number) > nonBlocking_.size()) return false;
  return ::ioctl(nonBlocking_[size_t(number) - 1], FUNCTIONFS_CLEAR_HALT) == 0;
}

}  // namespace gadget
