// The Dock on a Linux desktop: one system-tray icon.
//
// The icon shows the Dock tile image (the application's own picture until one
// is set, and again after a restore) and the application's windows carry the
// same picture. Its context menu shows the Dock menu's items followed by the
// items the Dock adds of its own, the "Start at Login" check item (the user's
// autostart entry, autostart.h), "Preferences…" and "Quit"; each opening
// first sends the Dock menu kEventMenuPopulate, once and before the menu
// appears. A click on the icon posts kEventAppShown to the application.
//
// The icon appears once the application has a Dock menu or a tile image and
// the desktop has a system tray; without a tray everything is kept and
// nothing is shown. Main thread only.
#pragma once

#include <QImage>

#include "platform/ui/menus.h"

class QMenu;

// A null menu takes the application's Dock menu away; paramErr for a menu
// that is not a live menu of its own (a pop-up control's item list).
OSStatus SetApplicationDockTileMenu(MenuRef inMenu);
MenuRef GetApplicationDockTileMenu();

namespace platform {

// The picture the tray shows (also where no tray is available).
QImage trayIconImage();
// Opens the tray menu as far as a user's right click does before it appears
// (the populate request and the items) and returns it without showing it.
QMenu* openTrayMenuForTest();
// What a click on the tray icon does.
void clickTrayIconForTest();

}  // namespace platform
