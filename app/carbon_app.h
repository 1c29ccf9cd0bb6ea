// The application object: menu and tray-menu commands, the tray menu kept up
// to date, the settings dialog on request, global hot keys, the user's
// session being switched out and back in, and the switch read again on waking.
#pragma once

#include "framework/t_application.h"

class CarbonApp : public TApplication {
 public:
  CarbonApp();
  ~CarbonApp() override;

  bool HandleCommand(const HICommandExtended& command) override;
  bool UpdateDockMenu(MenuRef& menu) override;
  bool OpenSettingsDialog() override;
  bool HandleHotKey(EventHotKeyID& id) override;
  bool HandleUserLogin(unsigned long kind) override;
};

// Installs the tray ("Dock") menu "DockMenu" of "USBMENUDOCK 2 Ports".
bool SetOurDockMenu();

// After a sleep: the tick's work about a second later (once more if that read
// fails) rather than at the next tick, so that the picture shows the computer
// the switch was moved to meanwhile. Nothing while no switch is polled.
void ReadSwitchAfterSleep();
