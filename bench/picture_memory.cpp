// What a change of the tray picture costs in memory: the program's start-up
// as far as the tray (application, menu bar, settings dialog, Dock menu, a
// simulated switch attached), then 1,000 picture changes through the five
// pictures, each shown as the desktop shows it (tray icon, or the window
// standing in for the tray) before the next. Prints the resident memory after
// start and after the changes; judges nothing.
//
// Run it on the display to measure: under Xvfb with a tray host (trayer) for
// the tray icon, without one for the stand-in window. Under Qt's offscreen
// platform only the windows' icon changes.
//
//   portvane_picture_memory [changes]      (default 1,000)
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/carbon_app.h"
#include "app/dock_icon.h"
#include "hid/hid_discovery.h"
#include "platform/desktop/tray.h"
#include "platform/desktop/tray_testing.h"
#include "platform/ui/carbon_events.h"
#include "sim/simulated_switch.h"
#include "tests/support/program_state.h"

namespace {

constexpr int kDefaultChanges = 1000;
// Long enough for the tray host to embed the icon and for every repaint to land.
constexpr int kSettleMilliseconds = 1500;

// Resident set size in MB, from the kernel's own account.
double residentMegabytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

void settle() {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < kSettleMilliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

// The decode's dump lines and the like; the figures go to standard output.
class QuietStderr {
 public:
  QuietStderr() {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    close(null);
  }
  ~QuietStderr() {
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

const char* whereShown() {
  if (platform::trayIconShownForTest()) return "tray icon";
  if (platform::trayWindowForTest() && platform::trayWindowForTest()->isVisible()) return "stand-in window";
  return "window icon only (no display)";
}

}  // namespace

int main(int argc, char* argv[]) {
  const int changes = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultChanges;
  platform::ensureApplication();
  double atStart = 0;
  double afterChanges = 0;
  {
    QuietStderr quiet;
    testsupport::ResetProgramState();
    platform::FeatureReportSwitch sw;
    sw.plug();
    CarbonApp app;
    SetOurDockMenu();
    HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount);
    settle();
    atStart = residentMegabytes();

    // Computers 2, 3, 4, the program's own picture, computer 1, and again.
    const int numbers[] = {1, 2, 3, -1, 0};
    for (int i = 0; i < changes; ++i) {
      ChangeDockIcon(numbers[i % 5]);
      QCoreApplication::processEvents();
    }
    settle();
    afterChanges = residentMegabytes();
    testsupport::ReleaseProgramState();
  }
  printf("platform: %s; shown in: %s\n", qPrintable(QGuiApplication::platformName()), whereShown());
  printf("resident memory after start: %.1f MB\n", atStart);
  printf("resident memory after %d picture changes: %.1f MB (%+.1f MB)\n", changes, afterChanges,
         afterChanges - atStart);
  return 0;
}
