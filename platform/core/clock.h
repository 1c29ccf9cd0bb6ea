// The clock seam: where the program's time comes from. The program runs on the
// real clock (steady clock, timers on the Qt loop); tests install a ManualClock
// that records every requested delay and moves only when told to.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform/core/mac_types.h"

namespace platform {

class Clock {
 public:
  using TimerId = uint64_t;

  virtual ~Clock() = default;
  // Seconds since an arbitrary start; never goes back.
  virtual double now() const = 0;
  // Blocks the calling thread for `ticks` sixtieths of a second. Runs no events.
  virtual void delayTicks(unsigned long ticks) = 0;
  // Calls `fire` on the main thread after `firstDelay` seconds, then every
  // `interval` seconds (0: once). Returns a nonzero id.
  virtual TimerId addTimer(double firstDelay, double interval, std::function<void()> fire) = 0;
  virtual void removeTimer(TimerId id) = 0;
};

// The clock in force. Installing one does not take ownership.
Clock& clock();
void setClock(Clock* clock);
// Whether one is installed (null gives the steady clock back).
bool clockInstalled();

// The real clock's time and sleep: seconds on the steady clock since this clock
// was made, and delays that block the thread. Its timers are left to the clock
// built on it; the UI layer's runs them on Qt's loop.
class SteadyTimeClock : public Clock {
 public:
  double now() const override;
  void delayTicks(unsigned long ticks) override;

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Tests' clock: time moves only through delayTicks() and advance().
class ManualClock : public Clock {
 public:
  double now() const override { return now_; }
  void delayTicks(unsigned long ticks) override;
  TimerId addTimer(double firstDelay, double interval, std::function<void()> fire) override;
  void removeTimer(TimerId id) override;

  // Moves time forward by `seconds`, firing every timer that falls due, in
  // time order, each at its own due time.
  void advance(double seconds);
  // Moves time forward without firing timers or recording a delay: the time a
  // device spends on a call. Timers that fell due fire at the next advance().
  void passTime(double seconds) {
    if (seconds > 0) now_ += seconds;
  }

  // Every delay requested through delayTicks(), in ticks, in order.
  std::vector<unsigned long> delays;
  size_t timerCount() const { return timers_.size(); }
  // Due time of a timer's next firing; negative when the id is unknown.
  double nextFiring(TimerId id) const;

 private:
  struct Timer {
    double due;
    double interval;
    std::function<void()> fire;
  };
  double now_ = 0;
  TimerId nextId_ = 1;
  std::map<TimerId, Timer> timers_;
};

// Installs a ManualClock for the lifetime of the guard (tests).
class ScopedManualClock {
 public:
  ScopedManualClock();
  ~ScopedManualClock();
  ManualClock* operator->() { return &clock_; }
  ManualClock& get() { return clock_; }

 private:
  ManualClock clock_;
  Clock* previous_;
};

}  // namespace platform

// The platform's sleep: blocks for `ticks` sixtieths of a second on the clock
// seam; `finalTicks` (may be null) receives the tick count afterwards.
void Delay(unsigned long ticks, unsigned long* finalTicks);
