#include "framework/t_carbon_event.h"

TCarbonEvent::TCarbonEvent(unsigned long eventClass, unsigned long eventKind) : fEvent(nullptr) {
  if (CreateEvent(nullptr, UInt32(eventClass), UInt32(eventKind), 0, kEventAttributeNone, &fEvent) != noErr) {
    fEvent = nullptr;
  }
}

TCarbonEvent::TCarbonEvent(EventRef event) : fEvent(event) { RetainEvent(fEvent); }

TCarbonEvent::~TCarbonEvent() {
  if (fEvent) ReleaseEvent(fEvent);
}

OSStatus TCarbonEvent::PostToQueue(EventQueueRef queue, short priority) {
  return PostEventToQueue(queue, fEvent, priority);
}

OSStatus TCarbonEvent::SetParameter(unsigned long name, unsigned long type, unsigned long size, const void* data) {
  return SetEventParameter(fEvent, EventParamName(name), EventParamType(type), size, data);
}

OSStatus TCarbonEvent::GetParameter(unsigned long name, unsigned long type, unsigned long size, void* data) {
  return GetEventParameter(fEvent, EventParamName(name), EventParamType(type), nullptr, size, nullptr, data);
}

OSStatus TCarbonEvent::GetParameterType(unsigned long name, unsigned long* outType) {
  EventParamType type = 0;
  OSStatus status = GetEventParameter(fEvent, EventParamName(name), typeWildCard, &type, 0, nullptr, nullptr);
  if (status == noErr && outType) *outType = type;
  return status;
}

OSStatus TCarbonEvent::GetParameterSize(unsigned long name, unsigned long* outSize) {
  ByteCount size = 0;
  OSStatus status = GetEventParameter(fEvent, EventParamName(name), typeWildCard, nullptr, 0, &size, nullptr);
  if (status == noErr && outSize) *outSize = size;
  return status;
}

OSStatus TCarbonEvent::SetParameter(unsigned long name, unsigned char value) { return Set(name, typeBoolean, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, unsigned char* value) { return Get(name, typeBoolean, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, bool value) { return Set(name, typeBoolean, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, bool* value) { return Get(name, typeBoolean, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, Point value) { return Set(name, typeQDPoint, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, Point* value) { return Get(name, typeQDPoint, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, const CGPoint& value) { return Set(name, typeHIPoint, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, CGPoint* value) { return Get(name, typeHIPoint, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, const Rect& value) { return Set(name, typeQDRectangle, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, Rect* value) { return Get(name, typeQDRectangle, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, const CGRect& value) { return Set(name, typeHIRect, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, CGRect* value) { return Get(name, typeHIRect, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, const CGSize& value) { return Set(name, typeHISize, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, CGSize* value) { return Get(name, typeHISize, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, RgnHandle value) { return Set(name, typeQDRgnHandle, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, RgnHandle* value) { return Get(name, typeQDRgnHandle, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, WindowRef value) { return Set(name, typeWindowRef, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, WindowRef* value) { return Get(name, typeWindowRef, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, ControlRef value) { return Set(name, typeControlRef, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, ControlRef* value) { return Get(name, typeControlRef, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, MenuRef value) { return Set(name, typeMenuRef, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, MenuRef* value) { return Get(name, typeMenuRef, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, DragRef value) { return Set(name, typeDragRef, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, DragRef* value) { return Get(name, typeDragRef, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, UInt32 value) { return Set(name, typeUInt32, value); }
OSStatus TCarbonEvent::GetParameter(unsigned long name, UInt32* value) { return Get(name, typeUInt32, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, const HICommand& value) {
  return Set(name, typeHICommand, value);
}
OSStatus TCarbonEvent::GetParameter(unsigned long name, HICommand* value) { return Get(name, typeHICommand, value); }
OSStatus TCarbonEvent::SetParameter(unsigned long name, const HICommandExtended& value) {
  return Set(name, typeHICommand, value);
}
OSStatus TCarbonEvent::GetParameter(unsigned long name, HICommandExtended* value) {
  return Get(name, typeHICommand, value);
}
OSStatus TCarbonEvent::SetParameter(unsigned long name, const short& value) {
  return Set(name, typeControlPartCode, value);
}
OSStatus TCarbonEvent::GetParameter(unsigned long name, short* value) { return Get(name, typeControlPartCode, value); }
