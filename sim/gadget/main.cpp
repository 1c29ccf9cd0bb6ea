// portvane-gadget: a simulated switch of either generation plugged into a
// Linux kernel as a real USB device, on a USB device controller such as
// dummy_hcd's. Takes commands on standard input, one a line, and says on
// standard output what the switch does and receives:
//
//   plug | unplug        bind the gadget to its controller, or unbind it
//   stall                refuse every request of the protocol (busy)
//   silent               answer none, for longer than the kernel waits
//   answer               answer again
//   quit                 (or end of input) remove the gadget and exit
//
// Each command is acknowledged with "portvane-gadget: ok <command>".
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/gadget/configfs_gadget.h"
#include "sim/gadget/switch_gadget.h"

namespace {

constexpr char kUsage[] =
    "Usage: portvane-gadget --generation 1|2 [--udc NAME] [--name NAME]\n"
    "Presents a simulated switch to this kernel as a USB device (configfs, FunctionFS); needs root.\n";
// How often the switch's own time moves on (auto-scan shows in the serial number).
constexpr int kTickMilliseconds = 250;

volatile sig_atomic_t stopAsked = 0;
void onStop(int) { stopAsked = 1; }

// One command; false when the gadget is to go.
bool obey(gadget::SwitchGadget& sw, const std::string& command) {
  std::string error;
  bool ok = true;
  if (command == "plug") {
    ok = sw.plug(&error);
  } else if (command == "unplug") {
    ok = sw.unplug(&error);
  } else if (command == "stall") {
    sw.setAnswering(gadget::Answering::Stalling);
  } else if (command == "silent") {
    sw.setAnswering(gadget::Answering::Silent);
  } else if (command == "answer") {
    sw.setAnswering(gadget::Answering::Normally);
  } else if (command == "quit") {
    return false;
  } else if (!command.empty()) {
    fprintf(stderr, "portvane-gadget: unknown command \"%s\"\n", command.c_str());
    return true;
  } else {
    return true;
  }
  if (ok) {
    printf("portvane-gadget: ok %s\n", command.c_str());
  } else {
    fprintf(stderr, "portvane-gadget: %s failed: %s\n", command.c_str(), error.c_str());
  }
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  int generation = 0;
  std::string udc;
  std::string name;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == "--generation" && hasValue) {
      generation = atoi(argv[++i]);
    } else if (option == "--udc" && hasValue) {
      udc = argv[++i];
    } else if (option == "--name" && hasValue) {
      name = argv[++i];
    } else if (option == "--help" || option == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else {
      fprintf(stderr, "portvane-gadget: unknown option \"%s\"\n%s", option.c_str(), kUsage);
      return 2;
    }
  }
  if (generation != 1 && generation != 2) {
    fprintf(stderr, "portvane-gadget: --generation takes 1 or 2\n%s", kUsage);
    return 2;
  }
  if (udc.empty()) {
    const auto controllers = gadget::deviceControllers();
    if (controllers.empty()) {
      fprintf(stderr, "portvane-gadget: no USB device controller in /sys/class/udc (load dummy_hcd)\n");
      return 1;
    }
    udc = controllers.front();
  }
  if (name.empty()) name = "portvane-gen" + std::to_string(generation);

  struct sigaction action = {};
  action.sa_handler = onStop;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  auto sw = gadget::makeSwitchGadget(generation);
  std::string error;
  if (!sw->start(name, udc, &error)) {
    fprintf(stderr, "portvane-gadget: %s\n", error.c_str());
    return 1;
  }
  if (!sw->plug(&error)) {
    fprintf(stderr, "portvane-gadget: cannot plug into %s: %s\n", udc.c_str(), error.c_str());
    sw->stop();
    return 1;
  }

  std::string pending;
  bool going = true;
  while (going && !stopAsked) {
    pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0}, {sw->ep0(), POLLIN, 0}, {sw->packets(), POLLIN, 0}};
    const int ready = ::poll(fds, sw->packets() >= 0 ? 3 : 2, kTickMilliseconds);
    if (ready < 0 && errno != EINTR) {
      fprintf(stderr, "portvane-gadget: poll failed: %s\n", strerror(errno));
      break;
    }
    if (ready > 0 && (fds[1].revents & POLLIN)) sw->serveEp0();
    if (ready > 0 && sw->packets() >= 0 && (fds[2].revents & POLLIN)) sw->servePackets();
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP))) {
      char buffer[256];
      ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) {
        going = false;  // end of input
      } else {
        pending.append(buffer, size_t(n));
        size_t end;
        while (going && (end = pending.find('\n')) != std::string::npos) {
          going = obey(*sw, pending.substr(0, end));
          pending.erase(0, end + 1);
        }
      }
    }
    sw->tick();
  }
  sw->stop();
  printf("portvane-gadget: removed\n");
  return 0;
}
