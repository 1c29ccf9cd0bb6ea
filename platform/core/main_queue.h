// Work for the main thread. Run-loop sources, posted events and other deferred
// work go through this one queue. When the Qt loop runs, it drains the queue;
// headless tests drain it themselves.
#pragma once

#include <cstddef>
#include <functional>

namespace platform {

void postToMainQueue(std::function<void()> work);
// Runs queued work, including work queued meanwhile, until the queue is empty.
// Returns how many items ran.
size_t drainMainQueue();
size_t pendingMainQueueItems();
// Called (from any thread) whenever work is queued; the Qt layer uses it to
// schedule a drain on its loop. Null by default.
void setMainQueueWaker(std::function<void()> waker);

}  // namespace platform
