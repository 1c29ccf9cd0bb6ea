// How the program starts, run as real processes (the launch probe, and
// portvane itself as a second start) with private runtime and configuration
// folders: where HOTKEY.CFG lives for a desktop launch and from a shell,
// whether the per-poll line is printed, and one instance per user, including
// a lock left behind by a killed first instance.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

#include "tests/support/framework_test_app.h"

namespace {

// Only for a process that never comes: a test that passes waits far less.
constexpr int kGiveUpMilliseconds = 60000;
constexpr char kBlockLine[] = "USB Buffer Info: ";

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    // QTemporaryDir makes the folder 0700, as a runtime folder must be.
    ASSERT_TRUE(QDir(root.path()).mkpath("runtime"));
    ASSERT_TRUE(QFile::setPermissions(path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ASSERT_TRUE(QDir(root.path()).mkpath("shell"));
  }

  QString path(const QString& name) const { return root.path() + "/" + name; }

  // A start in the folder "shell" with the test's own folders; not yet run.
  std::unique_ptr<QProcess> start(const QString& program, const QStringList& arguments,
                                  const QStringList& environment = {}) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", path("runtime"));
    env.insert("XDG_CONFIG_HOME", path("config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("PORTVANE_VERBOSE");
    // In a sanitizer build, leaks are the unit tests' to find: at exit the
    // desktop's own libraries (fontconfig) leave blocks behind that would turn
    // the exit status.
    const QString asan = env.value("ASAN_OPTIONS");
    env.insert("ASAN_OPTIONS", (asan.isEmpty() ? QString() : asan + ":") + "detect_leaks=0");
    for (const QString& setting : environment) env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(path("shell"));
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // What the program says is on standard error; a wait for output waits for that.
    process->setReadChannel(QProcess::StandardError);
    process->start(program, arguments);
    return process;
  }

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

  QTemporaryDir root;
};

// Reads the process's standard error into `seen` until it holds `line`.
bool waitForLine(QProcess& process, QByteArray& seen, const QByteArray& line) {
  QDeadlineTimer deadline(kGiveUpMilliseconds);
  while (!seen.contains(line)) {
    if (!process.waitForReadyRead(int(deadline.remainingTime()))) {
      seen += process.readAllStandardError();
      return seen.contains(line);
    }
    seen += process.readAllStandardError();
  }
  return true;
}

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
  ASSERT_TRUE(waitForLine(*first, firstSaid, "probe: running\n")) << firstSaid.constData();
  EXPECT_FALSE(firstSaid.contains("probe: shown")) << firstSaid.constData();

  // The program itself, started again from a shell.
  auto second = start(PORTVANE_PROGRAM, {});
  ASSERT_TRUE(second->waitForFinished(kGiveUpMilliseconds));
  EXPECT_EQ(QProcess::NormalExit, second->exitStatus());
  EXPECT_EQ(0, second->exitCode());
  EXPECT_EQ("portvane: already running; opened its settings\n", second->readAllStandardError());
  EXPECT_TRUE(second->readAllStandardOutput().isEmpty());
  EXPECT_TRUE(waitForLine(*first, firstSaid, "probe: shown Preferences\n")) << firstSaid.constData();

  // A crash leaves the lock file and the socket behind; the next start runs all the same.
  first->kill();
  ASSERT_TRUE(first->waitForFinished(kGiveUpMilliseconds));
  ASSERT_TRUE(QFileInfo::exists(path("runtime/io.github.portvane.Portvane.lock")));
  auto next = start(PORTVANE_LAUNCH_PROBE, {"--desktop"});
  QByteArray nextSaid;
  EXPECT_TRUE(waitForLine(*next, nextSaid, "probe: running\n")) << nextSaid.constData();
  EXPECT_FALSE(nextSaid.contains("already running")) << nextSaid.constData();

  // And it is the one a further start finds.
  auto another = start(PORTVANE_LAUNCH_PROBE, {});
  ASSERT_TRUE(another->waitForFinished(kGiveUpMilliseconds));
  EXPECT_EQ(0, another->exitCode());
  EXPECT_EQ("portvane: already running; opened its settings\n", another->readAllStandardError());
  EXPECT_TRUE(waitForLine(*next, nextSaid, "probe: shown Preferences\n")) << nextSaid.constData();
  next->kill();
  next->waitForFinished(kGiveUpMilliseconds);
}

}  // namespace
