// The demo's front panel of a simulated switch: its port buttons, what it
// shows of the switch, and its plug button.
#include "sim/panel/switch_front_panel.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "sim/simulated_switch.h"
#include "tests/support/framework_test_app.h"

namespace {

class FrontPanelTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::resetRegistry(); }

  QPushButton* button(const char* name) { return panel.findChild<QPushButton*>(name); }
  QString stateText() { return panel.findChild<QLabel*>("stateLabel")->text(); }

  platform::FeatureReportSwitch simulated{0x10D5, 0x5500};
  platform::SwitchFrontPanel panel{simulated};
};

TEST_F(FrontPanelTest, PortButtonsSelectTheComputerOnTheSwitch) {
  EXPECT_TRUE(stateText().contains("Port: Computer 1"));
  button("computer2Button")->click();
  EXPECT_EQ(1, simulated.currentPort());
  EXPECT_TRUE(stateText().contains("Port: Computer 2"));
  button("computer1Button")->click();
  EXPECT_EQ(0, simulated.currentPort());
  // The panel's button is the switch's own: nothing goes over USB.
  EXPECT_TRUE(simulated.received().empty());
}

TEST_F(FrontPanelTest, ShowsWhatTheSwitchIsDoing) {
  simulated.plug();
  simulated.state().buzzer = false;
  simulated.state().scanPeriodSeconds = 7;
  panel.refresh();
  EXPECT_EQ("Port: Computer 1\nBuzzer: off\nAuto-scan: off\nPeriod: 7 s", stateText().toStdString());
}

TEST_F(FrontPanelTest, PlugButtonPlugsAndUnplugs) {
  simulated.plug();
  panel.refresh();
  EXPECT_EQ("Unplug", button("plugButton")->text());
  button("plugButton")->click();
  EXPECT_FALSE(simulated.plugged());
  EXPECT_TRUE(simulated.hidEntry()->terminated());
  EXPECT_EQ("Plug", button("plugButton")->text());
  EXPECT_TRUE(stateText().endsWith("Unplugged"));
  button("plugButton")->click();
  EXPECT_TRUE(simulated.plugged());
  EXPECT_FALSE(simulated.hidEntry()->terminated());
}

}  // namespace
