#include "platform/desktop/single_instance.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <cstdio>

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

}  // namespace

namespace platform {

InstanceStart claimSingleInstance(const char* name) {
  // Qt makes the folder private to the user (0700) and checks its owner.
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) {
    fprintf(stderr, "portvane: no runtime folder for the instance lock; a second start will not find this one\n");
    return InstanceStart::kFirst;
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
      return InstanceStart::kFirst;
    }
    if (lock->error() != QLockFile::LockFailedError) {
      fprintf(stderr, "portvane: cannot create %s: %s; a second start will not find this one\n",
              qPrintable(lock->fileName()),
              lock->error() == QLockFile::PermissionError ? "Permission denied" : "the lock cannot be written");
      delete lock;
      return InstanceStart::kFirst;
    }
    if (askToOpenSettings(socketPath)) {
      delete lock;
      fprintf(stderr, "portvane: already running; opened its settings\n");
      return InstanceStart::kHandedOver;
    }
    if (finding.hasExpired()) break;
    QThread::msleep(kRetryMilliseconds);
  }
  fprintf(stderr, "portvane: already running (%s is held) but it does not answer on %s\n",
          qPrintable(lock->fileName()), qPrintable(socketPath));
  delete lock;
  return InstanceStart::kNoAnswer;
}

}  // namespace platform
