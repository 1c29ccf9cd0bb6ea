// portvane-ctl: the command line's entry. A core application only: nothing
// here draws, so no display or platform plugin is needed.
#include <QCoreApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "ctl/portvane_ctl.h"

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  std::vector<std::string> arguments(argv + 1, argv + argc);
  ctl::Result result = ctl::run(arguments);
  fwrite(result.out.data(), 1, result.out.size(), stdout);
  fflush(stdout);
  fwrite(result.err.data(), 1, result.err.size(), stderr);
  return result.status;
}
