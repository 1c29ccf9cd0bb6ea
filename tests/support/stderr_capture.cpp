#include "tests/support/stderr_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace testsupport {

StderrCapture::StderrCapture() {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  // A big pipe so that a chatty test cannot block on its own stderr.
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  fflush(stderr);
  savedFd_ = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  pipeRead_ = fds[0];
}

StderrCapture::~StderrCapture() {
  fflush(stderr);
  dup2(savedFd_, STDERR_FILENO);
  close(savedFd_);
  pump();
  close(pipeRead_);
  // Let a failing test still show what it printed.
  if (!pending_.empty()) (void)!write(STDERR_FILENO, pending_.data(), pending_.size());
}

void StderrCapture::pump() {
  char buf[4096];
  for (;;) {
    ssize_t n = read(pipeRead_, buf, sizeof buf);
    if (n <= 0) break;
    pending_.append(buf, size_t(n));
  }
}

std::string StderrCapture::take() {
  fflush(stderr);
  pump();
  std::string out;
  out.swap(pending_);
  return out;
}

}  // namespace testsupport
