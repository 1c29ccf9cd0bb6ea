// Start at Login: the tray's check item writes and removes the user's
// autostart entry, shows whether the session will start the program, and
// says why when the entry cannot be written.
#include "platform/desktop/autostart.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <string>

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
  }
  void TearDown() override {
    qunsetenv("XDG_CONFIG_HOME");
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

  QTemporaryDir config;
  QString entry;
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
  EXPECT_TRUE(written.contains("\nExec=portvane --desktop\n"));
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

}  // namespace
