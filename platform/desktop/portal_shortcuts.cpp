#include "platform/desktop/portal_shortcuts.h"

#include <xkbcommon/xkbcommon.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QVariantMap>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/desktop/hot_keys.h"
#include "platform/desktop/portal_shortcuts_testing.h"
#include "platform/ui/key_codes.h"

namespace platform {

// One shortcut as BindShortcuts takes it: (sa{sv}), an id and its properties.
struct PortalShortcutEntry {
  QString id;
  QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcutEntry& entry) {
  argument.beginStructure();
  argument << entry.id << entry.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcutEntry& entry) {
  argument.beginStructure();
  argument >> entry.id >> entry.properties;
  argument.endStructure();
  return argument;
}

}  // namespace platform

Q_DECLARE_METATYPE(platform::PortalShortcutEntry)

namespace platform {
namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kDesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kResponse = QStringLiteral("Response");
// Version 1 is the first with CreateSession, BindShortcuts and Activated.
constexpr uint kFirstUsableVersion = 1;
// The bus may start the portal for the first call, and the portal its
// back-ends: a few seconds at worst; one that takes longer does not work.
constexpr int kCallTimeoutMs = 10000;

struct Shortcut {
  uintptr_t serial;
  QString id;
  QString trigger;
  QString description;
  std::function<void()> press;
};

class PortalWatch;
class ResponseWaiter;

struct PortalState {
  // Tests: the bus at this address, and the name of our connection to it.
  std::optional<std::string> address;
  QString connectionName;
  // Said why the portal cannot be used; nothing more is tried this run.
  bool failed = false;
  // The open session's handle; empty when there is none.
  QString session;
  std::vector<Shortcut> shortcuts;
  bool bindQueued = false;
  // The Request of the latest BindShortcuts, until it is answered.
  QString bindRequest;
  QPointer<PortalWatch> watch;
  QThread* responseThread = nullptr;
  ResponseWaiter* waiter = nullptr;
  unsigned tokens = 0;
};

PortalState& portal() {
  static PortalState state;
  return state;
}

void say(const QString& reason) {
  fprintf(stderr, "portvane: global hot keys are not available: %s\n", reason.toUtf8().constData());
}

bool unavailable(const QString& reason) {
  say(reason);
  portal().failed = true;
  return false;
}

QDBusConnection portalBus() {
  PortalState& state = portal();
  if (!state.address) return QDBusConnection::sessionBus();
  if (state.connectionName.isEmpty()) {
    static int connections = 0;
    state.connectionName = QStringLiteral("portvane-portal-%1").arg(++connections);
    return QDBusConnection::connectToBus(QString::fromStdString(*state.address), state.connectionName);
  }
  return QDBusConnection(state.connectionName);
}

QString nextToken() { return QStringLiteral("portvane%1").arg(++portal().tokens); }

// Where the portal publishes the Request for a call made with this token, so
// that we can listen before the call and miss no answer.
QString requestPath(const QDBusConnection& bus, const QString& token) {
  QString sender = bus.baseService().mid(1);
  sender.replace(QLatin1Char('.'), QLatin1Char('_'));
  return kDesktopPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

// The words for a call the portal did not answer with a reply.
QString failedCall(const QDBusMessage& reply, const QString& otherwise) {
  switch (QDBusError(reply).type()) {
    case QDBusError::ServiceUnknown:
      return QStringLiteral("no desktop portal on the session bus");
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::Disconnected:
      return QStringLiteral("the desktop portal does not answer");
    default:
      return otherwise;
  }
}

// "CTRL+ALT+1": the modifiers by their names in the shortcuts format, then
// the key by its xkbcommon keysym name. Empty for a code without a key.
QString triggerFor(UInt32 code, UInt32 modifiers) {
  const UInt32 keysym = keysymForVirtualKeyCode(code);
  char name[64] = "";
  if (keysym == kNoKeysym || xkb_keysym_get_name(keysym, name, sizeof name) <= 0) return {};
  QStringList parts;
  if (modifiers & controlKey) parts << QStringLiteral("CTRL");
  if (modifiers & optionKey) parts << QStringLiteral("ALT");
  if (modifiers & shiftKey) parts << QStringLiteral("SHIFT");
  if (modifiers & cmdKey) parts << QStringLiteral("LOGO");
  parts << QString::fromLatin1(name);
  return parts.join(QLatin1Char('+'));
}

// The same key keeps its id from run to run, so that a trigger the user chose
// in the desktop's settings stays with it: "PCH1-1" for signature 'PCH1', id 1.
QString shortcutId(EventHotKeyID id) {
  const char signature[5] = {char(id.signature >> 24), char(id.signature >> 16), char(id.signature >> 8),
                             char(id.signature), 0};
  const bool readable = std::all_of(signature, signature + 4, [](char c) { return std::isalnum(uint8_t(c)); });
  const QString base = readable ? QStringLiteral("%1-%2").arg(QLatin1String(signature)).arg(id.id)
                                : QStringLiteral("%1-%2").arg(id.signature, 8, 16, QLatin1Char('0')).arg(id.id);
  const std::vector<Shortcut>& shortcuts = portal().shortcuts;
  QString unique = base;
  for (int n = 2; std::any_of(shortcuts.begin(), shortcuts.end(), [&](const Shortcut& s) { return s.id == unique; });
       ++n) {
    unique = QStringLiteral("%1-%2").arg(base).arg(n);
  }
  return unique;
}

QString handleOf(const QVariant& value) {
  // Documented as a string; some portals send an object path.
  if (value.metaType() == QMetaType::fromType<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
  return value.toString();
}

// Receives a Request's Response on a thread of its own, so that opening the
// session can wait for the portal's answer without running the program's
// event loop, and so its events, in the middle of a registration.
class ResponseWaiter : public QObject {
  Q_OBJECT

 public:
  struct Answer {
    uint code;
    QVariantMap results;
  };

  void expect(const QString& path) {
    std::lock_guard lock(mutex_);
    path_ = path;
    answer_.reset();
  }

  std::optional<Answer> wait() {
    std::unique_lock lock(mutex_);
    answered_.wait_for(lock, std::chrono::milliseconds(kCallTimeoutMs), [this] { return answer_.has_value(); });
    std::optional<Answer> answer = std::move(answer_);
    path_.clear();
    answer_.reset();
    return answer;
  }

 public slots:
  void response(uint code, const QVariantMap& results, const QDBusMessage& message) {
    std::lock_guard lock(mutex_);
    if (path_.isEmpty() || message.path() != path_ || answer_) return;
    answer_ = Answer{code, results};
    answered_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable answered_;
  QString path_;
  std::optional<Answer> answer_;
};

void stopResponseThread() {
  PortalState& state = portal();
  if (!state.responseThread) return;
  state.responseThread->quit();
  state.responseThread->wait();
  delete state.waiter;
  delete state.responseThread;
  state.waiter = nullptr;
  state.responseThread = nullptr;
}

ResponseWaiter* responseWaiter() {
  PortalState& state = portal();
  if (!state.waiter) {
    state.responseThread = new QThread;
    state.responseThread->setObjectName(QStringLiteral("portal responses"));
    state.waiter = new ResponseWaiter;
    state.waiter->moveToThread(state.responseThread);
    state.responseThread->start();
    // The thread ends with the application, before the bus connections go.
    qAddPostRoutine(stopResponseThread);
  }
  return state.waiter;
}

void bindShortcuts();

// The portal's signals for the program: activations, the answer to the
// latest bind, and the portal leaving the bus. Owned by the application
// object, so that it goes before the bus does.
class PortalWatch : public QObject {
  Q_OBJECT

 public:
  explicit PortalWatch(QDBusConnection bus) : QObject(QCoreApplication::instance()), bus_(std::move(bus)) {
    // The slot's argument types are found by name: the first use of the type
    // in the program may come later.
    qRegisterMetaType<QDBusObjectPath>();
    bus_.connect(kPortal, kDesktopPath, kGlobalShortcuts, QStringLiteral("Activated"), this,
                 SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
    auto* owner = new QDBusServiceWatcher(kPortal, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(owner, &QDBusServiceWatcher::serviceOwnerChanged, this, &PortalWatch::ownerChanged);
  }

  void listenForBind(const QString& path) {
    bus_.connect(kPortal, path, kRequest, kResponse, this, SLOT(bound(uint, QVariantMap, QDBusMessage)));
  }
  void stopListeningForBind(const QString& path) {
    bus_.disconnect(kPortal, path, kRequest, kResponse, this, SLOT(bound(uint, QVariantMap, QDBusMessage)));
  }

 private slots:
  void activated(const QDBusObjectPath& session, const QString& id, qulonglong, const QVariantMap&) {
    PortalState& state = portal();
    if (session.path() != state.session) return;
    for (const Shortcut& shortcut : state.shortcuts) {
      if (shortcut.id == id) {
        shortcut.press();
        return;
      }
    }
  }

  void bound(uint code, const QVariantMap&, const QDBusMessage& message) {
    PortalState& state = portal();
    if (message.path() != state.bindRequest) return;
    stopListeningForBind(state.bindRequest);
    state.bindRequest.clear();
    if (code != 0) say(QStringLiteral("the desktop portal refused the hot keys (response %1)").arg(code));
  }

  void ownerChanged(const QString&, const QString& oldOwner, const QString&) {
    PortalState& state = portal();
    if (oldOwner.isEmpty() || state.session.isEmpty()) return;
    // Its session went with it. The keys stay known: the next change of keys
    // opens a session with a portal that is back.
    state.session.clear();
    if (!state.bindRequest.isEmpty()) stopListeningForBind(state.bindRequest);
    state.bindRequest.clear();
    say(QStringLiteral("the desktop portal went away"));
  }

 private:
  QDBusConnection bus_;
};

// Checks the portal and opens a session, waiting for its answer; false after
// saying why not.
bool openSession() {
  PortalState& state = portal();
  QDBusConnection bus = portalBus();
  if (!bus.isConnected()) return unavailable(QStringLiteral("no session bus"));

  QDBusMessage get = QDBusMessage::createMethodCall(kPortal, kDesktopPath, kProperties, QStringLiteral("Get"));
  get << kGlobalShortcuts << QStringLiteral("version");
  const QDBusMessage version = bus.call(get, QDBus::Block, kCallTimeoutMs);
  if (version.type() != QDBusMessage::ReplyMessage) {
    return unavailable(failedCall(version, QStringLiteral("the desktop portal has no GlobalShortcuts interface")));
  }
  const uint number = version.arguments().value(0).value<QDBusVariant>().variant().toUInt();
  if (number < kFirstUsableVersion) {
    return unavailable(QStringLiteral("the desktop portal's GlobalShortcuts interface is too old (version %1)")
                           .arg(number));
  }

  qDBusRegisterMetaType<PortalShortcutEntry>();
  qDBusRegisterMetaType<QList<PortalShortcutEntry>>();
  if (!state.watch) state.watch = new PortalWatch(bus);

  const QString token = nextToken();
  QString request = requestPath(bus, token);
  ResponseWaiter* waiter = responseWaiter();
  const char* const slot = SLOT(response(uint, QVariantMap, QDBusMessage));
  waiter->expect(request);
  bus.connect(kPortal, request, kRequest, kResponse, waiter, slot);
  QDBusMessage create =
      QDBusMessage::createMethodCall(kPortal, kDesktopPath, kGlobalShortcuts, QStringLiteral("CreateSession"));
  create << QVariantMap{{QStringLiteral("handle_token"), token}, {QStringLiteral("session_handle_token"), token}};
  const QDBusMessage reply = bus.call(create, QDBus::Block, kCallTimeoutMs);
  std::optional<ResponseWaiter::Answer> answer;
  if (reply.type() == QDBusMessage::ReplyMessage) {
    const QString handle = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!handle.isEmpty() && handle != request) {
      // A portal that chose the path itself: its answer comes from there.
      bus.disconnect(kPortal, request, kRequest, kResponse, waiter, slot);
      request = handle;
      waiter->expect(request);
      bus.connect(kPortal, request, kRequest, kResponse, waiter, slot);
    }
    answer = waiter->wait();
  }
  bus.disconnect(kPortal, request, kRequest, kResponse, waiter, slot);

  if (reply.type() != QDBusMessage::ReplyMessage) {
    return unavailable(
        failedCall(reply, QStringLiteral("the desktop portal refused the session (%1)").arg(reply.errorMessage())));
  }
  if (!answer) return unavailable(QStringLiteral("the desktop portal does not answer"));
  if (answer->code != 0) {
    return unavailable(QStringLiteral("the desktop portal refused the session (response %1)").arg(answer->code));
  }
  state.session = handleOf(answer->results.value(QStringLiteral("session_handle")));
  if (state.session.isEmpty()) return unavailable(QStringLiteral("the desktop portal gave no session"));
  return true;
}

void closeSession() {
  PortalState& state = portal();
  if (state.session.isEmpty()) return;
  QDBusConnection bus = portalBus();
  bus.send(QDBusMessage::createMethodCall(kPortal, state.session, kSessionInterface, QStringLiteral("Close")));
  if (state.watch && !state.bindRequest.isEmpty()) state.watch->stopListeningForBind(state.bindRequest);
  state.bindRequest.clear();
  state.session.clear();
}

void bindShortcuts() {
  PortalState& state = portal();
  state.bindQueued = false;
  if (state.session.isEmpty() || !state.watch) return;
  if (state.shortcuts.empty()) {
    closeSession();
    return;
  }
  QList<PortalShortcutEntry> entries;
  for (const Shortcut& shortcut : state.shortcuts) {
    entries.push_back({shortcut.id,
                       {{QStringLiteral("description"), shortcut.description},
                        {QStringLiteral("preferred_trigger"), shortcut.trigger}}});
  }
  QDBusConnection bus = portalBus();
  const QString token = nextToken();
  // Only the answer to the latest set counts.
  if (!state.bindRequest.isEmpty()) state.watch->stopListeningForBind(state.bindRequest);
  state.bindRequest = requestPath(bus, token);
  state.watch->listenForBind(state.bindRequest);

  QDBusMessage bind =
      QDBusMessage::createMethodCall(kPortal, kDesktopPath, kGlobalShortcuts, QStringLiteral("BindShortcuts"));
  bind << QVariant::fromValue(QDBusObjectPath(state.session)) << QVariant::fromValue(entries) << QString()
       << QVariantMap{{QStringLiteral("handle_token"), token}};
  auto* call = new QDBusPendingCallWatcher(bus.asyncCall(bind, kCallTimeoutMs), state.watch);
  const QString request = state.bindRequest;
  QObject::connect(call, &QDBusPendingCallWatcher::finished, call, [request](QDBusPendingCallWatcher* finished) {
    finished->deleteLater();
    PortalState& state = portal();
    if (!finished->isError() || request != state.bindRequest) return;
    if (state.watch) state.watch->stopListeningForBind(request);
    state.bindRequest.clear();
    const QDBusMessage reply = finished->reply();
    say(failedCall(reply, QStringLiteral("the desktop portal refused the hot keys (%1)").arg(reply.errorMessage())));
  });
}

void queueBind() {
  PortalState& state = portal();
  if (state.bindQueued) return;
  state.bindQueued = true;
  postToMainQueue(bindShortcuts);
}

}  // namespace

bool portalStandsIn() {
  if (portal().address) return true;
  QCoreApplication* application = QCoreApplication::instance();
  if (!application) return false;
  const QString qpa = qobject_cast<QGuiApplication*>(application) ? QGuiApplication::platformName()
                                                                   : qEnvironmentVariable("QT_QPA_PLATFORM");
  if (qpa.startsWith(QLatin1String("offscreen")) || qpa.startsWith(QLatin1String("minimal"))) return false;
  if (qpa.startsWith(QLatin1String("wayland"))) return true;
  return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("DISPLAY");
}

OSStatus portalAddShortcut(uintptr_t serial, UInt32 code, UInt32 modifiers, EventHotKeyID id,
                           std::function<void()> press) {
  PortalState& state = portal();
  if (state.failed || !QCoreApplication::instance()) return eventInternalErr;
  const QString trigger = triggerFor(code, modifiers);
  if (trigger.isEmpty()) return eventHotKeyInvalidErr;
  if (state.session.isEmpty() && !openSession()) return eventInternalErr;
  state.shortcuts.push_back(
      {serial, shortcutId(id), trigger, QStringLiteral("Portvane hot key %1").arg(id.id), std::move(press)});
  queueBind();
  return noErr;
}

void portalRemoveShortcut(uintptr_t serial) {
  PortalState& state = portal();
  auto it = std::find_if(state.shortcuts.begin(), state.shortcuts.end(),
                         [&](const Shortcut& shortcut) { return shortcut.serial == serial; });
  if (it == state.shortcuts.end()) return;
  state.shortcuts.erase(it);
  if (!state.session.isEmpty()) queueBind();
}

void useHotKeyPortalBus(const std::string& address) {
  PortalState& state = portal();
  closeSession();
  delete state.watch.data();
  state.shortcuts.clear();
  state.failed = false;
  if (!state.connectionName.isEmpty()) {
    QDBusConnection::disconnectFromBus(state.connectionName);
    state.connectionName.clear();
  }
  if (address.empty()) {
    state.address.reset();
  } else {
    state.address = address;
  }
}

}  // namespace platform

#include "portal_shortcuts.moc"
