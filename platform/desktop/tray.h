// The Dock on a Linux desktop: one system-tray icon.
//
// The icon shows the Dock tile image (the application's own picture until one
// is set, and again after a restore) and the application's windows carry the
// same picture; each picture is made into an icon once and reused. Its
// context menu shows the application's state (once it has told one) as a line
// that cannot be chosen, then the Dock menu's items, then the items the Dock
// adds of its own: the "Start at Login" check item (the user's autostart
// entry, autostart.h) unless the program keeps it out, "Preferences…" and
// "Quit"; each opening first sends the
// Dock menu kEventMenuPopulate, once and before the menu appears. A click on
// the icon posts kEventAppShown to the application. The tooltip names the
// application and says its state.
//
// The icon appears once the application has a Dock menu or a tile image. While
// the desktop has no system tray a small window stands in for it (the
// picture, the state, the same menu, Preferences and Quit); the tray is looked
// for every 2 seconds, and the program moves to it when one appears (and back
// to the window should it go). Main thread only.
#pragma once

#include <QImage>
#include <QString>
#include <string>

#include "platform/ui/menus.h"

// A null menu takes the application's Dock menu away; paramErr for a menu
// that is not a live menu of its own (a pop-up control's item list).
OSStatus SetApplicationDockTileMenu(MenuRef inMenu);
MenuRef GetApplicationDockTileMenu();

namespace platform {

// The picture the tray shows (also where no tray is available).
QImage trayIconImage();

// The application's state in a few words ("Computer 1"), UTF-8: the tray
// menu's first line and the tooltip's second. Each line of `notes` (may be
// empty) follows in the tooltip and in the stand-in window. Costs nothing
// when both are as they were.
void setTrayStatus(const std::string& status, const std::string& notes);
QString trayToolTip();

// Whether the tray menu has "Start at Login" (it has, until told otherwise):
// a program that stands in for the real one (the demo) keeps it out, so
// that it never changes what the session starts.
void offerStartAtLogin(bool offered);

}  // namespace platform
