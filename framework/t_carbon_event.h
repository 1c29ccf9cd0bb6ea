// One platform event, held for the time it is handled, with typed access to
// its parameters so that handlers never pass type codes and sizes by hand.
#pragma once

#include "platform/ui/carbon_events.h"

class TCarbonEvent {
 public:
  // A new event of the class and kind (time 0, no attributes).
  TCarbonEvent(unsigned long eventClass, unsigned long eventKind);
  // Takes a reference of its own to the event.
  explicit TCarbonEvent(EventRef event);
  virtual ~TCarbonEvent();

  TCarbonEvent(const TCarbonEvent&) = delete;
  TCarbonEvent& operator=(const TCarbonEvent&) = delete;

  EventRef GetEventRef() const { return fEvent; }
  operator EventRef() const { return fEvent; }
  UInt32 GetClass() const { return GetEventClass(fEvent); }
  UInt32 GetKind() const { return GetEventKind(fEvent); }

  OSStatus PostToQueue(EventQueueRef queue, short priority);

  OSStatus SetParameter(unsigned long name, unsigned long type, unsigned long size, const void* data);
  OSStatus GetParameter(unsigned long name, unsigned long type, unsigned long size, void* data);
  OSStatus GetParameterType(unsigned long name, unsigned long* outType);
  OSStatus GetParameterSize(unsigned long name, unsigned long* outSize);

  // One pair per value type, each with its platform type code.
  OSStatus SetParameter(unsigned long name, unsigned char value);
  OSStatus GetParameter(unsigned long name, unsigned char* value);
  OSStatus SetParameter(unsigned long name, bool value);
  OSStatus GetParameter(unsigned long name, bool* value);
  OSStatus SetParameter(unsigned long name, Point value);
  OSStatus GetParameter(unsigned long name, Point* value);
  OSStatus SetParameter(unsigned long name, const CGPoint& value);
  OSStatus GetParameter(unsigned long name, CGPoint* value);
  OSStatus SetParameter(unsigned long name, const Rect& value);
  OSStatus GetParameter(unsigned long name, Rect* value);
  OSStatus SetParameter(unsigned long name, const CGRect& value);
  OSStatus GetParameter(unsigned long name, CGRect* value);
  OSStatus SetParameter(unsigned long name, const CGSize& value);
  OSStatus GetParameter(unsigned long name, CGSize* value);
  OSStatus SetParameter(unsigned long name, RgnHandle value);
  OSStatus GetParameter(unsigned long name, RgnHandle* value);
  OSStatus SetParameter(unsigned long name, WindowRef value);
  OSStatus GetParameter(unsigned long name, WindowRef* value);
  OSStatus SetParameter(unsigned long name, ControlRef value);
  OSStatus GetParameter(unsigned long name, ControlRef* value);
  OSStatus SetParameter(unsigned long name, MenuRef value);
  OSStatus GetParameter(unsigned long name, MenuRef* value);
  OSStatus SetParameter(unsigned long name, DragRef value);
  OSStatus GetParameter(unsigned long name, DragRef* value);
  OSStatus SetParameter(unsigned long name, UInt32 value);
  OSStatus GetParameter(unsigned long name, UInt32* value);
  OSStatus SetParameter(unsigned long name, const HICommand& value);
  OSStatus GetParameter(unsigned long name, HICommand* value);
  OSStatus SetParameter(unsigned long name, const HICommandExtended& value);
  OSStatus GetParameter(unsigned long name, HICommandExtended* value);
  OSStatus SetParameter(unsigned long name, const short& value);
  OSStatus GetParameter(unsigned long name, short* value);

 private:
  template <typename T>
  OSStatus Set(unsigned long name, unsigned long type, const T& value) {
    return SetEventParameter(fEvent, EventParamName(name), EventParamType(type), sizeof(T), &value);
  }
  template <typename T>
  OSStatus Get(unsigned long name, unsigned long type, T* value) {
    return GetEventParameter(fEvent, EventParamName(name), EventParamType(type), nullptr, sizeof(T), nullptr, value);
  }

  EventRef fEvent;
};
