// How long the interface thread takes to answer while the switch is busy: the
// whole program (application, tray menu, settings dialog, switch worker, real
// clock) with a simulated feature-report switch, and a second thread that
// asks the interface thread for an answer every 10 ms and times each one.
// Four situations: the 2-second poll; the tray menu opened again and again;
// saves of the settings dialog that send the switch several commands; and a
// switch that lets every request run into the kernel's 5-second timeout.
// Prints the median, the 99th percentile and the maximum of each, and how
// long a hot key takes to reach the switch when no read is under way. Judges
// nothing.
//
//   portvane_interface_latency      (about 50 s)
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/main.h"
#include "platform/core/switch_worker.h"
#include "platform/desktop/tray.h"
#include "platform/ui/carbon_events.h"
#include "platform/ui/menus.h"
#include "settings/main_window.h"
#include "sim/simulated_switch.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPingInterval = std::chrono::milliseconds(10);
// The kernel's wait for a control transfer the device does not answer.
constexpr unsigned long kKernelTimeoutTicks = 300;

// Answers of the interface thread, in milliseconds, while recording.
std::mutex answersMutex;
std::vector<double> answers;
std::atomic<bool> recording{false};
std::atomic<bool> pinging{true};

void pinger() {
  while (pinging) {
    std::this_thread::sleep_for(kPingInterval);
    if (!recording) continue;
    const Clock::time_point asked = Clock::now();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [asked] {
          const double ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
          std::lock_guard<std::mutex> lock(answersMutex);
          answers.push_back(ms);
        },
        Qt::QueuedConnection);
  }
}

void report(const char* situation) {
  std::vector<double> taken;
  {
    std::lock_guard<std::mutex> lock(answersMutex);
    taken.swap(answers);
  }
  if (taken.empty()) {
    printf("%-28s no answers\n", situation);
    return;
  }
  std::sort(taken.begin(), taken.end());
  auto at = [&](double fraction) { return taken[std::min(taken.size() - 1, size_t(fraction * double(taken.size())))]; };
  printf("%-28s %5zu answers  median %6.2f ms  p99 %6.2f ms  max %6.2f ms\n", situation, taken.size(), at(0.5),
         at(0.99), taken.back());
  fflush(stdout);
}

// Runs the main loop for `ms` milliseconds, calling `step` every `everyMs` (0: never).
void runFor(int ms, int everyMs = 0, const std::function<void()>& step = {}) {
  QElapsedTimer elapsed;
  elapsed.start();
  qint64 next = everyMs;
  while (elapsed.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (everyMs > 0 && elapsed.elapsed() >= next) {
      next += everyMs;
      if (step) step();
    }
  }
}

void sendToApplication(EventRef event) {
  SendEventToEventTarget(event, GetApplicationEventTarget());
  ReleaseEvent(event);
}

// What a right click on the tray icon sends before the menu appears.
void openTrayMenu() {
  EventRef event = nullptr;
  CreateEvent(nullptr, kEventClassMenu, kEventMenuPopulate, GetCurrentEventTime(), 0, &event);
  MenuRef menu = GetApplicationDockTileMenu();
  SetEventParameter(event, kEventParamDirectObject, typeMenuRef, sizeof menu, &menu);
  sendToApplication(event);
}

void pressHotKey(UInt32 computer) {
  EventRef event = nullptr;
  CreateEvent(nullptr, kEventClassKeyboard, kEventHotKeyPressed, GetCurrentEventTime(), 0, &event);
  EventHotKeyID id = {FOUR_CHAR_CODE("PCH0") + computer, computer};
  SetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, sizeof id, &id);
  sendToApplication(event);
}

// A save that changes the buzzer, the audio and both hubs and the period:
// seven or eight commands for the switch.
void saveChangedSettings(int round) {
  MainWindow::Create(true, CFSTR("Preferences"), CFSTR("Settings2Ports"));
  runFor(700);  // the dialog's own read
  if (!pOurWindow) return;
  auto control = [](const ControlID& id) {
    HIViewRef found = nullptr;
    HIViewFindByID(HIViewGetRoot(pOurWindow->GetWindowRef()), id, &found);
    return found;
  };
  const SInt32 on = round % 2;
  SetControl32BitValue(control(kBuzzerID), on);
  SetControl32BitValue(control(kFixAudioPortID), 1 - on);
  SetControl32BitValue(control(kFixHUBPortIDs[0]), 1 - on);
  SetControl32BitValue(control(kFixHUBPortIDs[1]), 1 - on);
  SetControlValue(control(kAutoScanPeriodID), SInt16(2 + on));
  HICommandExtended ok{};
  ok.commandID = kHICommandOK;
  pOurWindow->HandleCommand(ok);
}

// Time from a hot key to the end of its command, when no read is under way.
void measureHotKey() {
  std::vector<double> taken;
  for (int n = 0; n < 5; ++n) {
    runFor(400);
    const Clock::time_point pressed = Clock::now();
    bool done = false;
    pressHotKey(UInt32(n % 2 + 1));
    // Commands run in order: this follow-up comes once the key's command is done.
    platform::submitSwitchJob(platform::SwitchJobKind::Command, {}, [&] { done = true; });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    taken.push_back(std::chrono::duration<double, std::milli>(Clock::now() - pressed).count());
  }
  std::sort(taken.begin(), taken.end());
  printf("%-28s median %6.1f ms  max %6.1f ms  (pacing 10 ticks = %.1f ms)\n", "hot key to switch", taken[2],
         taken.back(), 10 * 1000.0 / 60.0);
  fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
  // HOTKEY.CFG and the like stay out of the caller's folder.
  QTemporaryDir folder;
  if (!folder.isValid() || chdir(folder.path().toLocal8Bit().constData()) != 0) return 1;
  platform::ensureApplication();
  // The program's lines (every read's dump) are not the figures.
  fflush(stderr);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) dup2(null, STDERR_FILENO);

  platform::FeatureReportSwitch simulated(0x10D5, 0x5500);
  simulated.plug();
  std::thread ping(pinger);

  QTimer::singleShot(0, [&] {
    runFor(6000);  // attach and the first poll
    recording = true;
    runFor(10000);
    recording = false;
    report("polling");

    recording = true;
    runFor(6000, 300, openTrayMenu);
    recording = false;
    report("tray menu opening");

    recording = true;
    for (int round = 0; round < 4; ++round) {
      saveChangedSettings(round);
      runFor(2000);
    }
    recording = false;
    report("settings dialog save");

    measureHotKey();

    // Every request from now on runs into the kernel's timeout.
    for (platform::SimCall call : {platform::SimCall::GetReport, platform::SimCall::SetReport}) {
      simulated.stallNext(call, 1000, kKernelTimeoutTicks);
      simulated.failNext(call, 1000, kIOReturnTimeout);
    }
    recording = true;
    runFor(15000, 1000, [] {
      static int n = 0;
      if (++n % 3 == 0) pressHotKey(UInt32(n % 2 + 1));
      openTrayMenu();
    });
    recording = false;
    report("switch not answering");
    QCoreApplication::quit();
  });

  const int status = PortvaneMain(argc, argv);
  pinging = false;
  ping.join();
  return status;
}
