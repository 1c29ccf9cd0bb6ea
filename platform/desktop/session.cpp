#include "platform/desktop/session.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

#include "platform/core/main_queue.h"
#include "platform/desktop/session_testing.h"
#include "platform/ui/carbon_events.h"

namespace platform {
namespace {

const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kActive = QStringLiteral("Active");
// logind answers at once; a bus that does not answer in this time has none.
constexpr int kCallTimeoutMs = 3000;

void report(bool active);
void reportSleep(bool sleeping);

// Listens to one session object's property changes.
class SessionWatch : public QObject {
  Q_OBJECT

 public:
  // Owned by the application object, so that it goes before the bus does;
  // the bus forgets the subscription of a watch that is deleted.
  SessionWatch(QDBusConnection bus, QString path)
      : QObject(QCoreApplication::instance()), bus_(std::move(bus)), path_(std::move(path)) {}

  bool listen() {
    return bus_.connect(kLogin1, path_, kProperties, QStringLiteral("PropertiesChanged"), this,
                        SLOT(propertiesChanged(QString, QVariantMap, QStringList))) &&
           bus_.connect(kLogin1, kManagerPath, kManager, QStringLiteral("PrepareForSleep"), this,
                        SLOT(prepareForSleep(bool)));
  }

 private slots:
  void prepareForSleep(bool sleeping) { reportSleep(sleeping); }

  void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated) {
    if (interface != kSession) return;
    if (auto it = changed.find(kActive); it != changed.end()) {
      report(it->toBool());
    } else if (invalidated.contains(kActive)) {
      // Some logind versions only say that the value changed, not to what.
      readActiveLater();
    }
  }

 private:
  void readActiveLater() {
    QDBusMessage get = QDBusMessage::createMethodCall(kLogin1, path_, kProperties, QStringLiteral("Get"));
    get << kSession << kActive;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get, kCallTimeoutMs), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher* call) {
      QDBusPendingReply<QDBusVariant> reply = *call;
      if (!reply.isError()) report(reply.value().variant().toBool());
      call->deleteLater();
    });
  }

  QDBusConnection bus_;
  QString path_;
};

struct SessionState {
  bool active = true;
  QPointer<SessionWatch> watch;
  std::function<void()> wake;
};

SessionState& session() {
  static SessionState state;
  return state;
}

void report(bool active) {
  SessionState& state = session();
  if (active == state.active) return;
  state.active = active;
  EventRef event = nullptr;
  const UInt32 kind = active ? kEventSystemUserSessionActivated : kEventSystemUserSessionDeactivated;
  if (CreateEvent(nullptr, kEventClassSystem, kind, GetCurrentEventTime(), kEventAttributeNone, &event) != noErr) {
    return;
  }
  PostEventToQueue(GetMainEventQueue(), event, kEventPriorityStandard);
  ReleaseEvent(event);
}

// Only the end of a sleep matters: the switch may have been moved meanwhile.
void reportSleep(bool sleeping) {
  if (sleeping) return;
  postToMainQueue([] {
    if (session().wake) session().wake();
  });
}

// The reply's first argument, or an invalid QVariant when the call failed.
QVariant call(QDBusConnection& bus, const QString& path, const QString& interface, const QString& method,
              const QVariantList& arguments) {
  QDBusMessage message = QDBusMessage::createMethodCall(kLogin1, path, interface, method);
  message.setArguments(arguments);
  const QDBusMessage reply = bus.call(message, QDBus::Block, kCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().first();
}

QString sessionPathById(QDBusConnection& bus, const QString& id) {
  const QVariant path = call(bus, kManagerPath, kManager, QStringLiteral("GetSession"), {id});
  return path.value<QDBusObjectPath>().path();
}

QVariant sessionProperty(QDBusConnection& bus, const QString& path, const QString& name) {
  return call(bus, path, kProperties, QStringLiteral("Get"), {kSession, name}).value<QDBusVariant>().variant();
}

// The object path of the session this program belongs to, or empty.
QString findSessionPath(QDBusConnection& bus) {
  const QString id = qEnvironmentVariable("XDG_SESSION_ID");
  if (!id.isEmpty()) {
    if (QString path = sessionPathById(bus, id); !path.isEmpty()) return path;
  }
  const QVariant byPid = call(bus, kManagerPath, kManager, QStringLiteral("GetSessionByPID"), {uint(getpid())});
  if (QString path = byPid.value<QDBusObjectPath>().path(); !path.isEmpty()) return path;
  // A program started outside any session (a user service) belongs to the
  // user's display session, which logind calls "auto".
  const QVariant autoId = sessionProperty(bus, kManagerPath + QStringLiteral("/session/auto"), QStringLiteral("Id"));
  if (autoId.isValid()) return sessionPathById(bus, autoId.toString());
  return {};
}

bool startWatch(QDBusConnection bus) {
  if (!bus.isConnected()) return false;
  const QString path = findSessionPath(bus);
  if (path.isEmpty()) return false;
  const QVariant active = sessionProperty(bus, path, kActive);
  if (!active.isValid()) return false;
  auto* watch = new SessionWatch(bus, path);
  if (!watch->listen()) {
    delete watch;
    return false;
  }
  session().watch = watch;
  report(active.toBool());
  return true;
}

}  // namespace

// Both need the application object: the bus delivers its signals on Qt's loop.
bool startSessionWatch() {
  if (session().watch) return true;
  if (!QCoreApplication::instance()) return false;
  return startWatch(QDBusConnection::systemBus());
}

bool startSessionWatchOnBus(const std::string& address) {
  delete session().watch.data();
  if (!QCoreApplication::instance()) return false;
  static int connections = 0;
  const QString name = QStringLiteral("portvane-session-%1").arg(++connections);
  if (startWatch(QDBusConnection::connectToBus(QString::fromStdString(address), name))) return true;
  QDBusConnection::disconnectFromBus(name);
  return false;
}

void simulateSessionActive(bool active) { report(active); }

void setWakeHandler(std::function<void()> handler) { session().wake = std::move(handler); }

void simulatePrepareForSleep(bool sleeping) { reportSleep(sleeping); }

bool sessionActive() { return session().active; }

void resetSessionWatch() {
  delete session().watch.data();
  session().active = true;
}

}  // namespace platform

#include "session.moc"
