#include "app/command_line.h"

#include <cstdio>
#include <cstring>

namespace {

void PrintUsage(FILE* to, const char* program) {
  fprintf(to, "Usage: %s [--desktop] [--verbose] [--help] [--version]\n", program);
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(int argc, char* argv[], const char* program, int* exitStatus) {
  CommandLine options;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--desktop") == 0) {
      options.desktopLaunch = true;
    } else if (strcmp(argv[i], "--verbose") == 0) {
      options.verbose = true;
    } else if (strcmp(argv[i], "--help") == 0) {
      PrintUsage(stdout, program);
      *exitStatus = 0;
      return std::nullopt;
    } else if (strcmp(argv[i], "--version") == 0) {
      printf("%s 0.1\n", program);
      *exitStatus = 0;
      return std::nullopt;
    } else {
      PrintUsage(stderr, program);
      *exitStatus = 2;
      return std::nullopt;
    }
  }
  *exitStatus = 0;
  return options;
}
