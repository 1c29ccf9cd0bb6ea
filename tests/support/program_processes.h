// The program's processes as a user starts them, for tests that watch them
// from outside: private runtime and configuration folders, the offscreen
// platform, and the session bus the test chooses (by default none, so that
// a test never meets a program the user runs).
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>

namespace testsupport {

// Only for a process that never comes: a test that passes waits far less.
constexpr int kGiveUpMilliseconds = 60000;

class ProgramProcesses {
 public:
  // Makes the folders: "runtime" (0700, as a runtime folder must be) and
  // "shell", where the processes start.
  bool prepare() {
    return root.isValid() && QDir(root.path()).mkpath("runtime") &&
           QFile::setPermissions(path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
           QDir(root.path()).mkpath("shell");
  }

  QString path(const QString& name) const { return root.path() + "/" + name; }

  // A start in the folder "shell" with the test's own folders and bus;
  // standard error is the channel a wait for output reads.
  std::unique_ptr<QProcess> start(const QString& program, const QStringList& arguments,
                                  const QStringList& environment = {}) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", path("runtime"));
    env.insert("XDG_CONFIG_HOME", path("config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    // A bus that cannot be reached stands for none.
    env.insert("DBUS_SESSION_BUS_ADDRESS",
               busAddress.empty() ? "unix:path=" + path("no-session-bus") : QString::fromStdString(busAddress));
    for (const char* inherited : {"PORTVANE_VERBOSE", "XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
      env.remove(inherited);
    }
    // In a sanitizer build, leaks are the unit tests' to find: at exit the
    // desktop's own libraries (fontconfig) leave blocks behind that would turn
    // the exit status.
    const QString asan = env.value("ASAN_OPTIONS");
    env.insert("ASAN_OPTIONS", (asan.isEmpty() ? QString() : asan + ":") + "detect_leaks=0");
    for (const QString& setting : environment) env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(path("shell"));
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setReadChannel(QProcess::StandardError);
    process->start(program, arguments);
    return process;
  }

  QTemporaryDir root;
  // The session bus of the processes started from now on; empty: none.
  std::string busAddress;
};

// Reads the process's standard error into `seen` until it holds `line`.
inline bool WaitForLine(QProcess& process, QByteArray& seen, const QByteArray& line) {
  QDeadlineTimer deadline(kGiveUpMilliseconds);
  while (!seen.contains(line)) {
    if (!process.waitForReadyRead(int(deadline.remainingTime()))) {
      seen += process.readAllStandardError();
      return seen.contains(line);
    }
    seen += process.readAllStandardError();
  }
  return true;
}

// Ends a probe through its standard input and reads what it says to the end.
inline QByteArray QuitProbe(QProcess& probe, QByteArray seen) {
  probe.write("quit\n");
  probe.waitForBytesWritten(kGiveUpMilliseconds);
  probe.waitForFinished(kGiveUpMilliseconds);
  return seen + probe.readAllStandardError();
}

}  // namespace testsupport
