// portvane-ctl end to end: the real program run against a fake sysfs and /dev
// (umockdev) whose hidraw node is answered by the simulated feature-report
// switch: its status, its commands, and the status and line of each failure;
// two at once, taking turns at the switch; and the same through the running
// program (the launch probe on a session bus of the test's own), with the
// tray polling meanwhile.
// The serial-number switch goes over usbfs, which umockdev does not serve to
// libusb, so its case runs the command line in-process with libusb's table
// scripted and the switch's state from the simulated serial-number switch.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctl/portvane_ctl.h"
#include "platform/linux/libusb_device.h"
#include "sim/simulated_switch.h"
#include "tests/support/feature_report_ioctls.h"
#include "tests/support/private_bus.h"
#include "tests/support/program_processes.h"

namespace {

using platform::SimCall;
using Bytes = std::vector<uint8_t>;

// Report 5 of 3 data bytes and report 4 of 7, as the feature-report switch has them.
const char kSwitchDescriptor[] = "0600FF0901A101850575089503 0901B102850475089507 0901B102C0";

// usb device -> interface -> hid device -> hidraw node, as sysfs has them.
std::string Describe(int address, int hidraw, uint16_t product) {
  std::string descriptor;
  for (const char* c = kSwitchDescriptor; *c; ++c)
    if (*c != ' ') descriptor += *c;
  const std::string usb = "/devices/pci0000:00/usb1/1-" + std::to_string(address);
  const std::string interface = usb + "/1-" + std::to_string(address) + ":1.0";
  char hid[64];
  snprintf(hid, sizeof hid, "%s/0003:10D5:%04X.%04X", interface.c_str(), product, hidraw + 1);
  char text[2048];
  snprintf(text, sizeof text,
           "P: %s\nN: bus/usb/001/%03d\nE: DEVNAME=/dev/bus/usb/001/%03d\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
           "A: idVendor=10d5\nA: idProduct=%04x\nA: busnum=1\nA: devnum=%d\n\n"
           "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\nA: bInterfaceClass=03\n\n"
           "P: %s\nE: SUBSYSTEM=hid\nE: HID_ID=0003:000010D5:%08X\nH: report_descriptor=%s\n\n"
           "P: %s/hidraw/hidraw%d\nN: hidraw%d\nE: DEVNAME=/dev/hidraw%d\nE: SUBSYSTEM=hidraw\n\n",
           usb.c_str(), address, address, product, address, interface.c_str(), hid, product, descriptor.c_str(), hid,
           hidraw, hidraw, hidraw);
  return text;
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Takes away root's right to open any file, in the child only and for good
// (from its bounding set), so that the node's mode applies to the program.
void DropFileAccessOverride() {
  prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
  prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

// A session bus that cannot be reached: no program of ours runs there.
const char kNoBus[] = "unix:path=/nonexistent/portvane-test-bus";

const char kShortUsage[] =
    "Usage: portvane-ctl [--json] [--verbose] COMMAND [VALUE]\n"
    "Commands: status, port 1|2, scan on|off, period SECONDS, buzzer on|off (--help says more)\n";

class PortvaneCtl : public ::testing::Test {
 protected:
  void SetUp() override {
    // The in-process runs too: never a program the user runs.
    qputenv("DBUS_SESSION_BUS_ADDRESS", kNoBus);
    bed_ = umockdev_testbed_new();
    model_ = sim_.newDeviceInterface();
    (*model_)->open(model_, 0);
    ioctls_.emplace(model_);
    sim_.clearRecords();
  }
  void TearDown() override {
    ioctls_.reset();
    (*model_)->Release(model_);
    g_object_unref(bed_);
  }

  // Plugs the feature-report switch in; its feature reports are the simulated switch's.
  void AddSwitch() {
    ASSERT_TRUE(umockdev_testbed_add_from_string(bed_, Describe(2, 0, 0x5500).c_str(), nullptr));
    ASSERT_TRUE(ioctls_->attach(bed_, "/dev/hidraw0"));
  }
  std::string NodeFile(const std::string& node) {
    g_autofree gchar* root = umockdev_testbed_get_root_dir(bed_);
    return root + node;
  }

  // The program itself, in the fake sysfs and /dev this process set up, on
  // the session bus at `bus` (none when empty).
  std::unique_ptr<QProcess> StartCtl(const QStringList& arguments, const std::string& bus = {},
                                     bool withoutFileAccess = false) {
    auto process = std::make_unique<QProcess>();
    if (withoutFileAccess) process->setChildProcessModifier(DropFileAccessOverride);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.empty() ? QString(kNoBus) : QString::fromStdString(bus));
    process->setProcessEnvironment(env);
    process->start(PORTVANE_CTL, arguments);
    return process;
  }
  Outcome Finish(QProcess& process) {
    Outcome run;
    const bool finished = process.state() == QProcess::NotRunning || process.waitForFinished(60000);
    if (!finished || process.exitStatus() != QProcess::NormalExit) {
      ADD_FAILURE() << "portvane-ctl did not finish: " << process.arguments().join(' ').toStdString();
      process.kill();
      process.waitForFinished();
      return run;
    }
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
  }
  Outcome Ctl(const QStringList& arguments, bool withoutFileAccess = false) {
    return Finish(*StartCtl(arguments, {}, withoutFileAccess));
  }
  Outcome CtlOnBus(const std::string& bus, const QStringList& arguments) { return Finish(*StartCtl(arguments, bus)); }

  std::vector<Bytes> ReportsSet() const {
    std::vector<Bytes> reports;
    for (const auto& e : sim_.received())
      if (e.call == SimCall::SetReport) reports.push_back(e.bytes);
    return reports;
  }

  platform::FeatureReportSwitch sim_;
  UMockdevTestbed* bed_ = nullptr;
  std::optional<testsupport::FeatureReportIoctls> ioctls_;

 private:
  IOHIDDeviceInterface122** model_ = nullptr;
};

}  // namespace

// --- The feature-report switch

TEST_F(PortvaneCtl, StatusShowsTheSwitchAndItsSettingsAsTextAndAsJSON) {
  AddSwitch();
  platform::SimSwitchState& state = sim_.state();
  state.port = 1;
  state.buzzer = false;
  state.scanPeriodSeconds = 15;
  state.audioBound = false;
  state.audioPort = 1;
  state.hubBound[1] = false;

  Outcome text = Ctl({"status"});
  EXPECT_EQ(0, text.status);
  EXPECT_EQ("switch: generation 2 (feature reports), vendor 10d5, product 5500\n"
            "active computer: 2\n"
            "ports available: 1, 2\n"
            "auto-scan: off, period 15 s\n"
            "buzzer: off\n"
            "audio: fixed to computer 2\n"
            "hub 1: follows the active computer\n"
            "hub 2: fixed to computer 1\n",
            text.out);
  EXPECT_EQ("", text.err);

  Outcome json = Ctl({"--json", "status"});
  EXPECT_EQ(0, json.status);
  EXPECT_EQ("", json.err);
  QJsonParseError error;
  QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
  ASSERT_TRUE(document.isObject()) << json.out;
  QJsonDocument expected = QJsonDocument::fromJson(R"({
      "generation": 2, "vendorId": "10d5", "productId": "5500", "activeComputer": 2,
      "portsAvailable": [1, 2], "autoScan": false, "autoScanPeriodSeconds": 15, "buzzer": false,
      "audio": {"fixed": true, "computer": 2},
      "hubs": [{"fixed": false}, {"fixed": true, "computer": 1}]})");
  EXPECT_EQ(expected.object(), document.object()) << json.out;
  // Reads only: nothing was sent to the switch.
  EXPECT_TRUE(ReportsSet().empty());
}

TEST_F(PortvaneCtl, CommandsReachTheSwitchAsTheProgramSendsThem) {
  AddSwitch();
  for (const QStringList& command : {QStringList{"port", "2"}, QStringList{"scan", "on"},
                                     QStringList{"period", "20"}, QStringList{"buzzer", "off"}}) {
    Outcome run = Ctl(command);
    EXPECT_EQ(0, run.status) << command.join(' ').toStdString();
    EXPECT_EQ("", run.out + run.err);
  }
  EXPECT_EQ((std::vector<Bytes>{{0x04, 0x81, 0x01, 0, 0, 0, 0, 0},
                                {0x04, 0x88, 0x00, 0, 0, 0, 0, 0},
                                {0x04, 0x87, 0x14, 0, 0, 0, 0, 0},
                                {0x04, 0x86, 0x00, 0, 0, 0, 0, 0}}),
            ReportsSet());
  EXPECT_EQ(1, sim_.currentPort());
  EXPECT_TRUE(sim_.state().autoScan);
  EXPECT_EQ(20, sim_.state().scanPeriodSeconds);
  EXPECT_FALSE(sim_.state().buzzer);
}

// --- Each failure: its own status and one line

TEST_F(PortvaneCtl, NoSwitchNoPermissionAndNoAnswerEachHaveTheirStatusAndLine) {
  Outcome none = Ctl({"port", "2"});
  EXPECT_EQ(3, none.status);
  EXPECT_EQ("portvane-ctl: no switch found\n", none.err);

  AddSwitch();
  const std::string node = NodeFile("/dev/hidraw0");
  ASSERT_EQ(0, chmod(node.c_str(), 0600));
  ASSERT_EQ(0, chown(node.c_str(), 65534, 65534));
  Outcome denied = Ctl({"status"}, true);
  EXPECT_EQ(4, denied.status);
  EXPECT_EQ("portvane-ctl: no permission to open /dev/hidraw0: install the udev rules (sudo "
            "scripts/install-udev-rules.sh, or the package), then replug the switch\n",
            denied.err);
  EXPECT_EQ("", denied.out);
  ASSERT_EQ(0, chown(node.c_str(), 0, 0));

  // Silent only at the attach's read: not asked a second time.
  sim_.failNext(SimCall::GetReport, 1, kIOReturnTimeout);
  Outcome silent = Ctl({"status"});
  EXPECT_EQ(5, silent.status);
  EXPECT_EQ("portvane-ctl: the switch (10d5:5500) does not answer\n", silent.err);
  EXPECT_EQ("", silent.out);

  // A command the switch does not take, after an attach that went well.
  sim_.failNext(SimCall::SetReport, 5, kIOReturnTimeout);
  Outcome refused = Ctl({"port", "1"});
  EXPECT_EQ(5, refused.status);
  EXPECT_EQ("portvane-ctl: the switch (10d5:5500) does not answer\n", refused.err);
  EXPECT_EQ(0, sim_.currentPort());
}

TEST_F(PortvaneCtl, ArgumentsAreCheckedBeforeAnySwitchIsSought) {
  AddSwitch();
  const std::vector<std::pair<QStringList, std::string>> bad = {
      {{}, "no command given"},
      {{"switch"}, "unknown command \"switch\""},
      {{"port", "3"}, "port takes 1 or 2"},
      {{"port"}, "port takes 1 or 2"},
      {{"scan", "yes"}, "scan takes on or off"},
      {{"buzzer", "on", "off"}, "buzzer takes on or off"},
      {{"period", "12"}, "period takes 5 to 100 seconds in steps of 5"},
      {{"period", "105"}, "period takes 5 to 100 seconds in steps of 5"},
      {{"status", "now"}, "status takes no value"},
      {{"--json", "port", "1"}, "--json goes with status only"},
      {{"--frob", "status"}, "Unknown option 'frob'."},
  };
  for (const auto& [arguments, problem] : bad) {
    Outcome run = Ctl(arguments);
    EXPECT_EQ(2, run.status) << problem;
    EXPECT_EQ("portvane-ctl: " + problem + "\n" + kShortUsage, run.err);
    EXPECT_EQ("", run.out);
  }
  // Not even opened.
  EXPECT_TRUE(sim_.calls().empty());

  Outcome help = Ctl({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("Usage: portvane-ctl [--json] [--verbose] COMMAND [VALUE]\n"));
  Outcome version = Ctl({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ(0u, version.out.find("portvane-ctl "));
  EXPECT_EQ("", help.err + version.err);
}

// --- The serial-number switch, in-process over a scripted libusb

namespace {

platform::SerialNumberSwitch* serialSwitch = nullptr;
std::vector<std::string> packets;
int handleToken, deviceToken, contextToken;

// Its one interface: pipe 1 interrupt IN, pipe 2 interrupt OUT.
libusb_config_descriptor* Configuration() {
  static libusb_endpoint_descriptor endpoints[2] = {
      {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x81, LIBUSB_TRANSFER_TYPE_INTERRUPT, 8, 10, 0, 0, nullptr, 0},
      {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x02, LIBUSB_TRANSFER_TYPE_INTERRUPT, 8, 10, 0, 0, nullptr, 0}};
  static libusb_interface_descriptor setting = {9, LIBUSB_DT_INTERFACE, 0, 0, 2, 3, 0, 0, 0, endpoints, nullptr, 0};
  static libusb_interface interface = {&setting, 1};
  static libusb_config_descriptor config = {9, LIBUSB_DT_CONFIG, 0, 1, 1, 0, 0x80, 50, &interface, nullptr, 0};
  return &config;
}

const platform::LibusbCalls kSerialSwitchLibusb = {
    .init =
        [](libusb_context** context) {
          *context = reinterpret_cast<libusb_context*>(&contextToken);
          return 0;
        },
    .wrap_sys_device =
        [](libusb_context*, intptr_t, libusb_device_handle** handle) {
          *handle = reinterpret_cast<libusb_device_handle*>(&handleToken);
          return 0;
        },
    .close = [](libusb_device_handle*) {},
    .get_device = [](libusb_device_handle*) { return reinterpret_cast<libusb_device*>(&deviceToken); },
    .get_device_descriptor =
        [](libusb_device*, libusb_device_descriptor* descriptor) {
          *descriptor = {};
          descriptor->iSerialNumber = 3;
          descriptor->bNumConfigurations = 1;
          return 0;
        },
    .get_config_descriptor =
        [](libusb_device*, uint8_t, libusb_config_descriptor** config) {
          *config = Configuration();
          return 0;
        },
    .get_active_config_descriptor =
        [](libusb_device*, libusb_config_descriptor** config) {
          *config = Configuration();
          return 0;
        },
    .free_config_descriptor = [](libusb_config_descriptor*) {},
    .get_configuration =
        [](libusb_device_handle*, int* configuration) {
          *configuration = 1;
          return 0;
        },
    .set_configuration = [](libusb_device_handle*, int) { return 0; },
    // String descriptor 0 lists English; string 3 is the switch's serial number.
    .control_transfer =
        [](libusb_device_handle*, uint8_t, uint8_t, uint16_t value, uint16_t, unsigned char* data, uint16_t length,
           unsigned int) {
          Bytes descriptor = {4, LIBUSB_DT_STRING, 0x09, 0x04};
          if (value == 0x0303) {
            const std::u16string units = serialSwitch->serialNumber();
            descriptor = {uint8_t(2 + 2 * units.size()), LIBUSB_DT_STRING};
            for (char16_t unit : units) descriptor.insert(descriptor.end(), {uint8_t(unit), uint8_t(unit >> 8)});
          } else if (value != 0x0300) {
            return int(LIBUSB_ERROR_PIPE);
          }
          const size_t n = std::min<size_t>(length, descriptor.size());
          std::copy(descriptor.begin(), descriptor.begin() + long(n), data);
          return int(n);
        },
    .kernel_driver_active = [](libusb_device_handle*, int) { return 1; },
    .detach_kernel_driver = [](libusb_device_handle*, int) { return 0; },
    .attach_kernel_driver = [](libusb_device_handle*, int) { return 0; },
    .claim_interface = [](libusb_device_handle*, int) { return 0; },
    .release_interface = [](libusb_device_handle*, int) { return 0; },
    .interrupt_transfer =
        [](libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length, int* transferred,
           unsigned int) {
          char packet[64];
          snprintf(packet, sizeof packet, "%02x:", endpoint);
          for (int i = 0; i < length; ++i) snprintf(packet + strlen(packet), 4, " %02x", data[i]);
          packets.push_back(packet);
          *transferred = length;
          return 0;
        },
    .bulk_transfer = [](libusb_device_handle*, unsigned char, unsigned char*, int, int*,
                        unsigned int) { return int(LIBUSB_ERROR_PIPE); },
};

}  // namespace

TEST_F(PortvaneCtl, SerialNumberSwitchIsReadAndSwitchedThroughLibusb) {
  platform::SerialNumberSwitch simulated;
  simulated.state().port = 1;
  simulated.state().autoScan = true;
  simulated.state().scanPeriodSeconds = 30;
  simulated.state().audioBound = false;
  simulated.state().audioPort = 0;
  serialSwitch = &simulated;
  packets.clear();
  platform::setLibusbCalls(&kSerialSwitchLibusb);
  ASSERT_TRUE(umockdev_testbed_add_from_string(bed_, Describe(3, 1, 0x000D).c_str(), nullptr));

  ctl::Result status = ctl::run({"status"});
  EXPECT_EQ(0, status.status);
  EXPECT_EQ("switch: generation 1 (serial number), vendor 10d5, product 000d\n"
            "active computer: 2\n"
            "ports available: 1, 2\n"
            "auto-scan: on, period 30 s\n"
            "buzzer: on\n"
            "audio: fixed to computer 1\n"
            "hub 1: none\n"
            "hub 2: none\n",
            status.out);
  EXPECT_EQ("", status.err);

  ctl::Result port = ctl::run({"port", "1"});
  EXPECT_EQ(0, port.status);
  EXPECT_EQ("", port.out + port.err);
  EXPECT_EQ(std::vector<std::string>{"02: 01 00 00 00 00 00 00 00"}, packets);

  // Its periods are 10 to 60 seconds: 5 is refused before anything is sent.
  ctl::Result period = ctl::run({"period", "5"});
  EXPECT_EQ(2, period.status);
  EXPECT_EQ(std::string("portvane-ctl: this switch takes a period of 10 to 60 seconds in steps of 5\n") + kShortUsage,
            period.err);
  EXPECT_EQ(1u, packets.size());
  EXPECT_EQ(0u, platform::openUSBConnections());

  platform::setLibusbCalls(nullptr);
  serialSwitch = nullptr;
}

// --- Several at once, and through the running program

namespace {

using Clock = std::chrono::steady_clock;

// Ticks of pacing before each report read and each report sent.
constexpr double kReadPacing = 5.0 / 60.0;
constexpr double kWritePacing = 10.0 / 60.0;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Runs each list of command lines in order, the lists side by side: every
// run exits 0 and prints nothing.
template <typename Start, typename Finish>
void RunSideBySide(const std::vector<std::vector<QStringList>>& lists, Start start, Finish finish) {
  std::vector<std::unique_ptr<QProcess>> running(lists.size());
  std::vector<size_t> next(lists.size(), 0);
  for (;;) {
    bool busy = false;
    for (size_t i = 0; i < lists.size(); ++i) {
      if (running[i] && running[i]->state() != QProcess::NotRunning && !running[i]->waitForFinished(10)) {
        busy = true;
        continue;
      }
      if (running[i]) {
        const Outcome run = finish(*running[i]);
        EXPECT_EQ(0, run.status) << run.err;
        EXPECT_EQ("", run.out + run.err);
        running[i].reset();
      }
      if (next[i] < lists[i].size()) {
        running[i] = start(lists[i][next[i]++]);
        busy = true;
      }
    }
    if (!busy) return;
  }
}

}  // namespace

TEST_F(PortvaneCtl, TwoAtOnceTakeTurnsAtTheSwitchEachRequestWholeAndPaced) {
  AddSwitch();
  RunSideBySide({{{"port", "2"}, {"port", "1"}, {"port", "2"}}, {{"buzzer", "off"}, {"buzzer", "on"}, {"buzzer", "off"}}},
                [this](const QStringList& arguments) { return StartCtl(arguments); },
                [this](QProcess& process) { return Finish(process); });
  const auto requests = ioctls_->requests();
  // Six attaches and three buzzers' reads again, of two reports each, and
  // six commands.
  ASSERT_EQ(9u * 2u + 6u, requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    const auto& request = requests[i];
    if (!request.set && request.buffer[0] == 5) {
      // A read is reports 5 and 4, with nothing of the other's between.
      ASSERT_LT(i + 1, requests.size());
      EXPECT_FALSE(requests[i + 1].set);
      EXPECT_EQ(4, requests[i + 1].buffer[0]) << "request " << i + 1;
    }
    if (i == 0) continue;
    // Each waited its pacing after the one before, whoever sent that.
    const double gap = Seconds(request.arrived - requests[i - 1].arrived);
    EXPECT_GE(gap, request.set ? kWritePacing : kReadPacing) << "request " << i;
  }
  std::vector<Bytes> ports, buzzers;
  for (const Bytes& report : ReportsSet()) (report[1] == 0x81 ? ports : buzzers).push_back(report);
  EXPECT_EQ((std::vector<Bytes>{{0x04, 0x81, 0x01, 0, 0, 0, 0, 0},
                                {0x04, 0x81, 0x00, 0, 0, 0, 0, 0},
                                {0x04, 0x81, 0x01, 0, 0, 0, 0, 0}}),
            ports);
  EXPECT_EQ((std::vector<Bytes>{{0x04, 0x86, 0x00, 0, 0, 0, 0, 0},
                                {0x04, 0x86, 0x01, 0, 0, 0, 0, 0},
                                {0x04, 0x86, 0x00, 0, 0, 0, 0, 0}}),
            buzzers);
}

namespace {

// The launch probe (the program with a simulated switch of its own) on a
// session bus of the test's own.
class ThroughTheProgram : public PortvaneCtl, protected testsupport::ProgramProcesses {
 protected:
  void SetUp() override {
    PortvaneCtl::SetUp();
    ASSERT_TRUE(prepare());
    busAddress = testsupport::StartPrivateBus(&busPid_);
    ASSERT_FALSE(busAddress.empty()) << "no dbus-daemon";
  }
  void TearDown() override {
    if (probe_) testsupport::QuitProbe(*probe_, {});
    probe_.reset();
    testsupport::StopPrivateBus(busPid_);
    PortvaneCtl::TearDown();
  }

  void StartProbe(const QStringList& environment = {}) {
    if (probe_) said_ = testsupport::QuitProbe(*probe_, said_);
    said_.clear();
    probe_ = start(PORTVANE_LAUNCH_PROBE, {}, environment);
    ASSERT_TRUE(testsupport::WaitForLine(*probe_, said_, "probe: running\n")) << said_.constData();
  }
  Outcome Ctl(const QStringList& arguments) { return CtlOnBus(busAddress, arguments); }

  std::unique_ptr<QProcess> probe_;
  QByteArray said_;

 private:
  pid_t busPid_ = -1;
};

// The lines of `text` that start with `prefix`, without it.
std::vector<std::string> LinesAfter(const QByteArray& text, const QByteArray& prefix) {
  std::vector<std::string> lines;
  for (const QByteArray& line : text.split('\n')) {
    if (line.startsWith(prefix)) lines.push_back(line.mid(prefix.size()).toStdString());
  }
  return lines;
}

}  // namespace

TEST_F(ThroughTheProgram, TheSameOutputAndStatusesAsOnItsOwn) {
  // The same switch under umockdev, for the command line on its own.
  AddSwitch();
  const Outcome alone = PortvaneCtl::Ctl({"status"});
  const Outcome aloneJson = PortvaneCtl::Ctl({"--json", "status"});
  ASSERT_EQ(0, alone.status) << alone.err;
  sim_.clearRecords();

  StartProbe();
  const Outcome status = Ctl({"status"});
  EXPECT_EQ(0, status.status);
  EXPECT_EQ(alone.out, status.out);
  EXPECT_EQ("", status.err);
  const Outcome json = Ctl({"--json", "status"});
  EXPECT_EQ(0, json.status);
  EXPECT_EQ(aloneJson.out, json.out);
  for (const QStringList& command : {QStringList{"port", "2"}, QStringList{"scan", "on"},
                                     QStringList{"period", "20"}, QStringList{"buzzer", "off"}}) {
    const Outcome run = Ctl(command);
    EXPECT_EQ(0, run.status) << command.join(' ').toStdString();
    EXPECT_EQ("", run.out + run.err);
  }
  EXPECT_EQ("switch: generation 2 (feature reports), vendor 10d5, product 5500\n"
            "active computer: 2\n"
            "ports available: 1, 2\n"
            "auto-scan: on, period 20 s\n"
            "buzzer: off\n"
            "audio: follows the active computer\n"
            "hub 1: follows the active computer\n"
            "hub 2: follows the active computer\n",
            Ctl({"status"}).out);

  // A switch that stops answering: its identifiers from the program's properties.
  probe_->write("fail-reads 10\n");
  ASSERT_TRUE(testsupport::WaitForLine(*probe_, said_, "probe: the next 10 reports fail\n")) << said_.constData();
  const Outcome silent = Ctl({"status"});
  EXPECT_EQ(5, silent.status);
  EXPECT_EQ("portvane-ctl: the switch (10d5:5500) does not answer\n", silent.err);
  EXPECT_EQ("", silent.out);

  // The switch under umockdev was never touched: all of it went through the program.
  EXPECT_TRUE(sim_.calls().empty());
  said_ = testsupport::QuitProbe(*probe_, said_);
  probe_.reset();
  EXPECT_EQ((std::vector<std::string>{"04 81 01 00 00 00 00 00", "04 88 00 00 00 00 00 00", "04 87 14 00 00 00 00 00",
                                      "04 86 00 00 00 00 00 00"}),
            LinesAfter(said_, "probe: sent "));
}

TEST_F(ThroughTheProgram, ASwitchWithoutTheSettingAndAProgramWithoutASwitch) {
  StartProbe({"PORTVANE_PROBE_SWITCH=no-buzzer"});
  const Outcome buzzer = Ctl({"buzzer", "on"});
  EXPECT_EQ(6, buzzer.status);
  EXPECT_EQ("portvane-ctl: this switch has no buzzer\n", buzzer.err);

  // With none attached there, the command line looks for itself and says what it finds.
  StartProbe({"PORTVANE_PROBE_SWITCH=none"});
  const Outcome none = Ctl({"port", "2"});
  EXPECT_EQ(3, none.status);
  EXPECT_EQ("portvane-ctl: no switch found\n", none.err);
  AddSwitch();
  const Outcome found = Ctl({"port", "2"});
  EXPECT_EQ(0, found.status) << found.err;
  EXPECT_EQ(1, sim_.currentPort());
}

TEST_F(ThroughTheProgram, TwoCommandLinesAndTheTrayAtOnceAreEachServedWholeAndPaced) {
  StartProbe();
  QElapsedTimer sinceStart;
  sinceStart.start();
  // The tray's poll comes 5 seconds after the attach, then every 2 seconds:
  // the command lines run across the first two.
  QThread::msleep(4500);
  const std::vector<QStringList> ports = {{"port", "2"}, {"port", "1"}, {"port", "2"}, {"port", "1"}};
  const std::vector<QStringList> buzzers = {{"buzzer", "off"}, {"buzzer", "on"}, {"buzzer", "off"}, {"buzzer", "on"}};
  RunSideBySide({ports, buzzers, ports, buzzers},
                [this](const QStringList& arguments) { return StartCtl(arguments, busAddress); },
                [this](QProcess& process) { return Finish(process); });
  // Until the second poll has been made too.
  if (sinceStart.elapsed() < 7500) QThread::msleep(unsigned(7500 - sinceStart.elapsed()));
  said_ = testsupport::QuitProbe(*probe_, said_);
  probe_.reset();

  // Every request whole: the switch is opened, read (two reports) or sent
  // one command, and closed, one request after the other.
  const std::vector<std::string> calls = LinesAfter(said_, "probe: calls ");
  ASSERT_EQ(1u, calls.size());
  std::vector<bool> requests;  // true: a command
  int reads = 0;
  const QStringList names = QString::fromStdString(calls[0]).split(' ');
  for (qsizetype i = 0; i < names.size();) {
    if (names.mid(i, 4) == QStringList{"HIDOpen", "GetReport", "GetReport", "HIDClose"}) {
      requests.insert(requests.end(), {false, false});
      ++reads;
      i += 4;
    } else if (names.mid(i, 3) == QStringList{"HIDOpen", "SetReport", "HIDClose"}) {
      requests.push_back(true);
      i += 3;
    } else {
      FAIL() << "not a whole request at call " << i << ": " << calls[0];
    }
  }
  // The attach, each buzzer's read first, the two polls at least.
  EXPECT_GE(reads, 1 + 8 + 2);
  // Each command as its command line sent it, each line's in its order.
  std::vector<std::string> portsSent, buzzersSent;
  for (const std::string& sent : LinesAfter(said_, "probe: sent ")) {
    (sent.rfind("04 81", 0) == 0 ? portsSent : buzzersSent).push_back(sent);
  }
  EXPECT_EQ(16u, portsSent.size() + buzzersSent.size());
  for (const auto& [sent, code] : {std::pair{&portsSent, "81"}, std::pair{&buzzersSent, "86"}}) {
    for (const std::string& command : *sent) {
      EXPECT_TRUE(command == std::string("04 ") + code + " 00 00 00 00 00 00" ||
                  command == std::string("04 ") + code + " 01 00 00 00 00 00")
          << command;
    }
  }
  // The pacing: one delay before each request, of its own length, and none
  // overlapping another.
  const std::vector<std::string> delays = LinesAfter(said_, "probe: delay ");
  ASSERT_EQ(requests.size(), delays.size());
  double previousEnd = 0;
  for (size_t i = 0; i < delays.size(); ++i) {
    unsigned long ticks = 0;
    double begin = 0, end = 0;
    ASSERT_EQ(3, sscanf(delays[i].c_str(), "%lu %lf %lf", &ticks, &begin, &end)) << delays[i];
    EXPECT_EQ(requests[i] ? 10u : 5u, ticks) << "request " << i;
    EXPECT_GE(end - begin, double(ticks) / 60.0 - 1e-6) << "request " << i;
    EXPECT_GE(begin, previousEnd) << "request " << i;
    previousEnd = end;
  }
}
