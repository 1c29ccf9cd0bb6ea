#include "platform/core/switch_worker.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/core/clock.h"
#include "platform/core/main_queue.h"

namespace platform {

namespace {

thread_local bool inSwitchJob = false;
thread_local bool onWorkerThread = false;

void runJob(const std::function<void()>& job) {
  const bool outer = inSwitchJob;
  inSwitchJob = true;
  if (job) job();
  inSwitchJob = outer;
}

// Tests and the manual clock: the job and its follow-up at once, in the caller.
class InlineSwitchWorker : public SwitchWorker {
 public:
  void submit(SwitchJobKind, std::function<void()> job, std::function<void()> followUp) override {
    runJob(job);
    if (followUp) followUp();
  }
};

// The program: one thread, commands before reads not yet started, each kind
// in the order given.
class SwitchWorkerThread : public SwitchWorker {
 public:
  SwitchWorkerThread() : thread_([this] { run(); }) {}
  ~SwitchWorkerThread() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      commands_.clear();
      reads_.clear();
    }
    wake_.notify_one();
    thread_.join();
  }

  void submit(SwitchJobKind kind, std::function<void()> job, std::function<void()> followUp) override {
    if (inSwitchJob) {
      runJob(job);
      if (followUp) postToMainQueue(std::move(followUp));
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      (kind == SwitchJobKind::Command ? commands_ : reads_).push_back({std::move(job), std::move(followUp)});
    }
    wake_.notify_one();
  }

 private:
  struct Job {
    std::function<void()> work;
    std::function<void()> followUp;
  };

  void run() {
    onWorkerThread = true;
    for (;;) {
      Job next;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        // Idle, the thread sleeps here until work comes: no polling, no wakeups.
        wake_.wait(lock, [this] { return stopping_ || !commands_.empty() || !reads_.empty(); });
        if (stopping_) return;
        std::deque<Job>& queue = !commands_.empty() ? commands_ : reads_;
        next = std::move(queue.front());
        queue.pop_front();
      }
      runJob(next.work);
      if (next.followUp) postToMainQueue(std::move(next.followUp));
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> commands_;
  std::deque<Job> reads_;
  bool stopping_ = false;
  std::thread thread_;
};

InlineSwitchWorker& inlineWorker() {
  static InlineSwitchWorker worker;
  return worker;
}

std::atomic<SwitchWorker*> installedWorker{nullptr};
std::mutex threadMutex;
SwitchWorkerThread* workerThread = nullptr;

}  // namespace

SwitchWorker& switchWorker() {
  SwitchWorker* installed = installedWorker.load();
  return installed ? *installed : inlineWorker();
}

void submitSwitchJob(SwitchJobKind kind, std::function<void()> job, std::function<void()> followUp) {
  switchWorker().submit(kind, std::move(job), std::move(followUp));
}

void startSwitchWorkerThread() {
  std::lock_guard<std::mutex> lock(threadMutex);
  // Time that moves only when a test moves it keeps the jobs inline.
  if (workerThread || dynamic_cast<ManualClock*>(&clock())) return;
  workerThread = new SwitchWorkerThread;
  installedWorker.store(workerThread);
}

void stopSwitchWorkerThread() {
  SwitchWorkerThread* stopping = nullptr;
  {
    std::lock_guard<std::mutex> lock(threadMutex);
    stopping = workerThread;
    workerThread = nullptr;
    installedWorker.store(nullptr);
  }
  delete stopping;
}

bool onSwitchWorker() { return inSwitchJob; }

void runOnMainThread(std::function<void()> work) {
  if (!work) return;
  if (onWorkerThread) {
    postToMainQueue(std::move(work));
  } else {
    work();
  }
}

}  // namespace platform
