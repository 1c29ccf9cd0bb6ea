// Captures what the code under test writes to standard error, byte for byte,
// including lines without a line end.
#pragma once

#include <string>

namespace testsupport {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  // Everything written since the capture began (or since the last take()).
  std::string take();

 private:
  int savedFd_;
  int pipeRead_;
  std::string pending_;
  void pump();
};

}  // namespace testsupport
