// The program on a session bus of the test's own (a real dbus-daemon), run as
// a real process (the launch probe, and portvane itself as a second start):
// the switch's interface as a client sees it (introspection, properties,
// each method, the values refused, no switch, PropertiesChanged, a client
// gone mid-call), the second start that hands its activation token to the
// first, and a bus name that another program holds.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QObject>
#include <QProcess>
#include <QVariantMap>
#include <functional>
#include <memory>

#include "tests/support/framework_test_app.h"
#include "tests/support/private_bus.h"
#include "tests/support/program_processes.h"

namespace {

using testsupport::kGiveUpMilliseconds;
using testsupport::WaitForLine;

const QString kName = QStringLiteral("io.github.portvane.Portvane");
const QString kSwitchPath = QStringLiteral("/io/github/portvane/Switch");
const QString kSwitch = QStringLiteral("io.github.portvane.Switch1");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// Every PropertiesChanged of the switch's object, as it came.
class ChangeWatch : public QObject {
  Q_OBJECT

 public:
  QList<QVariantMap> changes;

 public slots:
  void changed(const QString& interface, const QVariantMap& values, const QStringList&) {
    if (interface == kSwitch) changes << values;
  }
};

class BusTest : public ::testing::Test, protected testsupport::ProgramProcesses {
 protected:
  void SetUp() override {
    ASSERT_TRUE(prepare());
    busAddress = testsupport::StartPrivateBus(&busPid_);
    ASSERT_FALSE(busAddress.empty()) << "no dbus-daemon";
    bus_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(busAddress), QStringLiteral("bus-test")));
    ASSERT_TRUE(bus_->isConnected());
  }
  void TearDown() override {
    bus_.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("bus-test"));
    testsupport::StopPrivateBus(busPid_);
  }

  // A probe whose event loop runs, and what it said until then.
  std::unique_ptr<QProcess> runningProbe(QByteArray* said, const QStringList& environment = {}) {
    auto probe = start(PORTVANE_LAUNCH_PROBE, {}, environment);
    EXPECT_TRUE(WaitForLine(*probe, *said, "probe: running\n")) << said->constData();
    return probe;
  }

  QDBusMessage callSwitch(const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kName, kSwitchPath, kSwitch, method);
    message.setArguments(arguments);
    return bus_->call(message, QDBus::Block, kGiveUpMilliseconds);
  }

  QVariantMap properties() {
    QDBusMessage get = QDBusMessage::createMethodCall(kName, kSwitchPath, kProperties, QStringLiteral("GetAll"));
    get << kSwitch;
    const QDBusMessage reply = bus_->call(get, QDBus::Block, kGiveUpMilliseconds);
    EXPECT_EQ(QDBusMessage::ReplyMessage, reply.type()) << qPrintable(reply.errorMessage());
    if (reply.arguments().isEmpty()) return {};
    QVariantMap values = qdbus_cast<QVariantMap>(reply.arguments().first());
    // Arrays come as D-Bus arguments; as lists they compare.
    for (const char* list : {"AvailableComputers", "Hubs"}) {
      values[list] = QVariant::fromValue(qdbus_cast<QList<int>>(values.value(list)));
    }
    return values;
  }

  // Runs the event loop until `done` holds.
  static bool spinUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(kGiveUpMilliseconds);
    while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
  }

  std::unique_ptr<QDBusConnection> bus_;

 private:
  pid_t busPid_ = -1;
};

// The call ended with this error, and its message names what it should.
void ExpectError(const QDBusMessage& reply, const char* name, const QString& message) {
  EXPECT_EQ(QDBusMessage::ErrorMessage, reply.type());
  EXPECT_EQ(QString::fromLatin1(name), reply.errorName());
  EXPECT_EQ(message, reply.errorMessage());
}

QVariant Ints(QList<int> values) { return QVariant::fromValue(values); }

TEST_F(BusTest, TheSwitchIsServedWithItsPropertiesMethodsAndChanges) {
  QByteArray said;
  auto probe = runningProbe(&said);

  // What a client learns by asking.
  const QDBusMessage introspection = bus_->call(QDBusMessage::createMethodCall(
      kName, kSwitchPath, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
  const QString xml = introspection.arguments().value(0).toString();
  for (const char* part :
       {"<interface name=\"io.github.portvane.Switch1\">", "<property name=\"Attached\" type=\"b\" access=\"read\"/>",
        "<property name=\"Generation\" type=\"u\" access=\"read\"/>",
        "<property name=\"VendorId\" type=\"q\" access=\"read\"/>",
        "<property name=\"ActiveComputer\" type=\"i\" access=\"read\"/>",
        "<property name=\"AvailableComputers\" type=\"ai\" access=\"read\">",
        "<property name=\"AutoScanPeriod\" type=\"u\" access=\"read\"/>",
        "<property name=\"Buzzer\" type=\"i\" access=\"read\"/>", "<property name=\"Hubs\" type=\"ai\" access=\"read\">",
        "<method name=\"SelectComputer\">\n      <arg name=\"computer\" type=\"u\" direction=\"in\"/>",
        "<method name=\"SetAutoScanPeriod\">\n      <arg name=\"seconds\" type=\"u\" direction=\"in\"/>",
        "<method name=\"Read\">"}) {
    EXPECT_TRUE(xml.contains(QLatin1String(part))) << part << "\n" << qPrintable(xml);
  }
  // Once read (after the attach), the properties are the switch's.
  EXPECT_EQ(QDBusMessage::ReplyMessage, callSwitch("Read").type());
  const QVariantMap expected = {
      {"Attached", true},      {"Generation", 2u},         {"VendorId", QVariant::fromValue<ushort>(0x10D5)},
      {"ProductId", QVariant::fromValue<ushort>(0x5500)},  {"ActiveComputer", 1},
      {"AvailableComputers", Ints({1, 2})},                {"AutoScan", false},
      {"AutoScanPeriod", 10u}, {"Buzzer", 1},              {"Audio", 0},
      {"Hubs", Ints({0, 0})}};
  EXPECT_EQ(expected, properties());

  // Values the switch cannot take are refused, naming them; nothing is sent.
  const char* invalid = "org.freedesktop.DBus.Error.InvalidArgs";
  ExpectError(callSwitch("SelectComputer", {3u}), invalid, "no computer 3: the switch has computers 1 and 2");
  ExpectError(callSwitch("SelectComputer", {0u}), invalid, "no computer 0: the switch has computers 1 and 2");
  ExpectError(callSwitch("SetAutoScanPeriod", {12u}), invalid,
              "period 12 s: the switch takes 5 to 100 seconds in steps of 5");
  ExpectError(callSwitch("SetAutoScanPeriod", {105u}), invalid,
              "period 105 s: the switch takes 5 to 100 seconds in steps of 5");

  // A client that goes away before its answer comes takes nothing with it.
  {
    QDBusConnection leaving =
        QDBusConnection::connectToBus(QString::fromStdString(busAddress), QStringLiteral("bus-test-leaving"));
    leaving.asyncCall(QDBusMessage::createMethodCall(kName, kSwitchPath, kSwitch, QStringLiteral("Read")));
  }
  QDBusConnection::disconnectFromBus(QStringLiteral("bus-test-leaving"));

  ChangeWatch watch;
  ASSERT_TRUE(bus_->connect(kName, kSwitchPath, kProperties, QStringLiteral("PropertiesChanged"), &watch,
                            SLOT(changed(QString, QVariantMap, QStringList))));
  // Each method answers once the switch has; a port change shows at the next read.
  for (const auto& [method, argument] : {std::pair{"SelectComputer", QVariant(2u)}, std::pair{"SetAutoScan", QVariant(true)},
                                         std::pair{"SetBuzzer", QVariant(false)},
                                         std::pair{"SetAutoScanPeriod", QVariant(15u)}}) {
    const QDBusMessage reply = callSwitch(method, {argument});
    EXPECT_EQ(QDBusMessage::ReplyMessage, reply.type()) << method << ": " << qPrintable(reply.errorMessage());
  }
  EXPECT_EQ(QDBusMessage::ReplyMessage, callSwitch("Read").type());
  auto announced = [&watch](const char* name, const QVariant& value) {
    for (const QVariantMap& change : watch.changes) {
      if (change.value(name) == value) return true;
    }
    return false;
  };
  EXPECT_TRUE(spinUntil([&] {
    return announced("ActiveComputer", 2) && announced("AutoScan", true) && announced("Buzzer", 0) &&
           announced("AutoScanPeriod", 15u);
  }));
  EXPECT_EQ(2, properties().value("ActiveComputer"));

  said = testsupport::QuitProbe(*probe, said);
  EXPECT_EQ(0, probe->exitCode()) << said.constData();
  // The four commands, and only those.
  EXPECT_TRUE(said.contains("probe: sent 04 81 01 00 00 00 00 00\n"
                            "probe: sent 04 88 00 00 00 00 00 00\n"
                            "probe: sent 04 86 00 00 00 00 00 00\n"
                            "probe: sent 04 87 0F 00 00 00 00 00\n"
                            "probe: delay"))
      << said.constData();
}

TEST_F(BusTest, WithNoSwitchEveryCallSaysSo) {
  QByteArray said;
  auto probe = runningProbe(&said, {"PORTVANE_PROBE_SWITCH=none"});
  const char* none = "io.github.portvane.Switch1.Error.NoSwitch";
  ExpectError(callSwitch("Read"), none, "no switch attached");
  ExpectError(callSwitch("SelectComputer", {1u}), none, "no switch attached");
  ExpectError(callSwitch("SetAutoScan", {true}), none, "no switch attached");
  ExpectError(callSwitch("SetBuzzer", {true}), none, "no switch attached");
  ExpectError(callSwitch("SetAutoScanPeriod", {20u}), none, "no switch attached");
  const QVariantMap state = properties();
  EXPECT_EQ(false, state.value("Attached"));
  EXPECT_EQ(0u, state.value("Generation"));
  EXPECT_EQ(-1, state.value("Buzzer"));
  EXPECT_EQ(Ints({-1, -1}), state.value("Hubs"));
  said = testsupport::QuitProbe(*probe, said);
  EXPECT_EQ(0, probe->exitCode()) << said.constData();
}

TEST_F(BusTest, ASecondStartRaisesTheFirstsSettingsWithItsActivationToken) {
  QByteArray firstSaid;
  auto first = runningProbe(&firstSaid, {});
  EXPECT_FALSE(firstSaid.contains("probe: shown")) << firstSaid.constData();

  // The program itself, started again as a launcher starts it.
  QElapsedTimer handOver;
  handOver.start();
  auto second = start(PORTVANE_PROGRAM, {}, {"XDG_ACTIVATION_TOKEN=launcher-token-7"});
  ASSERT_TRUE(second->waitForFinished(kGiveUpMilliseconds));
  const qint64 milliseconds = handOver.elapsed();
  EXPECT_EQ(QProcess::NormalExit, second->exitStatus());
  EXPECT_EQ(0, second->exitCode());
  EXPECT_EQ("portvane: already running; opened its settings\n", second->readAllStandardError());
  EXPECT_TRUE(WaitForLine(*first, firstSaid, "probe: shown Preferences\nprobe: activation token launcher-token-7\n"))
      << firstSaid.constData();
  RecordProperty("hand_over_ms", int(milliseconds));
  // The bus name alone keeps it to one instance: no lock file is made.
  EXPECT_FALSE(QFileInfo::exists(path("runtime/io.github.portvane.Portvane.lock")));
  testsupport::QuitProbe(*first, firstSaid);
}

TEST_F(BusTest, ANameHeldByAnotherProgramIsSaidOnceAndTheLockFileKeepsOneInstance) {
  ASSERT_TRUE(bus_->registerService(kName));
  QByteArray firstSaid;
  auto first = runningProbe(&firstSaid);
  EXPECT_TRUE(firstSaid.contains("portvane: io.github.portvane.Portvane on the session bus belongs to another "
                                 "program ("))
      << firstSaid.constData();
  EXPECT_TRUE(firstSaid.contains("); it runs without its bus interface\n")) << firstSaid.constData();
  EXPECT_EQ(1, firstSaid.count("portvane: ")) << firstSaid.constData();
  // Still the one instance, through the lock file and its socket.
  auto second = start(PORTVANE_PROGRAM, {});
  ASSERT_TRUE(second->waitForFinished(kGiveUpMilliseconds));
  EXPECT_EQ(0, second->exitCode());
  const QByteArray secondSaid = second->readAllStandardError();
  EXPECT_TRUE(secondSaid.endsWith("portvane: already running; opened its settings\n")) << secondSaid.constData();
  EXPECT_TRUE(WaitForLine(*first, firstSaid, "probe: shown Preferences\n")) << firstSaid.constData();
  testsupport::QuitProbe(*first, firstSaid);
}

}  // namespace

#include "bus_test.moc"
