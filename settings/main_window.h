// The settings dialog: the switch's own options (buzzer, audio and hub port
// binding, auto-scan period, the switch's hot key) and the application's two
// per-port hot keys. Created once, hidden while not in use; every opening reads
// the switch afresh (on the switch worker) and fills the controls from its answer.
#pragma once

#include <optional>

#include "framework/t_window.h"
#include "switch/kvm_switch.h"

// One hot-key field of the dialog and the key it is editing.
struct HOT_KEY_CONTROL {
  ControlRef control;
  EventHandlerRef handler;  // the raw-key capture while the dialog is open; null when none
  HOT_KEY key;
};

constexpr ControlID kOptionGroupId = {FOUR_CHAR_CODE("OPTG"), 10};
constexpr ControlID kBuzzerID = {FOUR_CHAR_CODE("OPTG"), 11};
constexpr ControlID kFixAudioPortID = {FOUR_CHAR_CODE("OPTG"), 12};
constexpr ControlID kAudioPortNumberID = {FOUR_CHAR_CODE("OPTG"), 13};
constexpr ControlID kFixHUBPortIDs[2] = {{FOUR_CHAR_CODE("OPTG"), 14}, {FOUR_CHAR_CODE("OPTG"), 16}};
constexpr ControlID kHUBPortNumberIDs[2] = {{FOUR_CHAR_CODE("OPTG"), 15}, {FOUR_CHAR_CODE("OPTG"), 17}};
constexpr ControlID kAutoScanPeriodID = {FOUR_CHAR_CODE("OPTG"), 18};
constexpr ControlID kUniversalHotKeyID = {FOUR_CHAR_CODE("OPTG"), 20};
// The labels of the period and hot-key pop-ups, shown and hidden with them.
constexpr ControlID kAutoScanPeriodLabelID = {FOUR_CHAR_CODE("LABL"), 18};
constexpr ControlID kUniversalHotKeyLabelID = {FOUR_CHAR_CODE("LABL"), 20};
// The application hot keys of port 0 and port 1 (the first and second computer).
constexpr ControlID kHotKeyIDs[2] = {{FOUR_CHAR_CODE("HOTG"), 2}, {FOUR_CHAR_CODE("HOTG"), 3}};
// Says which of the two hot keys is not active and why; hidden while both are.
constexpr ControlID kHotKeyProblemID = {FOUR_CHAR_CODE("HOTG"), 4};

// A port binding as the dialog shows it: fixed to `port` (from 0) or following.
struct PortChoice {
  bool fixed;
  int32_t port;
};
// What the option controls say at a save; a control the window lacks says nothing.
struct DialogChoices {
  int32_t loadedVersion = 0;  // see MainWindow::fLoadedVersion
  std::optional<bool> buzzer;
  std::optional<PortChoice> audio;
  std::optional<PortChoice> hub[2];
  std::optional<SInt16> periodItem;
  std::optional<SInt16> universalHotKeyItem;
};
// Sends the switch what `choices` change of `info` and records it there. The
// caller holds KVMSwitch.criticalRegion (a switch job).
void SendChangedOptions(const DialogChoices& choices, KVM_INFO* info);

class MainWindow : public TWindow {
 public:
  MainWindow();
  ~MainWindow() override;

  // Creates the dialog on first use; `show` true opens it (reading the switch
  // unless it is already open), false closes and hides it.
  static void Create(bool show, CFStringRef windowName, CFStringRef nibName);

  bool HandleCommand(const HICommandExtended& command) override;
  void HandleItemHit(short item) override;
  bool CloseDialog() override;

  // Fills every control from KVMSwitch and installs the two key captures; the
  // status of a failed installation, which ends the loading there.
  OSStatus InitSettings();
  // Applies the controls: hot keys stored and registered, changed switch
  // options sent (the file and the switch on the switch worker).
  void SaveSettings();

 private:
  ControlRef FindControl(const ControlID& id);
  // The hot-key fields and their captures; the status of a failed installation.
  OSStatus InitHotKeys();
  // The option controls from `info`, as the switch last answered.
  void LoadOptions(const KVM_INFO& info);
  void LoadPortOption(const ControlID& fixID, const ControlID& portID, int32_t portCount, bool has, bool bindable,
                      bool fixed, int32_t port);
  void FillPortMenu(ControlRef popup, int32_t portCount);
  void ShowLabelledOption(const ControlID& id, const ControlID& labelID, bool shown);
  void LoadAutoScanPeriod(const KVM_INFO& info);
  void LoadUniversalHotKey(const KVM_INFO& info);
  void ShowInactiveHotKeys();
  DialogChoices ReadChoices();

  bool fSettingsLoaded;
  // The `version` of the switch whose options this opening loaded, 0 when the
  // option controls were not filled from a switch: only then may they be sent.
  int32_t fLoadedVersion;
  // Counts the openings, so that a read's answer fills only its own.
  unsigned fOpening;
};

// The one settings dialog; null until Create first runs.
extern MainWindow* pOurWindow;
// The dialog's working copy of the application hot keys, index = port.
extern HOT_KEY_CONTROL HotConfig[2];

// Raw-key capture of a hot-key field; `userData` is the index into HotConfig.
OSStatus Handle_EventRawKeyDown(EventHandlerCallRef callRef, EventRef event, void* userData);
