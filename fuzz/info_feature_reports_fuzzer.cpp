// The feature-report switch's information read and its decode, with whatever
// the device answers: any status, any length, any bytes. A read either takes
// both reports whole (zeros where the device sent nothing) and decodes them
// into values the program can use, or leaves the block as it was and marks the
// switch out of use; the device is closed again either way and never written.
//
// Input: byte 0 is open()'s answer (0xF0 and above: the device is gone). Then,
// for each getReport, a status byte (0xC0 and above: one of four failures)
// and, on success, the answer's length and its bytes. When the input runs
// out, the device is gone.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/iokit/device_seam.h"
#include "switch/kvm_operations.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char kTarget[] = "info_feature_reports";
constexpr uint8_t kStale = 0x5A;
constexpr IOReturn kFailures[4] = {kIOReturnNotAttached, kIOReturnTimeout, kIOReturnUnsupported, kIOReturnIOError};
constexpr int kAttempts = 5;

void check(bool holds, const char* what) {
  if (!holds) fuzzing::fail(kTarget, what);
}

struct Call {
  UInt32 reportID;
  UInt32 capacity;
  bool succeeded;
  bool timedOut;
};

class ScriptedDevice : public platform::HIDDeviceBackend {
 public:
  explicit ScriptedDevice(fuzzing::Input& input) : input_(input) {}

  IOReturn open() override {
    check(!open_, "opened twice");
    if (input_.byte() >= 0xF0) return kIOReturnNotAttached;
    open_ = true;
    opened = true;
    return kIOReturnSuccess;
  }
  IOReturn close() override {
    check(open_, "closed while not open");
    open_ = false;
    return kIOReturnSuccess;
  }
  IOReturn getReport(IOHIDReportType type, UInt32 reportID, void* buffer, UInt32* size) override {
    check(type == kIOHIDReportTypeFeature, "read a report that is not a feature report");
    check(buffer != nullptr && size != nullptr, "read without a buffer");
    check(reportID == 4 || reportID == 5, "read a report the switch does not have");
    calls.push_back({reportID, *size, false, false});
    if (input_.empty()) return kIOReturnNotAttached;
    const uint8_t status = input_.byte();
    if (status >= 0xC0) {
      calls.back().timedOut = kFailures[status & 3] == kIOReturnTimeout;
      return kFailures[status & 3];
    }
    const UInt32 length = std::min<UInt32>(input_.byte(), *size);
    Bytes answer(*size, 0);
    const size_t got = input_.take(answer.data(), length);
    memcpy(buffer, answer.data(), got);
    *size = UInt32(got);
    answers[reportID] = answer;
    calls.back().succeeded = true;
    return kIOReturnSuccess;
  }
  IOReturn setReport(IOHIDReportType, UInt32, const void*, UInt32) override {
    fuzzing::fail(kTarget, "reading the switch sent a report");
  }

  bool isOpen() const { return open_; }
  bool opened = false;
  std::vector<Call> calls;
  Bytes answers[6];  // by report ID, the last successful answer padded to the buffer

 private:
  fuzzing::Input& input_;
  bool open_ = false;
};

bool sameDecode(const KVM_INFO& a, const KVM_INFO& b) {
  return a.portCount == b.portCount && a.availablePorts == b.availablePorts && a.currentPort == b.currentPort &&
         a.hasBuzzer == b.hasBuzzer && a.hasAudio == b.hasAudio && a.audioBindable == b.audioBindable &&
         a.hasAutoScanPeriod == b.hasAutoScanPeriod && a.hasHub[0] == b.hasHub[0] && a.hasHub[1] == b.hasHub[1] &&
         a.hubBindable[0] == b.hubBindable[0] && a.hubBindable[1] == b.hubBindable[1] &&
         a.hasUniversalHotKey == b.hasUniversalHotKey && a.buzzerOn == b.buzzerOn && a.audioFixed == b.audioFixed &&
         a.autoScanOn == b.autoScanOn && a.hubFixed[0] == b.hubFixed[0] && a.hubFixed[1] == b.hubFixed[1] &&
         a.audioPort == b.audioPort && a.hubPort[0] == b.hubPort[0] && a.hubPort[1] == b.hubPort[1] &&
         a.autoScanPeriod == b.autoScanPeriod && a.universalHotKey == b.universalHotKey;
}

// Report 5 is asked for until it comes (five times at most, and no more after
// a timeout: the switch is silent), then report 4 the same way.
bool expectedOrder(const std::vector<Call>& calls, bool opened) {
  if (!opened) return calls.empty();
  size_t at = 0;
  for (UInt32 id : {5u, 4u}) {
    const UInt32 capacity = id == 5 ? 4 : 8;
    int attempts = 0;
    bool got = false;
    while (!got && attempts < kAttempts) {
      if (at == calls.size() || calls[at].reportID != id || calls[at].capacity != capacity) return false;
      got = calls[at].succeeded;
      const bool silent = calls[at++].timedOut;
      ++attempts;
      if (silent) break;
    }
    if (!got) return at == calls.size();
  }
  return at == calls.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static fuzzing::InstantClock clock;
  platform::setClock(&clock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t interfacesBefore = platform::liveDeviceInterfaces();
  fuzzing::Input input(data, size);
  auto device = std::make_shared<ScriptedDevice>(input);

  KVM_INFO info;
  memset(&info, 0, sizeof info);
  info.state = 2;
  info.version = 2;
  info.portCount = 2;
  info.currentPort = 1;
  info.confirmedPort = 1;
  info.autoScanPeriod = 3;
  memset(info.device.infoBuffer, kStale, sizeof info.device.infoBuffer);
  info.device.hidDevice = platform::makeHIDDeviceInterface(device);
  const KVM_INFO before = info;

  KVMGetInformation(&info);

  check(!device->isOpen(), "left the device open");
  check(expectedOrder(device->calls, device->opened), "asked for the reports out of order or too often");
  check(info.version == 2, "the generation changed");
  check(info.device.hidDevice == before.device.hidDevice, "the device changed");

  // The switch stays in use exactly when the read worked.
  if (info.state == 2) {
    check(!device->calls.empty() && device->calls.back().reportID == 4 && device->calls.back().succeeded,
          "decoded a block the device never sent");
    Bytes block(device->answers[5]);
    block.insert(block.end(), device->answers[4].begin(), device->answers[4].end());
    check(block.size() == 12 && memcmp(block.data(), info.device.infoBuffer, 12) == 0,
          "the block is not the two reports as the switch sent them");
    check(info.portCount == 2, "port count other than 2");
    check(info.currentPort >= 0 && info.currentPort <= 2, "current port out of range");
    check(info.confirmedPort >= 0 && info.confirmedPort <= 15, "confirmed port out of range");
    check(info.availablePorts >= 0 && info.availablePorts <= 15, "available ports out of range");
    check(info.audioPort >= 0 && info.audioPort <= 15, "audio port out of range");
    check(info.hubPort[0] >= 0 && info.hubPort[0] <= 15 && info.hubPort[1] >= 0 && info.hubPort[1] <= 15,
          "hub port out of range");
    check(info.autoScanPeriod >= 1 && info.autoScanPeriod <= 20, "auto-scan period out of range");
    check(info.universalHotKey <= 0xFF, "universal hot key wider than a byte");
  } else {
    check(memcmp(info.device.infoBuffer, before.device.infoBuffer, 12) == 0, "a failed read changed the block");
    check(info.state == 0 && info.confirmedPort == -1, "a failed read left the switch in use");
    check(sameDecode(info, before), "a failed read changed the decoded fields");
  }

  (*info.device.hidDevice)->Release(info.device.hidDevice);
  check(platform::liveDeviceInterfaces() == interfacesBefore, "an interface object leaked");
  return 0;
}
