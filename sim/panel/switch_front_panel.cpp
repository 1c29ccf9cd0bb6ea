#include "sim/panel/switch_front_panel.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "sim/simulated_switch.h"

namespace platform {

namespace {

constexpr int kRefreshMilliseconds = 500;

QString onOff(bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); }

}  // namespace

SwitchFrontPanel::SwitchFrontPanel(SimulatedSwitch& simulated, QWidget* parent)
    : QWidget(parent), switch_(simulated), plugButton_(new QPushButton(this)), stateLabel_(new QLabel(this)) {
  setWindowTitle(QStringLiteral("Simulated switch"));
  auto* layout = new QGridLayout(this);
  for (int port = 0; port < 2; ++port) {
    auto* button = new QPushButton(QStringLiteral("Computer %1").arg(port + 1), this);
    button->setObjectName(QStringLiteral("computer%1Button").arg(port + 1));
    connect(button, &QPushButton::clicked, this, [this, port] {
      switch_.pressPortButton(port);
      refresh();
    });
    layout->addWidget(button, 0, port);
  }
  plugButton_->setObjectName(QStringLiteral("plugButton"));
  connect(plugButton_, &QPushButton::clicked, this, [this] {
    if (switch_.plugged()) {
      switch_.unplug();
    } else {
      switch_.plug();
    }
    refresh();
  });
  layout->addWidget(plugButton_, 1, 0, 1, 2);
  stateLabel_->setObjectName(QStringLiteral("stateLabel"));
  layout->addWidget(stateLabel_, 2, 0, 1, 2);

  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, &SwitchFrontPanel::refresh);
  timer->start(kRefreshMilliseconds);
  refresh();
}

void SwitchFrontPanel::refresh() {
  const SimSwitchState state = switch_.snapshot();
  plugButton_->setText(switch_.plugged() ? QStringLiteral("Unplug") : QStringLiteral("Plug"));
  stateLabel_->setText(QStringLiteral("Port: Computer %1\nBuzzer: %2\nAuto-scan: %3\nPeriod: %4 s%5")
                           .arg(state.port + 1)
                           .arg(onOff(state.buzzer), onOff(state.autoScan))
                           .arg(state.scanPeriodSeconds)
                           .arg(switch_.plugged() ? QString() : QStringLiteral("\nUnplugged")));
}

}  // namespace platform
