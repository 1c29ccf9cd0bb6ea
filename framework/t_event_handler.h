// The base of every object that receives platform events: one platform handler
// per object, installed on the object's own event target the first time it
// registers, delivering each event to the object's HandleEvent.
#pragma once

#include "framework/t_carbon_event.h"
#include "platform/ui/carbon_events.h"

class TEventHandler {
 public:
  TEventHandler();
  virtual ~TEventHandler();

  TEventHandler(const TEventHandler&) = delete;
  TEventHandler& operator=(const TEventHandler&) = delete;

  virtual OSStatus HandleEvent(EventHandlerCallRef callRef, TCarbonEvent& event) = 0;
  virtual EventTargetRef GetEventTarget() = 0;

  // The one procedure shared by every object, created on first use.
  static EventHandlerUPP GetEventHandlerProc();
  // The object's handler, installed (with no event types) on first use.
  EventHandlerRef GetEventHandler();
  OSStatus RegisterForEvents(unsigned long count, const EventTypeSpec* list);
  OSStatus UnregisterForEvents(unsigned long count, const EventTypeSpec* list);

 protected:
  static OSStatus EventHandler(EventHandlerCallRef callRef, EventRef event, void* userData);

  EventHandlerRef fHandler;

 private:
  static EventHandlerUPP sHandlerProc;
};
