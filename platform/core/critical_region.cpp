#include "platform/core/critical_region.h"

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

// The holder and its depth are kept beside the mutex so that leaving a region
// one does not hold is reported instead of corrupting the lock.
struct OpaqueMPCriticalRegionID {
  std::recursive_timed_mutex lock;
  std::mutex stateMutex;
  std::thread::id owner;
  unsigned long depth = 0;
};

namespace {

std::mutex& liveMutex() {
  static std::mutex mutex;
  return mutex;
}

// Regions created and not yet deleted; any other id is refused.
std::set<MPCriticalRegionID>& liveRegions() {
  static std::set<MPCriticalRegionID> regions;
  return regions;
}

bool isLive(MPCriticalRegionID region) {
  std::lock_guard<std::mutex> guard(liveMutex());
  return region && liveRegions().count(region) != 0;
}

bool heldByCaller(MPCriticalRegionID region) {
  std::lock_guard<std::mutex> guard(region->stateMutex);
  return region->depth > 0 && region->owner == std::this_thread::get_id();
}

}  // namespace

OSStatus MPCreateCriticalRegion(MPCriticalRegionID* criticalRegion) {
  if (!criticalRegion) return paramErr;
  MPCriticalRegionID region = new (std::nothrow) OpaqueMPCriticalRegionID;
  if (!region) {
    *criticalRegion = nullptr;
    return kMPInsufficientResourcesErr;
  }
  std::lock_guard<std::mutex> guard(liveMutex());
  liveRegions().insert(region);
  *criticalRegion = region;
  return noErr;
}

OSStatus MPDeleteCriticalRegion(MPCriticalRegionID criticalRegion) {
  if (!isLive(criticalRegion)) return kMPInvalidIDErr;
  {
    std::lock_guard<std::mutex> guard(criticalRegion->stateMutex);
    // Another thread inside the region would be left holding freed memory.
    if (criticalRegion->depth > 0 && criticalRegion->owner != std::this_thread::get_id()) return kMPInsufficientResourcesErr;
    for (; criticalRegion->depth > 0; --criticalRegion->depth) criticalRegion->lock.unlock();
  }
  {
    std::lock_guard<std::mutex> guard(liveMutex());
    liveRegions().erase(criticalRegion);
  }
  delete criticalRegion;
  return noErr;
}

OSStatus MPEnterCriticalRegion(MPCriticalRegionID criticalRegion, Duration timeout) {
  if (!isLive(criticalRegion)) return kMPInvalidIDErr;
  bool locked;
  if (timeout == kDurationForever) {
    criticalRegion->lock.lock();
    locked = true;
  } else if (timeout <= 0) {
    locked = criticalRegion->lock.try_lock();
  } else {
    locked = criticalRegion->lock.try_lock_for(std::chrono::milliseconds(timeout));
  }
  if (!locked) return kMPTimeoutErr;
  std::lock_guard<std::mutex> guard(criticalRegion->stateMutex);
  criticalRegion->owner = std::this_thread::get_id();
  ++criticalRegion->depth;
  return noErr;
}

OSStatus MPExitCriticalRegion(MPCriticalRegionID criticalRegion) {
  if (!isLive(criticalRegion)) return kMPInvalidIDErr;
  if (!heldByCaller(criticalRegion)) return paramErr;
  {
    std::lock_guard<std::mutex> guard(criticalRegion->stateMutex);
    if (--criticalRegion->depth == 0) criticalRegion->owner = std::thread::id();
  }
  criticalRegion->lock.unlock();
  return noErr;
}
