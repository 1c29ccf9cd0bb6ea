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
// Slot n: where port n's key stands, as the last registration or the desktop
// since left it; active when it was taken or not asked for.
platform::HotKeyState standing[2];
// Slot n: a line said port n's key was not active, so its coming back is said too.
bool saidInactive[2] = {false, false};
std::function<void()> notesWatcher;

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
      // Neither an X grab nor the desktop portal.
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

// "Control+Alt+1", with the key's name as stored (Latin-1), in UTF-8.
std::string KeyName(int port) {
  const HOT_KEY& key = KVMSwitch.hotKeys[port];
  std::string name(key.name, HotKeyNameLength(key));
  // A key captured without a character has no name of its own.
  if (name.empty()) name = "key " + std::to_string(key.code);
  return "Control+Alt+" + Utf8FromLatin1(name);
}

// The note without the key's name: "is not active: ..."; empty when active.
std::string Standing(const platform::HotKeyState& state) {
  using platform::HotKeyStanding;
  switch (state.standing) {
    case HotKeyStanding::kActive:
      return {};
    case HotKeyStanding::kWaiting:
      return "is waiting for the desktop to bind it";
    case HotKeyStanding::kElsewhere:
      return "is not active: the desktop bound " + state.detail + " instead";
    case HotKeyStanding::kRefused:
      return "is not active: " + state.detail;
    case HotKeyStanding::kRetrying:
      return "is not active yet: " + state.detail + "; trying again";
  }
  return {};
}

// The line on standard error for port n's key when its standing changed:
// none while waiting, and "active" only after a line said it was not.
void SayStanding(int port) {
  const platform::HotKeyState& state = standing[port];
  if (state.standing == platform::HotKeyStanding::kWaiting) return;
  if (state.standing == platform::HotKeyStanding::kActive) {
    if (saidInactive[port]) fprintf(stderr, "portvane: hot key %s is active\n", KeyName(port).c_str());
    saidInactive[port] = false;
    return;
  }
  fprintf(stderr, "portvane: hot key %s %s\n", KeyName(port).c_str(), Standing(state).c_str());
  saidInactive[port] = true;
}

void ShowNotes() {
  std::string notes;
  for (int port = 0; port < 2; ++port) {
    const std::string note = HotKeyNote(port);
    if (note.empty()) continue;
    if (!notes.empty()) notes += '\n';
    notes += note;
  }
  SetHotKeyNotes(notes);
  ShowSwitchState();
}

// The desktop's later word on a key.
void StandingChanged(EventHotKeyRef ref) {
  for (int port = 0; port < 2; ++port) {
    if (!ref || eventHotKeyRef[port] != ref) continue;
    const platform::HotKeyState state = platform::hotKeyStanding(ref);
    if (state.standing == standing[port].standing && state.detail == standing[port].detail) return;
    standing[port] = state;
    SayStanding(port);
    ShowNotes();
    if (notesWatcher) notesWatcher();
    return;
  }
}

}  // namespace

void RegisterHotKeys() {
  platform::setHotKeyStandingListener(StandingChanged);
  const int ports = RegisteredPortCount();
  if (hotKeysRegistered) {
    for (int n = 0; n < ports; ++n) {
      if (eventHotKeyRef[n]) UnregisterEventHotKey(eventHotKeyRef[n]);
      // A slot let go of must not be let go of again by the next save.
      eventHotKeyRef[n] = nullptr;
    }
    hotKeysRegistered = false;
  }
  for (platform::HotKeyState& state : standing) state = {};
  for (int n = 0; n < ports; ++n) {
    EventHotKeyID id = {UInt32(0x50434831 + n), UInt32(n + 1)};
    EventHotKeyRef ref = nullptr;
    const OSStatus status = RegisterEventHotKey(UInt32(KVMSwitch.hotKeys[n].code), controlKey | optionKey, id,
                                                GetApplicationEventTarget(), 0, &ref);
    if (status != noErr) {
      ref = nullptr;  // a refused combination stays without a hot key
      standing[n] = {platform::HotKeyStanding::kRefused, RefusalReason(status, n)};
      fprintf(stderr, "portvane: hot key %s\n", HotKeyNote(n).c_str());
      saidInactive[n] = true;
    } else {
      standing[n] = platform::hotKeyStanding(ref);
      saidInactive[n] = false;
    }
    eventHotKeyRef[n] = ref;
  }
  hotKeysRegistered = true;
  ShowNotes();
}

std::string HotKeyNote(int port) {
  if (port < 0 || port > 1) return {};
  const std::string standingNote = Standing(standing[port]);
  if (standingNote.empty()) return {};
  return KeyName(port) + " " + standingNote;
}

void WatchHotKeyNotes(std::function<void()> changed) { notesWatcher = std::move(changed); }

void ForgetHotKeyRegistrations() {
  for (EventHotKeyRef& ref : eventHotKeyRef) {
    if (ref) UnregisterEventHotKey(ref);
    ref = nullptr;
  }
  for (platform::HotKeyState& state : standing) state = {};
  for (bool& said : saidInactive) said = false;
  hotKeysRegistered = false;
  SetHotKeyNotes({});
}
