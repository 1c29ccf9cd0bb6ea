#include "platform/core/main_queue.h"

#include <deque>
#include <mutex>
#include <utility>

namespace platform {

namespace {

struct MainQueue {
  std::mutex mutex;
  std::deque<std::function<void()>> items;
  std::function<void()> waker;
};

MainQueue& mainQueue() {
  static MainQueue queue;
  return queue;
}

}  // namespace

void postToMainQueue(std::function<void()> work) {
  MainQueue& q = mainQueue();
  std::function<void()> waker;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    q.items.push_back(std::move(work));
    waker = q.waker;
  }
  // Outside the lock: the waker may post or drain itself.
  if (waker) waker();
}

size_t drainMainQueue() {
  MainQueue& q = mainQueue();
  size_t ran = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      if (q.items.empty()) break;
      work = std::move(q.items.front());
      q.items.pop_front();
    }
    if (work) work();
    ++ran;
  }
  return ran;
}

size_t pendingMainQueueItems() {
  MainQueue& q = mainQueue();
  std::lock_guard<std::mutex> lock(q.mutex);
  return q.items.size();
}

void setMainQueueWaker(std::function<void()> waker) {
  MainQueue& q = mainQueue();
  std::lock_guard<std::mutex> lock(q.mutex);
  q.waker = std::move(waker);
}

}  // namespace platform
