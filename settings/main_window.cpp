#include "settings/main_window.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/hot_key_config.h"
#include "app/hot_keys.h"
#include "platform/ui/menus.h"
#include "switch/kvm_access.h"
#include "switch/kvm_operations.h"

MainWindow* pOurWindow = nullptr;
HOT_KEY_CONTROL HotConfig[2];

namespace {

// Names stored in a HOT_KEY keep room for a terminator well inside the record.
constexpr size_t kCapturedNameLength = 32;

const EventTypeSpec kRawKeyDown = {kEventClassKeyboard, kEventRawKeyDown};

void RemoveKeyHandlers() {
  for (HOT_KEY_CONTROL& field : HotConfig) {
    if (field.handler) {
      RemoveEventHandler(field.handler);
      field.handler = nullptr;
    }
  }
}

// The new keys are registered all the same; the user learns that they will
// not come back at the next start.
void ReportUnsavedHotKeys(const std::string& failure) {
  const std::string text = failure + ". The new hot keys work until the program quits.";
  CFStringRef message = CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
  CFUserNotificationDisplayNotice(0, kCFUserNotificationCautionAlertLevel, nullptr, nullptr, nullptr,
                                  CFSTR("The hot keys could not be saved."), message, nullptr);
  if (message) CFRelease(message);
}

}  // namespace

MainWindow::MainWindow()
    : TWindow(static_cast<WindowRef>(nullptr)), fSettingsLoaded(false), fLoadedVersion(0), fOpening(0) {}

MainWindow::~MainWindow() {
  pOurWindow = nullptr;
  // The fields go with the window; a capture left installed would outlive them.
  RemoveKeyHandlers();
  HotConfig[0].control = HotConfig[1].control = nullptr;
}

void MainWindow::Create(bool show, CFStringRef windowName, CFStringRef nibName) {
  if (!pOurWindow) {
    pOurWindow = new MainWindow;
    pOurWindow->TWindow::Init(windowName, nibName);
    pOurWindow->fSettingsLoaded = false;
    RepositionWindow(pOurWindow->fWindow, nullptr, kWindowCenterOnMainScreen);
    memset(HotConfig, 0, sizeof HotConfig);
    // The desktop may answer for the hot keys while the dialog is open.
    WatchHotKeyNotes([] {
      if (pOurWindow) pOurWindow->ShowInactiveHotKeys();
    });
  }
  if (show) {
    if (!pOurWindow->fSettingsLoaded) {
      pOurWindow->fSettingsLoaded = true;
      // The dialog opens at once with its hot keys; the switch's options wait,
      // disabled, for the switch's answer. An answer that comes after the
      // dialog was closed or opened again is not this opening's.
      const unsigned opening = ++pOurWindow->fOpening;
      const bool keysLoaded = pOurWindow->InitHotKeys() == noErr;
      if (keysLoaded) {
        pOurWindow->fLoadedVersion = 0;
        DisableControl(pOurWindow->FindControl(kOptionGroupId));
      }
      SubmitKVMJob(
          platform::SwitchJobKind::Read,
          [] {
            MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
            KVMGetInformation(&KVMSwitch.info);
            MPExitCriticalRegion(KVMSwitch.criticalRegion);
          },
          [opening, keysLoaded] {
            if (keysLoaded && pOurWindow && pOurWindow->fSettingsLoaded && pOurWindow->fOpening == opening)
              pOurWindow->LoadOptions(ShownKVMInfo());
          });
    }
    pOurWindow->Select();
    pOurWindow->Show();
  } else {
    pOurWindow->CloseDialog();
    pOurWindow->Hide();
  }
}

ControlRef MainWindow::FindControl(const ControlID& id) {
  HIViewRef control = nullptr;
  HIViewFindByID(HIViewGetRoot(fWindow), id, &control);
  return control;
}

OSStatus MainWindow::InitSettings() {
  const OSStatus status = InitHotKeys();
  if (status != noErr) return status;
  LoadOptions(ShownKVMInfo());
  return noErr;
}

OSStatus MainWindow::InitHotKeys() {
  fLoadedVersion = 0;
  ShowInactiveHotKeys();

  // Both keys are taken before either capture is installed, so that a failed
  // installation cannot leave a field's working copy empty for the save.
  for (int i = 0; i < 2; ++i) HotConfig[i].key = KVMSwitch.hotKeys[i];
  for (int i = 0; i < 2; ++i) {
    HotConfig[i].control = FindControl(kHotKeyIDs[i]);
    // A name from a damaged file may lack its terminator.
    SetControlData(HotConfig[i].control, kControlEntireControl, kControlEditTextTextTag,
                   Size(HotKeyNameLength(HotConfig[i].key)), HotConfig[i].key.name);
    OSStatus status = InstallEventHandler(GetControlEventTarget(HotConfig[i].control), Handle_EventRawKeyDown, 1,
                                          &kRawKeyDown, reinterpret_cast<void*>(uintptr_t(i)), &HotConfig[i].handler);
    if (status != noErr) return status;
  }
  return noErr;
}

void MainWindow::LoadOptions(const KVM_INFO& info) {
  fLoadedVersion = 0;
  if (info.state != 2) {
    DisableControl(FindControl(kOptionGroupId));
  } else {
    fLoadedVersion = info.version;
    EnableControl(FindControl(kOptionGroupId));

    ControlRef buzzer = FindControl(kBuzzerID);
    if (info.hasBuzzer) {
      ShowControl(buzzer);
      SetControl32BitValue(buzzer, info.buzzerOn ? 1 : 0);
    } else {
      HideControl(buzzer);
    }

    LoadPortOption(kFixAudioPortID, kAudioPortNumberID, info.portCount, info.hasAudio, info.audioBindable,
                   info.audioFixed, info.audioPort);
    for (int h = 0; h < 2; ++h) {
      LoadPortOption(kFixHUBPortIDs[h], kHUBPortNumberIDs[h], info.portCount, info.hasHub[h], info.hubBindable[h],
                     info.hubFixed[h], info.hubPort[h]);
    }
    LoadAutoScanPeriod(info);
    LoadUniversalHotKey(info);
  }

  HandleItemHit(short(kFixAudioPortID.id));
  HandleItemHit(short(kFixHUBPortIDs[0].id));
  HandleItemHit(short(kFixHUBPortIDs[1].id));
}

// The keys as the last registration left them: the fields may show others
// once the user has pressed new ones, until they are saved and registered.
void MainWindow::ShowInactiveHotKeys() {
  ControlRef label = FindControl(kHotKeyProblemID);
  std::string text;
  for (int port = 0; port < 2; ++port) {
    const std::string note = HotKeyNote(port);
    if (note.empty()) continue;
    if (!text.empty()) text += '\n';
    text += note + ".";
  }
  // The notes may quote the desktop, in any script.
  CFStringRef shown = CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
  if (shown) {
    SetControlData(label, kControlEntireControl, kControlStaticTextCFStringTag, Size(sizeof shown), &shown);
    CFRelease(shown);
  }
  if (text.empty()) {
    HideControl(label);
  } else {
    ShowControl(label);
  }
}

void MainWindow::LoadPortOption(const ControlID& fixID, const ControlID& portID, int32_t portCount, bool has,
                                bool bindable, bool fixed, int32_t port) {
  ControlRef check = FindControl(fixID);
  ControlRef popup = FindControl(portID);
  if (!has) {
    HideControl(check);
    HideControl(popup);
    return;
  }
  ShowControl(check);
  if (bindable) {
    SetControl32BitValue(check, fixed ? 1 : 0);
    ActivateControl(check);
  } else {
    SetControl32BitValue(check, 0);
    DeactivateControl(check);
  }
  ShowControl(popup);
  FillPortMenu(popup, portCount);
  SetControlValue(popup, SInt16(port + 1));
}

void MainWindow::FillPortMenu(ControlRef popup, int32_t portCount) {
  MenuRef menu = nullptr;
  if (GetControlData(popup, kControlEntireControl, kControlPopupButtonMenuHandleTag, sizeof menu, &menu, nullptr) !=
      noErr) {
    return;
  }
  DeleteMenuItems(menu, 1, CountMenuItems(menu));
  for (int32_t n = 1; n <= portCount; ++n) {
    CFStringRef text = CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%d"), n);
    AppendMenuItemTextWithCFString(menu, text, 0, 0, nullptr);
    CFRelease(text);
  }
}

// A pop-up that the switch does not offer takes its label with it.
void MainWindow::ShowLabelledOption(const ControlID& id, const ControlID& labelID, bool shown) {
  for (ControlRef control : {FindControl(id), FindControl(labelID)}) {
    if (shown) {
      ShowControl(control);
    } else {
      HideControl(control);
    }
  }
}

void MainWindow::LoadAutoScanPeriod(const KVM_INFO& info) {
  ControlRef popup = FindControl(kAutoScanPeriodID);
  ShowLabelledOption(kAutoScanPeriodID, kAutoScanPeriodLabelID, info.hasAutoScanPeriod);
  if (!info.hasAutoScanPeriod) return;
  MenuRef menu = nullptr;
  if (GetControlData(popup, kControlEntireControl, kControlPopupButtonMenuHandleTag, sizeof menu, &menu, nullptr) !=
      noErr) {
    return;
  }
  DeleteMenuItems(menu, 1, CountMenuItems(menu));
  // An item stands for 5 x autoScanPeriod seconds; the serial-number switch
  // starts at 10 seconds, the feature-report switch at 5.
  const bool serialNumberSwitch = info.version == 1;
  const int generation = serialNumberSwitch ? 1 : 2;
  const int first = kFirstAutoScanPeriod[generation];
  const int count = kLastAutoScanPeriod[generation] - first + 1;
  for (int n = 0; n < count; ++n) {
    CFStringRef text = CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%d"), kAutoScanPeriodUnitSeconds * (first + n));
    AppendMenuItemTextWithCFString(menu, text, 0, 0, nullptr);
    CFRelease(text);
  }
  SetControlValue(popup, SInt16(serialNumberSwitch ? info.autoScanPeriod - 1 : info.autoScanPeriod));
}

void MainWindow::LoadUniversalHotKey(const KVM_INFO& info) {
  ControlRef popup = FindControl(kUniversalHotKeyID);
  ShowLabelledOption(kUniversalHotKeyID, kUniversalHotKeyLabelID, info.hasUniversalHotKey);
  if (!info.hasUniversalHotKey) return;
  MenuRef menu = nullptr;
  if (GetControlData(popup, kControlEntireControl, kControlPopupButtonMenuHandleTag, sizeof menu, &menu, nullptr) !=
      noErr) {
    return;
  }
  // Rebuilding the items must not move the choice when the switch's key is
  // none of them: it stays as the file or an earlier opening left it.
  const SInt16 earlier = GetControlValue(popup);
  DeleteMenuItems(menu, 1, CountMenuItems(menu));
  SInt16 chosen = earlier;
  for (int i = 0; HotKeyList[i].code != 0; ++i) {
    CFStringRef text = CFStringCreateWithFormat(kCFAllocatorDefault, nullptr, CFSTR("%s"), HotKeyList[i].name);
    AppendMenuItemTextWithCFString(menu, text, 0, 0, nullptr);
    CFRelease(text);
    if (uint32_t(HotKeyList[i].code) == info.universalHotKey) chosen = SInt16(i + 1);
  }
  SetControlValue(popup, chosen);
}

bool MainWindow::HandleCommand(const HICommandExtended& command) {
  switch (command.commandID) {
    case kHICommandOK:
      SaveSettings();
      CloseDialog();
      if (pOurWindow) pOurWindow->Hide();
      return true;
    case kHICommandCancel:
      CloseDialog();
      if (pOurWindow) pOurWindow->Hide();
      return true;
    default:
      return false;
  }
}

void MainWindow::SaveSettings() {
  for (int i = 0; i < 2; ++i) KVMSwitch.hotKeys[i] = HotConfig[i].key;
  // The file is written off the interface thread; its notice comes after.
  struct Stored {
    HOT_KEY keys[2];
    bool saved = true;
    std::string failure;
  };
  auto stored = std::make_shared<Stored>();
  memcpy(stored->keys, KVMSwitch.hotKeys, sizeof stored->keys);
  SubmitKVMJob(
      platform::SwitchJobKind::Command, [stored] { stored->saved = SetHotKeyConfiguration(stored->keys, &stored->failure); },
      [stored] {
        if (!stored->saved) ReportUnsavedHotKeys(stored->failure);
      });
  RegisterHotKeys();

  // What the controls say now; the switch job compares it with the record and
  // sends what changed.
  const DialogChoices choices = ReadChoices();
  SubmitKVMJob(platform::SwitchJobKind::Command, [choices] {
    MPEnterCriticalRegion(KVMSwitch.criticalRegion, kDurationForever);
    SendChangedOptions(choices, &KVMSwitch.info);
    MPExitCriticalRegion(KVMSwitch.criticalRegion);
  });
}

DialogChoices MainWindow::ReadChoices() {
  DialogChoices choices;
  choices.loadedVersion = fLoadedVersion;
  if (ControlRef control = FindControl(kBuzzerID)) choices.buzzer = GetControl32BitValue(control) == 1;
  auto portOption = [this](const ControlID& fixID, const ControlID& portID) -> std::optional<PortChoice> {
    ControlRef check = FindControl(fixID);
    ControlRef popup = FindControl(portID);
    if (!check || !popup) return std::nullopt;
    return PortChoice{GetControl32BitValue(check) == 1, GetControlValue(popup) - 1};
  };
  choices.audio = portOption(kFixAudioPortID, kAudioPortNumberID);
  for (int h = 0; h < 2; ++h) choices.hub[h] = portOption(kFixHUBPortIDs[h], kHUBPortNumberIDs[h]);
  if (ControlRef control = FindControl(kAutoScanPeriodID)) choices.periodItem = GetControlValue(control);
  if (ControlRef control = FindControl(kUniversalHotKeyID)) choices.universalHotKeyItem = GetControlValue(control);
  return choices;
}

namespace {

// Takes one port binding from the dialog if it changed; true when it did.
bool ApplyPortOption(const std::optional<PortChoice>& choice, bool* fixed, int32_t* port) {
  if (!choice) return false;
  if (choice->fixed == *fixed && !(*fixed && choice->port != *port)) return false;
  *fixed = choice->fixed;
  *port = choice->port;
  return true;
}

}  // namespace

void SendChangedOptions(const DialogChoices& choices, KVM_INFO* record) {
  KVM_INFO& info = *record;
  // Controls never filled from this switch (opened without one, or for the
  // other generation) say nothing about it.
  if (info.state != 2 || choices.loadedVersion == 0 || choices.loadedVersion != info.version) return;
  if (info.hasBuzzer && choices.buzzer && *choices.buzzer != info.buzzerOn) {
    info.buzzerOn = *choices.buzzer;
    KVMSetBuzzer(&info, info.buzzerOn);
  }
  if (info.hasAudio && info.audioBindable && ApplyPortOption(choices.audio, &info.audioFixed, &info.audioPort)) {
    if (info.audioFixed) {
      KVMUnbindAudio(&info);
      KVMFixAudioPortNumber(&info, info.audioPort);
    } else {
      KVMBindAudio(&info);
    }
  }
  for (int h = 0; h < 2; ++h) {
    if (info.hasHub[h] && info.hubBindable[h] && ApplyPortOption(choices.hub[h], &info.hubFixed[h], &info.hubPort[h])) {
      if (info.hubFixed[h]) {
        KVMUnbindHUB(&info, h);
        KVMFixHUBPortNumber(&info, h, info.hubPort[h]);
      } else {
        KVMBindHUB(&info, h);
      }
    }
  }
  if (info.hasAutoScanPeriod && choices.periodItem) {
    const int32_t period = *choices.periodItem + (info.version == 1 ? 1 : 0);
    if (period != info.autoScanPeriod) {
      info.autoScanPeriod = period;
      KVMSetAutoScanPeriod(&info, period);
    }
  }
  if (info.hasUniversalHotKey && choices.universalHotKeyItem) {
    // Only the first four entries can be sent; the switch's value comes back
    // with the next information read.
    const SInt16 item = *choices.universalHotKeyItem;
    if (item >= 1 && item <= 4 && uint32_t(HotKeyList[item - 1].code) != info.universalHotKey) {
      KVMSetUniversalHotKey(&info, uint32_t(HotKeyList[item - 1].code));
    }
  }
}

void MainWindow::HandleItemHit(short item) {
  ControlID check;
  ControlID popup;
  if (item == kFixAudioPortID.id) {
    check = kFixAudioPortID;
    popup = kAudioPortNumberID;
  } else if (item == kFixHUBPortIDs[0].id) {
    check = kFixHUBPortIDs[0];
    popup = kHUBPortNumberIDs[0];
  } else if (item == kFixHUBPortIDs[1].id) {
    check = kFixHUBPortIDs[1];
    popup = kHUBPortNumberIDs[1];
  } else {
    return;
  }
  const SInt16 value = GetControlValue(FindControl(check));
  ControlRef control = FindControl(popup);
  if (value == 0) {
    DeactivateControl(control);
  } else if (value == 1) {
    ActivateControl(control);
  }
}

bool MainWindow::CloseDialog() {
  RemoveKeyHandlers();
  fSettingsLoaded = false;
  return true;
}

OSStatus Handle_EventRawKeyDown(EventHandlerCallRef, EventRef event, void* userData) {
  const uintptr_t index = reinterpret_cast<uintptr_t>(userData);
  if (index > 1) return noErr;

  UInt32 keyCode = 0;
  OSStatus status =
      GetEventParameter(event, kEventParamKeyCode, typeUInt32, nullptr, sizeof keyCode, nullptr, &keyCode);
  if (status != noErr) return status;
  fprintf(stderr, "keycode - %d - ", int(keyCode));

  char character[2] = {0, 0};
  status = GetEventParameter(event, kEventParamKeyMacCharCodes, typeChar, nullptr, 1, nullptr, character);
  // A character above 127 prints negative whatever the processor's char is.
  fprintf(stderr, "Charcode - %d \n", int(int8_t(character[0])));

  const char* name = character;
  for (const HOT_KEY& mapped : MappedKeys) {
    if (UInt32(mapped.code) == keyCode) {
      name = mapped.name;
      break;
    }
  }

  HOT_KEY_CONTROL& field = HotConfig[index];
  const Size length = Size(strnlen(name, sizeof field.key.name));
  SetControlData(field.control, kControlEntireControl, kControlEditTextTextTag, length, name);
  field.key.code = int32_t(keyCode);
  // At most 32 characters are kept, zero-filled up to and including byte 32;
  // bytes 33 to 35 lie beyond every captured name and keep what they held.
  const size_t stored = strnlen(name, kCapturedNameLength);
  memset(field.key.name, 0, kCapturedNameLength + 1);
  memcpy(field.key.name, name, stored);
  return status;
}
