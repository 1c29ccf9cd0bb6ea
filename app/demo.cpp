// portvane-demo: the program with a simulated switch plugged in from the start.
// On a display the switch's front panel is shown beside it, so that a user can
// press its buttons and watch the tray follow; headless, the lines below show
// every command the switch receives.
#include <QGuiApplication>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "app/command_line.h"
#include "app/launch.h"
#include "app/main.h"
#include "platform/desktop/tray.h"
#include "platform/ui/carbon_events.h"
#include "sim/panel/switch_front_panel.h"
#include "sim/simulated_switch.h"

namespace {

constexpr int kWatchMilliseconds = 500;

// One line per report, request or packet the switch has been sent since the last look.
void reportReceived(const platform::SimulatedSwitch& simulated, size_t& shown) {
  // The switch worker may be talking to the switch meanwhile.
  for (const platform::SimExchange& exchange : simulated.receivedSince(shown)) {
    fprintf(stderr, "portvane-demo: switch received");
    for (uint8_t byte : exchange.bytes) fprintf(stderr, " %02X", byte);
    fprintf(stderr, "\n");
    ++shown;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  int commandLineStatus = 0;
  const std::optional<CommandLine> options = ParseCommandLine(argc, argv, "portvane-demo", &commandLineStatus);
  if (!options) return commandLineStatus;
  platform::ensureApplication();
  // No one-instance check: the demo never stands in the way of the real program.
  if (!PrepareLaunch(*options, nullptr, &commandLineStatus)) return commandLineStatus;
  // Nor does it change what the session starts at login.
  platform::offerStartAtLogin(false);

  platform::FeatureReportSwitch simulated(0x10D5, 0x5500);
  simulated.state().availablePorts = 0x03;
  // A quiet switch to start with; the settings dialog can turn its beep on.
  simulated.state().buzzer = false;
  simulated.plug();

  size_t shown = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] { reportReceived(simulated, shown); });
  watch.start(kWatchMilliseconds);

  std::unique_ptr<platform::SwitchFrontPanel> panel;
  if (QGuiApplication::platformName() != QStringLiteral("offscreen")) {
    panel = std::make_unique<platform::SwitchFrontPanel>(simulated);
    panel->show();
  }

  const int status = PortvaneMain(argc, argv);
  reportReceived(simulated, shown);
  return status;
}
