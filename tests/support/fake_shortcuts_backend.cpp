// A desktop's GlobalShortcuts back-end for the tests: the interface
// org.freedesktop.impl.portal.GlobalShortcuts that the real desktop portal
// (xdg-desktop-portal) calls on behalf of the program, on the session bus of
// DBUS_SESSION_BUS_ADDRESS under the name given as the first argument.
//
// It binds every shortcut it is asked for with the preferred trigger as its
// trigger description, unless told otherwise. It is told on standard input,
// one command a line, and it says what it was asked on standard output, one
// line each, flushed at once:
//
//   create-answer <code>        CreateSession answers with this response
//                               code (0 until told: the session is made)
//   bind-answer <code>|hang|exit
//                               BindShortcuts answers with this response
//                               code, never answers, or ends the process
//                               in the middle of the call
//   trigger <id> <description>  the desktop binds <id> to this trigger (also
//                               after a drop)
//   drop <id>                   the desktop leaves <id> out of its answers
//   list-answers-created        CreateSession answers with the shortcuts
//                               its options carried, bound as they asked
//   activate <id> [<session>]   emits Activated for <id>, in the latest
//                               session or the one named
//   change <id> <description>   the user gives <id> another trigger in the
//                               desktop's settings: ShortcutsChanged for the
//                               latest session
//   quit                        leaves the bus and exits 0
//
//   backend: ready
//   backend: create <session handle> app "<app id>" shortcuts <id>=<trigger>,...
//   backend: bind <session handle> <id>=<trigger>,...
//   backend: list <session handle>   (a session it does not know fails)
//   backend: close <session handle>
//   backend: activated <id> <session handle>
//   backend: changed <id> <session handle>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDateTime>
#include <QMap>
#include <QSet>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdio>

namespace {

const QString kDesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.impl.portal.GlobalShortcuts");
const QString kSession = QStringLiteral("org.freedesktop.impl.portal.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

struct Shortcut {
  QString id;
  QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.properties;
  argument.endStructure();
  return argument;
}

}  // namespace

Q_DECLARE_METATYPE(Shortcut)
Q_DECLARE_METATYPE(QList<Shortcut>)

namespace {

void say(const QString& line) {
  printf("backend: %s\n", line.toUtf8().constData());
  fflush(stdout);
}

QList<Shortcut> shortcutsOf(const QVariant& value) {
  QList<Shortcut> shortcuts;
  if (value.canConvert<QDBusArgument>()) value.value<QDBusArgument>() >> shortcuts;
  return shortcuts;
}

QString listed(const QList<Shortcut>& shortcuts) {
  QStringList parts;
  for (const Shortcut& shortcut : shortcuts) {
    parts << shortcut.id + QLatin1Char('=') + shortcut.properties.value(QStringLiteral("preferred_trigger")).toString();
  }
  return parts.join(QLatin1Char(','));
}

class Backend : public QDBusVirtualObject {
 public:
  QString introspect(const QString& path) const override {
    if (path != kDesktopPath) {
      return QStringLiteral("<interface name=\"%1\"><method name=\"Close\"/>"
                            "<property name=\"version\" type=\"u\" access=\"read\"/></interface>")
          .arg(kSession);
    }
    return QStringLiteral(
               "<interface name=\"%1\">"
               "<method name=\"CreateSession\"><arg type=\"o\" direction=\"in\"/><arg type=\"o\" direction=\"in\"/>"
               "<arg type=\"s\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"in\"/>"
               "<arg type=\"u\" direction=\"out\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
               "<method name=\"BindShortcuts\"><arg type=\"o\" direction=\"in\"/><arg type=\"o\" direction=\"in\"/>"
               "<arg type=\"a(sa{sv})\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
               "<arg type=\"a{sv}\" direction=\"in\"/>"
               "<arg type=\"u\" direction=\"out\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
               "<method name=\"ListShortcuts\"><arg type=\"o\" direction=\"in\"/><arg type=\"o\" direction=\"in\"/>"
               "<arg type=\"u\" direction=\"out\"/><arg type=\"a{sv}\" direction=\"out\"/></method>"
               "<signal name=\"Activated\"><arg type=\"o\"/><arg type=\"s\"/><arg type=\"t\"/><arg type=\"a{sv}\"/>"
               "</signal>"
               "<signal name=\"Deactivated\"><arg type=\"o\"/><arg type=\"s\"/><arg type=\"t\"/>"
               "<arg type=\"a{sv}\"/></signal>"
               "<signal name=\"ShortcutsChanged\"><arg type=\"o\"/><arg type=\"a(sa{sv})\"/></signal>"
               "<property name=\"version\" type=\"u\" access=\"read\"/></interface>")
        .arg(kShortcuts);
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    if (message.interface() == kProperties) {
      if (member == QLatin1String("Get")) {
        return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(1u))));
      }
      if (member == QLatin1String("GetAll")) {
        return connection.send(message.createReply(QVariantMap{{QStringLiteral("version"), 1u}}));
      }
      return connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
    }
    if (message.path() != kDesktopPath) {
      if (member == QLatin1String("Close") && sessions_.remove(message.path())) {
        say(QStringLiteral("close %1").arg(message.path()));
        return connection.send(message.createReply());
      }
      return connection.send(message.createErrorReply(QDBusError::UnknownObject, message.path()));
    }
    if (member == QLatin1String("CreateSession")) {
      const QString session = arguments.value(1).value<QDBusObjectPath>().path();
      const QVariantMap options = qdbus_cast<QVariantMap>(arguments.value(3));
      const QList<Shortcut> asked = shortcutsOf(options.value(QStringLiteral("shortcuts")));
      say(QStringLiteral("create %1 app \"%2\" shortcuts %3").arg(session, arguments.value(2).toString(), listed(asked)));
      QVariantMap results;
      if (createAnswer == 0) {
        latest_ = session;
        sessions_.insert(session, listAnswersCreated ? bound(asked) : QList<Shortcut>());
        results.insert(QStringLiteral("session_id"), session.section(QLatin1Char('/'), -1));
        results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(sessions_.value(session)));
      }
      return connection.send(message.createReply({createAnswer, results}));
    }
    if (member == QLatin1String("BindShortcuts")) {
      const QString session = arguments.value(1).value<QDBusObjectPath>().path();
      const QList<Shortcut> asked = shortcutsOf(arguments.value(2));
      say(QStringLiteral("bind %1 %2").arg(session, listed(asked)));
      if (bindAnswer == QLatin1String("exit")) {
        // Gone in the middle of the call, as a crashing desktop would be.
        _exit(3);
      }
      if (bindAnswer == QLatin1String("hang")) {
        message.setDelayedReply(true);
        unanswered_.push_back(message);
        return true;
      }
      const uint code = bindAnswer.toUInt();
      QVariantMap results;
      if (code == 0 && sessions_.contains(session)) {
        sessions_[session] = bound(asked);
        results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(sessions_.value(session)));
      }
      return connection.send(message.createReply({code, results}));
    }
    if (member == QLatin1String("ListShortcuts")) {
      const QString session = arguments.value(1).value<QDBusObjectPath>().path();
      say(QStringLiteral("list %1").arg(session));
      if (!sessions_.contains(session)) {
        return connection.send(message.createErrorReply(QDBusError::InvalidArgs, QStringLiteral("no such session")));
      }
      return connection.send(
          message.createReply({0u, QVariantMap{{QStringLiteral("shortcuts"), QVariant::fromValue(sessions_.value(session))}}}));
    }
    return connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
  }

  // Each shortcut as the desktop binds it: its description, and its
  // trigger as the desktop describes it.
  QList<Shortcut> bound(const QList<Shortcut>& asked) const {
    QList<Shortcut> answer;
    for (const Shortcut& shortcut : asked) {
      if (dropped.contains(shortcut.id)) continue;
      const QString trigger = triggers.value(shortcut.id,
                                             shortcut.properties.value(QStringLiteral("preferred_trigger")).toString());
      answer.push_back({shortcut.id,
                        {{QStringLiteral("description"), shortcut.properties.value(QStringLiteral("description"))},
                         {QStringLiteral("trigger_description"), trigger}}});
    }
    return answer;
  }

  void activate(const QString& id, const QString& session) {
    const QString target = session.isEmpty() ? latest_ : session;
    QDBusMessage signal = QDBusMessage::createSignal(kDesktopPath, kShortcuts, QStringLiteral("Activated"));
    signal << QVariant::fromValue(QDBusObjectPath(target)) << id
           << qulonglong(QDateTime::currentMSecsSinceEpoch() * 1000) << QVariantMap();
    QDBusConnection::sessionBus().send(signal);
    say(QStringLiteral("activated %1 %2").arg(id, target));
  }

  void change(const QString& id, const QString& trigger) {
    triggers.insert(id, trigger);
    QList<Shortcut>& shortcuts = sessions_[latest_];
    for (Shortcut& shortcut : shortcuts) {
      if (shortcut.id == id) shortcut.properties.insert(QStringLiteral("trigger_description"), trigger);
    }
    QDBusMessage signal = QDBusMessage::createSignal(kDesktopPath, kShortcuts, QStringLiteral("ShortcutsChanged"));
    signal << QVariant::fromValue(QDBusObjectPath(latest_)) << QVariant::fromValue(shortcuts);
    QDBusConnection::sessionBus().send(signal);
    say(QStringLiteral("changed %1 %2").arg(id, latest_));
  }

  uint createAnswer = 0;
  QString bindAnswer = QStringLiteral("0");
  bool listAnswersCreated = false;
  QMap<QString, QString> triggers;
  QSet<QString> dropped;

 private:
  // Each session's shortcuts as bound.
  QMap<QString, QList<Shortcut>> sessions_;
  QString latest_;
  QList<QDBusMessage> unanswered_;
};

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication application(argc, argv);
  if (argc != 2) {
    fprintf(stderr, "usage: fake_shortcuts_backend <bus name>\n");
    return 2;
  }
  qDBusRegisterMetaType<Shortcut>();
  qDBusRegisterMetaType<QList<Shortcut>>();
  QDBusConnection bus = QDBusConnection::sessionBus();
  Backend backend;
  if (!bus.isConnected() || !bus.registerVirtualObject(kDesktopPath, &backend, QDBusConnection::SubPath) ||
      !bus.registerService(QString::fromLocal8Bit(argv[1]))) {
    fprintf(stderr, "fake_shortcuts_backend: cannot serve on the session bus: %s\n",
            qPrintable(bus.lastError().message()));
    return 1;
  }

  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QByteArray pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char buffer[512];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
      // The test is gone: so is its desktop.
      QCoreApplication::quit();
      return;
    }
    pending.append(buffer, int(got));
    for (int end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
      const QStringList words = QString::fromUtf8(pending.left(end)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
      const QString command = words.value(0);
      if (command == QLatin1String("create-answer")) {
        backend.createAnswer = words.value(1).toUInt();
      } else if (command == QLatin1String("bind-answer")) {
        backend.bindAnswer = words.value(1);
      } else if (command == QLatin1String("trigger")) {
        backend.triggers.insert(words.value(1), words.mid(2).join(QLatin1Char(' ')));
        backend.dropped.remove(words.value(1));
      } else if (command == QLatin1String("drop")) {
        backend.dropped.insert(words.value(1));
      } else if (command == QLatin1String("list-answers-created")) {
        backend.listAnswersCreated = true;
      } else if (command == QLatin1String("activate")) {
        backend.activate(words.value(1), words.value(2));
      } else if (command == QLatin1String("change")) {
        backend.change(words.value(1), words.mid(2).join(QLatin1Char(' ')));
      } else if (command == QLatin1String("quit")) {
        QCoreApplication::quit();
      } else if (!command.isEmpty()) {
        fprintf(stderr, "fake_shortcuts_backend: unknown command %s\n", qPrintable(command));
      }
    }
  });
  say(QStringLiteral("ready"));
  return application.exec();
}
