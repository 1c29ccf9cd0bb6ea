#include "framework/t_application.h"

#include "framework/t_nib.h"

const EventTypeSpec TApplication::kEvents[6] = {
    {kEventClassCommand, kEventCommandProcess},
    {kEventClassMenu, kEventMenuPopulate},
    {kEventClassApplication, kEventAppShown},
    {kEventClassKeyboard, kEventHotKeyPressed},
    {kEventClassSystem, kEventSystemUserSessionActivated},
    {kEventClassSystem, kEventSystemUserSessionDeactivated},
};

TApplication::TApplication(CFStringRef menuBarName, CFStringRef nibName) { Init(menuBarName, nibName); }

TApplication::~TApplication() = default;

OSStatus TApplication::Init(CFStringRef menuBarName, CFStringRef) {
  OSStatus status = RegisterForEvents(6, kEvents);
  if (status != noErr) return status;
  TNib nib;
  status = nib.Init(CFSTR("Settings2 Ports"));
  if (status != noErr) return status;
  return nib.SetMenuBar(menuBarName);
}

EventTargetRef TApplication::GetEventTarget() { return GetApplicationEventTarget(); }

void TApplication::Run() { RunApplicationEventLoop(); }

void TApplication::Activated() {}
void TApplication::Deactivated() {}
bool TApplication::UpdateCommandStatus(const HICommandExtended&) { return false; }
bool TApplication::HandleCommand(const HICommandExtended&) { return false; }
bool TApplication::UpdateDockMenu(MenuRef&) { return false; }
bool TApplication::OpenSettingsDialog() { return false; }
bool TApplication::HandleHotKey(EventHotKeyID&) { return false; }
bool TApplication::HandleUserLogin(unsigned long) { return false; }

OSStatus TApplication::HandleEvent(EventHandlerCallRef, TCarbonEvent& event) {
  const UInt32 eventClass = event.GetClass();
  const UInt32 eventKind = event.GetKind();
  bool handled = false;

  switch (eventClass) {
    case kEventClassCommand: {
      HICommandExtended command{};
      event.GetParameter(kEventParamDirectObject, &command);
      if (eventKind == kEventCommandProcess) {
        handled = HandleCommand(command);
      } else if (eventKind == kEventCommandUpdateStatus) {
        handled = UpdateCommandStatus(command);
      }
      break;
    }
    case kEventClassMenu: {
      MenuRef menu = nullptr;
      event.GetParameter(kEventParamDirectObject, &menu);
      if (eventKind == kEventMenuPopulate) handled = UpdateDockMenu(menu);
      break;
    }
    case kEventClassApplication:
      if (eventKind == kEventAppShown) handled = OpenSettingsDialog();
      break;
    case kEventClassKeyboard:
      if (eventKind == kEventHotKeyPressed) {
        EventHotKeyID hotKeyID{};
        GetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, nullptr, sizeof hotKeyID, nullptr,
                          &hotKeyID);
        handled = HandleHotKey(hotKeyID);
      }
      break;
    case kEventClassSystem:
      if (eventKind == kEventSystemUserSessionActivated || eventKind == kEventSystemUserSessionDeactivated) {
        handled = HandleUserLogin(eventKind);
      }
      break;
    default:
      break;
  }
  return handled ? noErr : eventNotHandledErr;
}
