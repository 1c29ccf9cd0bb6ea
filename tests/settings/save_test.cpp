// Confirming the settings dialog: the hot keys stored and registered again,
// then only the changed switch options sent, in their fixed order, exactly as
// the simulated switch of each generation receives them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/desktop/hot_keys.h"
#include "platform/desktop/hot_keys_testing.h"
#include "settings/main_window.h"
#include "tests/support/framework_test_app.h"
#include "tests/support/settings_fixture.h"

using platform::FeatureReportSwitch;
using platform::SerialNumberSwitch;
using platform::SimCall;
using Bytes = std::vector<uint8_t>;

namespace {

class SettingsSaveTest : public testsupport::SettingsTest {
 protected:
  // Opens the dialog on the attached switch; what the switch received so far is forgotten.
  void Open(platform::SimulatedSwitch& sw) {
    MainWindow::Create(true, CFSTR("Preferences"), CFSTR("Settings2Ports"));
    sw.clearRecords();
    err_.take();
  }
  // The user picks item `value` (from 1) of a pop-up.
  static void Choose(const ControlID& id, int value) {
    auto* combo = qobject_cast<QComboBox*>(platform::controlWidget(C(id)));
    ASSERT_NE(nullptr, combo);
    ASSERT_LE(value, combo->count());
    combo->setCurrentIndex(value - 1);
    emit combo->activated(value - 1);
    platform::drainMainQueue();
  }
  static std::vector<Bytes> Sent(const platform::SimulatedSwitch& sw, SimCall call) {
    std::vector<Bytes> sent;
    for (const auto& e : sw.received())
      if (e.call == call) sent.push_back(e.bytes);
    return sent;
  }
  static std::vector<Bytes> Reports(const FeatureReportSwitch& sw) { return Sent(sw, SimCall::SetReport); }
  static std::vector<Bytes> Packets(const SerialNumberSwitch& sw) { return Sent(sw, SimCall::WritePipe); }
  std::string StoredFile() {
    QFile file(directory_.filePath("HOTKEY.CFG"));
    if (!file.open(QIODevice::ReadOnly)) return "";
    return file.readAll().toStdString();
  }
  static std::string Record(int32_t code, const char* name) {
    HOT_KEY key{};
    key.code = code;
    strncpy(key.name, name, sizeof key.name - 1);
    return std::string(reinterpret_cast<const char*>(&key), sizeof key);
  }
};

Bytes Report(uint8_t command, uint8_t value) { return {0x04, command, value, 0, 0, 0, 0, 0}; }
Bytes Packet(uint8_t command, uint8_t value) { return {command, value, 0, 0, 0, 0, 0, 0}; }

// Each registered key as code, modifiers, signature and id.
using Registration = std::tuple<UInt32, UInt32, OSType, UInt32>;
std::vector<Registration> Registered() {
  std::vector<Registration> keys;
  for (const auto& key : platform::registeredHotKeys())
    keys.emplace_back(key.code, key.modifiers, key.id.signature, key.id.id);
  return keys;
}

// --- Hot keys

TEST_F(SettingsSaveTest, ConfirmingUnchangedSendsNothingButStoresAndRegistersTheKeysAgain) {
  FeatureReportSwitch sw;
  Attach(sw);
  Open(sw);
  QFile::remove(directory_.filePath("HOTKEY.CFG"));
  Press("okButton");
  EXPECT_TRUE(Reports(sw).empty());
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ(Record(18, "1") + Record(19, "2"), StoredFile());
  EXPECT_EQ((std::vector<Registration>{{18, 0x1800, 0x50434831, 1}, {19, 0x1800, 0x50434832, 2}}), Registered());
}

TEST_F(SettingsSaveTest, CapturedKeysAreStoredAndRegisteredAndCancelDropsThem) {
  FeatureReportSwitch sw;
  Attach(sw);
  Open(sw);
  auto* first = qobject_cast<QLineEdit*>(platform::controlWidget(C(kHotKeyIDs[0])));
  auto* second = qobject_cast<QLineEdit*>(platform::controlWidget(C(kHotKeyIDs[1])));
  QTest::keyClick(first, Qt::Key_F1);
  QTest::keyClick(second, Qt::Key_Q);
  Press("cancelButton");
  EXPECT_EQ(18, KVMSwitch.hotKeys[0].code);
  EXPECT_EQ("", StoredFile());

  Open(sw);
  EXPECT_EQ("1", first->text().toStdString());
  QTest::keyClick(first, Qt::Key_F1);
  QTest::keyClick(second, Qt::Key_Q);
  Press("okButton");
  EXPECT_EQ(Record(122, "F1") + Record(12, "q"), StoredFile());
  EXPECT_EQ(122, KVMSwitch.hotKeys[0].code);
  EXPECT_STREQ("q", KVMSwitch.hotKeys[1].name);
  EXPECT_EQ((std::vector<Registration>{{122, 0x1800, 0x50434831, 1}, {12, 0x1800, 0x50434832, 2}}), Registered());
  EXPECT_TRUE(Reports(sw).empty());
  err_.take();
}

TEST_F(SettingsSaveTest, KeysThatCannotBeStoredAreStillRegisteredAndTheUserIsTold) {
  FeatureReportSwitch sw;
  Attach(sw);
  Open(sw);
  ASSERT_TRUE(QDir(directory_.path()).mkdir("HOTKEY.CFG"));  // nothing can replace a folder
  QTest::keyClick(qobject_cast<QLineEdit*>(platform::controlWidget(C(kHotKeyIDs[0]))), Qt::Key_F1);
  err_.take();
  Press("okButton");
  EXPECT_FALSE(pOurWindow->IsVisible());
  EXPECT_EQ((std::vector<Registration>{{122, 0x1800, 0x50434831, 1}, {19, 0x1800, 0x50434832, 2}}), Registered());
  const std::string failure =
      "cannot write " + QDir(directory_.path()).canonicalPath().toStdString() + "/HOTKEY.CFG: Is a directory";
  EXPECT_EQ("portvane: " + failure + "\n", err_.take());

  std::vector<QMessageBox*> notices;
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) notices.push_back(box);
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(Qt::NonModal, notices[0]->windowModality());
  EXPECT_EQ("The hot keys could not be saved.", notices[0]->text().toStdString());
  EXPECT_EQ(failure + ". The new hot keys work until the program quits.",
            notices[0]->informativeText().toStdString());
  delete notices[0];
}

// --- Options of the feature-report switch

TEST_F(SettingsSaveTest, BuzzerIsSentOnlyWhenItChanged) {
  FeatureReportSwitch sw;
  Attach(sw);
  Open(sw);
  Click(kBuzzerID);
  Press("okButton");
  EXPECT_EQ((std::vector<Bytes>{Report(0x86, 0)}), Reports(sw));
  EXPECT_FALSE(KVMSwitch.info.buzzerOn);
  EXPECT_FALSE(sw.state().buzzer);
}

TEST_F(SettingsSaveTest, FixingTheAudioUnbindsThenFixesTheChosenPortAndFreeingItBinds) {
  FeatureReportSwitch sw;
  Attach(sw);
  Open(sw);
  Click(kFixAudioPortID);
  Choose(kAudioPortNumberID, 2);
  Press("okButton");
  EXPECT_EQ((std::vector<Bytes>{Report(0x85, 0), Report(0x8C, 1)}), Reports(sw));
  EXPECT_TRUE(KVMSwitch.info.audioFixed);
  EXPECT_EQ(1, KVMSwitch.info.audioPort);

  // Freed with the pop-up moved first: only the binding goes out, and the
  // record keeps the pop-up's port all the same.
  Open(sw);
  ASSERT_EQ(1, GetControlValue(C(kFixAudioPortID)));
  ASSERT_EQ(2, GetControlValue(C(kAudioPortNumberID)));
  Choose(kAudioPortNumberID, 1);
  Click(kFixAudioPortID);
  Press("okButton");
  EXPECT_EQ((std::vector<Bytes>{Report(0x84, 0)}), Reports(sw));
  EXPECT_FALSE(KVMSwitch.info.audioFixed);
  EXPECT_EQ(0, KVMSwitch.info.audioPort);
}

TEST_F(SettingsSaveTest, FixedPortMovedIsSentAgainAndAFreePortsPopUpAloneSendsNothing) {
  FeatureReportSwitch sw;
  sw.state().hubBound[0] = false;
  sw.state().hubPort[0] = 0;
  Attach(sw);
  Open(sw);
  Choose(kHUBPortNumberIDs[0], 2);  // fixed hub 0 moves to the second computer
  SetControlValue(C(kAudioPortNumberID), 2);  // the audio stays free
  Press("okButton");
  EXPECT_EQ((std::vector<Bytes>{Report(0x8E, 0), Report(0x8A, 1)}), Reports(sw));
  EXPECT_EQ(1, KVMSwitch.info.hubPort[0]);
  EXPECT_EQ(0, KVMSwitch.info.audioPort);

  // Moved back and forth to where it was: nothing to send.
  Open(sw);
  Choose(kHUBPortNumberIDs[0], 1);
  Choose(kHUBPortNumberIDs[0], 2);
  Press("okButton");
  EXPECT_TRUE(Reports(sw).empty());
}

TEST_F(SettingsSaveTest, EveryOptionChangedIsSentInTheFixedOrder) {
  FeatureReportSwitch sw;
  sw.state().hubBound[0] = false;
  sw.state().universalHotKey = 0x47;
  Attach(sw);
  Open(sw);
  Choose(kUniversalHotKeyID, 4);  // F12
  Choose(kAutoScanPeriodID, 4);   // 20 seconds
  Click(kFixHUBPortIDs[1]);
  Choose(kHUBPortNumberIDs[1], 2);
  Click(kFixHUBPortIDs[0]);
  Click(kFixAudioPortID);
  Click(kBuzzerID);
  Press("okButton");
  EXPECT_EQ((std::vector<Bytes>{Report(0x86, 0), Report(0x85, 0), Report(0x8C, 0), Report(0x8D, 0),
                                Report(0x90, 0), Report(0x8B, 1), Report(0x87, 20), Report(0x91, 0x45)}),
            Reports(sw));
  EXPECT_EQ(4, KVMSwitch.info.autoScanPeriod);
  EXPECT_EQ(0x47u, KVMSwitch.info.universalHotKey) << "left for the next read to bring";
}

TEST_F(SettingsSaveTest, OnlyTheFirstFourSwitchHotKeysCanBeSent) {
  FeatureReportSwitch sw;
  sw.state().universalHotKey = 0x53;
  Attach(sw);
  Open(sw);
  Choose(kUniversalHotKeyID, 5);  // "esc"
  Press("okButton");
  EXPECT_TRUE(Reports(sw).empty());

  Open(sw);
  Choose(kUniversalHotKeyID, 2);  // the switch's own
  Press("okButton");
  EXPECT_TRUE(Reports(sw).empty());
  EXPECT_EQ(0x53, sw.state().universalHotKey);
}

TEST_F(SettingsSaveTest, OptionsTheSwitchCannotBindAreNotSent) {
  FeatureReportSwitch sw;
  sw.state().audioBindable = false;
  sw.state().hasHub[1] = false;
  Attach(sw);
  Open(sw);
  // Even when the controls are forced, an option that cannot be bound stays.
  SetControl32BitValue(C(kFixAudioPortID), 1);
  SetControl32BitValue(C(kFixHUBPortIDs[1]), 1);
  Press("okButton");
  EXPECT_TRUE(Reports(sw).empty());
}

// --- The serial-number switch

TEST_F(SettingsSaveTest, SerialNumberSwitchGetsItsPacketsAndItsPeriodCountedFromTen) {
  SerialNumberSwitch sw;
  sw.state().buzzer = false;
  Attach(sw);
  Open(sw);
  Click(kBuzzerID);
  Click(kFixAudioPortID);
  Choose(kAudioPortNumberID, 2);
  Choose(kAutoScanPeriodID, 1);  // "10"
  ASSERT_EQ(2, KVMSwitch.info.autoScanPeriod);
  Choose(kAutoScanPeriodID, 3);  // "20"
  Press("okButton");
  // Unbinding has no packet on this generation: fixing the port does it.
  EXPECT_EQ((std::vector<Bytes>{Packet(0x02, 0), Packet(0x05, 1), Packet(0x06, 4)}), Packets(sw));
  EXPECT_EQ(4, KVMSwitch.info.autoScanPeriod);

  Open(sw);
  Choose(kAutoScanPeriodID, 1);
  Press("okButton");
  EXPECT_EQ((std::vector<Bytes>{Packet(0x06, 2)}), Packets(sw));
}

// --- Controls that were not filled from the switch now attached

TEST_F(SettingsSaveTest, SwitchArrivingWhileOpenedWithoutOneIsSentNothing) {
  StartMatching();
  MainWindow::Create(true, CFSTR("Preferences"), CFSTR("Settings2Ports"));
  FeatureReportSwitch sw;
  sw.plug();
  RunLoop();
  ASSERT_EQ(2, KVMSwitch.info.state);
  sw.clearRecords();
  QTest::keyClick(qobject_cast<QLineEdit*>(platform::controlWidget(C(kHotKeyIDs[0]))), Qt::Key_F3);
  Press("okButton");
  EXPECT_TRUE(Reports(sw).empty());
  EXPECT_EQ(Record(99, "F3") + Record(19, "2"), StoredFile());
  EXPECT_EQ((std::vector<Registration>{{99, 0x1800, 0x50434831, 1}, {19, 0x1800, 0x50434832, 2}}), Registered());
  err_.take();
}

TEST_F(SettingsSaveTest, SwitchOfTheOtherGenerationReplacingTheLoadedOneIsSentNothing) {
  FeatureReportSwitch feature;
  Attach(feature);
  Open(feature);
  Click(kBuzzerID);
  feature.unplug();
  RunLoop();
  SerialNumberSwitch serial;
  serial.plug();
  RunLoop();
  ASSERT_EQ(1, KVMSwitch.info.version);
  ASSERT_EQ(2, KVMSwitch.info.state);
  serial.clearRecords();
  Press("okButton");
  EXPECT_TRUE(Packets(serial).empty());
  err_.take();
}

TEST_F(SettingsSaveTest, WithoutSwitchOnlyTheHotKeysAreSaved) {
  MainWindow::Create(true, CFSTR("Preferences"), CFSTR("Settings2Ports"));
  Press("okButton");
  EXPECT_EQ(Record(18, "1") + Record(19, "2"), StoredFile());
  EXPECT_FALSE(pOurWindow->IsVisible());
  err_.take();
}

}  // namespace
