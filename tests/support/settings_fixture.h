// The settings dialog under test: a working directory of its own, simulated
// hot keys, the default keys in the switch record, and a fresh dialog for
// every test.
#pragma once

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include "platform/desktop/hot_keys.h"
#include "platform/desktop/hot_keys_testing.h"
#include "platform/ui/windows.h"
#include "settings/main_window.h"
#include "tests/support/discovery_fixture.h"

namespace testsupport {

class SettingsTest : public DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    ASSERT_TRUE(directory_.isValid());
    previousDirectory_ = QDir::currentPath();
    QDir::setCurrent(directory_.path());
    platform::useSimulatedHotKeys(true);
    // The toolkit's own notes (the offscreen platform cannot raise a window)
    // are not the program's diagnostics.
    previousHandler_ = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    KVMSwitch.hotKeys[0] = {18, "1"};
    KVMSwitch.hotKeys[1] = {19, "2"};
  }
  void TearDown() override {
    delete pOurWindow;
    EXPECT_EQ(nullptr, pOurWindow);
    platform::drainMainQueue();
    QDir::setCurrent(previousDirectory_);
    qInstallMessageHandler(previousHandler_);
    DiscoveryTest::TearDown();
  }

  void Attach(platform::SimulatedSwitch& sw) {
    sw.plug();
    StartMatching();
    ASSERT_EQ(2, KVMSwitch.info.state);
    err_.take();
  }
  static ControlRef C(const ControlID& id) { return pOurWindow->GetView(id); }
  static void Click(const ControlID& id) {
    QTest::mouseClick(platform::controlWidget(C(id)), Qt::LeftButton);
    platform::drainMainQueue();
  }
  // Clicks the dialog's button with this object name.
  static void Press(const char* button) {
    QTest::mouseClick(platform::windowWidget(pOurWindow->GetWindowRef())->findChild<QWidget*>(button),
                      Qt::LeftButton);
    platform::drainMainQueue();
  }

  QTemporaryDir directory_;
  QString previousDirectory_;
  QtMessageHandler previousHandler_ = nullptr;
};

}  // namespace testsupport
