// Interface files of the desktop platform: Qt Designer ".ui" files in the
// bundle's resources directory, the name plus ".ui". A reference names the
// file; every window, menu or menu bar created from it is a fresh copy.
//
// In a file, a window is the top-level widget, or a dialog or main window
// inside it, whose object name is the window's name; a menu is a QMenu and a
// menu bar a QMenuBar of that object name. Controls carry their ControlID as
// the properties "controlSignature" and "controlID"; buttons and menu items
// carry their command as the property "command" (see windows.h, menus.h).
#pragma once

#include "platform/core/core_foundation.h"
#include "platform/ui/carbon_events.h"

typedef struct OpaqueIBNibRef* IBNibRef;

enum : OSStatus {
  kIBCarbonRuntimeCantFindNibFile = -10960,
  kIBCarbonRuntimeObjectNotOfRequestedType = -10961,
  kIBCarbonRuntimeCantFindObject = -10962,
};

// kIBCarbonRuntimeCantFindNibFile when the bundle has no such file.
OSStatus CreateNibReference(CFStringRef inNibName, IBNibRef* outNibRef);
void DisposeNibReference(IBNibRef inNibRef);
// kIBCarbonRuntimeCantFindObject when the file holds no such window, menu or
// menu bar (or cannot be read); the output is then null.
OSStatus CreateWindowFromNib(IBNibRef inNibRef, CFStringRef inName, WindowRef* outWindow);
OSStatus CreateMenuFromNib(IBNibRef inNibRef, CFStringRef inName, MenuRef* outMenuRef);
OSStatus CreateMenuBarFromNib(IBNibRef inNibRef, CFStringRef inName, Handle* outMenuBar);
// Makes the named menu bar the application's.
OSStatus SetMenuBarFromNib(IBNibRef inNibRef, CFStringRef inName);
