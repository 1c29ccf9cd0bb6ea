#include "app/switch_bus.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "switch/kvm_access.h"
#include "switch/kvm_operations.h"

namespace {

using platform::SwitchBusError;
using platform::SwitchBusReply;

// The computers the tray menu and the hot keys serve (ports 0 and 1).
constexpr uint32_t kComputers = 2;
// The switch holds each port for a whole number of 5-second units.
constexpr uint32_t kPeriodUnitSeconds = kAutoScanPeriodUnitSeconds;
constexpr uint32_t kWidestPeriodSeconds = kLastAutoScanPeriod[2] * kAutoScanPeriodUnitSeconds;

std::string Hex4(uint32_t value) {
  char text[8];
  snprintf(text, sizeof text, "%04x", value & 0xFFFF);
  return text;
}

SwitchBusError NoSwitch() { return {platform::kSwitchErrorNoSwitch, "no switch attached"}; }

SwitchBusError NotAnswering(const KVM_INFO& info) {
  return {platform::kSwitchErrorNotAnswering,
          "the switch (" + Hex4(info.device.vendorID) + ":" + Hex4(info.device.productID) + ") does not answer"};
}

SwitchBusError InvalidArgs(const std::string& message) { return {platform::kBusErrorInvalidArgs, message}; }

// What is wrong with a period of `seconds` for a switch of `version`; empty
// when it takes it.
std::string PeriodProblem(int version, uint32_t seconds) {
  const int generation = version == 1 ? 1 : 2;
  const uint32_t first = uint32_t(kFirstAutoScanPeriod[generation]) * kPeriodUnitSeconds;
  const uint32_t last = uint32_t(kLastAutoScanPeriod[generation]) * kPeriodUnitSeconds;
  if (seconds >= first && seconds <= last && seconds % kPeriodUnitSeconds == 0) return {};
  return "period " + std::to_string(seconds) + " s: this switch takes " + std::to_string(first) + " to " +
         std::to_string(last) + " seconds in steps of 5";
}

// A switch attached: in use, or one whose last read failed while it stays
// watched with its interfaces held, which the next good read puts back in
// use (KVMGetInformation); a client still reaches it to read it again.
bool Held(const KVM_INFO& info) {
  return info.state == 2 ||
         (info.state == 0 && info.device.notification && (info.device.hidDevice || info.device.usbDevice));
}

// The answer to a job's outcome. A switch gone, not yet opened or no longer
// ours to open counts as none attached.
SwitchBusError Answer(bool attached, IOReturn status, const SwitchBusError& refused) {
  if (!attached || status == kIOReturnNotAttached) return NoSwitch();
  if (status == kIOReturnNotPrivileged) return {platform::kSwitchErrorNoSwitch, "no permission to open the switch"};
  if (status == kIOReturnSuccess) return {};
  if (status == kIOReturnUnsupported || status == kIOReturnBadArgument) return refused;
  return NotAnswering(ShownKVMInfo());
}

// Runs `operation` on the attached switch as a switch job, holding the
// record's lock, and answers once it is done. `refused` is the answer when
// the operation turns the request down (kIOReturnUnsupported or
// kIOReturnBadArgument, with nothing sent).
void RunOnSwitch(platform::SwitchJobKind kind, std::function<IOReturn(KVM_INFO*)> operation, SwitchBusError refused,
                 SwitchBusReply reply) {
  struct Outcome {
    bool attached = false;
    IOReturn status = kIOReturnSuccess;
  };
  auto outcome = std::make_shared<Outcome>();
  SubmitKVMJob(
      kind,
      [operation = std::move(operation), outcome] {
        MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
        outcome->attached = Held(KVMSwitch.info);
        if (outcome->attached) outcome->status = operation(&KVMSwitch.info);
        MPExitCriticalRegion(KVMSwitch.criticalRegion);
      },
      [outcome, refused = std::move(refused), reply = std::move(reply)] {
        reply(Answer(outcome->attached, outcome->status, refused));
      });
}

void RunCommand(std::function<IOReturn(KVM_INFO*)> operation, SwitchBusError refused, SwitchBusReply reply) {
  RunOnSwitch(platform::SwitchJobKind::Command, std::move(operation), std::move(refused), std::move(reply));
}

void SelectComputer(uint32_t computer, SwitchBusReply reply) {
  if (computer < 1 || computer > kComputers) {
    reply(InvalidArgs("no computer " + std::to_string(computer) + ": the switch has computers 1 and 2"));
    return;
  }
  const int port = int(computer) - 1;
  RunCommand([port](KVM_INFO* info) { return KVMSetPortNumber(info, port); }, {}, std::move(reply));
}

void SetAutoScan(bool on, SwitchBusReply reply) {
  RunCommand(
      [on](KVM_INFO* info) {
        const IOReturn status = KVMSetAutoScan(info, on);
        // Shown at once; the next read brings the switch's own value.
        if (status == kIOReturnSuccess) info->autoScanOn = on;
        return status;
      },
      {}, std::move(reply));
}

void SetBuzzer(bool on, SwitchBusReply reply) {
  const SwitchBusError none = {platform::kSwitchErrorNotSupported, "this switch has no buzzer"};
  const KVM_INFO shown = ShownKVMInfo();
  if (Held(shown) && !shown.hasBuzzer) {
    reply(none);
    return;
  }
  RunCommand(
      [on](KVM_INFO* info) {
        if (!info->hasBuzzer) return IOReturn(kIOReturnUnsupported);
        const IOReturn status = KVMSetBuzzer(info, on);
        if (status == kIOReturnSuccess) info->buzzerOn = on;
        return status;
      },
      none, std::move(reply));
}

void SetAutoScanPeriod(uint32_t seconds, SwitchBusReply reply) {
  if (seconds < kPeriodUnitSeconds || seconds > kWidestPeriodSeconds || seconds % kPeriodUnitSeconds != 0) {
    reply(InvalidArgs("period " + std::to_string(seconds) + " s: the switch takes 5 to 100 seconds in steps of 5"));
    return;
  }
  const SwitchBusError none = {platform::kSwitchErrorNotSupported, "this switch has no auto-scan period"};
  const KVM_INFO shown = ShownKVMInfo();
  if (!Held(shown)) {
    reply(NoSwitch());
    return;
  }
  if (!shown.hasAutoScanPeriod) {
    reply(none);
    return;
  }
  if (std::string problem = PeriodProblem(shown.version, seconds); !problem.empty()) {
    reply(InvalidArgs(problem));
    return;
  }
  // Checked again on the record itself: another switch may be there by then.
  RunCommand(
      [seconds](KVM_INFO* info) {
        if (!info->hasAutoScanPeriod) return IOReturn(kIOReturnUnsupported);
        if (!PeriodProblem(info->version, seconds).empty()) return IOReturn(kIOReturnBadArgument);
        const int units = int(seconds / kPeriodUnitSeconds);
        const IOReturn status = KVMSetAutoScanPeriod(info, units);
        if (status == kIOReturnSuccess) info->autoScanPeriod = units;
        return status;
      },
      none, std::move(reply));
}

void Read(SwitchBusReply reply) {
  RunOnSwitch(platform::SwitchJobKind::Read, KVMGetInformation, {}, std::move(reply));
}

int32_t Binding(bool present, bool fixed, int port) { return !present ? -1 : fixed ? port + 1 : 0; }

}  // namespace

platform::SwitchBusState SwitchBusStateOf(const KVM_INFO& info) {
  platform::SwitchBusState state;
  if (!Held(info)) return state;
  state.attached = true;
  state.generation = uint32_t(info.version);
  state.vendorId = uint16_t(info.device.vendorID);
  state.productId = uint16_t(info.device.productID);
  // Two port readings that disagree show no computer, as in the tray.
  state.activeComputer = info.currentPort == info.confirmedPort ? info.currentPort + 1 : 0;
  for (int port = 0; port < info.portCount && port < 32; ++port) {
    if (info.availablePorts & (1 << port)) state.availableComputers.push_back(port + 1);
  }
  state.autoScan = info.autoScanOn;
  state.autoScanPeriod = info.hasAutoScanPeriod ? uint32_t(info.autoScanPeriod) * kPeriodUnitSeconds : 0;
  state.buzzer = info.hasBuzzer ? (info.buzzerOn ? 1 : 0) : -1;
  state.audio = Binding(info.hasAudio, info.audioFixed, info.audioPort);
  state.hubs = {Binding(info.hasHub[0], info.hubFixed[0], info.hubPort[0]),
                Binding(info.hasHub[1], info.hubFixed[1], info.hubPort[1])};
  return state;
}

void InstallSwitchBus() {
  platform::setSwitchBusHandlers({
      .state = [] { return SwitchBusStateOf(ShownKVMInfo()); },
      .selectComputer = SelectComputer,
      .setAutoScan = SetAutoScan,
      .setAutoScanPeriod = SetAutoScanPeriod,
      .setBuzzer = SetBuzzer,
      .read = Read,
  });
  SetKVMJobWatcher(platform::announceSwitchBusState);
}
