// What the fuzz targets share: the input read byte by byte as a device's
// answers, a clock whose waits take no time, and the one way a target stops
// the run when the program broke a promise.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>

#include "platform/core/clock.h"

namespace fuzzing {

// Names what went wrong (seen when a reproducer is run by hand) and stops the
// run with a crash the fuzzer records.
[[noreturn]] inline void fail(const char* target, const char* what) {
  fprintf(stderr, "%s: %s\n", target, what);
  __builtin_trap();
}

// The fuzz input, consumed from the front. Past its end every byte is 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), left_(size) {}

  bool empty() const { return left_ == 0; }
  size_t left() const { return left_; }
  uint8_t byte() {
    if (left_ == 0) return 0;
    --left_;
    return *data_++;
  }
  // Copies up to `n` bytes to `out`; returns how many there were.
  size_t take(void* out, size_t n) {
    n = std::min(n, left_);
    if (n > 0) memcpy(out, data_, n);
    data_ += n;
    left_ -= n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t left_;
};

// The switch's pacing waits are real time in the program; here they pass at once.
class InstantClock : public platform::Clock {
 public:
  double now() const override { return 0; }
  void delayTicks(unsigned long) override {}
  TimerId addTimer(double, double, std::function<void()>) override { return ++lastTimer_; }
  void removeTimer(TimerId) override {}

 private:
  TimerId lastTimer_ = 0;
};

}  // namespace fuzzing
