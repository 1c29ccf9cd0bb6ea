#include "app/hot_keys.h"

#include "platform/desktop/hot_keys.h"
#include "platform/ui/carbon_events.h"
#include "switch/kvm_switch.h"

namespace {

// Slot n holds the registration of port n.
EventHotKeyRef eventHotKeyRef[2] = {nullptr, nullptr};
bool hotKeysRegistered = false;

int RegisteredPortCount() {
  int ports = KVMSwitch.info.portCount;
  return ports < 0 ? 0 : ports > 2 ? 2 : ports;
}

}  // namespace

void RegisterHotKeys() {
  const int ports = RegisteredPortCount();
  if (hotKeysRegistered) {
    for (int n = 0; n < ports; ++n) {
      if (eventHotKeyRef[n]) UnregisterEventHotKey(eventHotKeyRef[n]);
      // A slot let go of must not be let go of again by the next save.
      eventHotKeyRef[n] = nullptr;
    }
    hotKeysRegistered = false;
  }
  for (int n = 0; n < ports; ++n) {
    EventHotKeyID id = {UInt32(0x50434831 + n), UInt32(n + 1)};
    EventHotKeyRef ref = nullptr;
    if (RegisterEventHotKey(UInt32(KVMSwitch.hotKeys[n].code), controlKey | optionKey, id,
                            GetApplicationEventTarget(), 0, &ref) != noErr) {
      ref = nullptr;  // a refused combination stays without a hot key
    }
    eventHotKeyRef[n] = ref;
  }
  hotKeysRegistered = true;
}

void ForgetHotKeyRegistrations() {
  for (EventHotKeyRef& ref : eventHotKeyRef) {
    if (ref) UnregisterEventHotKey(ref);
    ref = nullptr;
  }
  hotKeysRegistered = false;
}
