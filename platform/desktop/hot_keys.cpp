#include "platform/desktop/hot_keys.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <X11/keysym.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/hot_keys_testing.h"
#include "platform/desktop/portal_shortcuts.h"
#include "platform/ui/key_codes.h"

namespace platform {
namespace {

// The modifiers a hot key can ask for, in X's terms; lock states are not among them.
constexpr uint16_t kHotKeyModifierMask =
    XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

uint16_t xModifiers(UInt32 modifiers) {
  uint16_t mask = 0;
  if (modifiers & controlKey) mask |= XCB_MOD_MASK_CONTROL;
  if (modifiers & optionKey) mask |= XCB_MOD_MASK_1;
  if (modifiers & shiftKey) mask |= XCB_MOD_MASK_SHIFT;
  if (modifiers & cmdKey) mask |= XCB_MOD_MASK_4;
  return mask;
}

struct Registration {
  uintptr_t serial;
  UInt32 code;
  UInt32 modifiers;
  EventHotKeyID id;
  EventTargetRef target;
  // Set while the X server holds the grab for us.
  bool grabbed = false;
  xcb_keycode_t keycode = 0;
  uint16_t xMask = 0;
};

void postPress(const Registration& registration) {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassKeyboard, kEventHotKeyPressed, GetCurrentEventTime(), kEventAttributeNone,
                  &event) != noErr) {
    return;
  }
  SetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, sizeof registration.id, &registration.id);
  postEventToTarget(event, registration.target);
  ReleaseEvent(event);
}

// One connection to the X server, its key map and the watch on its socket.
class XKeyboard {
 public:
  // Null when the server cannot be reached; nothing is printed.
  static std::unique_ptr<XKeyboard> open(const char* display) {
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    if (xcb_connection_has_error(connection)) {
      xcb_disconnect(connection);
      return nullptr;
    }
    std::unique_ptr<XKeyboard> keyboard(new XKeyboard(connection));
    if (!keyboard->symbols_ || !keyboard->root_) return nullptr;
    return keyboard;
  }

  ~XKeyboard() {
    // Possibly from within the notifier's own signal: stop it now, delete it later.
    if (notifier_) {
      notifier_->setEnabled(false);
      notifier_->deleteLater();
    }
    if (symbols_) xcb_key_symbols_free(symbols_);
    xcb_disconnect(connection_);
  }

  bool broken() const { return xcb_connection_has_error(connection_) != 0; }

  // 0 when no key of the keyboard produces the keysym.
  xcb_keycode_t keycodeFor(UInt32 keysym) {
    xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols_, keysym);
    const xcb_keycode_t code = codes ? codes[0] : 0;
    free(codes);
    return code;
  }

  // The key with the modifiers, under every combination of Caps Lock and Num Lock.
  OSStatus grab(xcb_keycode_t keycode, uint16_t mask) {
    bool refused = false;
    bool failed = false;
    for (uint16_t locks : lockCombinations()) {
      xcb_void_cookie_t cookie = xcb_grab_key_checked(connection_, 1, root_, mask | locks, keycode,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
      if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
        // BadAccess: another client holds the combination.
        (error->error_code == XCB_ACCESS ? refused : failed) = true;
        free(error);
      }
    }
    if (refused || failed || broken()) {
      ungrab(keycode, mask);
      return refused ? OSStatus(eventHotKeyExistsErr) : OSStatus(eventInternalErr);
    }
    readEvents();
    return noErr;
  }

  void ungrab(xcb_keycode_t keycode, uint16_t mask) {
    for (uint16_t locks : lockCombinations()) xcb_ungrab_key(connection_, keycode, root_, mask | locks);
    // Wait until the server has let go, so that the key is free for others
    // when the caller goes on.
    free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

  // Handles what the server sent; returns false when the connection broke.
  bool readEvents();

 private:
  explicit XKeyboard(xcb_connection_t* connection) : connection_(connection) {
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (screens.rem) root_ = screens.data->root;
    symbols_ = xcb_key_symbols_alloc(connection_);
    numLockMask_ = findNumLockMask();
    notifier_ = new QSocketNotifier(xcb_get_file_descriptor(connection_), QSocketNotifier::Read,
                                    QCoreApplication::instance());
    QObject::connect(notifier_.data(), &QSocketNotifier::activated, notifier_.data(), [] { serviceConnection(); });
  }

  // Num Lock sits on whichever modifier the server's map puts it on (usually Mod2).
  uint16_t findNumLockMask() {
    const xcb_keycode_t numLock = keycodeFor(XK_Num_Lock);
    if (!numLock) return 0;
    xcb_get_modifier_mapping_reply_t* reply =
        xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
    if (!reply) return 0;
    uint16_t mask = 0;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply);
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8 && !mask; ++modifier) {
      for (int k = 0; k < perModifier; ++k) {
        if (codes[modifier * perModifier + k] == numLock) mask = uint16_t(1u << modifier);
      }
    }
    free(reply);
    return mask == XCB_MOD_MASK_LOCK ? 0 : mask;
  }

  std::vector<uint16_t> lockCombinations() const {
    std::vector<uint16_t> combinations = {0, XCB_MOD_MASK_LOCK};
    if (numLockMask_) {
      combinations.push_back(numLockMask_);
      combinations.push_back(uint16_t(numLockMask_ | XCB_MOD_MASK_LOCK));
    }
    return combinations;
  }

  void keyPressed(const xcb_key_press_event_t* press);

  static void serviceConnection();

  xcb_connection_t* connection_;
  xcb_window_t root_ = 0;
  xcb_key_symbols_t* symbols_ = nullptr;
  uint16_t numLockMask_ = 0;
  QPointer<QSocketNotifier> notifier_;
  // The server's auto-repeat sends a release and a press with one time stamp.
  xcb_keycode_t lastReleased_ = 0;
  xcb_timestamp_t lastReleaseTime_ = 0;
};

struct HotKeys {
  std::vector<Registration> registrations;
  uintptr_t nextSerial = 1;
  bool simulated = false;
  std::optional<std::string> display;
  std::unique_ptr<XKeyboard> x;
  // Set while the key is bound through the desktop portal.
  std::vector<uintptr_t> portalSerials;
  std::function<void(EventHotKeyRef)> standingListener;
};

HotKeys& hotKeys() {
  static HotKeys state;
  return state;
}

// The server went away: its grabs went with it.
void dropConnection() {
  HotKeys& state = hotKeys();
  for (Registration& registration : state.registrations) registration.grabbed = false;
  state.x.reset();
}

void XKeyboard::serviceConnection() {
  HotKeys& state = hotKeys();
  if (state.x && !state.x->readEvents()) dropConnection();
}

bool XKeyboard::readEvents() {
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    switch (event->response_type & 0x7F) {
      case XCB_KEY_PRESS:
        keyPressed(reinterpret_cast<xcb_key_press_event_t*>(event));
        break;
      case XCB_KEY_RELEASE: {
        auto* release = reinterpret_cast<xcb_key_release_event_t*>(event);
        lastReleased_ = release->detail;
        lastReleaseTime_ = release->time;
        break;
      }
      case XCB_MAPPING_NOTIFY:
        xcb_refresh_keyboard_mapping(symbols_, reinterpret_cast<xcb_mapping_notify_event_t*>(event));
        break;
      default:
        break;
    }
    free(event);
  }
  return !broken();
}

void XKeyboard::keyPressed(const xcb_key_press_event_t* press) {
  if (press->detail == lastReleased_ && press->time == lastReleaseTime_) return;  // held down
  const uint16_t mask = press->state & kHotKeyModifierMask;
  for (const Registration& registration : hotKeys().registrations) {
    if (registration.grabbed && registration.keycode == press->detail && registration.xMask == mask) {
      postPress(registration);
      return;
    }
  }
}

// The application's X server, if it has one; its fd is watched on the Qt loop,
// so there must be an application object.
XKeyboard* keyboard() {
  HotKeys& state = hotKeys();
  if (state.x && state.x->broken()) dropConnection();
  if (state.x) return state.x.get();
  if (!QCoreApplication::instance()) return nullptr;
  if (state.display) {
    state.x = XKeyboard::open(state.display->c_str());
    return state.x.get();
  }
  const char* display = getenv("DISPLAY");
  if (!display || !*display) return nullptr;
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
  } else {
    const QByteArray qpa = qgetenv("QT_QPA_PLATFORM");
    if (!qpa.isEmpty() && !qpa.startsWith("xcb")) return nullptr;
  }
  state.x = XKeyboard::open(display);
  return state.x.get();
}

EventHotKeyRef refOf(uintptr_t serial) { return reinterpret_cast<EventHotKeyRef>(serial); }

bool throughPortal(uintptr_t serial) {
  const std::vector<uintptr_t>& serials = hotKeys().portalSerials;
  return std::find(serials.begin(), serials.end(), serial) != serials.end();
}

// The portal's news of a key still registered, passed on as its reference.
void portalStandingChanged(uintptr_t serial) {
  HotKeys& state = hotKeys();
  if (throughPortal(serial) && state.standingListener) state.standingListener(refOf(serial));
}

}  // namespace

HotKeyState hotKeyStanding(EventHotKeyRef ref) {
  const uintptr_t serial = reinterpret_cast<uintptr_t>(ref);
  if (throughPortal(serial)) return portalShortcutStanding(serial);
  return {};
}

void setHotKeyStandingListener(std::function<void(EventHotKeyRef)> changed) {
  hotKeys().standingListener = std::move(changed);
}

std::vector<RegisteredHotKey> registeredHotKeys() {
  std::vector<RegisteredHotKey> keys;
  for (const Registration& registration : hotKeys().registrations) {
    keys.push_back({registration.code, registration.modifiers, registration.id});
  }
  return keys;
}

bool simulateHotKeyPress(UInt32 code, UInt32 modifiers) {
  for (const Registration& registration : hotKeys().registrations) {
    if (registration.code == code && registration.modifiers == modifiers) {
      postPress(registration);
      return true;
    }
  }
  return false;
}

void useSimulatedHotKeys(bool on) { hotKeys().simulated = on; }

void useHotKeyDisplay(const std::string& display) {
  dropConnection();
  if (display.empty()) {
    hotKeys().display.reset();
  } else {
    hotKeys().display = display;
  }
}

}  // namespace platform

OSStatus RegisterEventHotKey(UInt32 inHotKeyCode, UInt32 inHotKeyModifiers, EventHotKeyID inHotKeyID,
                             EventTargetRef inTarget, OptionBits, EventHotKeyRef* outRef) {
  using namespace platform;
  if (!outRef || !inTarget) return paramErr;
  *outRef = nullptr;
  HotKeys& state = hotKeys();
  for (const Registration& registration : state.registrations) {
    if (registration.code == inHotKeyCode && registration.modifiers == inHotKeyModifiers) {
      return eventHotKeyExistsErr;
    }
  }
  const UInt32 keysym = keysymForVirtualKeyCode(inHotKeyCode);
  if (keysym == kNoKeysym) return eventHotKeyInvalidErr;

  Registration registration{state.nextSerial, inHotKeyCode, inHotKeyModifiers, inHotKeyID, inTarget};
  if (!state.simulated && !state.display && portalStandsIn()) {
    const OSStatus status = portalAddShortcut(registration.serial, inHotKeyCode, inHotKeyModifiers, inHotKeyID,
                                              [registration] { postPress(registration); });
    if (status != noErr) return status;
    setPortalStandingListener(portalStandingChanged);
    state.portalSerials.push_back(registration.serial);
  } else if (!state.simulated) {
    XKeyboard* x = keyboard();
    if (!x) return eventInternalErr;
    registration.keycode = x->keycodeFor(keysym);
    if (!registration.keycode) return eventHotKeyInvalidErr;
    registration.xMask = xModifiers(inHotKeyModifiers);
    // Two codes on one physical key would share one grab.
    for (const Registration& other : state.registrations) {
      if (other.grabbed && other.keycode == registration.keycode && other.xMask == registration.xMask) {
        return eventHotKeyExistsErr;
      }
    }
    if (const OSStatus status = x->grab(registration.keycode, registration.xMask); status != noErr) {
      if (x->broken()) dropConnection();
      return status;
    }
    registration.grabbed = true;
  }
  ++state.nextSerial;
  state.registrations.push_back(registration);
  *outRef = refOf(registration.serial);
  return noErr;
}

OSStatus UnregisterEventHotKey(EventHotKeyRef inHotKey) {
  using namespace platform;
  HotKeys& state = hotKeys();
  auto it = std::find_if(state.registrations.begin(), state.registrations.end(),
                         [&](const Registration& r) { return refOf(r.serial) == inHotKey; });
  if (!inHotKey || it == state.registrations.end()) return paramErr;
  if (it->grabbed && state.x && !state.x->broken()) state.x->ungrab(it->keycode, it->xMask);
  if (throughPortal(it->serial)) {
    std::erase(state.portalSerials, it->serial);
    portalRemoveShortcut(it->serial);
  }
  state.registrations.erase(it);
  return noErr;
}
