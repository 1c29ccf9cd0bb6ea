// The settings dialog on real widgets (offscreen) with simulated switches:
// creation and opening, loading for every capability pattern, the check boxes
// driving their port pop-ups, closing (Escape included), the hot-key fields
// capturing keys, and the hot keys that could not be taken.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/hot_keys.h"
#include "app/hot_keys_testing.h"
#include "platform/core/bundle.h"
#include "platform/desktop/hot_keys.h"
#include "platform/desktop/hot_keys_testing.h"
#include "platform/desktop/tray.h"
#include "platform/ui/carbon_events_testing.h"
#include "platform/ui/menus.h"
#include "platform/ui/nibs.h"
#include "settings/main_window.h"
#include "tests/support/framework_test_app.h"
#include "tests/support/settings_fixture.h"

using platform::FeatureReportSwitch;
using platform::SerialNumberSwitch;
using platform::SimCall;

namespace {

const std::string kNoSwitchRead = "KVMGetInformation: Call to USBGetDeviceInfo failed. Code result = E00002BC\n";

class SettingsDialogTest : public testsupport::SettingsTest {
 protected:
  static void Open() { MainWindow::Create(true, CFSTR("Preferences"), CFSTR("Settings2Ports")); }
  static void Close() { MainWindow::Create(false, CFSTR("Preferences"), CFSTR("Settings2Ports")); }

  template <typename W>
  static W* Widget(const ControlID& id) {
    return qobject_cast<W*>(platform::controlWidget(C(id)));
  }
  static QLineEdit* Field(int port) { return Widget<QLineEdit>(kHotKeyIDs[port]); }
  static std::vector<std::string> Items(const ControlID& id) {
    std::vector<std::string> items;
    auto* combo = Widget<QComboBox>(id);
    for (int i = 0; combo && i < combo->count(); ++i) items.push_back(combo->itemText(i).toStdString());
    return items;
  }
  static size_t KeyHandlers(int port) {
    return platform::eventHandlerCount(GetControlEventTarget(C(kHotKeyIDs[port])));
  }
};

std::vector<std::string> Numbers(int first, int step, int count) {
  std::vector<std::string> items;
  for (int i = 0; i < count; ++i) items.push_back(std::to_string(first + i * step));
  return items;
}

// --- Creation and opening

TEST_F(SettingsDialogTest, StartUpCreatesItOnceHiddenWithoutReadingTheSwitch) {
  memset(HotConfig, 0x5A, sizeof HotConfig);
  Close();
  ASSERT_NE(nullptr, pOurWindow);
  MainWindow* first = pOurWindow;
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ(first, TWindow::GetTWindowFromWindowRef(pOurWindow->GetWindowRef()));
  EXPECT_EQ(nullptr, HotConfig[0].control);
  EXPECT_EQ(nullptr, HotConfig[1].handler);
  EXPECT_EQ(0, HotConfig[1].key.code);
  EXPECT_EQ("", err_.take());

  Open();
  EXPECT_EQ(first, pOurWindow);
  EXPECT_TRUE(pOurWindow->IsVisible());
  EXPECT_EQ(kNoSwitchRead, err_.take());
}

TEST_F(SettingsDialogTest, WithoutSwitchOnlyTheHotKeyFieldsAreUsable) {
  Open();
  EXPECT_FALSE(IsControlEnabled(C(kOptionGroupId)));
  EXPECT_FALSE(platform::controlWidget(C(kBuzzerID))->isEnabled());
  EXPECT_EQ("1", Field(0)->text().toStdString());
  EXPECT_EQ("2", Field(1)->text().toStdString());
  EXPECT_TRUE(Field(0)->isEnabled());
  EXPECT_EQ(1u, KeyHandlers(0));
  EXPECT_EQ(1u, KeyHandlers(1));
  QTest::keyClick(Field(1), Qt::Key_F1);
  EXPECT_EQ("F1", Field(1)->text().toStdString());
  EXPECT_EQ(122, HotConfig[1].key.code);
}

TEST_F(SettingsDialogTest, OpeningAgainWhileOpenNeitherReadsNorReloads) {
  FeatureReportSwitch sw;
  Attach(sw);
  Open();
  err_.take();
  sw.clearRecords();
  Click(kBuzzerID);  // the user's edit
  QTest::keyClick(Field(0), Qt::Key_F2);
  Open();
  EXPECT_TRUE(sw.calls().empty());
  EXPECT_EQ(0, GetControlValue(C(kBuzzerID)));
  EXPECT_EQ("F2", Field(0)->text().toStdString());
  EXPECT_EQ(1u, KeyHandlers(0));
  EXPECT_EQ("keycode - 120 - Charcode - 0 \n", err_.take());

  // After closing, the next opening reads the switch and drops the edits.
  Close();
  Open();
  EXPECT_FALSE(sw.calls().empty());
  EXPECT_EQ(1, GetControlValue(C(kBuzzerID)));
  EXPECT_EQ("1", Field(0)->text().toStdString());
}

// --- Loading the switch's options

TEST_F(SettingsDialogTest, FeatureReportSwitchFillsEveryOption) {
  FeatureReportSwitch sw;
  sw.state().buzzer = false;
  sw.state().audioBound = false;
  sw.state().audioPort = 1;
  sw.state().hubBound[1] = false;
  sw.state().hubPort[1] = 1;
  sw.state().scanPeriodSeconds = 35;
  sw.state().universalHotKey = 0x39;
  Attach(sw);
  Open();

  EXPECT_TRUE(IsControlEnabled(C(kOptionGroupId)));
  EXPECT_TRUE(IsControlVisible(C(kBuzzerID)));
  EXPECT_EQ(0, GetControlValue(C(kBuzzerID)));

  EXPECT_EQ(1, GetControlValue(C(kFixAudioPortID)));
  EXPECT_TRUE(IsControlActive(C(kFixAudioPortID)));
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), Items(kAudioPortNumberID));
  EXPECT_EQ(2, GetControlValue(C(kAudioPortNumberID)));
  EXPECT_TRUE(IsControlActive(C(kAudioPortNumberID)));

  EXPECT_EQ(0, GetControlValue(C(kFixHUBPortIDs[0])));
  EXPECT_FALSE(IsControlActive(C(kHUBPortNumberIDs[0])));
  EXPECT_EQ(1, GetControlValue(C(kHUBPortNumberIDs[0])));
  EXPECT_EQ(1, GetControlValue(C(kFixHUBPortIDs[1])));
  EXPECT_TRUE(IsControlActive(C(kHUBPortNumberIDs[1])));
  EXPECT_EQ(2, GetControlValue(C(kHUBPortNumberIDs[1])));
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), Items(kHUBPortNumberIDs[1]));

  EXPECT_EQ(Numbers(5, 5, 20), Items(kAutoScanPeriodID));
  EXPECT_EQ(7, GetControlValue(C(kAutoScanPeriodID)));
  EXPECT_EQ((std::vector<std::string>{"Scroll Lock", "Num Lock", "Caps Lock", "F12", "esc"}),
            Items(kUniversalHotKeyID));
  EXPECT_EQ(3, GetControlValue(C(kUniversalHotKeyID)));
}

TEST_F(SettingsDialogTest, MissingOptionsAreHiddenWithTheirLabelsAndHiddenPopUpsStillFollowTheirCheckBoxes) {
  FeatureReportSwitch sw;
  sw.state().hasBuzzer = false;
  sw.state().hasAudio = false;
  sw.state().hasHub[0] = false;
  sw.state().hasHub[1] = false;
  sw.state().hasAutoScanPeriod = false;
  sw.state().hasUniversalHotKey = false;
  Attach(sw);
  // A pop-up left active by the interface file is set right even when hidden.
  Close();
  ActivateControl(C(kAudioPortNumberID));
  Open();
  for (const ControlID& id : {kBuzzerID, kFixAudioPortID, kAudioPortNumberID, kFixHUBPortIDs[0], kHUBPortNumberIDs[0],
                              kFixHUBPortIDs[1], kHUBPortNumberIDs[1], kAutoScanPeriodID, kUniversalHotKeyID,
                              kAutoScanPeriodLabelID, kUniversalHotKeyLabelID}) {
    EXPECT_FALSE(IsControlVisible(C(id))) << id.id;
  }
  EXPECT_TRUE(IsControlEnabled(C(kOptionGroupId)));
  EXPECT_FALSE(IsControlActive(C(kAudioPortNumberID)));
  EXPECT_TRUE(IsControlVisible(C(kHotKeyIDs[0])));
}

TEST_F(SettingsDialogTest, OptionPresentButNotBindableIsShownUncheckedAndInactive) {
  FeatureReportSwitch sw;
  sw.state().audioBindable = false;
  sw.state().audioBound = false;  // the switch says fixed, but it cannot be changed
  sw.state().hubBindable[0] = false;
  Attach(sw);
  Open();
  EXPECT_TRUE(IsControlVisible(C(kFixAudioPortID)));
  EXPECT_EQ(0, GetControlValue(C(kFixAudioPortID)));
  EXPECT_FALSE(IsControlActive(C(kFixAudioPortID)));
  EXPECT_FALSE(IsControlActive(C(kAudioPortNumberID)));
  EXPECT_FALSE(IsControlActive(C(kFixHUBPortIDs[0])));
  EXPECT_FALSE(IsControlActive(C(kHUBPortNumberIDs[0])));
  EXPECT_TRUE(IsControlActive(C(kFixHUBPortIDs[1])));
}

TEST_F(SettingsDialogTest, SerialNumberSwitchShowsItsOwnPeriodsAndNoHubsOrSwitchHotKey) {
  SerialNumberSwitch sw;
  sw.state().scanPeriodSeconds = 10;
  Attach(sw);
  ASSERT_EQ(1, KVMSwitch.info.version);
  Open();
  EXPECT_EQ(Numbers(10, 5, 11), Items(kAutoScanPeriodID));
  EXPECT_EQ(1, GetControlValue(C(kAutoScanPeriodID)));  // "10"
  EXPECT_FALSE(IsControlVisible(C(kFixHUBPortIDs[0])));
  EXPECT_FALSE(IsControlVisible(C(kHUBPortNumberIDs[1])));
  EXPECT_FALSE(IsControlVisible(C(kUniversalHotKeyID)));
  EXPECT_TRUE(IsControlVisible(C(kFixAudioPortID)));
  EXPECT_TRUE(IsControlVisible(C(kAutoScanPeriodLabelID)));
}

TEST_F(SettingsDialogTest, FeatureReportSwitchWithShortestPeriodSelectsFive) {
  FeatureReportSwitch sw;
  sw.state().scanPeriodSeconds = 5;
  Attach(sw);
  Open();
  EXPECT_EQ(1, GetControlValue(C(kAutoScanPeriodID)));
  EXPECT_EQ("5", Items(kAutoScanPeriodID).front());
}

TEST_F(SettingsDialogTest, SwitchHotKeyOutsideTheListKeepsTheEarlierChoice) {
  FeatureReportSwitch sw;
  sw.state().universalHotKey = 0x53;
  Attach(sw);
  Open();
  EXPECT_EQ(2, GetControlValue(C(kUniversalHotKeyID)));
  Close();
  sw.state().universalHotKey = 0x04;  // "a": the switch's own, not one the list offers
  Open();
  EXPECT_EQ(5u, Items(kUniversalHotKeyID).size());
  EXPECT_EQ(2, GetControlValue(C(kUniversalHotKeyID)));
}

// --- Check boxes and their port pop-ups

TEST_F(SettingsDialogTest, FixCheckBoxesDriveOnlyTheirOwnPopUps) {
  FeatureReportSwitch sw;
  sw.state().audioPort = 1;
  Attach(sw);
  Open();
  ASSERT_FALSE(IsControlActive(C(kAudioPortNumberID)));
  Click(kFixAudioPortID);
  EXPECT_TRUE(IsControlActive(C(kAudioPortNumberID)));
  EXPECT_FALSE(IsControlActive(C(kHUBPortNumberIDs[0])));
  Click(kFixAudioPortID);
  EXPECT_FALSE(IsControlActive(C(kAudioPortNumberID)));
  EXPECT_EQ(2, GetControlValue(C(kAudioPortNumberID)));  // the value is kept

  Click(kFixHUBPortIDs[1]);
  EXPECT_TRUE(IsControlActive(C(kHUBPortNumberIDs[1])));
  EXPECT_FALSE(IsControlActive(C(kHUBPortNumberIDs[0])));

  // The buzzer and any other item change nothing else.
  Click(kBuzzerID);
  for (short item : {11, 13, 15, 17, 18, 20, 99}) pOurWindow->HandleItemHit(item);
  EXPECT_FALSE(IsControlActive(C(kAudioPortNumberID)));
  EXPECT_FALSE(IsControlActive(C(kHUBPortNumberIDs[0])));
  EXPECT_TRUE(IsControlActive(C(kHUBPortNumberIDs[1])));
}

// --- Closing

TEST_F(SettingsDialogTest, EveryWayOfClosingRemovesTheKeyCaptureOnce) {
  Open();
  ASSERT_EQ(1u, KeyHandlers(0));
  Close();
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ(0u, KeyHandlers(0));
  EXPECT_EQ(0u, KeyHandlers(1));
  EXPECT_EQ(nullptr, HotConfig[0].handler);
  Close();  // a second time: nothing left to remove
  EXPECT_TRUE(pOurWindow->CloseDialog());

  // The close box hides the same window, which opens again with a fresh read.
  Open();
  err_.take();
  platform::windowWidget(pOurWindow->GetWindowRef())->close();
  platform::drainMainQueue();
  EXPECT_NE(nullptr, pOurWindow->GetWindowRef());
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ(0u, KeyHandlers(1));
  Open();
  EXPECT_EQ(kNoSwitchRead, err_.take());
  EXPECT_EQ(1u, KeyHandlers(1));

  // Cancel, from its button.
  Press("cancelButton");
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ(0u, KeyHandlers(0));
}

TEST_F(SettingsDialogTest, EscapeCancelsWhereverTheFocusIsAndNoMenuBarIsDrawnInside) {
  // The application's menu bar, installed as start-up does.
  IBNibRef nib = nullptr;
  ASSERT_EQ(noErr, CreateNibReference(CFSTR("Settings2 Ports"), &nib));
  ASSERT_EQ(noErr, SetMenuBarFromNib(nib, CFSTR("MenuBar")));
  DisposeNibReference(nib);
  Open();
  QWidget* dialog = platform::windowWidget(pOurWindow->GetWindowRef());
  EXPECT_EQ(nullptr, dialog->findChild<QMenuBar*>());
  EXPECT_EQ(2u, platform::menuBarMenuCount()) << "loaded all the same";
  err_.take();

  // In a key field Escape is the dialog's, not a key to capture: the key
  // pressed before it is dropped with the rest.
  QTest::keyClick(Field(0), Qt::Key_F3);
  QTest::keyClick(Field(0), Qt::Key_Escape);
  platform::drainMainQueue();
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ(0u, KeyHandlers(0));
  EXPECT_EQ(18, KVMSwitch.hotKeys[0].code);
  EXPECT_EQ("keycode - 99 - Charcode - 0 \n", err_.take());

  Open();
  QTest::keyClick(dialog, Qt::Key_Escape);
  platform::drainMainQueue();
  EXPECT_FALSE(pOurWindow->IsVisible());
  err_.take();
}

TEST_F(SettingsDialogTest, DestroyingTheOpenDialogLeavesNoHandlerBehind) {
  Open();
  delete pOurWindow;
  EXPECT_EQ(nullptr, pOurWindow);
  EXPECT_EQ(nullptr, HotConfig[0].handler);
  EXPECT_EQ(nullptr, HotConfig[1].handler);
  EXPECT_EQ(nullptr, HotConfig[1].control);
}

// --- Key capture

TEST_F(SettingsDialogTest, MappedKeyIsShownByItsNameAndUnmappedKeyByItsCharacter) {
  Open();
  err_.take();
  QTest::keyClick(Field(0), Qt::Key_F1);
  EXPECT_EQ("F1", Field(0)->text().toStdString());
  EXPECT_EQ(122, HotConfig[0].key.code);
  EXPECT_STREQ("F1", HotConfig[0].key.name);
  EXPECT_EQ("keycode - 122 - Charcode - 0 \n", err_.take());

  QTest::keyClick(Field(0), Qt::Key_Q);
  EXPECT_EQ("q", Field(0)->text().toStdString());
  EXPECT_EQ(12, HotConfig[0].key.code);
  EXPECT_STREQ("q", HotConfig[0].key.name);
  EXPECT_EQ("keycode - 12 - Charcode - 113 \n", err_.take());

  // Modifiers are not looked at: Shift+Q is still the key Q, named by what it types.
  QTest::keyClick(Field(1), 'Q', Qt::ShiftModifier);
  EXPECT_EQ("Q", Field(1)->text().toStdString());
  EXPECT_EQ(12, HotConfig[1].key.code);
  EXPECT_EQ(12, HotConfig[0].key.code);
  err_.take();
}

TEST_F(SettingsDialogTest, TabAndEnterAreCapturedLikeAnyOtherKey) {
  Open();
  Field(0)->setFocus();
  err_.take();
  QTest::keyClick(Field(0), Qt::Key_Tab);
  EXPECT_EQ("Tab", Field(0)->text().toStdString());
  EXPECT_EQ(48, HotConfig[0].key.code);
  QTest::keyClick(Field(0), Qt::Key_Return);
  platform::drainMainQueue();
  EXPECT_EQ("Enter", Field(0)->text().toStdString());
  EXPECT_EQ(36, HotConfig[0].key.code);
  EXPECT_STREQ("Enter", HotConfig[0].key.name);
  EXPECT_TRUE(pOurWindow->IsVisible()) << "Enter in a hot-key field must not confirm the dialog";
  EXPECT_EQ(1u, KeyHandlers(0));
  EXPECT_EQ("keycode - 48 - Charcode - 9 \nkeycode - 36 - Charcode - 13 \n", err_.take());
}

TEST_F(SettingsDialogTest, CharacterAbove127PrintsNegativeAndIsShownAsTyped) {
  Open();
  err_.take();
  QTest::sendKeyEvent(QTest::Press, Field(0), Qt::Key_Eacute, QString(QChar(0xE9)), Qt::NoModifier);
  EXPECT_EQ(QString(QChar(0xE9)), Field(0)->text());
  EXPECT_EQ(0xFFFF, HotConfig[0].key.code);
  EXPECT_STREQ("\xE9", HotConfig[0].key.name);
  EXPECT_EQ("keycode - 65535 - Charcode - -23 \n", err_.take());
}

TEST_F(SettingsDialogTest, CapturedNameIsStoredTerminatedWithinItsFirst33Bytes) {
  Open();
  memset(HotConfig[0].key.name, 'x', sizeof HotConfig[0].key.name);
  QTest::keyClick(Field(0), Qt::Key_PageDown);
  EXPECT_STREQ("Page Down", HotConfig[0].key.name);
  for (size_t i = strlen("Page Down"); i <= 32; ++i) EXPECT_EQ(0, HotConfig[0].key.name[i]) << i;
  for (size_t i = 33; i < sizeof HotConfig[0].key.name; ++i) EXPECT_EQ('x', HotConfig[0].key.name[i]) << i;
  err_.take();
}

TEST_F(SettingsDialogTest, EventsWithoutCodeOrCharacterAndUnknownFields) {
  Open();
  err_.take();
  ControlRef field = C(kHotKeyIDs[0]);
  const HOT_KEY before = HotConfig[0].key;

  // No key code: passed on, nothing printed or captured.
  TCarbonEvent noCode(kEventClassKeyboard, kEventRawKeyDown);
  EXPECT_EQ(eventParameterNotFoundErr, Handle_EventRawKeyDown(nullptr, noCode, reinterpret_cast<void*>(0)));
  EXPECT_EQ("", err_.take());
  EXPECT_EQ(before.code, HotConfig[0].key.code);

  // No character: still captured under its code; the status goes back.
  TCarbonEvent noCharacter(kEventClassKeyboard, kEventRawKeyDown);
  const UInt32 f5 = 96;
  SetEventParameter(noCharacter, kEventParamKeyCode, typeUInt32, sizeof f5, &f5);
  EXPECT_EQ(eventParameterNotFoundErr, SendEventToEventTarget(noCharacter, GetControlEventTarget(field)));
  EXPECT_EQ("F5", Field(0)->text().toStdString());
  EXPECT_EQ(96, HotConfig[0].key.code);
  EXPECT_EQ("keycode - 96 - Charcode - 0 \n", err_.take());

  const UInt32 unmapped = 0x35;  // Escape: not in the table, and here without its character
  SetEventParameter(noCharacter, kEventParamKeyCode, typeUInt32, sizeof unmapped, &unmapped);
  SendEventToEventTarget(noCharacter, GetControlEventTarget(field));
  EXPECT_EQ("", Field(0)->text().toStdString());
  EXPECT_EQ(0x35, HotConfig[0].key.code);
  EXPECT_STREQ("", HotConfig[0].key.name);
  err_.take();

  // A field index past the two: handled, nothing done.
  TCarbonEvent stray(kEventClassKeyboard, kEventRawKeyDown);
  SetEventParameter(stray, kEventParamKeyCode, typeUInt32, sizeof f5, &f5);
  const HOT_KEY second = HotConfig[1].key;
  EXPECT_EQ(noErr, Handle_EventRawKeyDown(nullptr, stray, reinterpret_cast<void*>(2)));
  EXPECT_EQ("", err_.take());
  EXPECT_EQ(0, memcmp(&second, &HotConfig[1].key, sizeof second));
}

TEST_F(SettingsDialogTest, AHotKeyNotTakenIsReportedOnceAndNamedInTheDialogAndTheTray) {
  FeatureReportSwitch sw;
  Attach(sw);
  ForgetHotKeyRegistrations();

  // Both computers given the same key; then one the keyboard does not have.
  KVMSwitch.hotKeys[1] = {18, "1"};
  RegisterHotKeys();
  EXPECT_EQ("portvane: hot key Control+Alt+1 is not active: computer 1 uses it already\n", err_.take());
  KVMSwitch.hotKeys[0] = {0x7FFF, "\xE9"};
  RegisterHotKeys();
  EXPECT_EQ("portvane: hot key Control+Alt+\xC3\xA9 is not active: the keyboard has no such key\n", err_.take());
  Open();
  QLabel* problem = Widget<QLabel>(kHotKeyProblemID);
  ASSERT_NE(nullptr, problem);
  EXPECT_FALSE(problem->isHidden());
  EXPECT_EQ(QString::fromUtf8("Control+Alt+\u00E9 is not active: the keyboard has no such key."), problem->text());
  EXPECT_EQ(QString::fromUtf8("Portvane\nComputer 1\nControl+Alt+\u00E9 is not active: the keyboard has no such key"),
            platform::trayToolTip());
  Close();

  // Saved keys that are taken: no line, and nothing said about them.
  KVMSwitch.hotKeys[0] = {18, "1"};
  KVMSwitch.hotKeys[1] = {19, "2"};
  RegisterHotKeys();
  Open();
  EXPECT_TRUE(problem->isHidden());
  EXPECT_EQ("Portvane\nComputer 1", platform::trayToolTip().toStdString());
  EXPECT_EQ(2u, platform::registeredHotKeys().size());
  err_.take();
  ForgetHotKeyRegistrations();
}

TEST_F(SettingsDialogTest, NameFromADamagedFileIsShownWithinItsRecord) {
  memset(KVMSwitch.hotKeys[0].name, 'A', sizeof KVMSwitch.hotKeys[0].name);
  KVMSwitch.hotKeys[1] = {19, "tail"};
  Open();
  EXPECT_EQ(std::string(36, 'A'), Field(0)->text().toStdString());
  EXPECT_EQ("tail", Field(1)->text().toStdString());
}

// --- A window without its second hot-key field

const char kBrokenUi[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Preferences</class>
 <widget class="QDialog" name="Preferences">
  <layout class="QVBoxLayout" name="layout">
   <item>
    <widget class="QGroupBox" name="options">
     <property name="controlSignature" stdset="0"><string>OPTG</string></property>
     <property name="controlID" stdset="0"><number>10</number></property>
     <layout class="QVBoxLayout" name="optionsLayout">
      <item>
       <widget class="QCheckBox" name="buzzer">
        <property name="controlSignature" stdset="0"><string>OPTG</string></property>
        <property name="controlID" stdset="0"><number>11</number></property>
       </widget>
      </item>
     </layout>
    </widget>
   </item>
   <item>
    <widget class="QLineEdit" name="hotKey1">
     <property name="controlSignature" stdset="0"><string>HOTG</string></property>
     <property name="controlID" stdset="0"><number>2</number></property>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

TEST_F(SettingsDialogTest, FailedKeyCaptureStopsLoadingButKeepsBothKeysForTheSave) {
  QTemporaryDir bundle;
  QFile file(bundle.filePath("Settings2Ports.ui"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(kBrokenUi);
  file.close();
  const std::string previous = platform::bundleResourcesDirectory();
  platform::setBundleResourcesDirectory(bundle.path().toStdString());

  FeatureReportSwitch sw;
  Attach(sw);
  Close();
  EXPECT_NE(noErr, pOurWindow->InitSettings());
  EXPECT_EQ(1u, KeyHandlers(0));
  EXPECT_EQ(19, HotConfig[1].key.code);
  EXPECT_STREQ("2", HotConfig[1].key.name);
  EXPECT_EQ(nullptr, HotConfig[1].handler);
  EXPECT_TRUE(IsControlEnabled(C(kOptionGroupId))) << "the option group is left as the file made it";

  // Confirming stores port 1's key unharmed and sends nothing to the switch.
  sw.clearRecords();
  HICommandExtended ok{};
  ok.commandID = kHICommandOK;
  EXPECT_TRUE(pOurWindow->HandleCommand(ok));
  EXPECT_EQ(19, KVMSwitch.hotKeys[1].code);
  EXPECT_STREQ("2", KVMSwitch.hotKeys[1].name);
  EXPECT_TRUE(sw.received().empty());
  EXPECT_EQ(nullptr, HotConfig[0].handler);
  platform::setBundleResourcesDirectory(previous);
}

TEST_F(SettingsDialogTest, MissingInterfaceFileLeavesADialogWithoutWindowThatStillOpensAndCloses) {
  MainWindow::Create(false, CFSTR("Preferences"), CFSTR("No Such File"));
  ASSERT_NE(nullptr, pOurWindow);
  EXPECT_EQ(nullptr, pOurWindow->GetWindowRef());
  MainWindow::Create(true, CFSTR("Preferences"), CFSTR("No Such File"));
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ(nullptr, HotConfig[0].handler);
  MainWindow::Create(false, CFSTR("Preferences"), CFSTR("No Such File"));
  err_.take();
}

}  // namespace
