// Test-only: the program that Start at Login names.
#pragma once

#include <string>

namespace platform {

// The entry is written as if the running program were the file at `path`;
// an empty path goes back to this process's own.
void useRunningProgramForTest(const std::string& path);

}  // namespace platform
