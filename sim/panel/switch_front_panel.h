// A small window onto a simulated switch, as its front panel would be: the two
// port buttons, the USB cable (plug / unplug), and what the switch is doing
// now, refreshed twice a second. The demo shows it so that a user can watch
// the program follow the switch.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace platform {

class SimulatedSwitch;

class SwitchFrontPanel : public QWidget {
 public:
  // The switch must outlive the panel.
  explicit SwitchFrontPanel(SimulatedSwitch& simulated, QWidget* parent = nullptr);

  // Reads the switch again (the timer does this every 500 ms).
  void refresh();

 private:
  SimulatedSwitch& switch_;
  QPushButton* plugButton_;
  QLabel* stateLabel_;
};

}  // namespace platform
