// The program as portvane starts it (its options, the launch, start-up and the
// event loop) with a simulated feature-report switch plugged in, for the
// launch, session-bus and command-line tests to run as a real process and
// watch from outside. Besides the program's own lines it says on standard
// error when its event loop runs ("probe: running"), each window it shows
// ("probe: shown <object name>", then "probe: activation token <token>" when
// a later start handed one over), and at the end what its switch was sent:
// "probe: calls" with every call in order, "probe: sent" with each report
// set, and "probe: delay <ticks> <start> <end>" for each pacing delay (seconds
// on one steady clock).
//
// PORTVANE_PROBE_QUIT=1 quits as soon as the loop runs; PORTVANE_PROBE_SWITCH
// "none" plugs no switch in, "no-buzzer" one without a buzzer. Lines on
// standard input: "quit" ends the run; "fail-reads N" makes the switch leave
// its next N reports unanswered, as the kernel reports a timeout (and says
// "probe: the next N reports fail" once that holds); "hotkeys <code> <name>
// <code> <name>" registers these two hot keys anew, as the settings dialog's
// save does; "forget" unregisters every hot key; "preferences" chooses
// "Preferences…" in the tray menu.
//
// With PORTVANE_PROBE_WATCH=1 it also says, as they come, each change of the
// tray's tooltip ("probe: tooltip Portvane | Computer 1", its lines joined by
// " | "), each change of the settings dialog's hot-key note while the dialog
// shows ("probe: dialog note ...", the same way; "probe: dialog note (none)"
// when the note is hidden) and each report the switch receives ("probe:
// switch received 04 81 01 00 00 00 00 00").
// PORTVANE_PROBE_PORTAL_TIMEOUT_MS gives the desktop portal that long to answer.
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/hot_keys.h"
#include "app/hot_keys_testing.h"
#include "app/launch.h"
#include "app/main.h"
#include "platform/core/clock.h"
#include "platform/core/switch_worker.h"
#include "platform/desktop/portal_shortcuts_testing.h"
#include "platform/desktop/single_instance_testing.h"
#include "platform/desktop/tray.h"
#include "platform/desktop/tray_testing.h"
#include "platform/ui/carbon_events.h"
#include "sim/simulated_switch.h"
#include "switch/kvm_switch.h"

namespace {

class WindowWatch : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (event->type() == QEvent::Show && widget && widget->isWindow()) {
      fprintf(stderr, "probe: shown %s\n", qPrintable(widget->objectName()));
      const std::string token = platform::activationTokenGiven();
      if (!token.empty()) fprintf(stderr, "probe: activation token %s\n", token.c_str());
    }
    return false;
  }
};

// The program's clock, with each delay it is asked for written down.
class PacingRecorder : public platform::Clock {
 public:
  explicit PacingRecorder(platform::Clock& real) : real_(real) {}

  double now() const override { return real_.now(); }
  void delayTicks(unsigned long ticks) override {
    const double start = real_.now();
    real_.delayTicks(ticks);
    const double end = real_.now();
    std::lock_guard<std::mutex> lock(mutex_);
    delays_.push_back({ticks, start, end});
  }
  TimerId addTimer(double firstDelay, double interval, std::function<void()> fire) override {
    return real_.addTimer(firstDelay, interval, std::move(fire));
  }
  void removeTimer(TimerId id) override { real_.removeTimer(id); }

  void report() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Delay& delay : delays_) {
      fprintf(stderr, "probe: delay %lu %.6f %.6f\n", delay.ticks, delay.start, delay.end);
    }
  }

 private:
  struct Delay {
    unsigned long ticks;
    double start;
    double end;
  };
  platform::Clock& real_;
  std::mutex mutex_;
  std::vector<Delay> delays_;
};

void reportSwitch(const platform::SimulatedSwitch& simulated) {
  fprintf(stderr, "probe: calls");
  for (platform::SimCall call : simulated.calls()) fprintf(stderr, " %s", platform::simCallName(call));
  fprintf(stderr, "\n");
  for (const platform::SimExchange& exchange : simulated.received()) {
    fprintf(stderr, "probe: sent");
    for (uint8_t byte : exchange.bytes) fprintf(stderr, " %02X", byte);
    fprintf(stderr, "\n");
  }
}

void setHotKey(int port, const QString& code, const QString& name) {
  HOT_KEY& key = KVMSwitch.hotKeys[port];
  key.code = code.toInt();
  memset(key.name, 0, sizeof key.name);
  strncpy(key.name, name.toLatin1().constData(), sizeof key.name - 1);
}

// The settings dialog's note on the hot keys, while the dialog shows.
std::optional<QString> dialogNote() {
  for (QWidget* widget : QApplication::allWidgets()) {
    auto* label = qobject_cast<QLabel*>(widget);
    if (!label || label->objectName() != QLatin1String("hotKeyProblem") || !label->window()->isVisible()) continue;
    return label->isVisibleTo(label->window()) ? label->text() : QStringLiteral("(none)");
  }
  return std::nullopt;
}

// One line of standard input, as the test writes them.
void obey(const QByteArray& line, platform::SimulatedSwitch& simulated) {
  const QStringList words = QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (line == "quit") {
    QuitApplicationEventLoop();
  } else if (words.value(0) == QLatin1String("hotkeys") && words.size() == 5) {
    setHotKey(0, words[1], words[2]);
    setHotKey(1, words[3], words[4]);
    RegisterHotKeys();
  } else if (line == "forget") {
    ForgetHotKeyRegistrations();
  } else if (line == "preferences") {
    for (QAction* action : platform::openTrayMenuForTest()->actions()) {
      if (action->text() == QString::fromUtf8("Preferences\u2026")) action->trigger();
    }
  } else if (line.startsWith("fail-reads ")) {
    const int times = line.mid(11).toInt();
    // On the switch worker, which is the switch's only user meanwhile.
    platform::submitSwitchJob(platform::SwitchJobKind::Command, [&simulated, times] {
      simulated.failNext(platform::SimCall::GetReport, times, kIOReturnTimeout);
      fprintf(stderr, "probe: the next %d reports fail\n", times);
    });
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  int status = 0;
  const std::optional<CommandLine> options = ParseCommandLine(argc, argv, "portvane", &status);
  if (!options) return status;
  platform::ensureApplication();
  if (!PrepareLaunch(*options, "io.github.portvane.Portvane", &status)) return status;
  if (const char* timeout = getenv("PORTVANE_PROBE_PORTAL_TIMEOUT_MS")) {
    platform::setPortalAnswerTimeoutForTest(atoi(timeout));
  }

  platform::Clock& programClock = platform::clock();
  PacingRecorder pacing(programClock);
  platform::setClock(&pacing);

  const char* kind = getenv("PORTVANE_PROBE_SWITCH");
  platform::FeatureReportSwitch simulated(0x10D5, 0x5500);
  simulated.state().availablePorts = 0x03;
  if (kind && strcmp(kind, "no-buzzer") == 0) simulated.state().hasBuzzer = false;
  if (!kind || strcmp(kind, "none") != 0) simulated.plug();

  WindowWatch watch;
  qApp->installEventFilter(&watch);
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QByteArray pending;
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char bytes[256];
    const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
    if (n <= 0) {
      input.setEnabled(false);
      return;
    }
    pending.append(bytes, n);
    for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
      obey(pending.left(end), simulated);
    }
  });
  QTimer look;
  QString toolTip;
  std::optional<QString> note;
  size_t shown = 0;
  const char* watchAsked = getenv("PORTVANE_PROBE_WATCH");
  if (watchAsked && watchAsked[0] == '1') {
    QObject::connect(&look, &QTimer::timeout, [&] {
      const QString now = platform::trayToolTip();
      if (now != toolTip) {
        toolTip = now;
        fprintf(stderr, "probe: tooltip %s\n", qPrintable(QString(now).replace(QLatin1Char('\n'), " | ")));
      }
      if (const std::optional<QString> nowNote = dialogNote(); nowNote != note) {
        note = nowNote;
        if (note) fprintf(stderr, "probe: dialog note %s\n", qPrintable(QString(*note).replace(QLatin1Char('\n'), " | ")));
      }
      for (const platform::SimExchange& exchange : simulated.receivedSince(shown)) {
        fprintf(stderr, "probe: switch received");
        for (uint8_t byte : exchange.bytes) fprintf(stderr, " %02X", byte);
        fprintf(stderr, "\n");
        ++shown;
      }
    });
    look.start(20);
  }
  QTimer::singleShot(0, [] {
    fprintf(stderr, "probe: running\n");
    const char* quit = getenv("PORTVANE_PROBE_QUIT");
    if (quit && quit[0] == '1') QuitApplicationEventLoop();
  });
  status = PortvaneMain(argc, argv);
  // The worker has stopped: the switch is the main thread's to look at.
  reportSwitch(simulated);
  pacing.report();
  platform::setClock(&programClock);
  return status;
}
