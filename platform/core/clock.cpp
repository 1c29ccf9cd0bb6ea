#include "platform/core/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {

namespace {

// The program's clock when nobody installed one. Its timers are the UI layer's
// business (it installs a clock of its own over Qt timers), so here they never fire.
class SteadyClock : public SteadyTimeClock {
 public:
  TimerId addTimer(double, double, std::function<void()>) override { return 0; }
  void removeTimer(TimerId) override {}
};

std::atomic<Clock*> installedClock{nullptr};

SteadyClock& steadyClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace

Clock& clock() {
  Clock* installed = installedClock.load();
  return installed ? *installed : steadyClock();
}

void setClock(Clock* clock) { installedClock.store(clock); }

bool clockInstalled() { return installedClock.load() != nullptr; }

double SteadyTimeClock::now() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void SteadyTimeClock::delayTicks(unsigned long ticks) {
  std::this_thread::sleep_for(std::chrono::duration<double>(double(ticks) / 60.0));
}

void ManualClock::delayTicks(unsigned long ticks) {
  delays.push_back(ticks);
  now_ += double(ticks) / 60.0;
}

Clock::TimerId ManualClock::addTimer(double firstDelay, double interval, std::function<void()> fire) {
  TimerId id = nextId_++;
  timers_[id] = Timer{now_ + (firstDelay > 0 ? firstDelay : 0), interval > 0 ? interval : 0, std::move(fire)};
  return id;
}

void ManualClock::removeTimer(TimerId id) { timers_.erase(id); }

double ManualClock::nextFiring(TimerId id) const {
  auto it = timers_.find(id);
  return it == timers_.end() ? -1.0 : it->second.due;
}

void ManualClock::advance(double seconds) {
  const double target = now_ + (seconds > 0 ? seconds : 0);
  for (;;) {
    // Look again after every firing: a callback may add or remove timers.
    auto next = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second.due <= target && (next == timers_.end() || it->second.due < next->second.due)) next = it;
    }
    if (next == timers_.end()) break;
    if (next->second.due > now_) now_ = next->second.due;
    std::function<void()> fire = next->second.fire;
    if (next->second.interval > 0) {
      next->second.due += next->second.interval;
    } else {
      timers_.erase(next);
    }
    if (fire) fire();
  }
  if (target > now_) now_ = target;
}

ScopedManualClock::ScopedManualClock() : previous_(installedClock.load()) { setClock(&clock_); }

ScopedManualClock::~ScopedManualClock() { setClock(previous_); }

}  // namespace platform

void Delay(unsigned long ticks, unsigned long* finalTicks) {
  platform::Clock& clock = platform::clock();
  clock.delayTicks(ticks);
  if (finalTicks) *finalTicks = static_cast<unsigned long>(clock.now() * 60.0);
}
