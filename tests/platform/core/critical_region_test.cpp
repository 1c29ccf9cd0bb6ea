#include <gtest/gtest.h>

#include <thread>

#include "platform/core/critical_region.h"

namespace {

OSStatus enterFromAnotherThread(MPCriticalRegionID region, Duration timeout) {
  OSStatus status = noErr;
  std::thread([&] {
    status = MPEnterCriticalRegion(region, timeout);
    if (status == noErr) MPExitCriticalRegion(region);
  }).join();
  return status;
}

TEST(CriticalRegion, ANullRegionIsRefusedEverywhere) {
  EXPECT_EQ(kMPInvalidIDErr, MPEnterCriticalRegion(nullptr, kDurationForever));
  EXPECT_EQ(kMPInvalidIDErr, MPExitCriticalRegion(nullptr));
  EXPECT_EQ(kMPInvalidIDErr, MPDeleteCriticalRegion(nullptr));
  EXPECT_EQ(paramErr, MPCreateCriticalRegion(nullptr));
}

TEST(CriticalRegion, TheHolderMayEnterAgainAndOthersWait) {
  MPCriticalRegionID region = nullptr;
  ASSERT_EQ(noErr, MPCreateCriticalRegion(&region));
  ASSERT_EQ(noErr, MPEnterCriticalRegion(region, kDurationForever));
  ASSERT_EQ(noErr, MPEnterCriticalRegion(region, kDurationImmediate));
  EXPECT_EQ(kMPTimeoutErr, enterFromAnotherThread(region, kDurationImmediate));
  EXPECT_EQ(kMPTimeoutErr, enterFromAnotherThread(region, 1));

  EXPECT_EQ(noErr, MPExitCriticalRegion(region));
  EXPECT_EQ(kMPTimeoutErr, enterFromAnotherThread(region, kDurationImmediate));
  EXPECT_EQ(noErr, MPExitCriticalRegion(region));
  EXPECT_EQ(noErr, enterFromAnotherThread(region, kDurationImmediate));
  EXPECT_EQ(noErr, MPDeleteCriticalRegion(region));
}

TEST(CriticalRegion, LeavingARegionOneDoesNotHoldIsAnError) {
  MPCriticalRegionID region = nullptr;
  ASSERT_EQ(noErr, MPCreateCriticalRegion(&region));
  EXPECT_EQ(paramErr, MPExitCriticalRegion(region));
  ASSERT_EQ(noErr, MPEnterCriticalRegion(region, kDurationForever));
  OSStatus fromOther = noErr;
  std::thread([&] { fromOther = MPExitCriticalRegion(region); }).join();
  EXPECT_EQ(paramErr, fromOther);
  EXPECT_EQ(noErr, MPExitCriticalRegion(region));
  EXPECT_EQ(paramErr, MPExitCriticalRegion(region));
  EXPECT_EQ(noErr, MPDeleteCriticalRegion(region));
  EXPECT_EQ(kMPInvalidIDErr, MPEnterCriticalRegion(region, kDurationImmediate));
  EXPECT_EQ(kMPInvalidIDErr, MPDeleteCriticalRegion(region));
}

}  // namespace
