#include "platform/desktop/single_instance.h"

#include <qpa/qplatformnativeinterface.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QObject>
#include <QScreen>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariantMap>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>

#include "platform/desktop/single_instance_testing.h"
#include "platform/desktop/switch_service.h"
#include "platform/ui/carbon_events.h"

namespace {

// The one request there is, and its answer; a line each.
constexpr char kOpenSettings[] = "settings";
constexpr char kOpened[] = "opened";
constexpr UInt32 kCommandPreferences = FOUR_CHAR_CODE("pref");
// How long a later start waits for the first to answer: the first answers from
// its event loop, which starts once its switches have been looked for.
constexpr int kAnswerMilliseconds = 10000;
// How long a later start keeps looking for the socket of a first start that
// holds the lock but may not be listening yet.
constexpr int kFindMilliseconds = 5000;
constexpr unsigned long kRetryMilliseconds = 100;

const QString kApplicationInterface = QStringLiteral("org.freedesktop.Application");
// The action of org.freedesktop.Application that opens the settings.
const QString kPreferencesAction = QStringLiteral("preferences");

// As if the user had chosen the settings from a menu of the application's own.
void postOpenSettings() {
  HICommandExtended command{};
  command.commandID = kCommandPreferences;
  platform::postCommandEvent(command, GetApplicationEventTarget());
}

void answer(QLocalSocket* socket) {
  if (!socket->canReadLine()) return;
  if (socket->readLine().trimmed() == kOpenSettings) {
    postOpenSettings();
    socket->write(QByteArray(kOpened) + '\n');
  }
  socket->disconnectFromServer();
}

// The lock and the socket live as long as the process; a normal quit gives
// both back, an abrupt end leaves them to the next start.
void serve(QLockFile* lock, const QString& socketPath) {
  // Ours now: a socket file there is a crashed predecessor's.
  QLocalServer::removeServer(socketPath);
  auto* server = new QLocalServer(QCoreApplication::instance());
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(socketPath)) {
    fprintf(stderr, "portvane: cannot listen on %s: %s; a second start will not find this one\n",
            qPrintable(socketPath), qPrintable(server->errorString()));
  }
  QObject::connect(server, &QLocalServer::newConnection, server, [server] {
    while (QLocalSocket* socket = server->nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] { answer(socket); });
      answer(socket);
    }
  });
  QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, server, [server, lock] {
    server->close();
    lock->unlock();
  });
}

// True when the instance at `socketPath` took the request.
bool askToOpenSettings(const QString& socketPath) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(kAnswerMilliseconds)) return false;
  socket.write(QByteArray(kOpenSettings) + '\n');
  if (!socket.waitForBytesWritten(kAnswerMilliseconds)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(kAnswerMilliseconds)) return false;
  }
  return socket.readLine().trimmed() == kOpened;
}

// Without a session bus (or with its name taken by another program): the lock
// file and the socket beside it.
platform::InstanceStart claimLockFile(const char* name) {
  // Qt makes the folder private to the user (0700) and checks its owner.
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) {
    fprintf(stderr, "portvane: no runtime folder for the instance lock; a second start will not find this one\n");
    return platform::InstanceStart::kFirst;
  }
  const QString base = folder + QLatin1Char('/') + QString::fromUtf8(name);
  const QString socketPath = base + QStringLiteral(".socket");
  // Held for the whole run: only a lock whose process is gone counts as stale.
  auto* lock = new QLockFile(base + QStringLiteral(".lock"));
  lock->setStaleLockTime(0);

  const QDeadlineTimer finding(kFindMilliseconds);
  for (;;) {
    if (lock->tryLock(0)) {
      serve(lock, socketPath);
      return platform::InstanceStart::kFirst;
    }
    if (lock->error() != QLockFile::LockFailedError) {
      fprintf(stderr, "portvane: cannot create %s: %s; a second start will not find this one\n",
              qPrintable(lock->fileName()),
              lock->error() == QLockFile::PermissionError ? "Permission denied" : "the lock cannot be written");
      delete lock;
      return platform::InstanceStart::kFirst;
    }
    if (askToOpenSettings(socketPath)) {
      delete lock;
      fprintf(stderr, "portvane: already running; opened its settings\n");
      return platform::InstanceStart::kHandedOver;
    }
    if (finding.hasExpired()) break;
    QThread::msleep(kRetryMilliseconds);
  }
  fprintf(stderr, "portvane: already running (%s is held) but it does not answer on %s\n",
          qPrintable(lock->fileName()), qPrintable(socketPath));
  delete lock;
  return platform::InstanceStart::kNoAnswer;
}

// ---- The session bus

struct BusInstance {
  // What the last Activate handed to the window system.
  std::string tokenGiven;
};

BusInstance& busInstance() {
  static BusInstance instance;
  return instance;
}

// The object path of org.freedesktop.Application for a bus name: its dots
// become slashes (and dashes underscores), as the desktop entry rules say.
QString applicationPath(const QString& name) {
  QString path = QLatin1Char('/') + name;
  path.replace(QLatin1Char('.'), QLatin1Char('/')).replace(QLatin1Char('-'), QLatin1Char('_'));
  return path;
}

// Qt's private functions of the xcb platform by name; null elsewhere.
template <typename Function, typename Found>
Function xcbFunction(Found found) {
  // Through the generic function type, which the compiler lets stand for any.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

// Hands the launch's token to the window system for the activation that
// opening the settings makes next. Qt's Wayland shell takes the token from
// XDG_ACTIVATION_TOKEN at its next activation request (and clears it). Qt's
// xcb side takes a startup id: it names it on its client leader, ends that
// launch's startup notification when a window is next shown, and a time in
// the id ("..._TIME<n>", the startup-notification convention) dates the
// activation, which a window manager's focus-stealing rule checks.
void useActivationToken(const QVariantMap& platformData) {
  const QString activation = platformData.value(QStringLiteral("activation-token")).toString();
  const QString startup = platformData.value(QStringLiteral("desktop-startup-id")).toString();
  const QString windowSystem = QGuiApplication::platformName();
  const bool xcb = windowSystem == QLatin1String("xcb");
  const QString token = xcb ? (startup.isEmpty() ? activation : startup) : (activation.isEmpty() ? startup : activation);
  busInstance().tokenGiven = token.toStdString();
  if (token.isEmpty()) return;
  const QByteArray bytes = token.toUtf8();
  if (windowSystem.startsWith(QLatin1String("wayland"))) {
    qputenv("XDG_ACTIVATION_TOKEN", bytes);
    return;
  }
  QPlatformNativeInterface* native = xcb ? QGuiApplication::platformNativeInterface() : nullptr;
  if (!native) return;
  using SetStartupId = void (*)(const char*);
  if (auto set = xcbFunction<SetStartupId>(native->nativeResourceFunctionForIntegration("setstartupid"))) {
    set(bytes.constData());
  }
  const qsizetype at = bytes.lastIndexOf("_TIME");
  bool dated = false;
  const uint time = at >= 0 ? bytes.mid(at + 5).toUInt(&dated) : 0;
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!dated || !screen) return;
  using SetTime = void (*)(QScreen*, uint32_t);
  for (const char* function : {"setapptime", "setappusertime"}) {
    if (auto set = xcbFunction<SetTime>(native->nativeResourceFunctionForScreen(function))) set(screen, time);
  }
}

// org.freedesktop.Application, which a later start (or the desktop) calls to
// bring this one forward.
class ApplicationObject : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  explicit ApplicationObject(QObject* parent) : QObject(parent) {}

 public slots:
  Q_SCRIPTABLE void Activate(const QVariantMap& platform_data) {
    useActivationToken(platform_data);
    postOpenSettings();
  }

  Q_SCRIPTABLE void Open(const QStringList& uris, const QVariantMap& platform_data) {
    Q_UNUSED(uris);
    Q_UNUSED(platform_data);
    sendErrorReply(QDBusError::NotSupported, QStringLiteral("portvane opens no files"));
  }

  Q_SCRIPTABLE void ActivateAction(const QString& action_name, const QVariantList& parameter,
                                   const QVariantMap& platform_data) {
    Q_UNUSED(parameter);
    if (action_name != kPreferencesAction) {
      sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no action \"%1\"; there is \"%2\"")
                                                  .arg(action_name, kPreferencesAction));
      return;
    }
    Activate(platform_data);
  }
};

enum class BusClaim { kOurs, kHandedOver, kNoAnswer, kNotOurs };

void withdraw(QDBusConnection& bus, const QString& path) {
  bus.unregisterObject(path);
  platform::withdrawSwitchBusObject();
}

BusClaim requestName(QDBusConnection& bus, const QString& name, const QString& path);

// Owns `name` on the session bus, or asks its owner to open its settings.
BusClaim claimBusName(QDBusConnection bus, const QString& name) {
  const QString path = applicationPath(name);
  auto* application = new ApplicationObject(QCoreApplication::instance());
  // The objects are there before the name is, so that a caller who sees the
  // name finds them; their calls wait for the event loop.
  if (!bus.registerObject(path, kApplicationInterface, application, QDBusConnection::ExportScriptableSlots) ||
      !platform::exportSwitchBusObject()) {
    fprintf(stderr, "portvane: cannot put its objects on the session bus; it runs without its bus interface\n");
    withdraw(bus, path);
    delete application;
    return BusClaim::kNotOurs;
  }
  QDBusConnectionInterface* names = bus.interface();
  // The bus's own answers come at once; a bus that is stuck is given as long
  // as a first start that is still starting.
  const int usualTimeout = names->timeout();
  names->setTimeout(kAnswerMilliseconds);
  const BusClaim claim = requestName(bus, name, path);
  names->setTimeout(usualTimeout);
  return claim;
}

// Owns `name`, or asks its owner to open its settings; the objects are there.
BusClaim requestName(QDBusConnection& bus, const QString& name, const QString& path) {
  QDBusConnectionInterface* names = bus.interface();

  const QDeadlineTimer finding(kFindMilliseconds);
  for (;;) {
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> owned =
        names->registerService(name, QDBusConnectionInterface::DontQueueService,
                               QDBusConnectionInterface::DontAllowReplacement);
    if (!owned.isValid()) {
      fprintf(stderr, "portvane: cannot own %s on the session bus (%s); it runs without its bus interface\n",
              qPrintable(name), qPrintable(owned.error().message()));
      break;
    }
    if (owned.value() == QDBusConnectionInterface::ServiceRegistered) return BusClaim::kOurs;

    QDBusMessage activate = QDBusMessage::createMethodCall(name, path, kApplicationInterface, QStringLiteral("Activate"));
    QVariantMap platformData;
    for (const auto& [variable, key] : {std::pair{"XDG_ACTIVATION_TOKEN", "activation-token"},
                                        std::pair{"DESKTOP_STARTUP_ID", "desktop-startup-id"}}) {
      const QString value = qEnvironmentVariable(variable);
      if (!value.isEmpty()) platformData.insert(QString::fromLatin1(key), value);
    }
    activate << platformData;
    const QDBusMessage answer = bus.call(activate, QDBus::Block, kAnswerMilliseconds);
    if (answer.type() == QDBusMessage::ReplyMessage) {
      withdraw(bus, path);
      fprintf(stderr, "portvane: already running; opened its settings\n");
      return BusClaim::kHandedOver;
    }
    const QString error = answer.errorName();
    if (error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        error == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
      withdraw(bus, path);
      fprintf(stderr, "portvane: already running (it owns %s on the session bus) but it does not answer\n",
              qPrintable(name));
      return BusClaim::kNoAnswer;
    }
    // The owner went between the two calls: the name may be free now.
    const bool gone = error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                      error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
    if (gone && !finding.hasExpired()) continue;
    fprintf(stderr, "portvane: %s on the session bus belongs to another program (%s); it runs without its bus "
            "interface\n",
            qPrintable(name), qPrintable(answer.errorMessage()));
    break;
  }
  withdraw(bus, path);
  return BusClaim::kNotOurs;
}

}  // namespace

namespace platform {

InstanceStart claimSingleInstance(const char* name) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    switch (claimBusName(bus, QString::fromUtf8(name))) {
      case BusClaim::kOurs: return InstanceStart::kFirst;
      case BusClaim::kHandedOver: return InstanceStart::kHandedOver;
      case BusClaim::kNoAnswer: return InstanceStart::kNoAnswer;
      case BusClaim::kNotOurs: break;
    }
  }
  return claimLockFile(name);
}

std::string activationTokenGiven() { return busInstance().tokenGiven; }

}  // namespace platform

#include "single_instance.moc"
