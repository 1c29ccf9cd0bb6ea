// The base of one window: owns a platform window, receives its events and
// turns each into an overridable operation, records on the window which object
// owns it, and wraps the window and control calls it needs.
#pragma once

#include "framework/t_event_handler.h"
#include "platform/core/core_foundation.h"
#include "platform/ui/windows.h"

class TWindow : public TEventHandler {
 public:
  // Starts without a window whatever it is given; Init attaches one.
  explicit TWindow(WindowRef window);
  // Creates the window `windowName` from the interface file `nibName`; the
  // object may end up without a window.
  TWindow(CFStringRef windowName, CFStringRef nibName);
  ~TWindow() override;

  OSStatus HandleEvent(EventHandlerCallRef callRef, TCarbonEvent& event) override;
  EventTargetRef GetEventTarget() override;
  virtual void Show();
  virtual void Hide();
  // Hides the window, then deletes the object; the caller must not use it afterwards.
  virtual void Close();
  virtual void Draw();
  virtual void Activated();
  virtual void Deactivated();
  virtual void Moved();
  virtual void Resized();
  virtual Point GetIdealSize();
  virtual Point GetMinimumSize();
  virtual Point GetMaximumSize();
  virtual bool UpdateCommandStatus(const HICommandExtended& command);
  virtual bool HandleCommand(const HICommandExtended& command);
  virtual void HandleItemHit(short item);
  virtual bool CloseDialog();

  OSStatus Init(WindowRef window);
  OSStatus Init(CFStringRef windowName, CFStringRef nibName);
  OSStatus Init(WindowClass windowClass, WindowAttributes attributes, const Rect& bounds);

  // The owning object of a platform window, or null.
  static TWindow* GetTWindowFromWindowRef(WindowRef window);
  // Forgets the window without disposing of it (something else did).
  void SourceWindowDispose();

  WindowRef GetWindowRef() const { return fWindow; }
  CGrafPtr GetPort() const;
  OSStatus SetTitle(CFStringRef title);
  CFStringRef CopyTitle() const;
  OSStatus SetAlternateTitle(CFStringRef title);
  CFStringRef CopyAlternateTitle() const;
  bool IsVisible() const;
  void Select();
  OSStatus SetBounds(const Rect& bounds);
  OSStatus InvalidateArea(RgnHandle region);
  OSStatus InvalidateArea(const Rect& bounds);
  OSStatus ValidateArea(RgnHandle region);
  OSStatus ValidateArea(const Rect& bounds);
  OSStatus SetDefaultButton(ControlRef control);
  OSStatus SetCancelButton(ControlRef control);

  ControlRef GetView(const ControlID& id);
  ControlRef GetView(unsigned long signature, long id);
  OSStatus EnableView(const ControlID& id);
  OSStatus EnableView(unsigned long signature, long id);
  OSStatus DisableView(const ControlID& id);
  OSStatus DisableView(unsigned long signature, long id);
  OSStatus ShowView(const ControlID& id);
  OSStatus ShowView(unsigned long signature, long id);
  OSStatus HideView(const ControlID& id);
  OSStatus HideView(unsigned long signature, long id);

  static const EventTypeSpec kEvents[12];
  // The owner property: creator and tag.
  static constexpr PropertyCreator kOwnerCreator = FOUR_CHAR_CODE("hifr");
  static constexpr PropertyTag kOwnerTag = FOUR_CHAR_CODE("twin");

 protected:
  WindowRef fWindow;

 private:
  OSStatus AnswerSize(TCarbonEvent& event, Point size);
};
