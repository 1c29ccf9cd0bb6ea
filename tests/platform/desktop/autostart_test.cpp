// Start at Login: the tray's check item writes and removes the user's
// autostart entry, shows whether the session will start the program, and
// says why when the entry cannot be written; the entry names the program that
// wrote it, by name where PATH finds it, by its absolute path otherwise, and
// GLib, as a session does, reads back that path from it.
#include "platform/desktop/autostart.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <string>
#include <vector>

#include "platform/desktop/autostart_testing.h"
#include "platform/desktop/tray.h"
#include "platform/desktop/tray_testing.h"
#include "tests/support/framework_test_app.h"
#include "tests/support/stderr_capture.h"

namespace {

class AutostartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config.isValid());
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    entry = config.path() + "/autostart/io.github.portvane.Portvane.desktop";
    path = qgetenv("PATH");
  }
  void TearDown() override {
    qunsetenv("XDG_CONFIG_HOME");
    qputenv("PATH", path);
    platform::useRunningProgramForTest("");
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(window)) delete window;
    }
  }

  // The item as the user sees it when the tray menu opens.
  QAction* item() {
    for (QAction* action : platform::openTrayMenuForTest()->actions()) {
      if (action->text() == "Start at Login") return action;
    }
    ADD_FAILURE() << "no Start at Login item";
    return nullptr;
  }

  void write(const QString& path, const QByteArray& contents) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
  }

  QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  int notices() {
    int count = 0;
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(window) && window->isVisible()) ++count;
    }
    return count;
  }

  // The program the session would run, as GLib reads the entry's Exec line
  // (a session's launcher expands the field codes, then splits as a shell).
  std::vector<std::string> execArguments() {
    GKeyFile* file = g_key_file_new();
    std::vector<std::string> arguments;
    if (g_key_file_load_from_file(file, entry.toUtf8().constData(), G_KEY_FILE_NONE, nullptr)) {
      gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
      const QByteArray expanded = QByteArray(exec ? exec : "").replace("%%", "%");
      gchar** argv = nullptr;
      if (g_shell_parse_argv(expanded.constData(), nullptr, &argv, nullptr)) {
        for (gchar** argument = argv; *argument; ++argument) arguments.emplace_back(*argument);
      }
      g_strfreev(argv);
      g_free(exec);
    }
    g_key_file_free(file);
    return arguments;
  }

  QTemporaryDir config;
  QString entry;
  QByteArray path;
};

TEST_F(AutostartTest, TheItemWritesAndRemovesTheEntryAndShowsWhatTheSessionWillDo) {
  EXPECT_EQ(entry.toStdString(), platform::autostartEntryPath());
  QAction* startAtLogin = item();
  ASSERT_TRUE(startAtLogin);
  EXPECT_TRUE(startAtLogin->isCheckable());
  EXPECT_FALSE(startAtLogin->isChecked());

  // The folder is made; the entry runs the desktop launch.
  startAtLogin->trigger();
  const QByteArray written = read(entry);
  EXPECT_TRUE(written.startsWith("[Desktop Entry]\nType=Application\nName=Portvane\n")) << written.constData();
  ASSERT_FALSE(execArguments().empty()) << written.constData();
  EXPECT_EQ("--desktop", execArguments().back());
  EXPECT_TRUE(written.contains("\nIcon=io.github.portvane.Portvane\n"));
  EXPECT_TRUE(written.contains("\nX-GNOME-Autostart-enabled=true\n"));
  EXPECT_TRUE(item()->isChecked());
  EXPECT_EQ(QStringList({"io.github.portvane.Portvane.desktop"}),
            QDir(config.path() + "/autostart").entryList(QDir::Files));

  // An entry switched off by the user or the session's settings starts nothing.
  write(entry, written + "Hidden=true\n");
  EXPECT_FALSE(item()->isChecked());
  write(entry, QByteArray(written).replace("X-GNOME-Autostart-enabled=true", "X-GNOME-Autostart-enabled=false"));
  EXPECT_FALSE(item()->isChecked());
  // Choosing the item then writes the entry afresh.
  item()->trigger();
  EXPECT_EQ(written, read(entry));
  EXPECT_TRUE(item()->isChecked());

  // Off again: only the program's own entry goes.
  write(config.path() + "/autostart/other.desktop", "[Desktop Entry]\nType=Application\nName=Other\nExec=other\n");
  item()->trigger();
  EXPECT_FALSE(QFile::exists(entry));
  EXPECT_TRUE(QFile::exists(config.path() + "/autostart/other.desktop"));
  EXPECT_FALSE(item()->isChecked());
  EXPECT_EQ(0, notices());
}

TEST_F(AutostartTest, AFolderThatCannotBeWrittenLeavesTheItemUncheckedAndSaysWhy) {
  // A file where the autostart folder should be: no entry can go there, even for root.
  write(config.path() + "/autostart", "");
  testsupport::StderrCapture capture;
  QAction* startAtLogin = item();
  ASSERT_TRUE(startAtLogin);
  startAtLogin->trigger();
  // The line is the program's; the offscreen platform may add a note of its own after the notice.
  const std::string said = capture.take();
  EXPECT_EQ("portvane: cannot write " + entry.toStdString() + ": Not a directory\n",
            said.substr(0, said.find('\n') + 1));
  EXPECT_FALSE(startAtLogin->isChecked());
  EXPECT_FALSE(item()->isChecked());
  EXPECT_EQ(1, notices());
}

TEST_F(AutostartTest, TheEntryRunsTheProgramThatWroteItByNameWhenPathFindsItAndByItsPathOtherwise) {
  const std::string self = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath().toStdString();
  QTemporaryDir bin;
  ASSERT_TRUE(bin.isValid());

  // PATH has no portvane: a build tree's program names itself.
  qputenv("PATH", bin.path().toUtf8());
  item()->trigger();
  EXPECT_EQ((std::vector<std::string>{self, "--desktop"}), execArguments());
  const QByteArray written = read(entry);
  EXPECT_TRUE(written.contains("\nExec=" + QByteArray::fromStdString(self) + " --desktop\n")) << written.constData();
  EXPECT_TRUE(written.startsWith("[Desktop Entry]\nType=Application\nName=Portvane\n"));
  EXPECT_TRUE(written.endsWith("\nIcon=io.github.portvane.Portvane\nTerminal=false\nX-GNOME-Autostart-enabled=true\n"));

  // Another program of that name on PATH is not this one.
  write(bin.path() + "/portvane", "#!/bin/sh\n");
  ASSERT_TRUE(QFile::setPermissions(bin.path() + "/portvane", QFile::ReadOwner | QFile::ExeOwner));
  item()->trigger();  // off
  item()->trigger();  // on again
  EXPECT_EQ((std::vector<std::string>{self, "--desktop"}), execArguments());

  // PATH finds this very program, through a link: by name.
  ASSERT_TRUE(QFile::remove(bin.path() + "/portvane"));
  ASSERT_EQ(0, symlink(self.c_str(), (bin.path() + "/portvane").toUtf8().constData()));
  item()->trigger();
  item()->trigger();
  EXPECT_TRUE(read(entry).contains("\nExec=portvane --desktop\n")) << read(entry).constData();
  EXPECT_EQ((std::vector<std::string>{"portvane", "--desktop"}), execArguments());

  // A path with the characters the Exec rules reserve, and a field code's '%'.
  const std::string odd = "/opt/my builds/$HOME's \"tree\"/50%/back\\slash/portvane";
  platform::useRunningProgramForTest(odd);
  item()->trigger();
  item()->trigger();
  EXPECT_TRUE(read(entry).contains(
      "\nExec=\"/opt/my builds/\\\\$HOME's \\\\\"tree\\\\\"/50%%/back\\\\\\\\slash/portvane\" --desktop\n"))
      << read(entry).constData();
  EXPECT_EQ((std::vector<std::string>{odd, "--desktop"}), execArguments());
}

}  // namespace
