// Windows, controls and views of the desktop platform over Qt widgets.
//
// A WindowRef owns its top-level widget; a ControlRef stands for one widget of
// a window and lives as long as the window. Controls are found by their
// ControlID, which a widget carries as the dynamic properties
// "controlSignature" (four characters) and "controlID" (a number). A control
// keeps the platform's separate states: visible, enabled and active; its widget
// is usable only while it is both enabled and active.
//
// What the user does posts the platform's events: a hit on a check box, radio
// button, push button or pop-up menu posts kEventControlHit to its control, a
// control with a "command" property then posts kEventCommandProcess with that
// command, the close box posts kEventWindowClose (whose default handling
// disposes of the window), activation and moves or resizes post the window's
// events, and a key pressed in an edit field is sent to the field as
// kEventRawKeyDown (handled means the field does not see the key). Escape
// clicks the window's cancel button wherever the focus is, an edit field
// included; a window from an interface file takes the push button whose
// command is kHICommandCancel as its cancel button.
//
// A null or disposed-of reference is refused with a status (or ignored by the
// calls that return nothing).
#pragma once

#include "platform/core/core_foundation.h"
#include "platform/ui/carbon_events.h"

class QWidget;

typedef struct OpaqueGrafPtr* GrafPtr;
typedef GrafPtr CGrafPtr;
typedef UInt32 WindowClass;
typedef OptionBits WindowAttributes;
typedef UInt16 WindowRegionCode;
typedef UInt32 WindowPositionMethod;
typedef UInt32 WindowActivationScope;
typedef OSType PropertyCreator;
typedef OSType PropertyTag;
typedef long Size;

struct ControlID {
  OSType signature;
  SInt32 id;
};
typedef ControlID HIViewID;

enum : WindowClass {
  kAlertWindowClass = 1,
  kMovableAlertWindowClass = 2,
  kModalWindowClass = 3,
  kMovableModalWindowClass = 4,
  kFloatingWindowClass = 5,
  kDocumentWindowClass = 6,
};

enum : WindowAttributes {
  kWindowNoAttributes = 0,
  kWindowCloseBoxAttribute = 1u << 0,
  kWindowStandardHandlerAttribute = 1u << 25,
};

enum : WindowRegionCode {
  kWindowStructureRgn = 32,
  kWindowContentRgn = 33,
};

enum : WindowPositionMethod {
  kWindowCenterOnMainScreen = 1,
};

enum : WindowActivationScope {
  kWindowActivationScopeNone = 0,
  kWindowActivationScopeIndependent = 1,
  kWindowActivationScopeAll = 2,
};

// Bits of kEventParamAttributes in kEventWindowBoundsChanged.
enum : UInt32 {
  kWindowBoundsChangeUserDrag = 1u << 0,
  kWindowBoundsChangeUserResize = 1u << 1,
  kWindowBoundsChangeSizeChanged = 1u << 2,
  kWindowBoundsChangeOriginChanged = 1u << 3,
};

enum : OSStatus {
  errDataNotSupported = -30583,
  errDataSizeMismatch = -30598,
};

enum : ControlPartCode {
  kControlNoPart = 0,
  kControlEntireControl = 0,
  kControlButtonPart = 10,
  kControlCheckBoxPart = 11,
  kControlMenuPart = 2,
};

// Control data tags.
enum : ResType {
  kControlEditTextTextTag = FOUR_CHAR_CODE("text"),
  kControlStaticTextTextTag = FOUR_CHAR_CODE("text"),
  kControlStaticTextCFStringTag = FOUR_CHAR_CODE("cfst"),
  kControlPopupButtonMenuHandleTag = FOUR_CHAR_CODE("mhan"),
};

// ---- Windows

OSStatus CreateNewWindow(WindowClass windowClass, WindowAttributes attributes, const Rect* contentBounds,
                         WindowRef* outWindow);
// Sends kEventWindowDispose to the window, removes every handler of the
// window and its controls, and destroys the widgets.
void DisposeWindow(WindowRef window);
void ShowWindow(WindowRef window);
void HideWindow(WindowRef window);
// Brings the window to the front and activates it; does not show a hidden one.
void SelectWindow(WindowRef window);
Boolean IsWindowVisible(WindowRef window);
OSStatus RepositionWindow(WindowRef window, WindowRef parentWindow, WindowPositionMethod method);
EventTargetRef GetWindowEventTarget(WindowRef window);
CGrafPtr GetWindowPort(WindowRef window);

OSStatus SetWindowProperty(WindowRef window, PropertyCreator creator, PropertyTag tag, ByteCount size,
                           const void* buffer);
// errWindowPropertyNotFound when the window carries no such property; at most
// `bufferSize` bytes are copied.
OSStatus GetWindowProperty(WindowRef window, PropertyCreator creator, PropertyTag tag, ByteCount bufferSize,
                           ByteCount* actualSize, void* buffer);
OSStatus RemoveWindowProperty(WindowRef window, PropertyCreator creator, PropertyTag tag);

OSStatus SetWindowTitleWithCFString(WindowRef window, CFStringRef title);
OSStatus CopyWindowTitleAsCFString(WindowRef window, CFStringRef* outTitle);
OSStatus SetWindowAlternateTitle(WindowRef window, CFStringRef title);
OSStatus CopyWindowAlternateTitle(WindowRef window, CFStringRef* outTitle);

OSStatus SetWindowBounds(WindowRef window, WindowRegionCode regionCode, const Rect* globalBounds);
OSStatus GetWindowBounds(WindowRef window, WindowRegionCode regionCode, Rect* globalBounds);
OSStatus InvalWindowRgn(WindowRef window, RgnHandle region);
OSStatus InvalWindowRect(WindowRef window, const Rect* bounds);
OSStatus ValidWindowRgn(WindowRef window, RgnHandle region);
OSStatus ValidWindowRect(WindowRef window, const Rect* bounds);

// The default button answers Return and Enter (outside edit fields), the
// cancel button Escape.
OSStatus SetWindowDefaultButton(WindowRef window, ControlRef control);
OSStatus SetWindowCancelButton(WindowRef window, ControlRef control);
OSStatus GetWindowDefaultButton(WindowRef window, ControlRef* outControl);
OSStatus GetWindowCancelButton(WindowRef window, ControlRef* outControl);

WindowRef ActiveNonFloatingWindow();
OSStatus GetWindowActivationScope(WindowRef window, WindowActivationScope* outScope);
// Moves the keyboard focus to the window's next control that takes it.
OSStatus AdvanceKeyboardFocus(WindowRef window);

// ---- Controls and views

OSStatus GetControlByID(WindowRef window, const ControlID* id, ControlRef* outControl);
OSStatus GetControlID(ControlRef control, ControlID* outId);
OSStatus SetControlID(ControlRef control, const ControlID* id);
WindowRef GetControlOwner(ControlRef control);
EventTargetRef GetControlEventTarget(ControlRef control);
HIViewRef HIViewGetRoot(WindowRef window);
// Searches the views inside `startView`.
OSStatus HIViewFindByID(HIViewRef startView, HIViewID id, HIViewRef* outView);

OSStatus EnableControl(ControlRef control);
OSStatus DisableControl(ControlRef control);
Boolean IsControlEnabled(ControlRef control);
OSStatus ActivateControl(ControlRef control);
OSStatus DeactivateControl(ControlRef control);
Boolean IsControlActive(ControlRef control);
void ShowControl(ControlRef control);
void HideControl(ControlRef control);
Boolean IsControlVisible(ControlRef control);

// Values are clamped to the control's minimum and maximum. A check box holds
// 0 or 1; a pop-up menu the 1-based position of its item (0: none), its
// maximum being its item count.
SInt16 GetControlValue(ControlRef control);
void SetControlValue(ControlRef control, SInt16 value);
SInt32 GetControl32BitValue(ControlRef control);
void SetControl32BitValue(ControlRef control, SInt32 value);
SInt32 GetControl32BitMinimum(ControlRef control);
void SetControl32BitMinimum(ControlRef control, SInt32 minimum);
SInt32 GetControl32BitMaximum(ControlRef control);
void SetControl32BitMaximum(ControlRef control, SInt32 maximum);

// Tags: 'text' (text fields, labels and buttons: the text as bytes, one
// Latin-1 character each, no terminator), 'cfst' (labels, set only: a
// CFStringRef, any text) and 'mhan' (pop-up menus: the MenuRef of their items,
// read only). errDataNotSupported for any other tag or kind.
OSStatus SetControlData(ControlRef control, ControlPartCode part, ResType tag, Size size, const void* data);
OSStatus GetControlData(ControlRef control, ControlPartCode part, ResType tag, Size bufferSize, void* buffer,
                        Size* actualSize);
OSStatus GetControlDataSize(ControlRef control, ControlPartCode part, ResType tag, Size* outSize);

// Notices: a message the user reads and dismisses, shown without waiting.
typedef double CFTimeInterval;
typedef unsigned long CFOptionFlags;

enum : CFOptionFlags {
  kCFUserNotificationStopAlertLevel = 0,
  kCFUserNotificationNoteAlertLevel = 1,
  kCFUserNotificationCautionAlertLevel = 2,
  kCFUserNotificationPlainAlertLevel = 3,
};

// Shows `alertHeader` and `alertMessage` in a window of their own and returns
// at once; the window blocks nothing and goes when the user dismisses it. The
// alert level of `flags` chooses the icon; a null button title gives "OK".
// The URLs are not used, and the notice stays until dismissed whatever
// `timeout` says. 0 when shown.
SInt32 CFUserNotificationDisplayNotice(CFTimeInterval timeout, CFOptionFlags flags, CFURLRef iconURL,
                                       CFURLRef soundURL, CFURLRef localizationURL, CFStringRef alertHeader,
                                       CFStringRef alertMessage, CFStringRef defaultButtonTitle);

namespace platform {

// Takes ownership of a top-level widget (from an interface file) as a window:
// its controls are those of its widgets with a control ID and every button,
// pop-up menu, text field, label and group.
WindowRef newWindowFromWidget(QWidget* widget);
QWidget* windowWidget(WindowRef window);
QWidget* controlWidget(ControlRef control);
// Every window not yet disposed of, oldest first.
size_t windowCount();
WindowRef windowAt(size_t index);

}  // namespace platform
