#include "app/launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/desktop/autostart.h"
#include "platform/desktop/single_instance.h"
#include "switch/kvm_switch.h"

namespace {

constexpr char kConfigFolderName[] = "portvane";

// The session starts a desktop launch in a folder of its choosing, so the hot
// keys go to the user's configuration folder: it becomes the working folder,
// where the hot-key file is read and written as from a shell.
void EnterConfigFolder() {
  const std::string parent = platform::userConfigFolder();
  const std::string folder = parent + "/" + kConfigFolderName;
  std::error_code ignored;
  std::filesystem::create_directories(parent, ignored);
  if ((::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) || ::chdir(folder.c_str()) != 0) {
    fprintf(stderr, "portvane: cannot use %s for HOTKEY.CFG: %s; the current folder is used\n", folder.c_str(),
            strerror(errno));
  }
}

bool VerboseAsked(const CommandLine& options) {
  const char* verbose = getenv("PORTVANE_VERBOSE");
  return options.verbose || (verbose && strcmp(verbose, "1") == 0);
}

}  // namespace

bool PrepareLaunch(const CommandLine& options, const char* instanceName, int* exitStatus) {
  if (instanceName) {
    switch (platform::claimSingleInstance(instanceName)) {
      case platform::InstanceStart::kFirst:
        break;
      case platform::InstanceStart::kHandedOver:
        *exitStatus = 0;
        return false;
      case platform::InstanceStart::kNoAnswer:
        *exitStatus = 1;
        return false;
    }
  }
  if (options.desktopLaunch) EnterConfigFolder();
  KVMSetPrintBlock(!options.desktopLaunch || VerboseAsked(options));
  *exitStatus = 0;
  return true;
}
