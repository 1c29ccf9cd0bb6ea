// What the program's recurring work costs in processor time: one poll tick
// (two feature reports, the decode, the picture check), one picture change,
// start-up's matching over the device table, and a command. The simulated
// switch answers at once and the manual clock makes the pacing delays free,
// so the figures are the program's own work; the pacing itself (5 ticks
// before each read, 10 before each write) is printed beside them.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/dock_icon.h"
#include "app/polling_tick.h"
#include "hid/hid_discovery.h"
#include "hid/hid_reports.h"
#include "platform/core/clock.h"
#include "platform/core/main_queue.h"
#include "platform/iokit/device_seam.h"
#include "sim/simulated_switch.h"
#include "switch/kvm_operations.h"
#include "tests/support/program_state.h"

namespace {

// Every decode prints its dump line; the figures are about the work, not the terminal.
struct QuietStderr {
  QuietStderr() {
    fflush(stderr);
    saved = dup(STDERR_FILENO);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    close(null);
  }
  ~QuietStderr() {
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
  }
  int saved;
};

struct Program {
  platform::ScopedManualClock clock;
  platform::FeatureReportSwitch sw;

  explicit Program(bool plugged) {
    testsupport::ResetProgramState();
    if (plugged) sw.plug();
  }
  ~Program() { testsupport::ReleaseProgramState(); }
};

void PollTick(benchmark::State& state) {
  QuietStderr quiet;
  Program program(true);
  HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount);
  for (auto _ : state) TimerFunction(nullptr, &KVMSwitch);
  state.counters["pacing_ms"] = 10 * 1000.0 / 60;
}
BENCHMARK(PollTick);

void Decode(benchmark::State& state) {
  QuietStderr quiet;
  KVM_INFO info = {};
  info.version = 2;
  unsigned char block[12] = {5, 1, 0x3F, 0x0E, 4, 0x1F, 0x11, 0x10, 25, 0x47, 3, 0};
  for (auto _ : state) KVMSetInfo(&info, block);
  benchmark::DoNotOptimize(info);
}
BENCHMARK(Decode);

void PictureChange(benchmark::State& state) {
  CurrentIconNumber = -1;
  int port = 0;
  for (auto _ : state) {
    ChangeDockIcon(port);
    port ^= 1;
  }
}
BENCHMARK(PictureChange);

void PictureUnchanged(benchmark::State& state) {
  CurrentIconNumber = -1;
  ChangeDockIcon(1);
  for (auto _ : state) ChangeDockIcon(1);
}
BENCHMARK(PictureUnchanged);

void MatchingAtStartUp(benchmark::State& state) {
  QuietStderr quiet;
  for (auto _ : state) {
    Program program(state.range(0) != 0);
    HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount);
  }
  state.SetLabel(state.range(0) ? "switch present" : "no switch");
}
BENCHMARK(MatchingAtStartUp)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void PortCommand(benchmark::State& state) {
  QuietStderr quiet;
  Program program(true);
  HIDSetMatchingDevices(&KVMSwitch, DeviceList, VendorCount);
  int port = 0;
  for (auto _ : state) {
    KVMSetPortNumber(&KVMSwitch.info, port);
    port ^= 1;
    program.sw.clearRecords();
  }
  state.counters["pacing_ms"] = 10 * 1000.0 / 60;
}
BENCHMARK(PortCommand);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("peak resident memory: %ld KiB\n", usage.ru_maxrss);
  return 0;
}
