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
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>
#include <vector>

#include "platform/core/main_queue.h"
#include "platform/desktop/portal_shortcuts_testing.h"
#include "platform/ui/key_codes.h"

namespace platform {

// One shortcut as the portal passes it: (sa{sv}), an id and its properties.
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
// The desktop's own back-ends behind the portal are named in this namespace
// (org.freedesktop.impl.portal.desktop.kde, ...).
const QString kBackEnds = QStringLiteral("org.freedesktop.impl.portal*");
const QString kBackEndPrefix = QStringLiteral("org.freedesktop.impl.portal.");
const QString kDesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kShortcutsKey = QStringLiteral("shortcuts");

// Version 1 is the first with CreateSession, BindShortcuts and Activated.
constexpr uint kFirstUsableVersion = 1;
// A method's reply is the handle of its request, which the portal gives at
// once; the bus may have to start the portal first.
constexpr int kCallTimeoutMs = 10000;
// The portal itself sets no time for a request: a back-end that never
// answers gives no Response. No user is asked when a session is made...
constexpr int kSessionAnswerMs = 10000;
// ... but binding may ask the user.
constexpr int kBindAnswerMs = 120000;
// Between tries after the desktop did not answer or could not bind: doubling
// from the first, so that a desktop that is starting is caught soon and one
// that is broken is not asked more than once a minute.
constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 60000;

// The Response codes of org.freedesktop.portal.Request.
constexpr uint kResponseSuccess = 0;
constexpr uint kResponseCancelled = 1;
constexpr uint kResponseOther = 2;

struct Shortcut {
  uintptr_t serial;
  QString id;
  QString trigger;
  QString description;
  std::function<void()> press;
  HotKeyState state{HotKeyStanding::kWaiting, {}};
};

// What the request we wait for was made for.
enum class Asked { kNothing, kSession, kBind, kList };

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

// A trigger read as modifiers and a key, whichever names the desktop uses
// ("Ctrl+Alt+1" and "CTRL+ALT+1" are the same); nothing when it cannot be read.
struct Chord {
  unsigned modifiers = 0;
  xkb_keysym_t key = XKB_KEY_NoSymbol;
  bool operator==(const Chord&) const = default;
};

std::optional<Chord> chordOf(const QString& trigger) {
  QString text = trigger.trimmed();
  QString key;
  // The key itself may be "+".
  if (text.endsWith(QLatin1String("++")) || text == QLatin1String("+")) {
    key = QStringLiteral("plus");
    text.chop(text == QLatin1String("+") ? 1 : 2);
  } else {
    key = text.section(QLatin1Char('+'), -1);
    text.chop(std::min<qsizetype>(text.size(), key.size() + 1));
  }
  Chord chord;
  for (const QString& part : text.split(QLatin1Char('+'), Qt::SkipEmptyParts)) {
    const QString name = part.trimmed().toLower();
    if (name == QLatin1String("ctrl") || name == QLatin1String("control") || name == QLatin1String("primary")) {
      chord.modifiers |= controlKey;
    } else if (name == QLatin1String("alt") || name == QLatin1String("option") || name == QLatin1String("mod1")) {
      chord.modifiers |= optionKey;
    } else if (name == QLatin1String("shift")) {
      chord.modifiers |= shiftKey;
    } else if (name == QLatin1String("logo") || name == QLatin1String("super") || name == QLatin1String("meta") ||
               name == QLatin1String("mod4")) {
      chord.modifiers |= cmdKey;
    } else {
      return std::nullopt;
    }
  }
  key = key.trimmed();
  chord.key = xkb_keysym_from_name(key.toUtf8().constData(), XKB_KEYSYM_CASE_INSENSITIVE);
  if (chord.key == XKB_KEY_NoSymbol && key.size() == 1) chord.key = xkb_utf32_to_keysym(key.at(0).unicode());
  if (chord.key == XKB_KEY_NoSymbol) return std::nullopt;
  return chord;
}

// The same key keeps its id from run to run, so that a trigger the user chose
// in the desktop's settings stays with it: "PCH1-1" for signature 'PCH1', id 1.
QString shortcutId(EventHotKeyID id, const std::vector<Shortcut>& shortcuts) {
  const char signature[5] = {char(id.signature >> 24), char(id.signature >> 16), char(id.signature >> 8),
                             char(id.signature), 0};
  const bool readable = std::all_of(signature, signature + 4, [](char c) { return std::isalnum(uint8_t(c)); });
  const QString base = readable ? QStringLiteral("%1-%2").arg(QLatin1String(signature)).arg(id.id)
                                : QStringLiteral("%1-%2").arg(id.signature, 8, 16, QLatin1Char('0')).arg(id.id);
  QString unique = base;
  for (int n = 2; std::any_of(shortcuts.begin(), shortcuts.end(), [&](const Shortcut& s) { return s.id == unique; });
       ++n) {
    unique = QStringLiteral("%1-%2").arg(base).arg(n);
  }
  return unique;
}

// The session handle in a Response: documented as an object path, sent by
// the portal as a string.
QString handleOf(const QVariant& value) {
  if (value.metaType() == QMetaType::fromType<QDBusObjectPath>()) return value.value<QDBusObjectPath>().path();
  return value.toString();
}

QList<PortalShortcutEntry> entriesOf(const QVariant& value) {
  QList<PortalShortcutEntry> entries;
  if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() == QLatin1String("a(sa{sv})")) argument >> entries;
  }
  return entries;
}

int answerTimeoutForTest = 0;

// The one client of the portal: the keys, the session that holds them, the
// request being waited for and the watches on the bus. Lives on the main
// thread, owned by the application object so that it goes before the bus.
class PortalClient : public QObject {
  Q_OBJECT

 public:
  static PortalClient* instance() {
    static QPointer<PortalClient> client;
    if (!client && QCoreApplication::instance()) client = new PortalClient;
    return client;
  }

  OSStatus add(uintptr_t serial, UInt32 code, UInt32 modifiers, EventHotKeyID id, std::function<void()> press) {
    const QString trigger = triggerFor(code, modifiers);
    if (trigger.isEmpty()) return eventHotKeyInvalidErr;
    shortcuts_.push_back(
        {serial, shortcutId(id, shortcuts_), trigger, QStringLiteral("Portvane hot key %1").arg(id.id), std::move(press)});
    queueStart();
    return noErr;
  }

  void remove(uintptr_t serial) {
    auto it = std::find_if(shortcuts_.begin(), shortcuts_.end(),
                           [&](const Shortcut& shortcut) { return shortcut.serial == serial; });
    if (it == shortcuts_.end()) return;
    shortcuts_.erase(it);
    queueStart();
  }

  HotKeyState standing(uintptr_t serial) const {
    for (const Shortcut& shortcut : shortcuts_) {
      if (shortcut.serial == serial) return shortcut.state;
    }
    return {HotKeyStanding::kRefused, "it is not registered"};
  }

  std::function<void(uintptr_t)> listener;

 private slots:
  void response(const QDBusMessage& message) {
    if (message.path() != request_ || message.service() != owner_ || asked_ == Asked::kNothing) return;
    const Asked asked = asked_;
    stopWaiting();
    const uint code = message.arguments().value(0).toUInt();
    const QVariantMap results = qdbus_cast<QVariantMap>(message.arguments().value(1));
    if (code == kResponseCancelled) {
      refuse(QStringLiteral("the desktop refused it"));
      return;
    }
    if (code == kResponseOther) {
      retry(QStringLiteral("the desktop could not bind it"));
      return;
    }
    if (code != kResponseSuccess) {
      refuse(QStringLiteral("the desktop refused it (response %1)").arg(code));
      return;
    }
    switch (asked) {
      case Asked::kSession:
        sessionMade(results);
        break;
      case Asked::kBind:
      case Asked::kList:
        takeAnswer(entriesOf(results.value(kShortcutsKey)), true);
        break;
      case Asked::kNothing:
        break;
    }
  }

  void activated(const QDBusMessage& message) {
    if (message.service() != owner_ || session_.isEmpty()) return;
    // Every connection on the bus hears it: only our session's count.
    if (message.arguments().value(0).value<QDBusObjectPath>().path() != session_) return;
    const QString id = message.arguments().value(1).toString();
    for (const Shortcut& shortcut : shortcuts_) {
      if (shortcut.id == id) {
        // The press may change the keys: run a copy.
        const std::function<void()> press = shortcut.press;
        press();
        return;
      }
    }
  }

  // The user changed a trigger in the desktop's settings. The portal sends in
  // order: an answer still to come is newer, and has the last word.
  void shortcutsChanged(const QDBusMessage& message) {
    if (message.service() != owner_ || session_.isEmpty()) return;
    if (message.arguments().value(0).value<QDBusObjectPath>().path() != session_) return;
    takeAnswer(entriesOf(message.arguments().value(1)), false);
  }

  void sessionClosed(const QDBusMessage& message) {
    if (message.service() != owner_ || message.path() != session_) return;
    session_.clear();
    retry(QStringLiteral("the desktop closed the hot keys' session"));
  }

  void ownerChanged(const QString& name, const QString& oldOwner, const QString& newOwner) {
    if (shortcuts_.empty()) return;
    if (name == kPortal) {
      if (!newOwner.isEmpty()) {
        // A portal that is back (or new): everything is asked afresh, at once.
        retryDelayMs_ = kFirstRetryMs;
        queueStart();
      } else if (!oldOwner.isEmpty()) {
        session_.clear();
        owner_.clear();
        retry(QStringLiteral("the desktop portal went away"));
      }
      return;
    }
    if (!name.startsWith(kBackEndPrefix)) return;
    if (!newOwner.isEmpty() && !bound_ && !refused_ && asked_ != Asked::kBind) {
      // A back-end that is back: no need to wait for the next try, nor for
      // an answer that the one before may never give. A bind under way may
      // be showing the user a dialog, and is left to finish; a refusal
      // stands.
      retryDelayMs_ = kFirstRetryMs;
      queueStart();
    } else if (bound_) {
      // A back-end came or went while the keys were bound: the portal says
      // nothing of it until it is asked, so ask whether the session is still
      // served.
      list();
    }
  }

 private:
  PortalClient() : QObject(QCoreApplication::instance()) {
    qDBusRegisterMetaType<PortalShortcutEntry>();
    qDBusRegisterMetaType<QList<PortalShortcutEntry>>();
    answerTimer_.setSingleShot(true);
    connect(&answerTimer_, &QTimer::timeout, this, [this] {
      // No Response: the request is withdrawn, so that a dialog it opened closes.
      if (!request_.isEmpty()) {
        bus_.send(QDBusMessage::createMethodCall(kPortal, request_, kRequest, QStringLiteral("Close")));
      }
      stopWaiting();
      retry(QStringLiteral("the desktop portal does not answer"));
    });
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, [this] { start(); });
  }

  int answerMs(int ownMs) const { return answerTimeoutForTest > 0 ? answerTimeoutForTest : ownMs; }

  void queueStart() {
    if (startQueued_) return;
    startQueued_ = true;
    postToMainQueue([client = QPointer<PortalClient>(this)] {
      if (!client) return;
      client->startQueued_ = false;
      client->start();
    });
  }

  // Connects once, and watches from then on what the portal sends us.
  bool connectBus() {
    if (bus_.isConnected()) return true;
    bus_ = QDBusConnection::sessionBus();
    if (!bus_.isConnected()) return false;
    // No sender in these rules: QtDBus would look the portal's owner up,
    // waiting for the bus. The sender is checked on arrival instead.
    bus_.connect(QString(), kDesktopPath, kGlobalShortcuts, QStringLiteral("Activated"), this,
                 SLOT(activated(QDBusMessage)));
    bus_.connect(QString(), kDesktopPath, kGlobalShortcuts, QStringLiteral("ShortcutsChanged"), this,
                 SLOT(shortcutsChanged(QDBusMessage)));
    auto* owners = new QDBusServiceWatcher(this);
    owners->setConnection(bus_);
    owners->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    owners->setWatchedServices({kPortal, kBackEnds});
    connect(owners, &QDBusServiceWatcher::serviceOwnerChanged, this, &PortalClient::ownerChanged);
    return true;
  }

  // Tells the keys whose standing changed; the listener may change the keys.
  void setStanding(Shortcut& shortcut, HotKeyStanding standing, const QString& detail = {}) {
    HotKeyState state{standing, detail.toStdString()};
    if (shortcut.state.standing == state.standing && shortcut.state.detail == state.detail) return;
    shortcut.state = std::move(state);
    changed_.push_back(shortcut.serial);
  }

  void tell() {
    std::vector<uintptr_t> changed;
    changed.swap(changed_);
    for (uintptr_t serial : changed) {
      if (listener) listener(serial);
    }
  }

  void setAll(HotKeyStanding standing, const QString& detail) {
    for (Shortcut& shortcut : shortcuts_) setStanding(shortcut, standing, detail);
    tell();
  }

  void closeSession() {
    if (session_.isEmpty()) return;
    bus_.disconnect(QString(), session_, kSessionInterface, QStringLiteral("Closed"), this,
                    SLOT(sessionClosed(QDBusMessage)));
    bus_.send(QDBusMessage::createMethodCall(kPortal, session_, kSessionInterface, QStringLiteral("Close")));
    session_.clear();
  }

  void stopWaiting() {
    answerTimer_.stop();
    if (!request_.isEmpty()) {
      bus_.disconnect(QString(), request_, kRequest, QStringLiteral("Response"), this, SLOT(response(QDBusMessage)));
    }
    request_.clear();
    asked_ = Asked::kNothing;
  }

  // Ends whatever was under way; the replies still to come are for an
  // earlier attempt and are dropped.
  void reset() {
    ++attempt_;
    stopWaiting();
    retryTimer_.stop();
    closeSession();
    bound_ = false;
    refused_ = false;
  }

  // Asks for the whole set of keys afresh. Each key keeps its standing until
  // the desktop answers: new keys wait, the others stay as last told.
  void start() {
    reset();
    if (shortcuts_.empty()) return;
    if (!connectBus()) {
      refuse(QStringLiteral("no session bus"));
      return;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(kPortal, kDesktopPath, kProperties, QStringLiteral("Get"));
    get << kGlobalShortcuts << QStringLiteral("version");
    call(get, [this](const QDBusMessage& reply) {
      if (reply.type() != QDBusMessage::ReplyMessage) {
        failedCall(reply, QStringLiteral("the desktop portal has no GlobalShortcuts interface"));
        return;
      }
      owner_ = reply.service();
      const uint version = reply.arguments().value(0).value<QDBusVariant>().variant().toUInt();
      if (version < kFirstUsableVersion) {
        refuse(QStringLiteral("the desktop portal's GlobalShortcuts interface is too old (version %1)").arg(version));
        return;
      }
      createSession();
    });
  }

  QList<PortalShortcutEntry> entries() const {
    QList<PortalShortcutEntry> list;
    for (const Shortcut& shortcut : shortcuts_) {
      list.push_back({shortcut.id,
                      {{QStringLiteral("description"), shortcut.description},
                       {QStringLiteral("preferred_trigger"), shortcut.trigger}}});
    }
    return list;
  }

  void createSession() {
    const QString token = nextToken();
    QDBusMessage create =
        QDBusMessage::createMethodCall(kPortal, kDesktopPath, kGlobalShortcuts, QStringLiteral("CreateSession"));
    create << QVariantMap{{QStringLiteral("handle_token"), token},
                          {QStringLiteral("session_handle_token"), token},
                          {kShortcutsKey, QVariant::fromValue(entries())}};
    request(create, token, Asked::kSession, kSessionAnswerMs);
  }

  void sessionMade(const QVariantMap& results) {
    session_ = handleOf(results.value(QStringLiteral("session_handle")));
    if (session_.isEmpty()) {
      retry(QStringLiteral("the desktop portal gave no session"));
      return;
    }
    bus_.connect(QString(), session_, kSessionInterface, QStringLiteral("Closed"), this,
                 SLOT(sessionClosed(QDBusMessage)));
    // A desktop that registered every key from the session's options has
    // nothing left to bind; asking again would only show the user its
    // settings once more.
    const QList<PortalShortcutEntry> held = entriesOf(results.value(kShortcutsKey));
    const bool holdsAll = std::all_of(shortcuts_.begin(), shortcuts_.end(), [&](const Shortcut& shortcut) {
      return std::any_of(held.begin(), held.end(), [&](const PortalShortcutEntry& e) { return e.id == shortcut.id; });
    });
    if (holdsAll) {
      takeAnswer(held, true);
      return;
    }
    QDBusMessage bind =
        QDBusMessage::createMethodCall(kPortal, kDesktopPath, kGlobalShortcuts, QStringLiteral("BindShortcuts"));
    const QString token = nextToken();
    bind << QVariant::fromValue(QDBusObjectPath(session_)) << QVariant::fromValue(entries()) << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token}};
    request(bind, token, Asked::kBind, kBindAnswerMs);
  }

  // Whether the bound session is still served.
  void list() {
    if (session_.isEmpty() || asked_ != Asked::kNothing) return;
    QDBusMessage list =
        QDBusMessage::createMethodCall(kPortal, kDesktopPath, kGlobalShortcuts, QStringLiteral("ListShortcuts"));
    const QString token = nextToken();
    list << QVariant::fromValue(QDBusObjectPath(session_)) << QVariantMap{{QStringLiteral("handle_token"), token}};
    request(list, token, Asked::kList, kSessionAnswerMs);
  }

  // The desktop's word on each key. `whole`: a key it does not list is not
  // bound; otherwise only the keys it lists changed.
  void takeAnswer(const QList<PortalShortcutEntry>& answer, bool whole) {
    for (Shortcut& shortcut : shortcuts_) {
      auto it = std::find_if(answer.begin(), answer.end(), [&](const PortalShortcutEntry& e) { return e.id == shortcut.id; });
      if (it == answer.end()) {
        if (whole) setStanding(shortcut, HotKeyStanding::kRefused, QStringLiteral("the desktop did not bind it"));
        continue;
      }
      const QString described = it->properties.value(QStringLiteral("trigger_description")).toString().trimmed();
      const std::optional<Chord> asked = chordOf(shortcut.trigger);
      const std::optional<Chord> given = chordOf(described);
      // A desktop that does not say which trigger it bound bound the one asked.
      if (described.isEmpty() || described == shortcut.trigger || (asked && given && *asked == *given)) {
        setStanding(shortcut, HotKeyStanding::kActive);
      } else {
        setStanding(shortcut, HotKeyStanding::kElsewhere, described);
      }
    }
    bound_ = true;
    retryDelayMs_ = kFirstRetryMs;
    tell();
  }

  // Not asked again until the portal's name has a new owner.
  void refuse(const QString& reason) {
    reset();
    refused_ = true;
    setAll(HotKeyStanding::kRefused, reason);
  }

  void retry(const QString& reason) {
    reset();
    retryTimer_.start(retryDelayMs_);
    retryDelayMs_ = std::min(retryDelayMs_ * 2, kLongestRetryMs);
    setAll(HotKeyStanding::kRetrying, reason);
  }

  // A method call's error: the portal missing or not answering, or refusing.
  void failedCall(const QDBusMessage& reply, const QString& refusal) {
    switch (QDBusError(reply).type()) {
      case QDBusError::ServiceUnknown:
        // Asked again when a portal takes the name.
        refuse(QStringLiteral("no desktop portal on the session bus"));
        return;
      case QDBusError::NoReply:
      case QDBusError::Timeout:
      case QDBusError::TimedOut:
      case QDBusError::Disconnected:
        retry(QStringLiteral("the desktop portal does not answer"));
        return;
      default:
        refuse(refusal);
        return;
    }
  }

  QString nextToken() { return QStringLiteral("portvane%1").arg(++tokens_); }

  // Where the portal publishes the Request for a call made with this token.
  QString requestPath(const QString& token) const {
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return kDesktopPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
  }

  void call(const QDBusMessage& message, std::function<void(const QDBusMessage&)> done) {
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, answerMs(kCallTimeoutMs)), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, attempt = attempt_, done = std::move(done)](QDBusPendingCallWatcher* finished) {
              finished->deleteLater();
              if (attempt == attempt_) done(finished->reply());
            });
  }

  // A call answered through a Request: its Response is listened for before
  // the call, so that none is missed, and given `answerMs` to come.
  void request(const QDBusMessage& message, const QString& token, Asked asked, int ownAnswerMs) {
    stopWaiting();
    request_ = requestPath(token);
    asked_ = asked;
    bus_.connect(QString(), request_, kRequest, QStringLiteral("Response"), this, SLOT(response(QDBusMessage)));
    answerTimer_.start(answerMs(ownAnswerMs));
    call(message, [this](const QDBusMessage& reply) {
      if (reply.type() != QDBusMessage::ReplyMessage) {
        stopWaiting();
        failedCall(reply, QStringLiteral("the desktop portal refused it (%1)").arg(reply.errorMessage()));
        return;
      }
      const QString handle = reply.arguments().value(0).value<QDBusObjectPath>().path();
      if (!handle.isEmpty() && handle != request_ && asked_ != Asked::kNothing) {
        // A portal that chose the path itself: its Response comes from there.
        bus_.disconnect(QString(), request_, kRequest, QStringLiteral("Response"), this, SLOT(response(QDBusMessage)));
        request_ = handle;
        bus_.connect(QString(), request_, kRequest, QStringLiteral("Response"), this, SLOT(response(QDBusMessage)));
      }
    });
  }

  QDBusConnection bus_{QString()};
  std::vector<Shortcut> shortcuts_;
  std::vector<uintptr_t> changed_;
  // The portal's unique name, as its last reply came from.
  QString owner_;
  // The open session's handle; empty when there is none.
  QString session_;
  // The request whose Response is awaited, and what it was for.
  QString request_;
  Asked asked_ = Asked::kNothing;
  bool bound_ = false;
  bool refused_ = false;
  bool startQueued_ = false;
  unsigned attempt_ = 0;
  unsigned tokens_ = 0;
  int retryDelayMs_ = kFirstRetryMs;
  QTimer answerTimer_;
  QTimer retryTimer_;
};

}  // namespace

bool portalStandsIn() {
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
  PortalClient* client = PortalClient::instance();
  if (!client) return eventInternalErr;
  return client->add(serial, code, modifiers, id, std::move(press));
}

void portalRemoveShortcut(uintptr_t serial) {
  if (PortalClient* client = PortalClient::instance()) client->remove(serial);
}

HotKeyState portalShortcutStanding(uintptr_t serial) {
  PortalClient* client = PortalClient::instance();
  return client ? client->standing(serial) : HotKeyState{HotKeyStanding::kRefused, "it is not registered"};
}

void setPortalStandingListener(std::function<void(uintptr_t serial)> changed) {
  if (PortalClient* client = PortalClient::instance()) client->listener = std::move(changed);
}

void setPortalAnswerTimeoutForTest(int milliseconds) { answerTimeoutForTest = milliseconds; }

}  // namespace platform

#include "portal_shortcuts.moc"
