#include "platform/desktop/switch_service.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <memory>
#include <optional>
#include <utility>

namespace platform {
namespace {

QList<int> intList(const std::vector<int32_t>& values) { return QList<int>(values.begin(), values.end()); }

// Every property by its name on the bus.
QVariantMap properties(const SwitchBusState& state) {
  return {
      {QStringLiteral("Attached"), state.attached},
      {QStringLiteral("Generation"), state.generation},
      {QStringLiteral("VendorId"), QVariant::fromValue<ushort>(state.vendorId)},
      {QStringLiteral("ProductId"), QVariant::fromValue<ushort>(state.productId)},
      {QStringLiteral("ActiveComputer"), state.activeComputer},
      {QStringLiteral("AvailableComputers"), QVariant::fromValue(intList(state.availableComputers))},
      {QStringLiteral("AutoScan"), state.autoScan},
      {QStringLiteral("AutoScanPeriod"), state.autoScanPeriod},
      {QStringLiteral("Buzzer"), state.buzzer},
      {QStringLiteral("Audio"), state.audio},
      {QStringLiteral("Hubs"), QVariant::fromValue(intList(state.hubs))},
  };
}

struct Service {
  SwitchBusHandlers handlers;
  SwitchBusState announced;
  QPointer<QObject> object;
};

Service& service() {
  static Service instance;
  return instance;
}

SwitchBusState currentState() {
  const SwitchBusHandlers& handlers = service().handlers;
  return handlers.state ? handlers.state() : SwitchBusState{};
}

const SwitchBusError kNoSwitch = {kSwitchErrorNoSwitch, "no switch attached"};

// The exported object: Qt answers Introspect, Get and GetAll from its
// properties and slots; each method answers later, through its reply.
class SwitchObject : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "io.github.portvane.Switch1")
  Q_PROPERTY(bool Attached READ attached)
  Q_PROPERTY(uint Generation READ generation)
  Q_PROPERTY(ushort VendorId READ vendorId)
  Q_PROPERTY(ushort ProductId READ productId)
  Q_PROPERTY(int ActiveComputer READ activeComputer)
  Q_PROPERTY(QList<int> AvailableComputers READ availableComputers)
  Q_PROPERTY(bool AutoScan READ autoScan)
  Q_PROPERTY(uint AutoScanPeriod READ autoScanPeriod)
  Q_PROPERTY(int Buzzer READ buzzer)
  Q_PROPERTY(int Audio READ audio)
  Q_PROPERTY(QList<int> Hubs READ hubs)

 public:
  explicit SwitchObject(QObject* parent) : QObject(parent) {}

  bool attached() const { return currentState().attached; }
  uint generation() const { return currentState().generation; }
  ushort vendorId() const { return currentState().vendorId; }
  ushort productId() const { return currentState().productId; }
  int activeComputer() const { return currentState().activeComputer; }
  QList<int> availableComputers() const { return intList(currentState().availableComputers); }
  bool autoScan() const { return currentState().autoScan; }
  uint autoScanPeriod() const { return currentState().autoScanPeriod; }
  int buzzer() const { return currentState().buzzer; }
  int audio() const { return currentState().audio; }
  QList<int> hubs() const { return intList(currentState().hubs); }

 public slots:
  Q_SCRIPTABLE void SelectComputer(uint computer) {
    dispatch(service().handlers.selectComputer, computer);
  }
  Q_SCRIPTABLE void SetAutoScan(bool on) { dispatch(service().handlers.setAutoScan, on); }
  Q_SCRIPTABLE void SetAutoScanPeriod(uint seconds) {
    dispatch(service().handlers.setAutoScanPeriod, seconds);
  }
  Q_SCRIPTABLE void SetBuzzer(bool on) { dispatch(service().handlers.setBuzzer, on); }
  Q_SCRIPTABLE void Read() {
    SwitchBusReply reply = later();
    if (service().handlers.read) {
      service().handlers.read(std::move(reply));
    } else {
      reply(kNoSwitch);
    }
  }

 private:
  template <typename Handler, typename Value>
  void dispatch(const Handler& handler, Value value) {
    SwitchBusReply reply = later();
    if (handler) {
      handler(value, std::move(reply));
    } else {
      reply(kNoSwitch);
    }
  }

  // The answer to the call being handled, to be given once, now or later. A
  // caller gone meanwhile is the bus's business: the reply is dropped there.
  SwitchBusReply later() {
    setDelayedReply(true);
    auto call = std::make_shared<std::optional<QDBusMessage>>(message());
    QDBusConnection bus = connection();
    return [call, bus](const SwitchBusError& error) mutable {
      if (!call->has_value()) return;
      const QDBusMessage answered = std::move(**call);
      call->reset();
      bus.send(error.name.empty() ? answered.createReply()
                                  : answered.createErrorReply(QString::fromStdString(error.name),
                                                              QString::fromStdString(error.message)));
    };
  }
};

}  // namespace

void setSwitchBusHandlers(SwitchBusHandlers handlers) {
  service().handlers = std::move(handlers);
  service().announced = currentState();
}

void announceSwitchBusState() {
  Service& s = service();
  const SwitchBusState now = currentState();
  if (now == s.announced) return;
  const QVariantMap before = properties(s.announced);
  const QVariantMap after = properties(now);
  s.announced = now;
  if (!s.object) return;
  QVariantMap changed;
  for (auto it = after.begin(); it != after.end(); ++it) {
    if (before.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
  }
  QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kSwitchBusPath),
                                                   QStringLiteral("org.freedesktop.DBus.Properties"),
                                                   QStringLiteral("PropertiesChanged"));
  signal << QString::fromLatin1(kSwitchBusInterface) << changed << QStringList();
  QDBusConnection::sessionBus().send(signal);
}

bool exportSwitchBusObject() {
  Service& s = service();
  if (s.object) return true;
  if (!QCoreApplication::instance()) return false;
  // Owned by the application object, so that it goes before the bus does.
  auto* object = new SwitchObject(QCoreApplication::instance());
  if (!QDBusConnection::sessionBus().registerObject(
          QString::fromLatin1(kSwitchBusPath), QString::fromLatin1(kSwitchBusInterface), object,
          QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportAllProperties)) {
    delete object;
    return false;
  }
  s.object = object;
  s.announced = currentState();
  return true;
}

void withdrawSwitchBusObject() {
  Service& s = service();
  if (!s.object) return;
  QDBusConnection::sessionBus().unregisterObject(QString::fromLatin1(kSwitchBusPath));
  delete s.object.data();
}

}  // namespace platform

#include "switch_service.moc"
