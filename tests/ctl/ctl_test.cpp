// portvane-ctl end to end: the real program run against a fake sysfs and /dev
// (umockdev) whose hidraw node is answered by the simulated feature-report
// switch: its status, its commands, and the status and line of each failure.
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
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ctl/portvane_ctl.h"
#include "platform/linux/libusb_device.h"
#include "sim/simulated_switch.h"
#include "tests/support/feature_report_ioctls.h"

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

const char kShortUsage[] =
    "Usage: portvane-ctl [--json] [--verbose] COMMAND [VALUE]\n"
    "Commands: status, port 1|2, scan on|off, period SECONDS, buzzer on|off (--help says more)\n";

class PortvaneCtl : public ::testing::Test {
 protected:
  void SetUp() override {
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

  // The program itself, in the fake sysfs and /dev this process set up.
  Outcome Ctl(const QStringList& arguments, bool withoutFileAccess = false) {
    QProcess process;
    if (withoutFileAccess) process.setChildProcessModifier(DropFileAccessOverride);
    process.start(PORTVANE_CTL, arguments);
    Outcome run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
      ADD_FAILURE() << "portvane-ctl did not finish: " << arguments.join(' ').toStdString();
      process.kill();
      process.waitForFinished();
      return run;
    }
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
  }

  std::vector<Bytes> ReportsSet() const {
    std::vector<Bytes> reports;
    for (const auto& e : sim_.received())
      if (e.call == SimCall::SetReport) reports.push_back(e.bytes);
    return reports;
  }

  platform::FeatureReportSwitch sim_;
  UMockdevTestbed* bed_ = nullptr;

 private:
  IOHIDDeviceInterface122** model_ = nullptr;
  std::optional<testsupport::FeatureReportIoctls> ioctls_;
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

  // Five tries for the read at the attach, five for the read of the status.
  sim_.failNext(SimCall::GetReport, 10, kIOReturnTimeout);
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
