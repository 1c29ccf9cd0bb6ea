#include "sim/gadget/switch_gadget.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/core/core_foundation.h"
#include "sim/gadget/configfs_gadget.h"
#include "sim/gadget/function_fs.h"
#include "sim/simulated_switch.h"

namespace gadget {

namespace {

// What both generations present of themselves: their identifiers, and names
// a user can tell apart in the kernel's log.
GadgetSettings settingsOf(const platform::SimulatedSwitch& simulated, const std::string& name, const char* product) {
  GadgetSettings settings;
  settings.name = name;
  settings.vendorID = simulated.vendorID();
  settings.productID = simulated.productID();
  settings.manufacturer = "Portvane";
  settings.product = product;
  return settings;
}

using platform::SimCall;

// HID class requests and descriptors (the HID class definition).
constexpr uint8_t kHIDDescriptor = 0x21;
constexpr uint8_t kReportDescriptor = 0x22;
constexpr uint8_t kGetReport = 0x01;
constexpr uint8_t kSetReport = 0x09;
constexpr uint8_t kSetIdle = 0x0A;
constexpr uint8_t kFeatureReport = 3;  // report type in the high byte of wValue
constexpr uint8_t kClassInterfaceIn = USB_DIR_IN | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr uint8_t kClassInterfaceOut = USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr uint8_t kStandardInterfaceIn = USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_INTERFACE;

// Both generations' pipes: interrupt endpoints of 8 bytes, polled every 10 ms
// at full speed (2^(7-1) microframes, 8 ms, at high speed).
constexpr uint16_t kPacketSize = 8;
constexpr uint8_t kFullSpeedInterval = 10;
constexpr uint8_t kHighSpeedInterval = 7;

// The kernel gives up on a control request after 5 s; a silent switch stays
// silent longer than that.
constexpr unsigned long kSilentTicks = 330;  // 5.5 s
constexpr int kUntilTold = INT_MAX;

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("portvane-gadget: ");
  vprintf(format, args);
  printf("\n");
  va_end(args);
}

std::string hexBytes(const uint8_t* bytes, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    snprintf(byte, sizeof byte, i ? " %02x" : "%02x", bytes[i]);
    text += byte;
  }
  return text.empty() ? "(no data)" : text;
}

// A vendor collection with the two feature reports of the given data sizes,
// each with its report ID, as the feature-report switch declares them.
Bytes reportDescriptor(uint8_t firstID, uint8_t firstSize, uint8_t secondID, uint8_t secondSize) {
  return {0x06, 0x00, 0xFF,        // Usage Page (vendor 0xFF00)
          0x09, 0x01,              // Usage 1
          0xA1, 0x01,              // Collection (application)
          0x85, firstID,           //   Report ID
          0x75, 0x08,              //   Report Size 8
          0x95, firstSize,         //   Report Count
          0x09, 0x01, 0xB1, 0x02,  //   Usage 1, Feature (data, variable, absolute)
          0x85, secondID,  0x75, 0x08, 0x95, secondSize, 0x09, 0x01, 0xB1, 0x02,
          0xC0};                   // End Collection
}

Bytes hidDescriptor(const Bytes& report) {
  Bytes out = {9, kHIDDescriptor};
  put16(out, 0x0111);  // bcdHID 1.11
  out.insert(out.end(), {0, 1, kReportDescriptor});
  put16(out, uint16_t(report.size()));
  return out;
}

// The HID interface with an interrupt IN pipe and, when asked, an interrupt OUT pipe.
SpeedDescriptors interfaceDescriptors(const Bytes& report, bool withOut, bool highSpeed) {
  SpeedDescriptors d;
  const uint8_t endpoints = withOut ? 2 : 1;
  d.bytes = {9, USB_DT_INTERFACE, 0, 0, endpoints, USB_CLASS_HID, 0, 0, 0};
  const Bytes hid = hidDescriptor(report);
  d.bytes.insert(d.bytes.end(), hid.begin(), hid.end());
  d.count = 2;
  auto endpoint = [&](uint8_t address) {
    d.bytes.insert(d.bytes.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_INT});
    put16(d.bytes, kPacketSize);
    d.bytes.push_back(highSpeed ? kHighSpeedInterval : kFullSpeedInterval);
    ++d.count;
  };
  endpoint(USB_DIR_IN | 1);
  if (withOut) endpoint(USB_DIR_OUT | 2);
  return d;
}

std::string utf8(const std::u16string& units) {
  CFStringRef string = CFStringCreateWithCharacters(kCFAllocatorDefault, reinterpret_cast<const UniChar*>(units.data()),
                                                    CFIndex(units.size()));
  std::string text(units.size() * 3 + 1, '\0');
  const bool converted = string && CFStringGetCString(string, text.data(), CFIndex(text.size()), kCFStringEncodingUTF8);
  if (string) CFRelease(string);
  return converted ? std::string(text.c_str()) : std::string();
}

const char* eventName(int type) {
  switch (type) {
    case FUNCTIONFS_BIND: return "bound";
    case FUNCTIONFS_UNBIND: return "unbound";
    case FUNCTIONFS_ENABLE: return "configured by the host";
    case FUNCTIONFS_DISABLE: return "deconfigured";
    case FUNCTIONFS_SUSPEND: return "suspended";
    case FUNCTIONFS_RESUME: return "resumed";
  }
  return nullptr;
}

// What both generations share: the gadget, its one HID interface, ep0's
// standard and HID requests; the protocol's requests are each generation's.
class GadgetBase : public SwitchGadget {
 public:
  bool plug(std::string* error) override {
    if (!gadget_.bind(udc_, error)) return false;
    say("plugged into %s", udc_.c_str());
    return true;
  }

  bool unplug(std::string* error) override {
    if (!gadget_.unbind(error)) return false;
    say("unplugged");
    return true;
  }

  int ep0() const override { return ffs_.ep0(); }
  int packets() const override { return -1; }
  void servePackets() override {}
  void tick() override {}

  void serveEp0() override {
    for (const usb_functionfs_event& event : ffs_.events()) {
      if (event.type == FUNCTIONFS_SETUP) {
        serveSetup(event.u.setup);
      } else if (const char* name = eventName(event.type)) {
        say("%s", name);
      }
    }
  }

  // Unplugged first, so that the host lets go of the function before its
  // files close; configfs then takes the gadget apart.
  void stop() override {
    std::string error;
    if (!gadget_.unbind(&error)) say("%s", error.c_str());
    ffs_.close();
    gadget_.remove();
  }

 protected:
  bool startGadget(const GadgetSettings& settings, const std::string& udc, bool withOut, std::string* error) {
    udc_ = udc;
    if (!gadget_.create(settings, error)) return false;
    const std::string mountPoint = "/run/" + settings.name;
    if (!ffs_.open(settings.function, mountPoint, interfaceDescriptors(report_, withOut, false),
                   interfaceDescriptors(report_, withOut, true), withOut ? 2 : 1, error)) {
      gadget_.remove();
      return false;
    }
    return true;
  }

  // The protocol's feature reports; the others the switch does not have.
  virtual void getReport(const usb_ctrlrequest& setup, uint8_t id) { ffs_.stall(setup); (void)id; }
  virtual void setReport(const usb_ctrlrequest& setup, uint8_t id) { ffs_.stall(setup); (void)id; }

  ConfigfsGadget gadget_;
  FunctionFs ffs_;
  Bytes report_;

 private:
  void serveSetup(const usb_ctrlrequest& setup) {
    const uint8_t type = uint8_t(setup.wValue >> 8);
    const uint8_t index = uint8_t(setup.wValue);
    if (setup.bRequestType == kStandardInterfaceIn && setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
      if (type == kReportDescriptor) {
        ffs_.answer(setup, report_.data(), report_.size());
        return;
      }
      if (type == kHIDDescriptor) {
        const Bytes hid = hidDescriptor(report_);
        ffs_.answer(setup, hid.data(), hid.size());
        return;
      }
    } else if (setup.bRequestType == kClassInterfaceIn && setup.bRequest == kGetReport && type == kFeatureReport) {
      getReport(setup, index);
      return;
    } else if (setup.bRequestType == kClassInterfaceOut && setup.bRequest == kSetReport && type == kFeatureReport) {
      setReport(setup, index);
      return;
    } else if (setup.bRequestType == kClassInterfaceOut && setup.bRequest == kSetIdle) {
      // The switch reports nothing unasked: any idle rate is fine.
      ffs_.take(setup, nullptr, 0);
      return;
    }
    ffs_.stall(setup);
  }

  std::string udc_;
};

// ---- Generation 2: feature reports answered from the model

class FeatureReportGadget : public GadgetBase {
 public:
  FeatureReportGadget() {
    report_ = reportDescriptor(5, uint8_t(switch_.report5().size() - 1), 4, uint8_t(switch_.report4().size() - 1));
    hid_ = switch_.newDeviceInterface();
    (*hid_)->open(hid_, 0);
  }
  ~FeatureReportGadget() override {
    (*hid_)->close(hid_);
    (*hid_)->Release(hid_);
  }

  bool start(const std::string& name, const std::string& udc, std::string* error) override {
    GadgetSettings settings = settingsOf(switch_, name, "Simulated switch (feature reports)");
    settings.function = name;
    return startGadget(settings, udc, false, error);
  }

  void setAnswering(Answering answering) override {
    for (SimCall call : {SimCall::GetReport, SimCall::SetReport}) {
      switch_.failNext(call, 0, 0);
      switch_.stallNext(call, 0, 0);
      if (answering == Answering::Stalling) switch_.failNext(call, kUntilTold, kIOReturnBusy);
      if (answering == Answering::Silent) {
        // Holds the request past the kernel's wait, then drops it.
        switch_.stallNext(call, kUntilTold, kSilentTicks);
        switch_.failNext(call, kUntilTold, kIOReturnTimeout);
      }
    }
  }

 protected:
  void getReport(const usb_ctrlrequest& setup, uint8_t id) override {
    uint8_t report[64] = {};
    UInt32 size = std::min<UInt32>(setup.wLength, sizeof report);
    report[0] = id;
    const IOReturn status =
        (*hid_)->getReport(hid_, kIOHIDReportTypeFeature, id, report, &size, 0, nullptr, nullptr, nullptr);
    if (status != kIOReturnSuccess) {
      refused("GetReport", id, status);
      ffs_.stall(setup);
      return;
    }
    if (ffs_.answer(setup, report, size)) {
      say("answered GetReport %u: %s", id, hexBytes(report, size).c_str());
    } else {
      say("GetReport %u: the host took no answer (%s)", id, strerror(errno));
    }
  }

  void setReport(const usb_ctrlrequest& setup, uint8_t id) override {
    // A refusal must come before the data stage: once the data is taken, the host counts the request as done.
    if (switch_.pendingFailures(SimCall::SetReport) > 0) {
      const IOReturn status =
          (*hid_)->setReport(hid_, kIOHIDReportTypeFeature, id, nullptr, 0, 0, nullptr, nullptr, nullptr);
      refused("SetReport", id, status);
      ffs_.stall(setup);
      return;
    }
    uint8_t report[64] = {};
    const long length = ffs_.take(setup, report, std::min<size_t>(setup.wLength, sizeof report));
    if (length < 0) {
      say("SetReport %u: its data did not come (%s)", id, strerror(errno));
      return;
    }
    const IOReturn status = (*hid_)->setReport(hid_, kIOHIDReportTypeFeature, id, report, UInt32(length), 0,
                                               nullptr, nullptr, nullptr);
    if (status == kIOReturnSuccess) {
      say("received SetReport %u: %s", id, hexBytes(report, size_t(length)).c_str());
    } else {
      say("received SetReport %u: %s, which the switch did not take (%08x)", id,
          hexBytes(report, size_t(length)).c_str(), status);
    }
  }

 private:
  static void refused(const char* call, uint8_t id, IOReturn status) {
    if (status == kIOReturnTimeout) {
      say("left %s %u unanswered", call, id);
    } else {
      say("stalled %s %u (%08x)", call, id, status);
    }
  }

  platform::FeatureReportSwitch switch_;
  IOHIDDeviceInterface122** hid_ = nullptr;
};

// ---- Generation 1: the OUT pipe into the model, the state in the serial number

// Interrupts the pipe's reader in its read, so that it can stop taking packets.
void onWake(int) {}

class SerialNumberGadget : public GadgetBase {
 public:
  SerialNumberGadget() {
    // The kernel ends a configfs string at a zero unit; port 0 must not be one.
    switch_.state().portUnitMarks = 0x30;
    report_ = reportDescriptor(5, 3, 4, 7);
    interface_ = switch_.newInterfaceInterface(0);
    (*interface_)->USBInterfaceOpen(interface_);
  }
  ~SerialNumberGadget() override {
    stopReader();
    (*interface_)->USBInterfaceClose(interface_);
    (*interface_)->Release(interface_);
  }

  bool start(const std::string& name, const std::string& udc, std::string* error) override {
    GadgetSettings settings = settingsOf(switch_, name, "Simulated switch (serial number)");
    serial_ = utf8(switch_.serialNumber());
    settings.serialNumber = serial_;
    settings.function = name;
    if (!startGadget(settings, udc, true, error)) return false;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      *error = std::string("cannot make a pipe: ") + strerror(errno);
      stop();
      return false;
    }
    packetsIn_ = fds[0];
    packetsOut_ = fds[1];
    struct sigaction action = {};
    action.sa_handler = onWake;  // no SA_RESTART: the read is cut short
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    reader_ = std::thread([this] { readPipe(); });
    say("serial number %s", hexBytes(reinterpret_cast<const uint8_t*>(serial_.data()), serial_.size()).c_str());
    return true;
  }

  void stop() override {
    stopReader();
    if (packetsIn_ >= 0) ::close(packetsIn_);
    if (packetsOut_ >= 0) ::close(packetsOut_);
    packetsIn_ = packetsOut_ = -1;
    GadgetBase::stop();
  }

  int packets() const override { return packetsIn_; }

  void servePackets() override {
    uint8_t packet[kPacketSize];
    ssize_t n;
    while ((n = ::read(packetsIn_, packet, sizeof packet)) > 0) {
      const IOReturn status = (*interface_)->WritePipe(interface_, kOutPipe, packet, UInt32(n));
      say("received WritePipe %u: %s%s", kOutPipe, hexBytes(packet, size_t(n)).c_str(),
          status == kIOReturnSuccess ? "" : ", which the switch did not take");
      refreshSerialNumber();
    }
  }

  void tick() override { refreshSerialNumber(); }

  void setAnswering(Answering answering) override {
    if (answering == Answering::Normally) {
      if (halted_) ffs_.clearHalt(kOutPipe);
      halted_ = false;
      resumeReading();
      return;
    }
    // The kernel serves the serial-number string itself: only the pipe can refuse.
    pauseReading();
    if (answering == Answering::Stalling && !halted_) {
      halted_ = ffs_.halt(kOutPipe);
      if (!halted_) say("cannot halt the OUT pipe: %s", strerror(errno));
    } else if (answering == Answering::Silent && halted_) {
      ffs_.clearHalt(kOutPipe);
      halted_ = false;
    }
  }

 private:
  static constexpr UInt8 kOutPipe = 2;  // the model's pipe index and the endpoint file's number

  void refreshSerialNumber() {
    const std::u16string units = switch_.serialNumber();
    const std::string text = utf8(units);
    if (text == serial_) return;
    if (text.size() < units.size()) say("the serial number holds a zero unit; the kernel gives it only up to there");
    std::string error;
    if (!gadget_.setSerialNumber(text, &error)) {
      say("%s", error.c_str());
      return;
    }
    serial_ = text;
    say("serial number %s", hexBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()).c_str());
  }

  // Takes the OUT pipe's packets one wMaxPacketSize piece at a time (a full
  // packet is no short packet, so a longer read would wait for more) and
  // passes them to the main loop. Parks while the switch takes none.
  void readPipe() {
    sigset_t others;
    sigfillset(&others);
    sigdelset(&others, SIGUSR1);
    pthread_sigmask(SIG_SETMASK, &others, nullptr);
    const int endpoint = ffs_.endpoint(kOutPipe);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!reading_ && !quit_) {
          parked_ = true;
          changed_.notify_all();
          changed_.wait(lock);
        }
        parked_ = false;
        if (quit_) {
          finished_ = true;
          changed_.notify_all();
          return;
        }
      }
      uint8_t packet[kPacketSize];
      ssize_t n = ::read(endpoint, packet, sizeof packet);
      if (n > 0) {
        if (::write(packetsOut_, packet, size_t(n)) != n) say("a packet was lost: %s", strerror(errno));
      } else if (n < 0 && errno != EINTR) {
        // Unplugged or deconfigured: the next read waits for the host again.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }

  // Wakes the reader from its read, as often as needed, until `done` holds.
  template <typename Done>
  void wakeReaderUntil(std::unique_lock<std::mutex>& lock, Done done) {
    changed_.notify_all();
    while (!done()) {
      pthread_kill(reader_.native_handle(), SIGUSR1);
      changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
  }

  void pauseReading() {
    if (!reader_.joinable()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    reading_ = false;
    wakeReaderUntil(lock, [this] { return parked_; });
  }

  void resumeReading() {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = true;
    changed_.notify_all();
  }

  void stopReader() {
    if (!reader_.joinable()) return;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      quit_ = true;
      wakeReaderUntil(lock, [this] { return finished_; });
    }
    reader_.join();
  }

  platform::SerialNumberSwitch switch_;
  IOUSBInterfaceInterface** interface_ = nullptr;
  std::string serial_;
  bool halted_ = false;
  int packetsIn_ = -1;
  int packetsOut_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool reading_ = true;
  bool parked_ = false;
  bool quit_ = false;
  bool finished_ = false;
};

}  // namespace

std::unique_ptr<SwitchGadget> makeSwitchGadget(int generation) {
  if (generation == 1) return std::make_unique<SerialNumberGadget>();
  if (generation == 2) return std::make_unique<FeatureReportGadget>();
  return nullptr;
}

}  // namespace gadget
