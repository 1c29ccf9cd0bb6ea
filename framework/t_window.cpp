#include "framework/t_window.h"

#include "framework/t_nib.h"
#include "platform/ui/menus.h"

const EventTypeSpec TWindow::kEvents[12] = {
    {kEventClassWindow, kEventWindowClose},
    {kEventClassWindow, kEventWindowActivated},
    {kEventClassWindow, kEventWindowDeactivated},
    {kEventClassWindow, kEventWindowDispose},
    {kEventClassWindow, kEventWindowDrawContent},
    {kEventClassWindow, kEventWindowBoundsChanged},
    {kEventClassWindow, kEventWindowGetIdealSize},
    {kEventClassWindow, kEventWindowGetMinimumSize},
    {kEventClassWindow, kEventWindowGetMaximumSize},
    {kEventClassCommand, kEventCommandProcess},
    {kEventClassCommand, kEventCommandUpdateStatus},
    {kEventClassControl, kEventControlHit},
};

namespace {
constexpr OSType kItemSignature = FOUR_CHAR_CODE("OPTG");
}

TWindow::TWindow(WindowRef) : fWindow(nullptr) {}

TWindow::TWindow(CFStringRef windowName, CFStringRef nibName) : fWindow(nullptr) { Init(windowName, nibName); }

TWindow::~TWindow() {
  if (fWindow) {
    // Disposing of the window removes its handlers; ours goes first, so that
    // the window's last event does not reach an object being destroyed.
    if (fHandler) {
      RemoveEventHandler(fHandler);
      fHandler = nullptr;
    }
    DisposeWindow(fWindow);
  }
}

OSStatus TWindow::Init(WindowRef window) {
  if (!window) return paramErr;
  fWindow = window;
  OSStatus status = RegisterForEvents(12, kEvents);
  if (status != noErr) return status;
  TWindow* owner = this;
  return SetWindowProperty(window, kOwnerCreator, kOwnerTag, sizeof owner, &owner);
}

OSStatus TWindow::Init(CFStringRef windowName, CFStringRef nibName) {
  TNib nib;
  OSStatus status = nib.Init(nibName);
  if (status != noErr) return status;
  WindowRef window = nullptr;
  status = nib.CreateWindow(windowName, &window);
  if (status != noErr) return status;
  return Init(window);
}

OSStatus TWindow::Init(WindowClass windowClass, WindowAttributes attributes, const Rect& bounds) {
  WindowRef window = nullptr;
  OSStatus status = CreateNewWindow(windowClass, attributes, &bounds, &window);
  if (status != noErr) return status;
  return Init(window);
}

TWindow* TWindow::GetTWindowFromWindowRef(WindowRef window) {
  TWindow* owner = nullptr;
  GetWindowProperty(window, kOwnerCreator, kOwnerTag, sizeof owner, nullptr, &owner);
  return owner;
}

void TWindow::SourceWindowDispose() { fWindow = nullptr; }

EventTargetRef TWindow::GetEventTarget() { return GetWindowEventTarget(fWindow); }

void TWindow::Show() {
  ShowWindow(fWindow);
  WindowActivationScope scope = kWindowActivationScopeNone;
  if (ActiveNonFloatingWindow() == fWindow && GetWindowActivationScope(fWindow, &scope) == noErr &&
      scope == kWindowActivationScopeAll) {
    AdvanceKeyboardFocus(fWindow);
  }
}

void TWindow::Hide() { HideWindow(fWindow); }

void TWindow::Close() {
  Hide();
  delete this;
}

void TWindow::Draw() {}
void TWindow::Activated() {}
void TWindow::Deactivated() {}
void TWindow::Moved() {}
void TWindow::Resized() {}
Point TWindow::GetIdealSize() { return Point{0, 0}; }
Point TWindow::GetMinimumSize() { return Point{0, 0}; }
Point TWindow::GetMaximumSize() { return Point{0, 0}; }

bool TWindow::UpdateCommandStatus(const HICommandExtended& command) {
  if (command.commandID != kHICommandClose) return false;
  EnableMenuCommand(nullptr, kHICommandClose);
  return true;
}

bool TWindow::HandleCommand(const HICommandExtended&) { return false; }
void TWindow::HandleItemHit(short) {}
bool TWindow::CloseDialog() { return false; }

OSStatus TWindow::AnswerSize(TCarbonEvent& event, Point size) {
  if (size.h == 0 || size.v == 0) return eventNotHandledErr;
  event.SetParameter(kEventParamDimensions, size);
  return noErr;
}

OSStatus TWindow::HandleEvent(EventHandlerCallRef callRef, TCarbonEvent& event) {
  const UInt32 eventClass = event.GetClass();
  const UInt32 eventKind = event.GetKind();

  switch (eventClass) {
    case kEventClassControl: {
      if (eventKind != kEventControlHit) return eventNotHandledErr;
      ControlRef control = nullptr;
      ControlID id{};
      if (event.GetParameter(kEventParamDirectObject, &control) != noErr || GetControlID(control, &id) != noErr ||
          id.signature != kItemSignature) {
        return eventNotHandledErr;
      }
      HandleItemHit(static_cast<short>(static_cast<UInt16>(id.id & 0xFFFF)));
      return noErr;
    }

    case kEventClassWindow:
      switch (eventKind) {
        case kEventWindowDrawContent:
          CallNextEventHandler(callRef, event);
          Draw();
          return noErr;
        case kEventWindowActivated:
          CallNextEventHandler(callRef, event);
          Activated();
          return noErr;
        case kEventWindowDeactivated:
          CallNextEventHandler(callRef, event);
          Deactivated();
          return noErr;
        case kEventWindowBoundsChanged: {
          UInt32 attributes = 0;
          if (event.GetParameter(kEventParamAttributes, &attributes) != noErr) return eventNotHandledErr;
          if (attributes & kWindowBoundsChangeSizeChanged) {
            Resized();
            return noErr;
          }
          if (attributes & kWindowBoundsChangeOriginChanged) {
            Moved();
            return noErr;
          }
          return eventNotHandledErr;
        }
        case kEventWindowClose:
          // The next handler would dispose of the window; the window only hides.
          CloseDialog();
          Hide();
          return noErr;
        case kEventWindowGetIdealSize:
          return AnswerSize(event, GetIdealSize());
        case kEventWindowGetMinimumSize:
          return AnswerSize(event, GetMinimumSize());
        case kEventWindowGetMaximumSize:
          return AnswerSize(event, GetMaximumSize());
        case kEventWindowDispose:
          CallNextEventHandler(callRef, event);
          // The platform removes the window's handlers with the window.
          fWindow = nullptr;
          fHandler = nullptr;
          return noErr;
        default:
          return eventNotHandledErr;
      }

    case kEventClassCommand: {
      HICommandExtended command{};
      event.GetParameter(kEventParamDirectObject, &command);
      bool handled = false;
      if (eventKind == kEventCommandProcess) {
        handled = HandleCommand(command);
      } else if (eventKind == kEventCommandUpdateStatus) {
        handled = UpdateCommandStatus(command);
      }
      return handled ? noErr : eventNotHandledErr;
    }

    default:
      return eventNotHandledErr;
  }
}

CGrafPtr TWindow::GetPort() const { return GetWindowPort(fWindow); }
OSStatus TWindow::SetTitle(CFStringRef title) { return SetWindowTitleWithCFString(fWindow, title); }

CFStringRef TWindow::CopyTitle() const {
  CFStringRef title = nullptr;
  CopyWindowTitleAsCFString(fWindow, &title);
  return title;
}

OSStatus TWindow::SetAlternateTitle(CFStringRef title) { return SetWindowAlternateTitle(fWindow, title); }

CFStringRef TWindow::CopyAlternateTitle() const {
  CFStringRef title = nullptr;
  CopyWindowAlternateTitle(fWindow, &title);
  return title;
}

bool TWindow::IsVisible() const { return IsWindowVisible(fWindow) != 0; }
void TWindow::Select() { SelectWindow(fWindow); }
OSStatus TWindow::SetBounds(const Rect& bounds) { return SetWindowBounds(fWindow, kWindowStructureRgn, &bounds); }
OSStatus TWindow::InvalidateArea(RgnHandle region) { return InvalWindowRgn(fWindow, region); }
OSStatus TWindow::InvalidateArea(const Rect& bounds) { return InvalWindowRect(fWindow, &bounds); }
OSStatus TWindow::ValidateArea(RgnHandle region) { return ValidWindowRgn(fWindow, region); }
OSStatus TWindow::ValidateArea(const Rect& bounds) { return ValidWindowRect(fWindow, &bounds); }
OSStatus TWindow::SetDefaultButton(ControlRef control) { return SetWindowDefaultButton(fWindow, control); }
OSStatus TWindow::SetCancelButton(ControlRef control) { return SetWindowCancelButton(fWindow, control); }

namespace {

// The four view operations: the control found by its ID, or errUnknownControl.
template <typename Operation>
OSStatus ApplyToView(ControlRef control, Operation operation) {
  if (!control) return errUnknownControl;
  operation(control);
  return noErr;
}

}  // namespace

ControlRef TWindow::GetView(const ControlID& id) {
  ControlRef control = nullptr;
  if (GetControlByID(fWindow, &id, &control) != noErr) return nullptr;
  return control;
}

ControlRef TWindow::GetView(unsigned long signature, long id) {
  return GetView(ControlID{OSType(signature), SInt32(id)});
}

OSStatus TWindow::EnableView(const ControlID& id) { return ApplyToView(GetView(id), [](ControlRef c) { EnableControl(c); }); }

OSStatus TWindow::EnableView(unsigned long signature, long id) {
  return EnableView(ControlID{OSType(signature), SInt32(id)});
}

OSStatus TWindow::DisableView(const ControlID& id) { return ApplyToView(GetView(id), [](ControlRef c) { DisableControl(c); }); }

OSStatus TWindow::DisableView(unsigned long signature, long id) {
  return DisableView(ControlID{OSType(signature), SInt32(id)});
}

OSStatus TWindow::ShowView(const ControlID& id) { return ApplyToView(GetView(id), [](ControlRef c) { ShowControl(c); }); }

OSStatus TWindow::ShowView(unsigned long signature, long id) {
  return ShowView(ControlID{OSType(signature), SInt32(id)});
}

OSStatus TWindow::HideView(const ControlID& id) { return ApplyToView(GetView(id), [](ControlRef c) { HideControl(c); }); }

OSStatus TWindow::HideView(unsigned long signature, long id) {
  return HideView(ControlID{OSType(signature), SInt32(id)});
}
