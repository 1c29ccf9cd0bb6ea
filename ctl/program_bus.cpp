#include "ctl/program_bus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QList>
#include <QVariantMap>
#include <cstring>

namespace ctl {

namespace {

const QString kName = QStringLiteral("io.github.portvane.Portvane");
const QString kPath = QStringLiteral("/io/github/portvane/Switch");
const QString kInterface = QStringLiteral("io.github.portvane.Switch1");
// A call waits behind the requests the program has queued before it, each of
// which a switch that does not answer holds for the kernel's 5 seconds.
constexpr int kCallTimeoutMs = 30000;

// Errors that say the name has no owner of ours.
bool notOurs(const QString& error) {
  for (const char* name : {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
                           "org.freedesktop.DBus.Error.UnknownObject", "org.freedesktop.DBus.Error.UnknownInterface",
                           "org.freedesktop.DBus.Error.UnknownMethod", "org.freedesktop.DBus.Error.Disconnected"}) {
    if (error == QLatin1String(name)) return true;
  }
  return false;
}

QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return QDBusMessage();
  QDBusMessage message = QDBusMessage::createMethodCall(kName, kPath, interface, method);
  message.setArguments(arguments);
  // A name nobody owns is not to start anything.
  message.setAutoStartService(false);
  return bus.call(message, QDBus::Block, kCallTimeoutMs);
}

// -1 (none), 0 (follows the active computer) or the computer it is fixed to.
void binding(int value, bool* present, bool* fixed, int32_t* port) {
  *present = value >= 0;
  *fixed = value > 0;
  *port = value > 0 ? value - 1 : 0;
}

}  // namespace

ProgramAnswer callProgram(const QString& method, const QVariantList& arguments) {
  const QDBusMessage reply = call(kInterface, method, arguments);
  ProgramAnswer answer;
  if (reply.type() == QDBusMessage::ReplyMessage) {
    answer.reached = true;
  } else if (reply.type() == QDBusMessage::ErrorMessage && !notOurs(reply.errorName())) {
    answer.reached = true;
    answer.error = reply.errorName().toStdString();
    answer.message = reply.errorMessage().toStdString();
  }
  return answer;
}

bool programSwitch(KVM_INFO* info) {
  const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"), {kInterface});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().first());
  auto value = [&properties](const char* name) { return properties.value(QLatin1String(name)); };
  auto list = [&](const char* name) { return qdbus_cast<QList<int>>(value(name)); };

  memset(info, 0, sizeof *info);
  info->state = value("Attached").toBool() ? 2 : 0;
  info->version = value("Generation").toInt();
  info->device.vendorID = value("VendorId").toUInt();
  info->device.productID = value("ProductId").toUInt();
  // 0: the two port readings disagree.
  const int active = value("ActiveComputer").toInt();
  info->currentPort = active > 0 ? active - 1 : 0;
  info->confirmedPort = active > 0 ? active - 1 : -1;
  for (int computer : list("AvailableComputers")) {
    if (computer < 1 || computer > 32) continue;
    info->availablePorts |= int32_t(1u << (computer - 1));
    if (computer > info->portCount) info->portCount = computer;
  }
  info->autoScanOn = value("AutoScan").toBool();
  const uint period = value("AutoScanPeriod").toUInt();
  info->hasAutoScanPeriod = period > 0;
  info->autoScanPeriod = int32_t(period / 5);
  const int buzzer = value("Buzzer").toInt();
  info->hasBuzzer = buzzer >= 0;
  info->buzzerOn = buzzer == 1;
  binding(value("Audio").toInt(), &info->hasAudio, &info->audioFixed, &info->audioPort);
  const QList<int> hubs = list("Hubs");
  for (int hub = 0; hub < 2; ++hub) {
    binding(hub < hubs.size() ? hubs[hub] : -1, &info->hasHub[hub], &info->hubFixed[hub], &info->hubPort[hub]);
  }
  return true;
}

}  // namespace ctl
