// The application object: registers for the application-level events the
// program needs, installs the menu bar, runs the event loop and routes each
// event to one overridable operation (true: handled).
#pragma once

#include "framework/t_event_handler.h"
#include "platform/core/core_foundation.h"

class TApplication : public TEventHandler {
 public:
  TApplication(CFStringRef menuBarName, CFStringRef nibName);
  ~TApplication() override;

  OSStatus HandleEvent(EventHandlerCallRef callRef, TCarbonEvent& event) override;
  EventTargetRef GetEventTarget() override;
  virtual void Run();
  virtual void Activated();
  virtual void Deactivated();
  virtual bool UpdateCommandStatus(const HICommandExtended& command);
  virtual bool HandleCommand(const HICommandExtended& command);
  virtual bool UpdateDockMenu(MenuRef& menu);
  virtual bool OpenSettingsDialog();
  virtual bool HandleHotKey(EventHotKeyID& hotKeyID);
  virtual bool HandleUserLogin(unsigned long kind);

  // Registers the events, then installs the menu bar `menuBarName` from the
  // interface file "Settings2 Ports" (always that file; `nibName` is unused).
  OSStatus Init(CFStringRef menuBarName, CFStringRef nibName);

  static const EventTypeSpec kEvents[6];
};
