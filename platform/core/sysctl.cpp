#include "platform/core/sysctl.h"

#include <cerrno>
#include <cstring>

int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, void* newp, size_t newlen) {
  if (!name || std::strcmp(name, "sysctl.proc_native") != 0) {
    errno = ENOENT;
    return -1;
  }
  if (newp || newlen) {
    errno = EPERM;
    return -1;
  }
  if (!oldlenp || (oldp && *oldlenp < sizeof(int))) {
    errno = ENOMEM;
    return -1;
  }
  if (oldp) {
    int native = 1;
    std::memcpy(oldp, &native, sizeof native);
  }
  *oldlenp = sizeof(int);
  return 0;
}
