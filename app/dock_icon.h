// The tray picture shows the active computer: one picture per port, the
// application's own when no port can be shown.
#pragma once

// Icon number of the picture shown; -1 at start (the application's own).
extern int CurrentIconNumber;

// Shows the picture of icon number `port` (0-3: "pc1.icns".."pc4.icns", any
// other: "portvane.icns"). Does nothing when that number is already shown.
void ChangeDockIcon(int port);
