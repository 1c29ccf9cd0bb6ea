// Events of the desktop platform: reference-counted event records with typed
// parameters, handlers installed on event targets, the main event queue and the
// application event loop, delivered on Qt's loop.
//
// An event sent to a target goes through that target's handlers, newest first,
// until one answers something other than eventNotHandledErr; an unhandled event
// then goes on from a control to its window and from a window (or a menu) to the
// application, and finally to the platform's own default handling (a window's
// close box disposes of the window, the "quit" command ends the event loop).
// Everything here runs on the main thread; only posting may come from elsewhere
// through the main queue.
#pragma once

#include <cstddef>

#include "platform/core/mac_types.h"

typedef struct OpaqueEventRef* EventRef;
typedef struct OpaqueEventHandlerRef* EventHandlerRef;
typedef struct OpaqueEventHandlerCallRef* EventHandlerCallRef;
typedef struct OpaqueEventTargetRef* EventTargetRef;
typedef struct OpaqueEventQueueRef* EventQueueRef;

// The references that events carry; windows.h and menus.h work on them.
typedef struct OpaqueWindowPtr* WindowRef;
typedef struct OpaqueControlRef* ControlRef;
typedef ControlRef HIViewRef;
typedef struct OpaqueMenuRef* MenuRef;
typedef struct OpaqueDragRef* DragRef;
struct MacRegion;
typedef MacRegion** RgnHandle;
typedef UInt16 MenuItemIndex;
typedef UInt32 MenuCommand;
typedef SInt16 ControlPartCode;

typedef UInt32 EventParamName;
typedef UInt32 EventParamType;
typedef UInt32 EventAttributes;
typedef SInt16 EventPriority;

typedef OSStatus (*EventHandlerProcPtr)(EventHandlerCallRef inHandlerCallRef, EventRef inEvent, void* inUserData);
typedef EventHandlerProcPtr EventHandlerUPP;

struct EventTypeSpec {
  UInt32 eventClass;
  UInt32 eventKind;
};

struct EventHotKeyID {
  OSType signature;
  UInt32 id;
};

// Geometry of the drawing layer, in the native floating-point width.
#ifndef PORTVANE_CG_GEOMETRY
#define PORTVANE_CG_GEOMETRY
typedef double CGFloat;
struct CGPoint {
  CGFloat x;
  CGFloat y;
};
struct CGSize {
  CGFloat width;
  CGFloat height;
};
struct CGRect {
  CGPoint origin;
  CGSize size;
};
#endif

// The command record. The source holds a native reference, so the record is
// larger than on the 32-bit platform; sizes are always taken with sizeof.
struct HICommand {
  UInt32 attributes;
  UInt32 commandID;
  struct {
    MenuRef menuRef;
    MenuItemIndex menuItemIndex;
  } menu;
};

struct HICommandExtended {
  UInt32 attributes;
  UInt32 commandID;
  union {
    ControlRef control;
    WindowRef window;
    struct {
      MenuRef menuRef;
      MenuItemIndex menuItemIndex;
    } menu;
  } source;
};

enum : OSStatus {
  errAECoercionFail = -1700,
};

enum : UInt32 {
  kEventClassMouse = FOUR_CHAR_CODE("mous"),
  kEventClassKeyboard = FOUR_CHAR_CODE("keyb"),
  kEventClassApplication = FOUR_CHAR_CODE("appl"),
  kEventClassMenu = FOUR_CHAR_CODE("menu"),
  kEventClassWindow = FOUR_CHAR_CODE("wind"),
  kEventClassControl = FOUR_CHAR_CODE("cntl"),
  kEventClassCommand = FOUR_CHAR_CODE("cmds"),
  kEventClassSystem = FOUR_CHAR_CODE("macs"),
};

enum : UInt32 {
  kEventCommandProcess = 1,
  kEventCommandUpdateStatus = 2,

  kEventMenuPopulate = 9,

  kEventAppActivated = 1,
  kEventAppDeactivated = 2,
  kEventAppQuit = 3,
  kEventAppHidden = 107,
  kEventAppShown = 108,

  kEventRawKeyDown = 1,
  kEventRawKeyRepeat = 2,
  kEventRawKeyUp = 3,
  kEventHotKeyPressed = 5,
  kEventHotKeyReleased = 6,

  kEventSystemUserSessionActivated = 10,
  kEventSystemUserSessionDeactivated = 11,

  kEventWindowDrawContent = 2,
  kEventWindowActivated = 5,
  kEventWindowDeactivated = 6,
  kEventWindowBoundsChanged = 27,
  kEventWindowClose = 72,
  kEventWindowGetIdealSize = 80,
  kEventWindowGetMinimumSize = 81,
  kEventWindowGetMaximumSize = 82,
  kEventWindowDispose = 1005,

  kEventControlHit = 1,
};

enum : EventParamName {
  kEventParamDirectObject = FOUR_CHAR_CODE("----"),
  kEventParamAttributes = FOUR_CHAR_CODE("attr"),
  kEventParamDimensions = FOUR_CHAR_CODE("dims"),
  kEventParamKeyCode = FOUR_CHAR_CODE("kcod"),
  kEventParamKeyMacCharCodes = FOUR_CHAR_CODE("kchr"),
  kEventParamKeyModifiers = FOUR_CHAR_CODE("kmod"),
  kEventParamControlPart = FOUR_CHAR_CODE("cprt"),
  kEventParamPostTarget = FOUR_CHAR_CODE("ptrg"),
};

enum : EventParamType {
  typeWildCard = FOUR_CHAR_CODE("****"),
  typeBoolean = FOUR_CHAR_CODE("bool"),
  typeChar = FOUR_CHAR_CODE("TEXT"),
  typeUInt32 = FOUR_CHAR_CODE("magn"),
  typeSInt32 = FOUR_CHAR_CODE("long"),
  typeQDPoint = FOUR_CHAR_CODE("QDpt"),
  typeQDRectangle = FOUR_CHAR_CODE("qdrt"),
  typeQDRgnHandle = FOUR_CHAR_CODE("rgnh"),
  typeHIPoint = FOUR_CHAR_CODE("hipt"),
  typeHISize = FOUR_CHAR_CODE("hisz"),
  typeHIRect = FOUR_CHAR_CODE("hirc"),
  typeWindowRef = FOUR_CHAR_CODE("wind"),
  typeControlRef = FOUR_CHAR_CODE("ctrl"),
  typeMenuRef = FOUR_CHAR_CODE("menu"),
  typeDragRef = FOUR_CHAR_CODE("drag"),
  typeHICommand = FOUR_CHAR_CODE("hcmd"),
  typeControlPartCode = FOUR_CHAR_CODE("cprt"),
  typeEventHotKeyID = FOUR_CHAR_CODE("hkid"),
  typeEventTargetRef = FOUR_CHAR_CODE("etrg"),
};

enum : EventAttributes {
  kEventAttributeNone = 0,
  kEventAttributeUserEvent = 1,
};

enum : EventPriority {
  kEventPriorityLow = 0,
  kEventPriorityStandard = 1,
  kEventPriorityHigh = 2,
};

enum : UInt32 {
  kHICommandOK = FOUR_CHAR_CODE("ok  "),
  kHICommandCancel = FOUR_CHAR_CODE("not!"),
  kHICommandQuit = FOUR_CHAR_CODE("quit"),
  kHICommandClose = FOUR_CHAR_CODE("clos"),
  kHICommandPreferences = FOUR_CHAR_CODE("pref"),
};

// Where a command came from (HICommand attributes).
enum : UInt32 {
  kHICommandFromMenu = 1,
  kHICommandFromControl = 2,
  kHICommandFromWindow = 4,
};

// ---- Event records

OSStatus CreateEvent(const void* allocator, UInt32 inClassID, UInt32 inKind, EventTime inWhen,
                     EventAttributes inAttributes, EventRef* outEvent);
EventRef RetainEvent(EventRef inEvent);
void ReleaseEvent(EventRef inEvent);
ItemCount GetEventRetainCount(EventRef inEvent);
UInt32 GetEventClass(EventRef inEvent);
UInt32 GetEventKind(EventRef inEvent);
EventTime GetEventTime(EventRef inEvent);

OSStatus SetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inType, ByteCount inSize,
                           const void* inDataPtr);
// eventParameterNotFoundErr when the event does not carry the parameter,
// errAECoercionFail when it carries another type than the one asked for
// (typeWildCard accepts any). At most `inBufferSize` bytes are copied;
// `outActualSize` receives the parameter's full size.
OSStatus GetEventParameter(EventRef inEvent, EventParamName inName, EventParamType inDesiredType,
                           EventParamType* outActualType, ByteCount inBufferSize, ByteCount* outActualSize,
                           void* outData);

// Seconds on the clock seam.
EventTime GetCurrentEventTime();

// ---- Handlers and targets

EventHandlerUPP NewEventHandlerUPP(EventHandlerProcPtr userRoutine);
void DisposeEventHandlerUPP(EventHandlerUPP userUPP);
OSStatus InstallEventHandler(EventTargetRef inTarget, EventHandlerUPP inHandler, ItemCount inNumTypes,
                             const EventTypeSpec* inList, void* inUserData, EventHandlerRef* outRef);
// A handler that is already gone (its target was disposed of) gives paramErr
// and touches nothing.
OSStatus RemoveEventHandler(EventHandlerRef inHandlerRef);
OSStatus AddEventTypesToHandler(EventHandlerRef inHandlerRef, ItemCount inNumTypes, const EventTypeSpec* inList);
OSStatus RemoveEventTypesFromHandler(EventHandlerRef inHandlerRef, ItemCount inNumTypes,
                                     const EventTypeSpec* inList);
// Runs the handlers after the calling one, then the default handling.
OSStatus CallNextEventHandler(EventHandlerCallRef inCallRef, EventRef inEvent);

EventTargetRef GetApplicationEventTarget();
// A command from a menu goes to the menu, then to the user focus: the active
// window (and on to the application) or the application.
EventTargetRef GetUserFocusEventTarget();
OSStatus SendEventToEventTarget(EventRef inEvent, EventTargetRef inTarget);

// ---- Queue and loop

EventQueueRef GetMainEventQueue();
EventQueueRef GetCurrentEventQueue();
// Delivered from the main queue, higher priorities first, to the event's
// kEventParamPostTarget, or to the application when it names none.
OSStatus PostEventToQueue(EventQueueRef inQueue, EventRef inEvent, EventPriority inPriority);

// Runs Qt's loop (QApplication::exec), draining the main queue as work arrives.
void RunApplicationEventLoop();
void QuitApplicationEventLoop();

namespace platform {

// The handler list and parent of one event target; windows, controls and menus
// own one each. A target that follows the focus goes on to the user focus
// instead of a fixed parent.
EventTargetRef newEventTarget(EventTargetRef parent, bool followsFocus = false);
// Removes the target and every handler installed on it.
void disposeEventTarget(EventTargetRef target);

// Default handling for events that no handler took, per target; windows.cpp
// registers the close box's default (dispose of the window).
typedef OSStatus (*DefaultEventHandler)(EventTargetRef target, EventRef event);
void setDefaultEventHandler(EventTargetRef target, DefaultEventHandler handler);

// The user focus when a window is active; windows.cpp provides it.
typedef EventTargetRef (*FocusTargetProvider)();
void setFocusTargetProvider(FocusTargetProvider provider);

// Posts an event to a target through the main queue (what a widget does when
// the user acts on it). The event keeps no reference of the caller's.
void postEventToTarget(EventRef event, EventTargetRef target);
// Posts kEventCommandProcess, a user event carrying `command` as its direct
// object (typeHICommand), to a target through the main queue: a menu item
// chosen, a button clicked.
void postCommandEvent(const HICommandExtended& command, EventTargetRef target);

// Creates the QApplication if none exists yet (the program's main creates
// none of its own), lets the Qt loop drain the main queue, and installs the
// Qt clock unless a manual clock is in force. Every window, menu and interface
// file calls it, so the application object's construction does.
void ensureApplication();
// The real clock: steady clock, timers on the Qt loop.
void installQtClock();

}  // namespace platform
