// A private session bus for a test that stands in for a desktop service
// (logind, the desktop portal): a dbus-daemon of its own, started and stopped
// by the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QStandardPaths>
#include <string>

namespace testsupport {

// Starts the daemon; its address, or empty (and *pid -1) when there is no
// dbus-daemon or it did not say its address within `timeoutMs`.
inline std::string StartPrivateBus(pid_t* pid, int timeoutMs = 20000) {
  *pid = -1;
  const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
  if (daemon.isEmpty()) return {};
  int fds[2];
  if (pipe(fds) != 0) return {};
  const std::string program = daemon.toStdString();
  const std::string printAddress = "--print-address=" + std::to_string(fds[1]);
  *pid = fork();
  if (*pid == 0) {
    close(fds[0]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl(program.c_str(), program.c_str(), "--session", "--nofork", "--nopidfile", printAddress.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string address;
  pollfd ready = {fds[0], POLLIN, 0};
  char c = 0;
  while (poll(&ready, 1, timeoutMs) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') address += c;
  close(fds[0]);
  if (address.empty() && *pid > 0) {
    kill(*pid, SIGTERM);
    waitpid(*pid, nullptr, 0);
    *pid = -1;
  }
  return address;
}

inline void StopPrivateBus(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace testsupport
