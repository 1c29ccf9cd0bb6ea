// Multiprocessing critical regions: a re-entrant lock identified by an opaque handle.
#pragma once

#include "platform/core/mac_types.h"

typedef struct OpaqueMPCriticalRegionID* MPCriticalRegionID;

constexpr Duration kDurationForever = 0x7FFFFFFF;
constexpr Duration kDurationImmediate = 0;

enum : OSStatus {
  kMPTimeoutErr = -29290,
  kMPInvalidIDErr = -29292,
  kMPInsufficientResourcesErr = -29294,
};

OSStatus MPCreateCriticalRegion(MPCriticalRegionID* criticalRegion);
OSStatus MPDeleteCriticalRegion(MPCriticalRegionID criticalRegion);
// Waits at most `timeout` milliseconds (kDurationForever: without limit).
// A null region gives kMPInvalidIDErr.
OSStatus MPEnterCriticalRegion(MPCriticalRegionID criticalRegion, Duration timeout);
OSStatus MPExitCriticalRegion(MPCriticalRegionID criticalRegion);
