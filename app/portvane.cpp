// portvane: the program on the Linux device side. Switches come from the
// kernel (udev, hidraw, libusb); the session's switching comes from logind.
#include "app/command_line.h"
#include "app/launch.h"
#include "app/main.h"
#include "platform/desktop/session.h"
#include "platform/linux/linux_devices.h"
#include "platform/ui/carbon_events.h"

int main(int argc, char* argv[]) {
  int status = 0;
  const std::optional<CommandLine> options = ParseCommandLine(argc, argv, "portvane", &status);
  if (!options) return status;
  platform::ensureApplication();
  if (!PrepareLaunch(*options, "io.github.portvane.Portvane", &status)) return status;
  platform::startSessionWatch();
  platform::startLinuxDevices();
  return PortvaneMain(argc, argv);
}
