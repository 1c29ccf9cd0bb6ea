// The switch worker seam: where the switch's I/O runs. The protocol paces
// itself by sleeping before each request, and a switch that does not answer
// holds a request for the kernel's 5 seconds, so none of it may run on the
// interface thread. Each job runs after every job given before it (a command
// goes ahead of reads not yet started); its follow-up, which brings the
// interface up to date, runs on the main thread afterwards. The program runs
// the jobs on a thread of their own; tests and the manual clock run them
// inline, so that they see the same bytes, delays and lines in the same order.
#pragma once

#include <functional>

namespace platform {

enum class SwitchJobKind {
  // Reads the switch; may wait behind commands given after it.
  Read,
  // Changes the switch; waits for no more than the read already under way.
  Command,
};

class SwitchWorker {
 public:
  virtual ~SwitchWorker() = default;
  // Queues `job`, and `followUp` (may be empty) for the main thread once it
  // has run. From a job itself, the job runs at once, as it already holds the
  // worker, and its follow-up goes to the main thread.
  virtual void submit(SwitchJobKind kind, std::function<void()> job, std::function<void()> followUp) = 0;
};

// The worker in force: the inline one unless the program started the thread.
SwitchWorker& switchWorker();
// Shorthand for switchWorker().submit(...).
void submitSwitchJob(SwitchJobKind kind, std::function<void()> job, std::function<void()> followUp = {});

// Starts the program's worker thread and makes it the one in force; an idle
// worker waits without waking. Does nothing when it already runs, or under a
// ManualClock (the jobs stay inline).
void startSwitchWorkerThread();
// Lets the job under way finish, drops those not yet started (a switch that
// does not answer would hold each for the kernel's 5 seconds), and goes back
// to the inline worker. For the end of the run.
void stopSwitchWorkerThread();
// Whether the calling thread is running a switch job now.
bool onSwitchWorker();
// Runs `work` on the main thread: at once when called there, or from a job of
// the inline worker; posted to the main queue from the worker's thread.
void runOnMainThread(std::function<void()> work);

}  // namespace platform
