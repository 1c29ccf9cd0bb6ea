#include "platform/ui/windows.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/ui/key_codes.h"
#include "platform/ui/menus.h"

struct OpaqueControlRef {
  QPointer<QWidget> widget;
  WindowRef window = nullptr;
  ControlID id{};
  EventTargetRef target = nullptr;
  bool enabled = true;
  bool active = true;
  // Value range of controls whose widget keeps no value of its own.
  SInt32 value = 0;
  SInt32 minimum = 0;
  SInt32 maximum = 0;
  MenuRef popupMenu = nullptr;
};

struct OpaqueWindowPtr {
  QPointer<QWidget> widget;
  EventTargetRef target = nullptr;
  std::vector<std::unique_ptr<OpaqueControlRef>> controls;  // the root view first
  std::map<std::pair<PropertyCreator, PropertyTag>, std::vector<uint8_t>> properties;
  QString alternateTitle;
  ControlRef defaultButton = nullptr;
  ControlRef cancelButton = nullptr;
  bool disposing = false;
  std::unique_ptr<QObject> events;
};

namespace {

// Never destroyed: windows still open at exit stay reachable.
std::vector<WindowRef>& liveWindows() {
  static auto& windows = *new std::vector<WindowRef>;
  return windows;
}

std::set<ControlRef>& liveControls() {
  static auto& controls = *new std::set<ControlRef>;
  return controls;
}

bool isLive(WindowRef window) {
  auto& windows = liveWindows();
  return window && std::find(windows.begin(), windows.end(), window) != windows.end();
}

bool isLive(ControlRef control) { return control && liveControls().count(control) != 0; }

QWidget* widgetOf(ControlRef control) { return isLive(control) ? control->widget.data() : nullptr; }

// Depth of synchronous deliveries from inside a widget's own event handling;
// a window disposed of meanwhile is deleted later, not under Qt's feet.
int syncDeliveries = 0;

WindowRef windowOfWidget(const QWidget* widget) {
  for (WindowRef window : liveWindows()) {
    if (window->widget == widget) return window;
  }
  return nullptr;
}

EventTargetRef focusTarget() {
  WindowRef window = windowOfWidget(QApplication::activeWindow());
  return window ? window->target : nullptr;
}

void postWindowEvent(WindowRef window, UInt32 kind, const UInt32* attributes = nullptr) {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassWindow, kind, GetCurrentEventTime(), kEventAttributeUserEvent, &event) != noErr) {
    return;
  }
  SetEventParameter(event, kEventParamDirectObject, typeWindowRef, sizeof window, &window);
  if (attributes) SetEventParameter(event, kEventParamAttributes, typeUInt32, sizeof *attributes, attributes);
  platform::postEventToTarget(event, window->target);
  ReleaseEvent(event);
}

void postCommand(ControlRef control, MenuCommand command) {
  HICommandExtended record{};
  record.attributes = kHICommandFromControl;
  record.commandID = command;
  record.source.control = control;
  platform::postCommandEvent(record, control->target);
}

void postControlHit(ControlRef control, ControlPartCode part) {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassControl, kEventControlHit, GetCurrentEventTime(), kEventAttributeUserEvent,
                  &event) != noErr) {
    return;
  }
  SetEventParameter(event, kEventParamDirectObject, typeControlRef, sizeof control, &control);
  SetEventParameter(event, kEventParamControlPart, typeControlPartCode, sizeof part, &part);
  platform::postEventToTarget(event, control->target);
  ReleaseEvent(event);
  // A control that carries a command also sends it, after the hit.
  if (MenuCommand command = platform::commandProperty(control->widget)) postCommand(control, command);
}

UInt32 modifierBits(Qt::KeyboardModifiers modifiers) {
  UInt32 bits = 0;
  if (modifiers & Qt::MetaModifier) bits |= 1u << 8;      // cmdKey
  if (modifiers & Qt::ShiftModifier) bits |= 1u << 9;     // shiftKey
  if (modifiers & Qt::AltModifier) bits |= 1u << 11;      // optionKey
  if (modifiers & Qt::ControlModifier) bits |= 1u << 12;  // controlKey
  return bits;
}

// True when a handler took the key.
bool sendRawKeyDown(ControlRef control, const QKeyEvent* key) {
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassKeyboard, key->isAutoRepeat() ? kEventRawKeyRepeat : kEventRawKeyDown,
                  GetCurrentEventTime(), kEventAttributeUserEvent, &event) != noErr) {
    return false;
  }
  const UInt32 code = platform::virtualKeyCode(key);
  const UInt32 modifiers = modifierBits(key->modifiers());
  const QByteArray text = key->text().toLatin1();
  const char character = text.isEmpty() ? 0 : text.at(0);
  SetEventParameter(event, kEventParamKeyCode, typeUInt32, sizeof code, &code);
  SetEventParameter(event, kEventParamKeyMacCharCodes, typeChar, 1, &character);
  SetEventParameter(event, kEventParamKeyModifiers, typeUInt32, sizeof modifiers, &modifiers);
  ++syncDeliveries;
  const OSStatus status = SendEventToEventTarget(event, control->target);
  --syncDeliveries;
  ReleaseEvent(event);
  return status == noErr;
}

// What the user does to a window and its controls, turned into the platform's events.
class WindowEvents : public QObject {
 public:
  explicit WindowEvents(WindowRef window) : window_(window) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_->widget) return windowEvent(event);
    if (event->type() == QEvent::KeyPress) {
      for (const auto& control : window_->controls) {
        if (control->widget == watched && qobject_cast<QLineEdit*>(watched)) {
          auto* key = static_cast<QKeyEvent*>(event);
          // Escape leaves a dialog wherever the focus is, as on every Linux
          // desktop; a field never sees it while the window has a cancel button.
          if (key->key() == Qt::Key_Escape && clickButton(window_->cancelButton)) return true;
          return sendRawKeyDown(control.get(), key);
        }
      }
    }
    return false;
  }

 private:
  bool windowEvent(QEvent* event) {
    if (window_->disposing) return false;
    switch (event->type()) {
      case QEvent::Close:
        // The close box asks; the window's handlers (or the default
        // handling, which disposes of the window) decide.
        event->ignore();
        postWindowEvent(window_, kEventWindowClose);
        return true;
      case QEvent::WindowActivate:
        postWindowEvent(window_, kEventWindowActivated);
        return false;
      case QEvent::WindowDeactivate:
        postWindowEvent(window_, kEventWindowDeactivated);
        return false;
      case QEvent::Move: {
        const UInt32 bits = kWindowBoundsChangeOriginChanged;
        postWindowEvent(window_, kEventWindowBoundsChanged, &bits);
        return false;
      }
      case QEvent::Resize: {
        const UInt32 bits = kWindowBoundsChangeSizeChanged;
        postWindowEvent(window_, kEventWindowBoundsChanged, &bits);
        return false;
      }
      case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        ControlRef button = nullptr;
        if (key->key() == Qt::Key_Escape) button = window_->cancelButton;
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) button = window_->defaultButton;
        if (clickButton(button)) return true;
        // A dialog would otherwise close itself on Escape behind the platform's back.
        return key->key() == Qt::Key_Escape;
      }
      default:
        return false;
    }
  }

  // True when `control` is a button of the window's, clicked if it is usable.
  static bool clickButton(ControlRef control) {
    auto* button = qobject_cast<QAbstractButton*>(widgetOf(control));
    if (!button) return false;
    if (button->isEnabled()) button->click();
    return true;
  }

  WindowRef window_;
};

OSStatus closeBoxDefault(EventTargetRef, EventRef event) {
  if (GetEventClass(event) != kEventClassWindow || GetEventKind(event) != kEventWindowClose) {
    return eventNotHandledErr;
  }
  WindowRef window = nullptr;
  if (GetEventParameter(event, kEventParamDirectObject, typeWindowRef, nullptr, sizeof window, nullptr, &window) !=
          noErr ||
      !isLive(window)) {
    return eventNotHandledErr;
  }
  DisposeWindow(window);
  return noErr;
}

bool isControlWidget(QWidget* widget) {
  if (widget->property("controlSignature").isValid() || widget->property("controlID").isValid()) return true;
  return qobject_cast<QAbstractButton*>(widget) || qobject_cast<QComboBox*>(widget) ||
         qobject_cast<QLineEdit*>(widget) || qobject_cast<QGroupBox*>(widget) || qobject_cast<QLabel*>(widget);
}

// Widgets that are the inner parts of another control, or of a menu bar.
bool isInnerPart(QWidget* widget, QWidget* window) {
  for (QWidget* parent = widget->parentWidget(); parent && parent != window; parent = parent->parentWidget()) {
    if (qobject_cast<QComboBox*>(parent) || qobject_cast<QLineEdit*>(parent) ||
        qobject_cast<QAbstractSpinBox*>(parent) || qobject_cast<QMenuBar*>(parent) || qobject_cast<QMenu*>(parent)) {
      return true;
    }
  }
  return qobject_cast<QMenuBar*>(widget) || qobject_cast<QMenu*>(widget);
}

ControlID controlIDOf(const QWidget* widget) {
  ControlID id{};
  const QByteArray signature = widget->property("controlSignature").toString().toLatin1();
  if (signature.size() == 4) {
    id.signature = (OSType(uint8_t(signature[0])) << 24) | (OSType(uint8_t(signature[1])) << 16) |
                   (OSType(uint8_t(signature[2])) << 8) | OSType(uint8_t(signature[3]));
  }
  id.id = widget->property("controlID").toInt();
  return id;
}

ControlRef addControl(WindowRef window, QWidget* widget) {
  auto control = std::make_unique<OpaqueControlRef>();
  ControlRef ref = control.get();
  ref->widget = widget;
  ref->window = window;
  ref->id = controlIDOf(widget);
  ref->target = platform::newEventTarget(window->target);
  window->controls.push_back(std::move(control));
  liveControls().insert(ref);

  if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    ref->popupMenu = platform::newPopupMenu(combo);
    QObject::connect(combo, &QComboBox::activated, combo, [ref](int) { postControlHit(ref, kControlMenuPart); });
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    const ControlPartCode part =
        qobject_cast<QCheckBox*>(widget) || qobject_cast<QRadioButton*>(widget) ? kControlCheckBoxPart
                                                                                : kControlButtonPart;
    QObject::connect(button, &QAbstractButton::clicked, button, [ref, part](bool) { postControlHit(ref, part); });
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    QObject::connect(group, &QGroupBox::clicked, group, [ref](bool) { postControlHit(ref, kControlCheckBoxPart); });
  } else if (qobject_cast<QLineEdit*>(widget)) {
    widget->installEventFilter(window->events.get());
  }
  return ref;
}

// The widget's own value and range, where it has them.
SInt32 nativeValue(ControlRef control, bool* native) {
  *native = true;
  QWidget* widget = control->widget;
  if (auto* button = qobject_cast<QAbstractButton*>(widget); button && button->isCheckable()) {
    return button->isChecked() ? 1 : 0;
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentIndex() + 1;
  *native = false;
  return control->value;
}

void rangeOf(ControlRef control, SInt32* minimum, SInt32* maximum) {
  QWidget* widget = control->widget;
  if (auto* button = qobject_cast<QAbstractButton*>(widget); button && button->isCheckable()) {
    *minimum = 0;
    *maximum = 1;
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    *minimum = 0;
    *maximum = combo->count();
  } else {
    *minimum = control->minimum;
    *maximum = control->maximum;
  }
}

void applyUsable(ControlRef control) {
  if (control->widget) control->widget->setEnabled(control->enabled && control->active);
}

QString textOf(QWidget* widget, bool* supported) {
  *supported = true;
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
  *supported = false;
  return {};
}

QString qstringOf(CFStringRef string) {
  QString text;
  const CFIndex length = CFStringGetLength(string);
  for (CFIndex i = 0; i < length; ++i) text.append(QChar(CFStringGetCharacterAtIndex(string, i)));
  return text;
}

CFStringRef cfstringOf(const QString& text) {
  return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(text.utf16()), text.size());
}

}  // namespace

// ---- Windows

namespace platform {

WindowRef newWindowFromWidget(QWidget* widget) {
  if (!widget) return nullptr;
  ensureApplication();
  setFocusTargetProvider(focusTarget);
  auto* window = new OpaqueWindowPtr;
  window->widget = widget;
  window->target = newEventTarget(GetApplicationEventTarget());
  setDefaultEventHandler(window->target, closeBoxDefault);
  window->events = std::make_unique<WindowEvents>(window);
  liveWindows().push_back(window);

  addControl(window, widget);  // the root view
  for (QWidget* child : widget->findChildren<QWidget*>()) {
    if (isControlWidget(child) && !isInnerPart(child, widget)) addControl(window, child);
  }
  // The push button that sends the cancel command answers Escape until
  // SetWindowCancelButton names another, as a dialog's Cancel does on Linux.
  for (const auto& control : window->controls) {
    if (qobject_cast<QPushButton*>(control->widget) && commandProperty(control->widget) == kHICommandCancel) {
      window->cancelButton = control.get();
      break;
    }
  }
  widget->installEventFilter(window->events.get());
  attachMenuBar(widget);
  return window;
}

QWidget* windowWidget(WindowRef window) { return isLive(window) ? window->widget.data() : nullptr; }
QWidget* controlWidget(ControlRef control) { return widgetOf(control); }
size_t windowCount() { return liveWindows().size(); }
WindowRef windowAt(size_t index) { return index < liveWindows().size() ? liveWindows()[index] : nullptr; }

}  // namespace platform

OSStatus CreateNewWindow(WindowClass windowClass, WindowAttributes, const Rect* contentBounds, WindowRef* outWindow) {
  if (!outWindow) return paramErr;
  *outWindow = nullptr;
  if (!contentBounds || contentBounds->right < contentBounds->left || contentBounds->bottom < contentBounds->top) {
    return paramErr;
  }
  platform::ensureApplication();
  auto* widget = new QWidget(nullptr, windowClass == kFloatingWindowClass ? Qt::Tool : Qt::Window);
  widget->setGeometry(contentBounds->left, contentBounds->top, contentBounds->right - contentBounds->left,
                      contentBounds->bottom - contentBounds->top);
  *outWindow = platform::newWindowFromWidget(widget);
  return noErr;
}

void DisposeWindow(WindowRef window) {
  if (!isLive(window) || window->disposing) return;
  window->disposing = true;
  EventRef event = nullptr;
  if (CreateEvent(nullptr, kEventClassWindow, kEventWindowDispose, GetCurrentEventTime(), kEventAttributeNone,
                  &event) == noErr) {
    SetEventParameter(event, kEventParamDirectObject, typeWindowRef, sizeof window, &window);
    SendEventToEventTarget(event, window->target);
    ReleaseEvent(event);
  }
  for (const auto& control : window->controls) {
    platform::disposeEventTarget(control->target);
    if (control->popupMenu) DisposeMenu(control->popupMenu);
    liveControls().erase(control.get());
  }
  platform::disposeEventTarget(window->target);
  std::erase(liveWindows(), window);
  if (QWidget* widget = window->widget) {
    widget->removeEventFilter(window->events.get());
    widget->hide();
    if (syncDeliveries > 0) {
      widget->deleteLater();
    } else {
      delete widget;
    }
  }
  delete window;
}

void ShowWindow(WindowRef window) {
  if (QWidget* widget = platform::windowWidget(window)) widget->show();
}

void HideWindow(WindowRef window) {
  if (QWidget* widget = platform::windowWidget(window)) widget->hide();
}

void SelectWindow(WindowRef window) {
  if (QWidget* widget = platform::windowWidget(window)) {
    widget->raise();
    if (widget->isVisible()) widget->activateWindow();
  }
}

Boolean IsWindowVisible(WindowRef window) {
  QWidget* widget = platform::windowWidget(window);
  return widget && widget->isVisible();
}

OSStatus RepositionWindow(WindowRef window, WindowRef, WindowPositionMethod method) {
  QWidget* widget = platform::windowWidget(window);
  if (!widget) return errInvalidWindowRef;
  if (method != kWindowCenterOnMainScreen) return paramErr;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    widget->adjustSize();
    QRect frame = widget->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    widget->move(frame.topLeft());
  }
  return noErr;
}

EventTargetRef GetWindowEventTarget(WindowRef window) { return isLive(window) ? window->target : nullptr; }

CGrafPtr GetWindowPort(WindowRef window) {
  return isLive(window) ? reinterpret_cast<CGrafPtr>(window->widget.data()) : nullptr;
}

OSStatus SetWindowProperty(WindowRef window, PropertyCreator creator, PropertyTag tag, ByteCount size,
                           const void* buffer) {
  if (!isLive(window)) return errInvalidWindowRef;
  if (size > 0 && !buffer) return paramErr;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  window->properties[{creator, tag}].assign(bytes, bytes + size);
  return noErr;
}

OSStatus GetWindowProperty(WindowRef window, PropertyCreator creator, PropertyTag tag, ByteCount bufferSize,
                           ByteCount* actualSize, void* buffer) {
  if (!isLive(window)) return errInvalidWindowRef;
  auto it = window->properties.find({creator, tag});
  if (it == window->properties.end()) return errWindowPropertyNotFound;
  if (actualSize) *actualSize = it->second.size();
  if (buffer && !it->second.empty()) std::memcpy(buffer, it->second.data(), std::min<size_t>(bufferSize, it->second.size()));
  return noErr;
}

OSStatus RemoveWindowProperty(WindowRef window, PropertyCreator creator, PropertyTag tag) {
  if (!isLive(window)) return errInvalidWindowRef;
  return window->properties.erase({creator, tag}) ? noErr : errWindowPropertyNotFound;
}

OSStatus SetWindowTitleWithCFString(WindowRef window, CFStringRef title) {
  QWidget* widget = platform::windowWidget(window);
  if (!widget) return errInvalidWindowRef;
  if (!title) return paramErr;
  widget->setWindowTitle(qstringOf(title));
  return noErr;
}

OSStatus CopyWindowTitleAsCFString(WindowRef window, CFStringRef* outTitle) {
  if (!outTitle) return paramErr;
  *outTitle = nullptr;
  QWidget* widget = platform::windowWidget(window);
  if (!widget) return errInvalidWindowRef;
  *outTitle = cfstringOf(widget->windowTitle());
  return *outTitle ? noErr : memFullErr;
}

OSStatus SetWindowAlternateTitle(WindowRef window, CFStringRef title) {
  if (!isLive(window)) return errInvalidWindowRef;
  window->alternateTitle = title ? qstringOf(title) : QString();
  return noErr;
}

OSStatus CopyWindowAlternateTitle(WindowRef window, CFStringRef* outTitle) {
  if (!outTitle) return paramErr;
  *outTitle = nullptr;
  if (!isLive(window)) return errInvalidWindowRef;
  *outTitle = cfstringOf(window->alternateTitle);
  return *outTitle ? noErr : memFullErr;
}

OSStatus SetWindowBounds(WindowRef window, WindowRegionCode regionCode, const Rect* bounds) {
  QWidget* widget = platform::windowWidget(window);
  if (!widget) return errInvalidWindowRef;
  if (!bounds || bounds->right < bounds->left || bounds->bottom < bounds->top) return paramErr;
  const int width = bounds->right - bounds->left;
  const int height = bounds->bottom - bounds->top;
  if (regionCode == kWindowStructureRgn) {
    // The outer bounds include the frame the window system draws.
    const QRect frame = widget->frameGeometry();
    const QRect content = widget->geometry();
    widget->move(bounds->left, bounds->top);
    widget->resize(std::max(0, width - (frame.width() - content.width())),
                   std::max(0, height - (frame.height() - content.height())));
  } else if (regionCode == kWindowContentRgn) {
    widget->setGeometry(bounds->left, bounds->top, width, height);
  } else {
    return paramErr;
  }
  return noErr;
}

OSStatus GetWindowBounds(WindowRef window, WindowRegionCode regionCode, Rect* bounds) {
  QWidget* widget = platform::windowWidget(window);
  if (!widget) return errInvalidWindowRef;
  if (!bounds) return paramErr;
  QRect rect;
  if (regionCode == kWindowStructureRgn) {
    rect = widget->frameGeometry();
  } else if (regionCode == kWindowContentRgn) {
    rect = widget->geometry();
  } else {
    return paramErr;
  }
  *bounds = Rect{short(rect.top()), short(rect.left()), short(rect.top() + rect.height()),
                 short(rect.left() + rect.width())};
  return noErr;
}

OSStatus InvalWindowRgn(WindowRef window, RgnHandle) {
  QWidget* widget = platform::windowWidget(window);
  if (!widget) return errInvalidWindowRef;
  widget->update();
  return noErr;
}

OSStatus InvalWindowRect(WindowRef window, const Rect* bounds) {
  QWidget* widget = platform::windowWidget(window);
  if (!widget) return errInvalidWindowRef;
  if (!bounds) return paramErr;
  widget->update(bounds->left, bounds->top, bounds->right - bounds->left, bounds->bottom - bounds->top);
  return noErr;
}

// Qt repaints what it needs by itself; nothing stays invalid to be validated.
OSStatus ValidWindowRgn(WindowRef window, RgnHandle) { return isLive(window) ? noErr : errInvalidWindowRef; }
OSStatus ValidWindowRect(WindowRef window, const Rect*) { return isLive(window) ? noErr : errInvalidWindowRef; }

OSStatus SetWindowDefaultButton(WindowRef window, ControlRef control) {
  if (!isLive(window)) return errInvalidWindowRef;
  if (control && (!isLive(control) || control->window != window)) return errUnknownControl;
  if (auto* old = qobject_cast<QPushButton*>(widgetOf(window->defaultButton))) old->setDefault(false);
  window->defaultButton = control;
  if (auto* button = qobject_cast<QPushButton*>(widgetOf(control))) button->setDefault(true);
  return noErr;
}

OSStatus SetWindowCancelButton(WindowRef window, ControlRef control) {
  if (!isLive(window)) return errInvalidWindowRef;
  if (control && (!isLive(control) || control->window != window)) return errUnknownControl;
  window->cancelButton = control;
  return noErr;
}

OSStatus GetWindowDefaultButton(WindowRef window, ControlRef* outControl) {
  if (!outControl) return paramErr;
  *outControl = isLive(window) ? window->defaultButton : nullptr;
  return isLive(window) ? noErr : errInvalidWindowRef;
}

OSStatus GetWindowCancelButton(WindowRef window, ControlRef* outControl) {
  if (!outControl) return paramErr;
  *outControl = isLive(window) ? window->cancelButton : nullptr;
  return isLive(window) ? noErr : errInvalidWindowRef;
}

WindowRef ActiveNonFloatingWindow() { return windowOfWidget(QApplication::activeWindow()); }

OSStatus GetWindowActivationScope(WindowRef window, WindowActivationScope* outScope) {
  if (!outScope) return paramErr;
  if (!isLive(window)) return errInvalidWindowRef;
  *outScope = window->widget && (window->widget->windowFlags() & Qt::Tool) == Qt::Tool
                  ? kWindowActivationScopeIndependent
                  : kWindowActivationScopeAll;
  return noErr;
}

OSStatus AdvanceKeyboardFocus(WindowRef window) {
  QWidget* root = platform::windowWidget(window);
  if (!root) return errInvalidWindowRef;
  QWidget* start = root->focusWidget() ? root->focusWidget() : root;
  for (QWidget* next = start->nextInFocusChain(); next && next != start; next = next->nextInFocusChain()) {
    if (next != root && root->isAncestorOf(next) && (next->focusPolicy() & Qt::TabFocus) && next->isEnabled() &&
        next->isVisibleTo(root)) {
      next->setFocus(Qt::TabFocusReason);
      return noErr;
    }
  }
  return noErr;
}

// ---- Controls and views

OSStatus GetControlByID(WindowRef window, const ControlID* id, ControlRef* outControl) {
  if (outControl) *outControl = nullptr;
  if (!isLive(window)) return errInvalidWindowRef;
  if (!id || !outControl) return paramErr;
  for (const auto& control : window->controls) {
    if (control->id.signature == id->signature && control->id.id == id->id) {
      *outControl = control.get();
      return noErr;
    }
  }
  return errUnknownControl;
}

OSStatus GetControlID(ControlRef control, ControlID* outId) {
  if (!isLive(control) || !outId) return paramErr;
  *outId = control->id;
  return noErr;
}

OSStatus SetControlID(ControlRef control, const ControlID* id) {
  if (!isLive(control) || !id) return paramErr;
  control->id = *id;
  return noErr;
}

WindowRef GetControlOwner(ControlRef control) { return isLive(control) ? control->window : nullptr; }
EventTargetRef GetControlEventTarget(ControlRef control) { return isLive(control) ? control->target : nullptr; }

HIViewRef HIViewGetRoot(WindowRef window) { return isLive(window) ? window->controls.front().get() : nullptr; }

OSStatus HIViewFindByID(HIViewRef startView, HIViewID id, HIViewRef* outView) {
  if (outView) *outView = nullptr;
  if (!isLive(startView) || !outView) return paramErr;
  QWidget* start = startView->widget;
  for (const auto& control : startView->window->controls) {
    if (control.get() == startView || control->id.signature != id.signature || control->id.id != id.id) continue;
    if (start && control->widget && start->isAncestorOf(control->widget)) {
      *outView = control.get();
      return noErr;
    }
  }
  return errHIViewNotFound;
}

OSStatus EnableControl(ControlRef control) {
  if (!isLive(control)) return paramErr;
  control->enabled = true;
  applyUsable(control);
  return noErr;
}

OSStatus DisableControl(ControlRef control) {
  if (!isLive(control)) return paramErr;
  control->enabled = false;
  applyUsable(control);
  return noErr;
}

Boolean IsControlEnabled(ControlRef control) { return isLive(control) && control->enabled; }

OSStatus ActivateControl(ControlRef control) {
  if (!isLive(control)) return paramErr;
  control->active = true;
  applyUsable(control);
  return noErr;
}

OSStatus DeactivateControl(ControlRef control) {
  if (!isLive(control)) return paramErr;
  control->active = false;
  applyUsable(control);
  return noErr;
}

Boolean IsControlActive(ControlRef control) { return isLive(control) && control->active; }

void ShowControl(ControlRef control) {
  if (QWidget* widget = widgetOf(control)) widget->setVisible(true);
}

void HideControl(ControlRef control) {
  if (QWidget* widget = widgetOf(control)) widget->setVisible(false);
}

Boolean IsControlVisible(ControlRef control) {
  QWidget* widget = widgetOf(control);
  return widget && !widget->isHidden();
}

SInt32 GetControl32BitValue(ControlRef control) {
  if (!widgetOf(control)) return 0;
  bool native;
  return nativeValue(control, &native);
}

void SetControl32BitValue(ControlRef control, SInt32 value) {
  QWidget* widget = widgetOf(control);
  if (!widget) return;
  SInt32 minimum, maximum;
  rangeOf(control, &minimum, &maximum);
  value = std::clamp(value, minimum, std::max(minimum, maximum));
  if (auto* button = qobject_cast<QAbstractButton*>(widget); button && button->isCheckable()) {
    button->setChecked(value == 1);
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    combo->setCurrentIndex(value - 1);
  } else {
    control->value = value;
  }
}

SInt16 GetControlValue(ControlRef control) { return SInt16(GetControl32BitValue(control)); }
void SetControlValue(ControlRef control, SInt16 value) { SetControl32BitValue(control, value); }

SInt32 GetControl32BitMinimum(ControlRef control) {
  if (!widgetOf(control)) return 0;
  SInt32 minimum, maximum;
  rangeOf(control, &minimum, &maximum);
  return minimum;
}

SInt32 GetControl32BitMaximum(ControlRef control) {
  if (!widgetOf(control)) return 0;
  SInt32 minimum, maximum;
  rangeOf(control, &minimum, &maximum);
  return maximum;
}

void SetControl32BitMinimum(ControlRef control, SInt32 minimum) {
  if (!widgetOf(control)) return;
  control->minimum = minimum;
  control->value = std::max(control->value, minimum);
}

void SetControl32BitMaximum(ControlRef control, SInt32 maximum) {
  if (!widgetOf(control)) return;
  control->maximum = maximum;
  control->value = std::min(control->value, maximum);
}

OSStatus SetControlData(ControlRef control, ControlPartCode, ResType tag, Size size, const void* data) {
  QWidget* widget = widgetOf(control);
  if (!widget) return paramErr;
  if (size < 0 || (size > 0 && !data)) return paramErr;
  if (tag == kControlStaticTextCFStringTag) {
    auto* label = qobject_cast<QLabel*>(widget);
    if (!label) return errDataNotSupported;
    if (size != Size(sizeof(CFStringRef))) return paramErr;
    CFStringRef string = nullptr;
    std::memcpy(&string, data, sizeof string);
    // At most four bytes of UTF-8 for each character, and the terminator.
    std::vector<char> utf8(size_t(CFStringGetLength(string)) * 4 + 1);
    if (!string || !CFStringGetCString(string, utf8.data(), CFIndex(utf8.size()), kCFStringEncodingUTF8)) {
      return paramErr;
    }
    label->setText(QString::fromUtf8(utf8.data()));
    return noErr;
  }
  if (tag != kControlEditTextTextTag) return errDataNotSupported;
  const QString text = QString::fromLatin1(static_cast<const char*>(data), size);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(text);
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    group->setTitle(text);
  } else {
    return errDataNotSupported;
  }
  return noErr;
}

OSStatus GetControlData(ControlRef control, ControlPartCode, ResType tag, Size bufferSize, void* buffer,
                        Size* actualSize) {
  QWidget* widget = widgetOf(control);
  if (!widget || bufferSize < 0) return paramErr;
  if (tag == kControlPopupButtonMenuHandleTag) {
    if (!control->popupMenu) return errDataNotSupported;
    if (actualSize) *actualSize = sizeof(MenuRef);
    if (bufferSize < Size(sizeof(MenuRef))) return errDataSizeMismatch;
    if (buffer) std::memcpy(buffer, &control->popupMenu, sizeof(MenuRef));
    return noErr;
  }
  if (tag != kControlEditTextTextTag) return errDataNotSupported;
  bool supported;
  const QByteArray bytes = textOf(widget, &supported).toLatin1();
  if (!supported) return errDataNotSupported;
  if (actualSize) *actualSize = bytes.size();
  if (buffer && bufferSize > 0) std::memcpy(buffer, bytes.constData(), std::min<size_t>(bufferSize, bytes.size()));
  return noErr;
}

OSStatus GetControlDataSize(ControlRef control, ControlPartCode part, ResType tag, Size* outSize) {
  if (!outSize) return paramErr;
  return GetControlData(control, part, tag, sizeof(MenuRef), nullptr, outSize);
}

SInt32 CFUserNotificationDisplayNotice(CFTimeInterval, CFOptionFlags flags, CFURLRef, CFURLRef, CFURLRef,
                                       CFStringRef alertHeader, CFStringRef alertMessage,
                                       CFStringRef defaultButtonTitle) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (flags & 3) {
    case kCFUserNotificationStopAlertLevel:
      icon = QMessageBox::Critical;
      break;
    case kCFUserNotificationNoteAlertLevel:
      icon = QMessageBox::Information;
      break;
    case kCFUserNotificationCautionAlertLevel:
      icon = QMessageBox::Warning;
      break;
  }
  auto* box = new QMessageBox(icon, QApplication::applicationDisplayName(),
                              alertHeader ? qstringOf(alertHeader) : QString());
  if (alertMessage) box->setInformativeText(qstringOf(alertMessage));
  QPushButton* button = box->addButton(QMessageBox::Ok);
  if (defaultButtonTitle) button->setText(qstringOf(defaultButtonTitle));
  // A message box is modal unless told otherwise; a notice must not hold up
  // the tray menu or the rest of the program.
  box->setWindowModality(Qt::NonModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
  return 0;
}
