#include "app/hot_keys.h"

#include <cstdio>

#include "app/dock_icon.h"
#include "app/hot_key_config.h"
#include "app/hot_keys_testing.h"
#include "platform/desktop/hot_keys.h"
#include "platform/ui/carbon_events.h"
#include "switch/kvm_access.h"

namespace {

// Slot n holds the registration of port n.
EventHotKeyRef eventHotKeyRef[2] = {nullptr, nullptr};
bool hotKeysRegistered = false;
// Slot n: why port n's key was refused at the last registration; empty when
// it was taken or not asked for.
std::string refusal[2];

// In the user's words, from the status the desktop gave for port n's key.
std::string RefusalReason(OSStatus status, int port) {
  switch (status) {
    case eventHotKeyExistsErr:
      // Both computers may have been given the same key.
      for (int other = 0; other < port; ++other) {
        if (eventHotKeyRef[other] && KVMSwitch.hotKeys[other].code == KVMSwitch.hotKeys[port].code) {
          return "computer " + std::to_string(other + 1) + " uses it already";
        }
      }
      return "another program holds it";
    case eventHotKeyInvalidErr:
      return "the keyboard has no such key";
    case eventInternalErr:
      // Neither an X grab nor the desktop portal; the portal's own line, when
      // it was asked, says why.
      return "global hot keys are not available on this desktop";
    default:
      return "the desktop refused it (error " + std::to_string(status) + ")";
  }
}

std::string Utf8FromLatin1(const std::string& text) {
  std::string utf8;
  for (const unsigned char c : text) {
    if (c < 0x80) {
      utf8 += char(c);
    } else {
      utf8 += char(0xC0 | (c >> 6));
      utf8 += char(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

int RegisteredPortCount() {
  int ports = ShownKVMInfo().portCount;
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
  for (std::string& reason : refusal) reason.clear();
  for (int n = 0; n < ports; ++n) {
    EventHotKeyID id = {UInt32(0x50434831 + n), UInt32(n + 1)};
    EventHotKeyRef ref = nullptr;
    const OSStatus status = RegisterEventHotKey(UInt32(KVMSwitch.hotKeys[n].code), controlKey | optionKey, id,
                                                GetApplicationEventTarget(), 0, &ref);
    if (status != noErr) {
      ref = nullptr;  // a refused combination stays without a hot key
      refusal[n] = RefusalReason(status, n);
      fprintf(stderr, "portvane: hot key %s\n", InactiveHotKeyNoteUtf8(n).c_str());
    }
    eventHotKeyRef[n] = ref;
  }
  hotKeysRegistered = true;
  std::string notes;
  for (int port = 0; port < 2; ++port) {
    const std::string note = InactiveHotKeyNoteUtf8(port);
    if (note.empty()) continue;
    if (!notes.empty()) notes += '\n';
    notes += note;
  }
  SetHotKeyNotes(notes);
  ShowSwitchState();
}

std::string InactiveHotKeyNote(int port) {
  if (port < 0 || port > 1 || refusal[port].empty()) return {};
  const HOT_KEY& key = KVMSwitch.hotKeys[port];
  std::string name(key.name, HotKeyNameLength(key));
  // A key captured without a character has no name of its own.
  if (name.empty()) name = "key " + std::to_string(key.code);
  return "Control+Alt+" + name + " is not active: " + refusal[port];
}

std::string InactiveHotKeyNoteUtf8(int port) { return Utf8FromLatin1(InactiveHotKeyNote(port)); }

void ForgetHotKeyRegistrations() {
  for (EventHotKeyRef& ref : eventHotKeyRef) {
    if (ref) UnregisterEventHotKey(ref);
    ref = nullptr;
  }
  for (std::string& reason : refusal) reason.clear();
  hotKeysRegistered = false;
  SetHotKeyNotes({});
}
