// The switch on the session bus, as the program serves it: what each property
// of io.github.portvane.Switch1 reads from what the interface shows
// (ShownKVMInfo), what each method does as a switch job (through the same
// worker and pacing as the tray's commands), the values each method refuses
// and the text of each error. The D-Bus side is platform/desktop/switch_service.h.
#pragma once

#include "platform/desktop/switch_service.h"
#include "switch/kvm_switch.h"

// The properties as `info` gives them; with no switch attached, the values
// that say none. A switch whose last read failed stays attached while it is
// still watched: the next good read puts it back in use.
platform::SwitchBusState SwitchBusStateOf(const KVM_INFO& info);

// Puts the methods and properties in place and announces changes after
// every switch job. Once, at start-up, after the switch record's lock exists.
void InstallSwitchBus();
