// The front process: the program's own serial number, whether it is in front,
// and bringing it there (raising and activating its visible windows).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <QWidget>

#include "platform/desktop/process.h"
#include "platform/desktop/process_testing.h"
#include "tests/support/framework_test_app.h"
#include "tests/support/stderr_capture.h"

namespace {

bool Same(const ProcessSerialNumber& a, const ProcessSerialNumber& b) {
  return a.highLongOfPSN == b.highLongOfPSN && a.lowLongOfPSN == b.lowLongOfPSN;
}

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::resetFrontProcessRequests();
    ASSERT_EQ(noErr, GetCurrentProcess(&ours_));
  }
  void TearDown() override { platform::simulateFrontProcess(platform::FrontProcess::asQtSays); }

  ProcessSerialNumber ours_ = {};
};

TEST_F(ProcessTest, WithoutActiveWindowAnotherProcessIsInFront) {
  // Nothing shown yet: Qt's offscreen platform has no active window to offer.
  if (QApplication::activeWindow() || QGuiApplication::applicationState() == Qt::ApplicationActive) {
    GTEST_SKIP() << "an earlier test left the application active";
  }
  ProcessSerialNumber front = {};
  ASSERT_EQ(noErr, GetFrontProcess(&front));
  EXPECT_FALSE(Same(ours_, front));
}

TEST_F(ProcessTest, OurNumberIsStableAndNamesThisProcess) {
  ProcessSerialNumber again = {};
  ASSERT_EQ(noErr, GetCurrentProcess(&again));
  EXPECT_TRUE(Same(ours_, again));
  EXPECT_EQ(UInt32(getpid()), ours_.lowLongOfPSN);
  EXPECT_EQ(paramErr, GetCurrentProcess(nullptr));
  EXPECT_EQ(paramErr, GetFrontProcess(nullptr));
  EXPECT_EQ(paramErr, SetFrontProcess(nullptr));
}

TEST_F(ProcessTest, AnotherProcessInFrontHasAnotherNumberUntilWeComeForward) {
  platform::simulateFrontProcess(platform::FrontProcess::another);
  ProcessSerialNumber front = {};
  ASSERT_EQ(noErr, GetFrontProcess(&front));
  EXPECT_FALSE(Same(ours_, front));
  EXPECT_EQ(UInt32(kNoProcess), front.lowLongOfPSN);

  EXPECT_EQ(noErr, SetFrontProcess(&ours_));
  EXPECT_EQ(1, platform::frontProcessRequests());
  ASSERT_EQ(noErr, GetFrontProcess(&front));
  EXPECT_TRUE(Same(ours_, front));
}

TEST_F(ProcessTest, OnlyOurOwnProcessCanBeBroughtForward) {
  const ProcessSerialNumber current = {0, kCurrentProcess};
  EXPECT_EQ(noErr, SetFrontProcess(&current));
  const ProcessSerialNumber stranger = {0, ours_.lowLongOfPSN + 1};
  const ProcessSerialNumber none = {0, kNoProcess};
  EXPECT_EQ(procNotFound, SetFrontProcess(&stranger));
  EXPECT_EQ(procNotFound, SetFrontProcess(&none));
  EXPECT_EQ(1, platform::frontProcessRequests());
}

TEST_F(ProcessTest, ComingForwardActivatesVisibleWindowsAndLeavesHiddenOnesHidden) {
  QWidget hidden;
  QWidget shown;
  shown.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&shown));
  if (QApplication::activeWindow()) QApplication::activeWindow()->clearFocus();

  testsupport::StderrCapture err;
  EXPECT_EQ(noErr, SetFrontProcess(&ours_));
  EXPECT_TRUE(QTest::qWaitForWindowActive(&shown));
  EXPECT_EQ("", err.take());
  EXPECT_FALSE(hidden.isVisible());

  // Qt now counts the program active: it is the front process.
  ProcessSerialNumber front = {};
  ASSERT_EQ(noErr, GetFrontProcess(&front));
  EXPECT_TRUE(Same(ours_, front));
}

}  // namespace
