// portvane-ctl through the running program: the switch's object
// (io.github.portvane.Switch1 on /io/github/portvane/Switch) under the
// program's name on the session bus. The program runs each call through its
// own switch worker and pacing, so the command line and the tray never talk
// to the switch at once.
#pragma once

#include <QString>
#include <QVariantList>
#include <string>

#include "switch/kvm_switch.h"

namespace ctl {

struct ProgramAnswer {
  // Whether a program of ours took the call: false when nobody owns the name,
  // its owner is another program, or there is no session bus.
  bool reached = false;
  // The D-Bus error's name and message; an empty name when the call was done.
  std::string error;
  std::string message;
};

// Calls a method of the interface and waits for its answer: the program
// answers once the switch has.
ProgramAnswer callProgram(const QString& method, const QVariantList& arguments = {});

// The interface's properties as the record that the status is printed from;
// false when they could not be read.
bool programSwitch(KVM_INFO* info);

}  // namespace ctl
