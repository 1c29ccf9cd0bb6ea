#include "framework/t_event_handler.h"

EventHandlerUPP TEventHandler::sHandlerProc = nullptr;

TEventHandler::TEventHandler() : fHandler(nullptr) {}

TEventHandler::~TEventHandler() {
  if (fHandler) RemoveEventHandler(fHandler);
}

EventHandlerUPP TEventHandler::GetEventHandlerProc() {
  if (!sHandlerProc) sHandlerProc = NewEventHandlerUPP(EventHandler);
  return sHandlerProc;
}

EventHandlerRef TEventHandler::GetEventHandler() {
  if (!fHandler) {
    // A failed installation leaves fHandler null; the next call tries again.
    InstallEventHandler(GetEventTarget(), GetEventHandlerProc(), 0, nullptr, this, &fHandler);
  }
  return fHandler;
}

OSStatus TEventHandler::RegisterForEvents(unsigned long count, const EventTypeSpec* list) {
  return AddEventTypesToHandler(GetEventHandler(), count, list);
}

OSStatus TEventHandler::UnregisterForEvents(unsigned long count, const EventTypeSpec* list) {
  return RemoveEventTypesFromHandler(GetEventHandler(), count, list);
}

OSStatus TEventHandler::EventHandler(EventHandlerCallRef callRef, EventRef event, void* userData) {
  TCarbonEvent wrapper(event);
  try {
    return static_cast<TEventHandler*>(userData)->HandleEvent(callRef, wrapper);
  } catch (...) {
    // Nothing may unwind through the platform's dispatch.
    return eventInternalErr;
  }
}
