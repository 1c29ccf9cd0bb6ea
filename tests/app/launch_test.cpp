// How the program starts, run as real processes (the launch probe, and
// portvane itself as a second start) with private runtime and configuration
// folders and no session bus: where HOTKEY.CFG lives for a desktop launch and
// from a shell, whether the per-poll line is printed, and one instance per
// user through the lock file, including a lock left behind by a killed first
// instance. bus_test.cpp has the same with a session bus.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <memory>

#include "tests/support/framework_test_app.h"
#include "tests/support/program_processes.h"

namespace {

using testsupport::kGiveUpMilliseconds;
using testsupport::WaitForLine;

constexpr char kBlockLine[] = "USB Buffer Info: ";

// No session bus: one instance through the lock file and the socket.
class LaunchTest : public ::testing::Test, protected testsupport::ProgramProcesses {
 protected:
  void SetUp() override { ASSERT_TRUE(prepare()); }

  // A probe that quits once its event loop runs: everything it printed.
  QByteArray runToEnd(const QStringList& arguments, const QStringList& environment = {}) {
    QStringList settings = environment;
    settings << "PORTVANE_PROBE_QUIT=1";
    auto probe = start(PORTVANE_LAUNCH_PROBE, arguments, settings);
    EXPECT_TRUE(probe->waitForFinished(kGiveUpMilliseconds));
    const QByteArray output = probe->readAllStandardError();
    EXPECT_EQ(0, probe->exitCode()) << output.constData();
    return output;
  }
};

TEST_F(LaunchTest, ADesktopLaunchKeepsTheHotKeysInTheConfigFolderAndLeavesTheBlockLineOut) {
  const QByteArray output = runToEnd({"--desktop"});
  const QFileInfo folder(path("config/portvane"));
  ASSERT_TRUE(folder.isDir());
  struct stat status {};
  ASSERT_EQ(0, stat(qPrintable(folder.filePath()), &status));
  EXPECT_EQ(0700u, status.st_mode & 0777);
  EXPECT_EQ(80, QFileInfo(path("config/portvane/HOTKEY.CFG")).size());
  EXPECT_FALSE(QFileInfo::exists(path("shell/HOTKEY.CFG")));
  // The switch was attached and read; its block is not shown.
  EXPECT_TRUE(output.contains("HIDDeviceAdded: Found device info with vendorID=0x10D5")) << output.constData();
  EXPECT_FALSE(output.contains(kBlockLine)) << output.constData();

  // Asked for, by option or by the environment, the line is printed.
  EXPECT_TRUE(runToEnd({"--desktop", "--verbose"}).contains(kBlockLine));
  EXPECT_TRUE(runToEnd({"--desktop"}, {"PORTVANE_VERBOSE=1"}).contains(kBlockLine));
  // The hot keys that were there are read again, not replaced.
  EXPECT_EQ(80, QFileInfo(path("config/portvane/HOTKEY.CFG")).size());
  EXPECT_FALSE(QFileInfo::exists(path("shell/HOTKEY.CFG")));
}

TEST_F(LaunchTest, FromAShellTheHotKeysStayInTheCurrentFolderAndEveryLineIsPrinted) {
  const QByteArray output = runToEnd({});
  EXPECT_EQ(80, QFileInfo(path("shell/HOTKEY.CFG")).size());
  EXPECT_FALSE(QFileInfo::exists(path("config/portvane")));
  EXPECT_TRUE(output.contains(kBlockLine)) << output.constData();
}

TEST_F(LaunchTest, AConfigFolderThatCannotBeMadeLeavesTheHotKeysInTheCurrentFolder) {
  ASSERT_TRUE(QDir(root.path()).mkpath("config"));
  QFile inTheWay(path("config/portvane"));
  ASSERT_TRUE(inTheWay.open(QIODevice::WriteOnly));
  inTheWay.close();

  const QByteArray output = runToEnd({"--desktop"});
  const QByteArray line = "portvane: cannot use " + path("config/portvane").toUtf8() +
                          " for HOTKEY.CFG: Not a directory; the current folder is used\n";
  EXPECT_TRUE(output.startsWith(line)) << output.constData();
  EXPECT_EQ(80, QFileInfo(path("shell/HOTKEY.CFG")).size());
  EXPECT_EQ(0, QFileInfo(path("config/portvane")).size());
}

TEST_F(LaunchTest, ASecondStartOpensTheFirstOnesSettingsAndAKilledFirstLeavesNoLockInTheWay) {
  auto first = start(PORTVANE_LAUNCH_PROBE, {"--desktop"});
  QByteArray firstSaid;
  ASSERT_TRUE(WaitForLine(*first, firstSaid, "probe: running\n")) << firstSaid.constData();
  EXPECT_FALSE(firstSaid.contains("probe: shown")) << firstSaid.constData();

  // The program itself, started again from a shell.
  auto second = start(PORTVANE_PROGRAM, {});
  ASSERT_TRUE(second->waitForFinished(kGiveUpMilliseconds));
  EXPECT_EQ(QProcess::NormalExit, second->exitStatus());
  EXPECT_EQ(0, second->exitCode());
  EXPECT_EQ("portvane: already running; opened its settings\n", second->readAllStandardError());
  EXPECT_TRUE(second->readAllStandardOutput().isEmpty());
  EXPECT_TRUE(WaitForLine(*first, firstSaid, "probe: shown Preferences\n")) << firstSaid.constData();

  // A crash leaves the lock file and the socket behind; the next start runs all the same.
  first->kill();
  ASSERT_TRUE(first->waitForFinished(kGiveUpMilliseconds));
  ASSERT_TRUE(QFileInfo::exists(path("runtime/io.github.portvane.Portvane.lock")));
  auto next = start(PORTVANE_LAUNCH_PROBE, {"--desktop"});
  QByteArray nextSaid;
  EXPECT_TRUE(WaitForLine(*next, nextSaid, "probe: running\n")) << nextSaid.constData();
  EXPECT_FALSE(nextSaid.contains("already running")) << nextSaid.constData();

  // And it is the one a further start finds.
  auto another = start(PORTVANE_LAUNCH_PROBE, {});
  ASSERT_TRUE(another->waitForFinished(kGiveUpMilliseconds));
  EXPECT_EQ(0, another->exitCode());
  EXPECT_EQ("portvane: already running; opened its settings\n", another->readAllStandardError());
  EXPECT_TRUE(WaitForLine(*next, nextSaid, "probe: shown Preferences\n")) << nextSaid.constData();
  next->kill();
  next->waitForFinished(kGiveUpMilliseconds);
}

}  // namespace
