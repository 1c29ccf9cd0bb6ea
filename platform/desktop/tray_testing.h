// Test-only: the tray driven and looked at as a user and a desktop would,
// without a tray host or a click.
#pragma once

#include <functional>

class QMenu;
class QWidget;

namespace platform {

// Opens the tray menu as far as a user's right click does before it appears
// (the populate request and the items) and returns it without showing it.
QMenu* openTrayMenuForTest();
// What a click on the tray icon does.
void clickTrayIconForTest();

// Whether the desktop has a tray, instead of asking it (an empty function
// asks it again); and one look for the tray, as the watch makes.
void setSystemTrayAvailabilityForTest(std::function<bool()> available);
void lookForTrayForTest();
// The tray icon is shown; the stand-in window, null before one was needed.
bool trayIconShownForTest();
QWidget* trayWindowForTest();

}  // namespace platform
