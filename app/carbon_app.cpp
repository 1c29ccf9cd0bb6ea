#include "app/carbon_app.h"

#include <cstdint>

#include "app/dock_icon.h"
#include "app/polling_tick.h"
#include "hid/hid_discovery.h"
#include "platform/core/core_foundation.h"
#include "platform/core/main_queue.h"
#include "platform/desktop/process.h"
#include "platform/desktop/session.h"
#include "platform/desktop/tray.h"
#include "platform/ui/menus.h"
#include "platform/ui/nibs.h"
#include "settings/main_window.h"
#include "switch/kvm_access.h"
#include "switch/kvm_operations.h"

namespace {

constexpr UInt32 kCommandSelectPort1 = FOUR_CHAR_CODE("SPC1");
constexpr UInt32 kCommandSelectPort2 = FOUR_CHAR_CODE("SPC2");
constexpr UInt32 kCommandSelectPort3 = FOUR_CHAR_CODE("SPC3");
constexpr UInt32 kCommandSelectPort4 = FOUR_CHAR_CODE("SPC4");
constexpr UInt32 kCommandAutoScan = FOUR_CHAR_CODE("Auto");
constexpr UInt32 kCommandPreferences = FOUR_CHAR_CODE("pref");

constexpr MenuItemAttributes kHiddenAndDisabled = kMenuItemAttrDisabled | kMenuItemAttrHidden;

void SelectPort(int port) {
  SubmitKVMJob(platform::SwitchJobKind::Command, [port] {
    MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
    KVMSetPortNumber(&KVMSwitch.info, port);
    MPExitCriticalRegion(KVMSwitch.criticalRegion);
  });
}

// A read for the tray menu given to the switch worker and not yet answered;
// openings meanwhile wait for the same one.
bool menuReadUnderWay = false;

// The marks and texts of the tray menu's own items, from `info`.
void MarkDockMenu(MenuRef menu, const KVM_INFO& info) {
  for (int port = 0; port < 2; ++port) {
    const MenuItemIndex item = MenuItemIndex(port + 3);
    if (port < info.portCount && port == info.currentPort) {
      // The active port is marked, and at the same time disabled and hidden.
      SetItemMark(menu, item, checkMark);
      ChangeMenuItemAttributes(menu, item, kHiddenAndDisabled, 0);
    } else if (port < info.portCount && (info.availablePorts & (1 << port))) {
      SetItemMark(menu, item, noMark);
      ChangeMenuItemAttributes(menu, item, 0, kHiddenAndDisabled);
    } else {
      SetItemMark(menu, item, noMark);
      ChangeMenuItemAttributes(menu, item, kHiddenAndDisabled, 0);
    }
  }

  MenuRef autoMenu = nullptr;
  MenuItemIndex autoItem = 0;
  if (GetIndMenuItemWithCommandID(menu, kCommandAutoScan, 1, &autoMenu, &autoItem) == noErr) {
    ChangeMenuItemAttributes(autoMenu, autoItem, 0, kHiddenAndDisabled);
    CFStringRef key = info.autoScanOn ? CFSTR("Stop Auto-Scan") : CFSTR("Start Auto-Scan");
    CFStringRef text = CFBundleCopyLocalizedString(CFBundleGetMainBundle(), key, key, nullptr);
    SetMenuItemTextWithCFString(autoMenu, autoItem, text);
    if (text) CFRelease(text);
  }
}

}  // namespace

namespace {

// logind says a sleep is over while USB may still be resuming the switch: the
// read waits this long, and is made once more should it fail.
constexpr double kWakeReadDelaySeconds = 1.0;
constexpr int kWakeReads = 2;
EventLoopTimerRef wakeTimer = nullptr;

void ScheduleWakeRead(int readsLeft);

void WakeRead(EventLoopTimerRef timer, void* data) {
  // Removed once its own firing is over.
  platform::postToMainQueue([timer] { RemoveEventLoopTimer(timer); });
  if (timer == wakeTimer) wakeTimer = nullptr;
  if (!theTimer) return;  // the switch went meanwhile
  const int readsLeft = int(reinterpret_cast<intptr_t>(data)) - 1;
  ReadSwitchAndShow(&KVMSwitch, [readsLeft](IOReturn status) {
    if (status != kIOReturnSuccess && readsLeft > 0) ScheduleWakeRead(readsLeft);
  });
}

void ScheduleWakeRead(int readsLeft) {
  if (wakeTimer) RemoveEventLoopTimer(wakeTimer);
  wakeTimer = nullptr;
  InstallEventLoopTimer(GetMainEventLoop(), kWakeReadDelaySeconds * kEventDurationSecond, 0,
                        NewEventLoopTimerUPP(WakeRead), reinterpret_cast<void*>(intptr_t(readsLeft)), &wakeTimer);
}

}  // namespace

void ReadSwitchAfterSleep() {
  if (theTimer) ScheduleWakeRead(kWakeReads);
}

bool SetOurDockMenu() {
  // The interface-file reference and the menu stay for the whole run.
  static IBNibRef dockMenuNib = nullptr;
  IBNibRef nib = nullptr;
  if (CreateNibReference(CFSTR("USBMENUDOCK 2 Ports"), &nib) != noErr) return false;
  if (dockMenuNib) DisposeNibReference(dockMenuNib);
  dockMenuNib = nib;
  MenuRef menu = nullptr;
  if (CreateMenuFromNib(nib, CFSTR("DockMenu"), &menu) != noErr) return false;
  return SetApplicationDockTileMenu(menu) == noErr;
}

CarbonApp::CarbonApp() : TApplication(CFSTR("MenuBar"), CFSTR("Settings2Ports")) {
  MainWindow::Create(false, CFSTR("Preferences"), CFSTR("Settings2Ports"));
  platform::setWakeHandler(ReadSwitchAfterSleep);
}

CarbonApp::~CarbonApp() { platform::setWakeHandler(nullptr); }

bool CarbonApp::HandleCommand(const HICommandExtended& command) {
  switch (command.commandID) {
    case kCommandSelectPort1: SelectPort(0); return true;
    case kCommandSelectPort2: SelectPort(1); return true;
    case kCommandSelectPort3: SelectPort(2); return true;
    case kCommandSelectPort4: SelectPort(3); return true;
    case kCommandAutoScan:
      SubmitKVMJob(platform::SwitchJobKind::Command, [] {
        MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
        KVMSetAutoScan(&KVMSwitch.info, !KVMSwitch.info.autoScanOn);
        // Flipped whatever the switch said; the next read brings its own value.
        KVMSwitch.info.autoScanOn = !KVMSwitch.info.autoScanOn;
        MPExitCriticalRegion(KVMSwitch.criticalRegion);
      });
      return true;
    case kCommandPreferences: {
      ProcessSerialNumber ours = {0, 0};
      ProcessSerialNumber front = {0, 0};
      if (GetCurrentProcess(&ours) == noErr && GetFrontProcess(&front) == noErr &&
          (ours.highLongOfPSN != front.highLongOfPSN || ours.lowLongOfPSN != front.lowLongOfPSN)) {
        SetFrontProcess(&ours);
      }
      MainWindow::Create(true, CFSTR("Preferences"), CFSTR("Settings2Ports"));
      return true;
    }
    default:
      return false;
  }
}

bool CarbonApp::UpdateDockMenu(MenuRef& menu) {
  if (menu != GetApplicationDockTileMenu()) return true;

  // The menu opens at once on what the switch last said; its own read then
  // brings the marks and the state line up to date.
  MarkDockMenu(menu, ShownKVMInfo());
  if (menuReadUnderWay) return true;
  menuReadUnderWay = true;
  SubmitKVMJob(
      platform::SwitchJobKind::Read,
      [] {
        MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
        KVMGetInformation(&KVMSwitch.info);
        MPExitCriticalRegion(KVMSwitch.criticalRegion);
      },
      [menu] {
        menuReadUnderWay = false;
        // The tray menu's state line: from this read, not the last tick.
        ShowSwitchState();
        MarkDockMenu(menu, ShownKVMInfo());
      });
  return true;
}

bool CarbonApp::OpenSettingsDialog() {
  HICommand command = {};
  command.attributes = 0;
  command.commandID = kCommandPreferences;
  command.menu.menuRef = nullptr;
  command.menu.menuItemIndex = 0;
  EventRef event = nullptr;
  CreateEvent(nullptr, kEventClassCommand, kEventCommandProcess, GetCurrentEventTime(), kEventAttributeUserEvent,
              &event);
  SetEventParameter(event, kEventParamDirectObject, typeHICommand, sizeof command, &command);
  SendEventToEventTarget(event, GetApplicationEventTarget());
  if (event) ReleaseEvent(event);
  return true;
}

bool CarbonApp::HandleHotKey(EventHotKeyID& id) {
  if (id.id < 1 || id.id > 4) return false;
  SelectPort(int(id.id) - 1);
  return true;
}

bool CarbonApp::HandleUserLogin(unsigned long kind) {
  const bool inactive = kind == kEventSystemUserSessionDeactivated;
  // Ahead of the reads queued: a poll after this finds the login as it is now.
  SubmitKVMJob(platform::SwitchJobKind::Command, [inactive] {
    MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
    if (inactive != KVMSwitch.loginInactive) {
      KVMSwitch.loginInactive = inactive;
      if (!inactive && KVMSwitch.info.state == 1) {
        // A switch arrived while the session was away: open it now.
        KVMSwitch.info.state = 0;
        DEVICE_ID id = {KVMSwitch.info.device.vendorID, KVMSwitch.info.device.productID};
        HIDGetMatchingDevice(&KVMSwitch, &id);
      }
    }
    MPExitCriticalRegion(KVMSwitch.criticalRegion);
  });
  return true;
}
