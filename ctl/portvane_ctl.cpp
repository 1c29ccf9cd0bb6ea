#include "ctl/portvane_ctl.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "ctl/program_bus.h"
#include "hid/hid_discovery.h"
#include "platform/core/critical_region.h"
#include "platform/core/main_queue.h"
#include "platform/linux/hidraw.h"
#include "platform/linux/linux_devices.h"
#include "switch/kvm_operations.h"

namespace ctl {

namespace {

// Printed after a bad argument; the help adds the rest.
const char kShortUsage[] =
    "Usage: portvane-ctl [--json] [--verbose] COMMAND [VALUE]\n"
    "Commands: status, port 1|2, scan on|off, period SECONDS, buzzer on|off (--help says more)\n";

const char kHelp[] =
    "Usage: portvane-ctl [--json] [--verbose] COMMAND [VALUE]\n"
    "Reads or changes the KVM switch plugged into this computer, through the\n"
    "running portvane when there is one.\n"
    "\n"
    "Commands:\n"
    "  status           the switch, the active computer and the switch's settings\n"
    "  port 1|2         switch to computer 1 or 2\n"
    "  scan on|off      start or stop auto-scan\n"
    "  period SECONDS   how long auto-scan stays on each computer: 5 to 100 in steps\n"
    "                   of 5 (10 to 60 on the older, serial-number switch)\n"
    "  buzzer on|off    switch the buzzer on or off\n"
    "\n"
    "Options:\n"
    "  --json           print the status as one JSON object\n"
    "  -v, --verbose    also show the program's diagnostic lines\n"
    "  -h, --help       show this help\n"
    "  --version        show the version\n"
    "\n"
    "Exit status: 0 done, 1 udev or the device registry failed, 2 bad argument,\n"
    "3 no switch found, 4 no permission to open the switch, 5 the switch does not\n"
    "answer, 6 the switch has no such setting.\n";

// The switch holds each port for a whole number of 5-second units.
constexpr int kPeriodUnitSeconds = kAutoScanPeriodUnitSeconds;

enum class Command { Status, Port, Scan, Period, Buzzer };

struct Request {
  Command command = Command::Status;
  int value = 0;  // port 1 or 2; on 1, off 0; period in seconds
  bool json = false;
};

Result finished(int status, const std::string& line) {
  Result result;
  result.status = status;
  result.err = "portvane-ctl: " + line + "\n";
  return result;
}

Result badArgument(const std::string& problem) {
  Result result = finished(kBadArgument, problem);
  result.err += kShortUsage;
  return result;
}

bool onOff(const QString& word, int* value) {
  if (word != "on" && word != "off") return false;
  *value = word == "on" ? 1 : 0;
  return true;
}

// The command and its value, checked before any device is touched; a
// non-empty return is what is wrong with them.
std::string parseRequest(const QStringList& words, Request* request) {
  if (words.isEmpty()) return "no command given";
  const QString& command = words[0];
  const bool oneValue = words.size() == 2;
  bool ok = false;
  if (command == "status") {
    request->command = Command::Status;
    if (words.size() != 1) return "status takes no value";
  } else if (command == "port") {
    request->command = Command::Port;
    if (oneValue) request->value = words[1].toInt(&ok);
    if (!ok || (request->value != 1 && request->value != 2)) return "port takes 1 or 2";
  } else if (command == "scan") {
    request->command = Command::Scan;
    if (!oneValue || !onOff(words[1], &request->value)) return "scan takes on or off";
  } else if (command == "buzzer") {
    request->command = Command::Buzzer;
    if (!oneValue || !onOff(words[1], &request->value)) return "buzzer takes on or off";
  } else if (command == "period") {
    request->command = Command::Period;
    if (oneValue) request->value = words[1].toInt(&ok);
    const int widest = kLastAutoScanPeriod[2] * kPeriodUnitSeconds;
    if (!ok || request->value < kPeriodUnitSeconds || request->value > widest ||
        request->value % kPeriodUnitSeconds != 0) {
      return "period takes 5 to 100 seconds in steps of 5";
    }
  } else {
    return "unknown command \"" + command.toStdString() + "\"";
  }
  if (request->json && request->command != Command::Status) return "--json goes with status only";
  return std::string();
}

// Keeps the program's diagnostic lines (every read's block dump, the attach)
// off standard error for as long as it lives.
class QuietDiagnostics {
 public:
  explicit QuietDiagnostics(bool quiet) {
    if (!quiet) return;
    fflush(stderr);
    saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
  }
  ~QuietDiagnostics() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  QuietDiagnostics(const QuietDiagnostics&) = delete;
  QuietDiagnostics& operator=(const QuietDiagnostics&) = delete;

 private:
  int saved_ = -1;
};

std::string hex4(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%04x", value & 0xFFFF);
  return text;
}

Result noPermission(const std::string& node) {
  const std::string reason = node.empty() ? std::string() : platform::deniedNodeReason(node);
  if (!reason.empty()) return finished(kNoPermission, "no permission to open " + node + ": " + reason);
  return finished(kNoPermission, "no permission to open " + (node.empty() ? "the switch" : node) +
                                     ": install the udev rules (sudo scripts/install-udev-rules.sh, or the "
                                     "package), then replug the switch");
}

// What became of a read or a command that the switch did not take.
Result unanswered(IOReturn status, const KVM_INFO& info) {
  std::string denied = platform::takeDeniedDeviceNode();
  if (status == kIOReturnNotPrivileged) return noPermission(denied);
  return finished(kNotAnswering, "the switch (" + hex4(info.device.vendorID) + ":" + hex4(info.device.productID) +
                                     ") does not answer");
}

// The identifiers of the first device of the table present now, as start-up
// matches them; false when there is none.
bool supportedDevicePresent(DEVICE_ID* found) {
  for (const DEVICE_LIST& entry : DeviceList) {
    for (int32_t product = entry.firstProductID; product <= entry.lastProductID; ++product) {
      CFMutableDictionaryRef matching = CreateMatchingDictionary(
          "IOHIDDevice", CFSTR("VendorID"), uint32_t(entry.vendorID), CFSTR("ProductID"), uint32_t(product));
      if (!matching) continue;
      io_iterator_t iterator = 0;
      if (IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator) != 0) continue;
      io_service_t service = IOIteratorNext(iterator);
      IOObjectRelease(iterator);
      if (service) {
        IOObjectRelease(service);
        *found = {uint32_t(entry.vendorID), uint32_t(product)};
        return true;
      }
    }
  }
  return false;
}

// Matching attached nothing: nothing there, a node this user may not open,
// or a switch that did not answer its first read.
Result unattached() {
  std::string denied = platform::takeDeniedDeviceNode();
  if (!denied.empty()) return noPermission(denied);
  DEVICE_ID id = {};
  if (!supportedDevicePresent(&id)) return finished(kNoSwitch, "no switch found");
  return finished(kNotAnswering, "the switch (" + hex4(id.vendorID) + ":" + hex4(id.productID) + ") does not answer");
}

QString binding(bool fixed, int port) {
  return fixed ? QString("fixed to computer %1").arg(port + 1) : QString("follows the active computer");
}

QJsonValue jsonBinding(bool present, bool fixed, int port) {
  if (!present) return QJsonValue();
  QJsonObject object{{"fixed", fixed}};
  if (fixed) object["computer"] = port + 1;
  return object;
}

QList<int> availableComputers(const KVM_INFO& info) {
  QList<int> computers;
  for (int port = 0; port < info.portCount && port < 32; ++port) {
    if (info.availablePorts & (1 << port)) computers.append(port + 1);
  }
  return computers;
}

// The computer shown while both port readings agree (as the tray shows it).
bool activeComputer(const KVM_INFO& info, int* computer) {
  if (info.currentPort != info.confirmedPort) return false;
  *computer = info.currentPort + 1;
  return true;
}

std::string statusText(const KVM_INFO& info) {
  QStringList lines;
  lines << QString("switch: generation %1 (%2), vendor %3, product %4")
               .arg(info.version)
               .arg(info.version == 1 ? "serial number" : "feature reports")
               .arg(QString::fromStdString(hex4(info.device.vendorID)))
               .arg(QString::fromStdString(hex4(info.device.productID)));
  int computer = 0;
  lines << (activeComputer(info, &computer) ? QString("active computer: %1").arg(computer)
                                            : QString("active computer: changing"));
  QStringList ports;
  for (int port : availableComputers(info)) ports << QString::number(port);
  lines << "ports available: " + (ports.isEmpty() ? QString("none") : ports.join(", "));
  QString scan = QString("auto-scan: ") + (info.autoScanOn ? "on" : "off");
  if (info.hasAutoScanPeriod) scan += QString(", period %1 s").arg(info.autoScanPeriod * kPeriodUnitSeconds);
  lines << scan;
  lines << "buzzer: " + (info.hasBuzzer ? QString(info.buzzerOn ? "on" : "off") : QString("none"));
  lines << "audio: " + (info.hasAudio ? binding(info.audioFixed, info.audioPort) : QString("none"));
  for (int hub = 0; hub < 2; ++hub) {
    lines << QString("hub %1: ").arg(hub + 1) +
                 (info.hasHub[hub] ? binding(info.hubFixed[hub], info.hubPort[hub]) : QString("none"));
  }
  return (lines.join("\n") + "\n").toStdString();
}

std::string statusJson(const KVM_INFO& info) {
  QJsonObject status;
  status["generation"] = info.version;
  status["vendorId"] = QString::fromStdString(hex4(info.device.vendorID));
  status["productId"] = QString::fromStdString(hex4(info.device.productID));
  int computer = 0;
  status["activeComputer"] = activeComputer(info, &computer) ? QJsonValue(computer) : QJsonValue();
  QJsonArray ports;
  for (int port : availableComputers(info)) ports.append(port);
  status["portsAvailable"] = ports;
  status["autoScan"] = info.autoScanOn;
  status["autoScanPeriodSeconds"] =
      info.hasAutoScanPeriod ? QJsonValue(info.autoScanPeriod * kPeriodUnitSeconds) : QJsonValue();
  status["buzzer"] = info.hasBuzzer ? QJsonValue(info.buzzerOn) : QJsonValue();
  status["audio"] = jsonBinding(info.hasAudio, info.audioFixed, info.audioPort);
  status["hubs"] = QJsonArray{jsonBinding(info.hasHub[0], info.hubFixed[0], info.hubPort[0]),
                              jsonBinding(info.hasHub[1], info.hubFixed[1], info.hubPort[1])};
  return QJsonDocument(status).toJson(QJsonDocument::Compact).toStdString() + "\n";
}

// Whether the request depends on what the switch says now (it is read first).
bool readsFirst(const Request& request) {
  return request.command == Command::Status || request.command == Command::Buzzer ||
         request.command == Command::Period;
}

// What the switch, as just read, says to the request before anything is
// sent: the status itself, or a setting it does not have or a period it does
// not take. Nothing for a command to send.
std::optional<Result> answeredByReading(const Request& request, const KVM_INFO& info) {
  Result result;
  switch (request.command) {
    case Command::Status:
      result.out = request.json ? statusJson(info) : statusText(info);
      return result;
    case Command::Buzzer:
      if (!info.hasBuzzer) return finished(kNotOnThisSwitch, "this switch has no buzzer");
      return std::nullopt;
    case Command::Period: {
      if (!info.hasAutoScanPeriod) return finished(kNotOnThisSwitch, "this switch has no auto-scan period");
      const int generation = info.version == 1 ? 1 : 2;
      const int period = request.value / kPeriodUnitSeconds;
      if (period < kFirstAutoScanPeriod[generation] || period > kLastAutoScanPeriod[generation]) {
        return badArgument("this switch takes a period of " +
                           std::to_string(kFirstAutoScanPeriod[generation] * kPeriodUnitSeconds) + " to " +
                           std::to_string(kLastAutoScanPeriod[generation] * kPeriodUnitSeconds) +
                           " seconds in steps of 5");
      }
      return std::nullopt;
    }
    case Command::Port:
    case Command::Scan:
      return std::nullopt;
  }
  return std::nullopt;
}

// The request on the attached switch, the caller holding its lock.
Result serve(const Request& request, KVM_INFO* info) {
  if (info->state != 2) return unattached();
  // A switch that let the attach's read run into the kernel's whole time is
  // silent: asking it again would only double the wait for the same answer.
  if (info->notAnswering) return unanswered(kIOReturnTimeout, *info);
  // The attach's first read may have failed unseen: what the request depends
  // on is read again.
  if (readsFirst(request)) {
    IOReturn read = KVMGetInformation(info);
    if (read != kIOReturnSuccess) return unanswered(read, *info);
    if (std::optional<Result> answered = answeredByReading(request, *info)) return *answered;
  }
  IOReturn sent = kIOReturnSuccess;
  switch (request.command) {
    case Command::Port:
      sent = KVMSetPortNumber(info, request.value - 1);
      break;
    case Command::Scan:
      sent = KVMSetAutoScan(info, request.value != 0);
      break;
    case Command::Buzzer:
      sent = KVMSetBuzzer(info, request.value != 0);
      break;
    case Command::Period:
      sent = KVMSetAutoScanPeriod(info, request.value / kPeriodUnitSeconds);
      break;
    case Command::Status:
      break;
  }
  if (sent != kIOReturnSuccess) return unanswered(sent, *info);
  return Result();
}

// What an error of the running program means for the command line; nothing
// when the request is to go to the switch directly instead (the program has
// no switch attached: the direct way says why, as when no program runs).
std::optional<Result> programRefused(const ProgramAnswer& answer, const std::string& unsupported) {
  if (answer.error == "io.github.portvane.Switch1.Error.NoSwitch") return std::nullopt;
  if (answer.error == "io.github.portvane.Switch1.Error.NotSupported") {
    return finished(kNotOnThisSwitch, unsupported);
  }
  if (answer.error == "io.github.portvane.Switch1.Error.NotAnswering") {
    KVM_INFO info;
    if (!programSwitch(&info)) return finished(kNotAnswering, answer.message);
    return finished(kNotAnswering, "the switch (" + hex4(info.device.vendorID) + ":" + hex4(info.device.productID) +
                                       ") does not answer");
  }
  if (answer.error == "org.freedesktop.DBus.Error.InvalidArgs") return badArgument(answer.message);
  if (answer.error == "org.freedesktop.DBus.Error.NoReply" || answer.error == "org.freedesktop.DBus.Error.Timeout") {
    return finished(kNotAnswering, "the running portvane does not answer on the session bus");
  }
  return finished(kFailed, "the running portvane: " + answer.message);
}

// The request through the running program, which owns the switch: the same
// reads first, the same lines and statuses. Nothing when it is to go to the
// switch directly: no program of ours runs, or it has no switch attached.
std::optional<Result> throughProgram(const Request& request) {
  const std::string unsupported =
      request.command == Command::Buzzer ? "this switch has no buzzer" : "this switch has no auto-scan period";
  if (readsFirst(request)) {
    const ProgramAnswer read = callProgram(QStringLiteral("Read"));
    if (!read.reached) return std::nullopt;
    if (!read.error.empty()) return programRefused(read, unsupported);
    KVM_INFO info;
    // A switch gone since the read is looked for directly.
    if (!programSwitch(&info) || info.state != 2) return std::nullopt;
    if (std::optional<Result> answered = answeredByReading(request, info)) return answered;
  }
  ProgramAnswer sent;
  switch (request.command) {
    case Command::Port:
      sent = callProgram(QStringLiteral("SelectComputer"), {uint(request.value)});
      break;
    case Command::Scan:
      sent = callProgram(QStringLiteral("SetAutoScan"), {request.value != 0});
      break;
    case Command::Buzzer:
      sent = callProgram(QStringLiteral("SetBuzzer"), {request.value != 0});
      break;
    case Command::Period:
      sent = callProgram(QStringLiteral("SetAutoScanPeriod"), {uint(request.value)});
      break;
    case Command::Status:
      return Result();
  }
  if (!sent.reached) return std::nullopt;
  if (!sent.error.empty()) return programRefused(sent, unsupported);
  return Result();
}

// Finds the switch as start-up does, serves the request, and lets go of
// everything again, so that nothing stays open on the device.
Result talkToSwitch(const Request& request) {
  memset(&KVMSwitch, 0, sizeof KVMSwitch);
  MPCreateCriticalRegion(&KVMSwitch.criticalRegion);
  // A refusal left from before this run is not this run's.
  platform::takeDeniedDeviceNode();

  Result result;
  if (!platform::startLinuxDevices()) {
    result = finished(kFailed, "cannot reach udev");
  } else {
    MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
    IOReturn matched = HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount);
    // What the registry queued while matching (a switch that went away meanwhile).
    platform::drainMainQueue();
    if (matched != kIOReturnSuccess) {
      char line[64];
      snprintf(line, sizeof line, "cannot look for switches (code %08X)", matched);
      result = finished(kFailed, line);
    } else {
      result = serve(request, &KVMSwitch.info);
    }
    MPExitCriticalRegion(KVMSwitch.criticalRegion);
  }

  if (theTimer) RemoveEventLoopTimer(theTimer);
  theTimer = nullptr;
  ReleaseDeviceRecord(&KVMSwitch.info.device);
  platform::stopLinuxDevices();
  platform::drainMainQueue();
  if (gNotifyPort) IONotificationPortDestroy(gNotifyPort);
  gNotifyPort = nullptr;
  MPDeleteCriticalRegion(KVMSwitch.criticalRegion);
  KVMSwitch.criticalRegion = nullptr;
  return result;
}

}  // namespace

Result run(const std::vector<std::string>& arguments) {
  QStringList words;
  for (const std::string& argument : arguments) words << QString::fromStdString(argument);

  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{"h", "help"});
  const QCommandLineOption version("version");
  const QCommandLineOption json("json");
  const QCommandLineOption verbose(QStringList{"v", "verbose"});
  parser.addOptions({help, version, json, verbose});
  // parse() skips the first word, the program's name.
  if (!parser.parse(QStringList{"portvane-ctl"} + words)) return badArgument(parser.errorText().toStdString());

  Result result;
  if (parser.isSet(help)) {
    result.out = kHelp;
    return result;
  }
  if (parser.isSet(version)) {
    result.out = "portvane-ctl " PORTVANE_VERSION "\n";
    return result;
  }
  Request request;
  request.json = parser.isSet(json);
  std::string problem = parseRequest(parser.positionalArguments(), &request);
  if (!problem.empty()) return badArgument(problem);

  if (std::optional<Result> served = throughProgram(request)) return *served;
  QuietDiagnostics quiet(!parser.isSet(verbose));
  return talkToSwitch(request);
}

}  // namespace ctl
