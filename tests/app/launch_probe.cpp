// The program as portvane starts it (its options, the launch, start-up and the
// event loop) with a simulated feature-report switch plugged in, for the
// launch tests to run as a real process and watch from outside. Besides the
// program's own lines it says on standard error when its event loop runs
// ("probe: running") and each window it shows ("probe: shown <object name>");
// with PORTVANE_PROBE_QUIT=1 it quits as soon as the loop runs.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/launch.h"
#include "app/main.h"
#include "platform/ui/carbon_events.h"
#include "sim/simulated_switch.h"

namespace {

class WindowWatch : public QObject {
 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (event->type() == QEvent::Show && widget && widget->isWindow()) {
      fprintf(stderr, "probe: shown %s\n", qPrintable(widget->objectName()));
    }
    return false;
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  int status = 0;
  const std::optional<CommandLine> options = ParseCommandLine(argc, argv, "portvane", &status);
  if (!options) return status;
  platform::ensureApplication();
  if (!PrepareLaunch(*options, "io.github.portvane.Portvane", &status)) return status;

  platform::FeatureReportSwitch simulated(0x10D5, 0x5500);
  simulated.state().availablePorts = 0x03;
  simulated.plug();

  WindowWatch watch;
  qApp->installEventFilter(&watch);
  QTimer::singleShot(0, [] {
    fprintf(stderr, "probe: running\n");
    const char* quit = getenv("PORTVANE_PROBE_QUIT");
    if (quit && quit[0] == '1') QuitApplicationEventLoop();
  });
  return PortvaneMain(argc, argv);
}
