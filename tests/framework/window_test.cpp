// The window base on real Qt widgets: routing, the owner property, the close
// box, controls found by ID and the user's clicks reaching the window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <vector>

#include "framework/t_window.h"
#include "platform/core/bundle.h"
#include "platform/core/main_queue.h"
#include "platform/ui/carbon_events_testing.h"
#include "platform/ui/menus.h"
#include "platform/ui/nibs.h"
#include "platform/ui/nibs_testing.h"
#include "tests/support/framework_test_app.h"

namespace {

const char kDialogUi[] = R"(<?xml version="1.0" encoding="UTF-8"?>
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
       <widget class="QCheckBox" name="fixAudio">
        <property name="text"><string>Fix audio</string></property>
        <property name="controlSignature" stdset="0"><string>OPTG</string></property>
        <property name="controlID" stdset="0"><number>12</number></property>
       </widget>
      </item>
      <item>
       <widget class="QComboBox" name="audioPort">
        <property name="controlSignature" stdset="0"><string>OPTG</string></property>
        <property name="controlID" stdset="0"><number>13</number></property>
        <item><property name="text"><string>1</string></property></item>
        <item><property name="text"><string>2</string></property></item>
       </widget>
      </item>
      <item>
       <widget class="QCheckBox" name="wide">
        <property name="controlSignature" stdset="0"><string>OPTG</string></property>
        <property name="controlID" stdset="0"><number>131071</number></property>
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
   <item>
    <widget class="QCheckBox" name="hotCheck">
     <property name="controlSignature" stdset="0"><string>HOTG</string></property>
     <property name="controlID" stdset="0"><number>12</number></property>
    </widget>
   </item>
   <item>
    <widget class="QPushButton" name="okButton">
     <property name="text"><string>OK</string></property>
     <property name="command" stdset="0"><string>ok  </string></property>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

class RecordingWindow : public TWindow {
 public:
  RecordingWindow() : TWindow(static_cast<WindowRef>(nullptr)) {}
  explicit RecordingWindow(bool* destroyed) : TWindow(static_cast<WindowRef>(nullptr)), destroyed_(destroyed) {}
  ~RecordingWindow() override {
    if (destroyed_) *destroyed_ = true;
  }

  void HandleItemHit(short item) override { calls.push_back("item:" + std::to_string(item)); }
  bool CloseDialog() override {
    calls.push_back("closeDialog");
    return true;
  }
  bool HandleCommand(const HICommandExtended& command) override {
    lastCommand = command;
    calls.push_back("command");
    return commandAnswer;
  }
  void Moved() override { calls.push_back("moved"); }
  void Resized() override { calls.push_back("resized"); }
  void Draw() override { calls.push_back("draw"); }
  Point GetIdealSize() override { return idealSize; }
  Point GetMinimumSize() override { return idealSize; }
  Point GetMaximumSize() override { return idealSize; }

  std::vector<std::string> calls;
  HICommandExtended lastCommand{};
  bool commandAnswer = true;
  Point idealSize{0, 0};

 private:
  bool* destroyed_ = nullptr;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.isValid());
    QFile file(directory_.filePath("Settings2Ports.ui"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(kDialogUi);
    file.close();
    previous_ = platform::bundleResourcesDirectory();
    platform::setBundleResourcesDirectory(directory_.path().toStdString());
  }
  void TearDown() override {
    platform::drainMainQueue();
    platform::setBundleResourcesDirectory(previous_);
  }

  RecordingWindow* openWindow() {
    auto* window = new RecordingWindow;
    EXPECT_EQ(noErr, window->Init(CFSTR("Preferences"), CFSTR("Settings2Ports")));
    return window;
  }

  static OSStatus sendToWindow(TWindow& window, TCarbonEvent& event) {
    return SendEventToEventTarget(event, GetWindowEventTarget(window.GetWindowRef()));
  }

  static OSStatus controlHit(ControlRef control) {
    TCarbonEvent event(kEventClassControl, kEventControlHit);
    event.SetParameter(kEventParamDirectObject, control);
    return SendEventToEventTarget(event, GetControlEventTarget(control));
  }

  QTemporaryDir directory_;
  std::string previous_;
};

TEST_F(WindowTest, RegistersTheTwelveWindowEventsInOrder) {
  const EventTypeSpec expected[] = {
      {FOUR_CHAR_CODE("wind"), 72}, {FOUR_CHAR_CODE("wind"), 5},  {FOUR_CHAR_CODE("wind"), 6},  {FOUR_CHAR_CODE("wind"), 1005}, {FOUR_CHAR_CODE("wind"), 2}, {FOUR_CHAR_CODE("wind"), 27},
      {FOUR_CHAR_CODE("wind"), 80}, {FOUR_CHAR_CODE("wind"), 81}, {FOUR_CHAR_CODE("wind"), 82}, {FOUR_CHAR_CODE("cmds"), 1},    {FOUR_CHAR_CODE("cmds"), 2}, {FOUR_CHAR_CODE("cntl"), 1},
  };
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(expected[i].eventClass, TWindow::kEvents[i].eventClass) << i;
    EXPECT_EQ(expected[i].eventKind, TWindow::kEvents[i].eventKind) << i;
  }
}

TEST_F(WindowTest, InitAttachesTheWindowAndRecordsItsOwner) {
  RecordingWindow* window = openWindow();
  ASSERT_NE(nullptr, window->GetWindowRef());
  EXPECT_EQ(window, TWindow::GetTWindowFromWindowRef(window->GetWindowRef()));
  EXPECT_EQ(1u, platform::eventHandlerCount(GetWindowEventTarget(window->GetWindowRef())));
  ByteCount size = 0;
  GetWindowProperty(window->GetWindowRef(), FOUR_CHAR_CODE("hifr"), FOUR_CHAR_CODE("twin"), 0, &size, nullptr);
  EXPECT_EQ(sizeof(TWindow*), size);
  delete window;
}

TEST_F(WindowTest, FailuresLeaveTheObjectWithoutWindow) {
  RecordingWindow window;
  EXPECT_EQ(paramErr, window.Init(static_cast<WindowRef>(nullptr)));
  EXPECT_EQ(kIBCarbonRuntimeCantFindNibFile, window.Init(CFSTR("Preferences"), CFSTR("Settings2 Ports")));
  EXPECT_EQ(kIBCarbonRuntimeCantFindObject, window.Init(CFSTR("Settings"), CFSTR("Settings2Ports")));
  EXPECT_EQ(nullptr, window.GetWindowRef());
  EXPECT_EQ(0u, platform::openNibReferences());
  EXPECT_EQ(nullptr, window.GetView(FOUR_CHAR_CODE("OPTG"), 12));
  EXPECT_EQ(errUnknownControl, window.EnableView(FOUR_CHAR_CODE("OPTG"), 12));
  EXPECT_FALSE(window.IsVisible());
  window.Show();
  window.Hide();
  EXPECT_EQ(nullptr, window.CopyTitle());
}

TEST_F(WindowTest, ForeignWindowHasNoOwner) {
  Rect bounds{10, 10, 110, 210};
  WindowRef foreign = nullptr;
  ASSERT_EQ(noErr, CreateNewWindow(kDocumentWindowClass, kWindowNoAttributes, &bounds, &foreign));
  EXPECT_EQ(nullptr, TWindow::GetTWindowFromWindowRef(foreign));
  DisposeWindow(foreign);
  EXPECT_EQ(nullptr, TWindow::GetTWindowFromWindowRef(nullptr));
}

TEST_F(WindowTest, ControlHitIsRoutedOnlyForOptionControls) {
  RecordingWindow* window = openWindow();
  EXPECT_EQ(noErr, controlHit(window->GetView(FOUR_CHAR_CODE("OPTG"), 12)));
  EXPECT_EQ(eventNotHandledErr, controlHit(window->GetView(FOUR_CHAR_CODE("HOTG"), 12)));
  EXPECT_EQ(eventNotHandledErr, controlHit(window->GetView(FOUR_CHAR_CODE("HOTG"), 2)));
  // The item is the low 16 bits of the ID number, taken as signed.
  EXPECT_EQ(noErr, controlHit(window->GetView(FOUR_CHAR_CODE("OPTG"), 131071)));
  EXPECT_EQ((std::vector<std::string>{"item:12", "item:-1"}), window->calls);

  // Without a readable control, or of another kind: not handled.
  TCarbonEvent bare(kEventClassControl, kEventControlHit);
  EXPECT_EQ(eventNotHandledErr, sendToWindow(*window, bare));
  delete window;
}

TEST_F(WindowTest, ARealClickOnACheckBoxReachesHandleItemHit) {
  RecordingWindow* window = openWindow();
  window->Show();
  auto* box = qobject_cast<QCheckBox*>(platform::controlWidget(window->GetView(FOUR_CHAR_CODE("OPTG"), 12)));
  ASSERT_NE(nullptr, box);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(box->window()));
  // On the box itself: a wide check box takes clicks only on its box and text.
  QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(8, box->height() / 2));
  EXPECT_TRUE(box->isChecked());
  EXPECT_EQ(1, GetControlValue(window->GetView(FOUR_CHAR_CODE("OPTG"), 12)));
  platform::drainMainQueue();
  EXPECT_NE(window->calls.end(), std::find(window->calls.begin(), window->calls.end(), "item:12"));
  delete window;
}

TEST_F(WindowTest, ButtonWithACommandSendsItToTheWindow) {
  RecordingWindow* window = openWindow();
  window->Show();
  auto* ok = window->GetWindowRef() ? platform::windowWidget(window->GetWindowRef())->findChild<QPushButton*>("okButton")
                                    : nullptr;
  ASSERT_NE(nullptr, ok);
  QTest::mouseClick(ok, Qt::LeftButton);
  platform::drainMainQueue();
  EXPECT_EQ(kHICommandOK, window->lastCommand.commandID);
  EXPECT_EQ(kHICommandFromControl, window->lastCommand.attributes);
  delete window;
}

TEST_F(WindowTest, SizeQueriesAreAnsweredOnlyWithBothComponents) {
  RecordingWindow* window = openWindow();
  for (Point size : {Point{0, 0}, Point{0, 200}, Point{300, 0}}) {
    window->idealSize = size;
    for (UInt32 kind : {kEventWindowGetIdealSize, kEventWindowGetMinimumSize, kEventWindowGetMaximumSize}) {
      TCarbonEvent query(kEventClassWindow, kind);
      EXPECT_EQ(eventNotHandledErr, sendToWindow(*window, query));
      unsigned long type = 0;
      EXPECT_EQ(eventParameterNotFoundErr, query.GetParameterType(kEventParamDimensions, &type));
    }
  }
  window->idealSize = Point{300, 200};
  TCarbonEvent query(kEventClassWindow, kEventWindowGetIdealSize);
  EXPECT_EQ(noErr, sendToWindow(*window, query));
  Point answer{};
  EXPECT_EQ(noErr, query.GetParameter(kEventParamDimensions, &answer));
  EXPECT_EQ(300, answer.v);
  EXPECT_EQ(200, answer.h);
  delete window;
}

TEST_F(WindowTest, BoundsChangeCallsResizedBeforeMoved) {
  RecordingWindow* window = openWindow();
  auto bounds = [&](const UInt32* bits) {
    TCarbonEvent event(kEventClassWindow, kEventWindowBoundsChanged);
    if (bits) event.SetParameter(kEventParamAttributes, *bits);
    return sendToWindow(*window, event);
  };
  const UInt32 both = kWindowBoundsChangeSizeChanged | kWindowBoundsChangeOriginChanged;
  const UInt32 origin = kWindowBoundsChangeOriginChanged;
  const UInt32 neither = kWindowBoundsChangeUserDrag;
  EXPECT_EQ(noErr, bounds(&both));
  EXPECT_EQ(noErr, bounds(&origin));
  EXPECT_EQ(eventNotHandledErr, bounds(&neither));
  EXPECT_EQ(eventNotHandledErr, bounds(nullptr));
  EXPECT_EQ((std::vector<std::string>{"resized", "moved"}), window->calls);
  delete window;
}

TEST_F(WindowTest, CloseBoxHidesWithoutDestroying) {
  bool destroyed = false;
  auto* window = new RecordingWindow(&destroyed);
  ASSERT_EQ(noErr, window->Init(CFSTR("Preferences"), CFSTR("Settings2Ports")));
  window->Show();
  EXPECT_TRUE(window->IsVisible());
  QWidget* widget = platform::windowWidget(window->GetWindowRef());
  widget->close();  // what the close box does
  platform::drainMainQueue();
  EXPECT_FALSE(window->IsVisible());
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(window->GetWindowRef(), platform::windowAt(platform::windowCount() - 1));
  EXPECT_NE(window->calls.end(), std::find(window->calls.begin(), window->calls.end(), "closeDialog"));
  window->Show();
  EXPECT_TRUE(window->IsVisible());
  window->Close();
  EXPECT_TRUE(destroyed);
}

TEST_F(WindowTest, CloseBoxOfAWindowWithoutOwnerDisposesOfIt) {
  Rect bounds{10, 10, 110, 210};
  WindowRef window = nullptr;
  ASSERT_EQ(noErr, CreateNewWindow(kDocumentWindowClass, kWindowNoAttributes, &bounds, &window));
  const size_t open = platform::windowCount();
  platform::windowWidget(window)->close();
  platform::drainMainQueue();
  EXPECT_EQ(open - 1, platform::windowCount());
}

TEST_F(WindowTest, DisposedWindowIsForgottenAndTheDestructorDisposesNothingTwice) {
  RecordingWindow* window = openWindow();
  WindowRef ref = window->GetWindowRef();
  EventHandlerRef handler = window->GetEventHandler();
  const size_t open = platform::windowCount();
  DisposeWindow(ref);
  EXPECT_EQ(nullptr, window->GetWindowRef());
  EXPECT_EQ(open - 1, platform::windowCount());
  EXPECT_EQ(paramErr, RemoveEventHandler(handler));
  delete window;
  EXPECT_EQ(open - 1, platform::windowCount());
}

TEST_F(WindowTest, DestroyingTheObjectDisposesOfItsWindow) {
  const size_t before = platform::windowCount();
  RecordingWindow* window = openWindow();
  EXPECT_EQ(before + 1, platform::windowCount());
  delete window;
  EXPECT_EQ(before, platform::windowCount());
}

TEST_F(WindowTest, SourceWindowDisposeLeavesTheWindowAlone) {
  RecordingWindow* window = openWindow();
  WindowRef ref = window->GetWindowRef();
  window->SourceWindowDispose();
  const size_t open = platform::windowCount();
  delete window;
  EXPECT_EQ(open, platform::windowCount());
  EXPECT_NE(nullptr, platform::windowWidget(ref));
  DisposeWindow(ref);
}

TEST_F(WindowTest, CommandsAreRoutedByKind) {
  RecordingWindow* window = openWindow();
  auto command = [&](UInt32 kind, UInt32 id) {
    TCarbonEvent event(kEventClassCommand, kind);
    HICommand record{};
    record.commandID = id;
    event.SetParameter(kEventParamDirectObject, record);
    return sendToWindow(*window, event);
  };
  EXPECT_EQ(noErr, command(kEventCommandProcess, kHICommandOK));
  window->commandAnswer = false;
  EXPECT_EQ(eventNotHandledErr, command(kEventCommandProcess, kHICommandOK));
  EXPECT_EQ(eventNotHandledErr, command(3, kHICommandOK));
  EXPECT_EQ(2u, window->calls.size());

  // FOUR_CHAR_CODE("clos") status is handled and enables the close command in every menu.
  MenuRef menu = nullptr;
  ASSERT_EQ(noErr, CreateNewMenu(1, 0, &menu));
  AppendMenuItemTextWithCFString(menu, CFSTR("Close"), kMenuItemAttrDisabled, kHICommandClose, nullptr);
  EXPECT_FALSE(IsMenuCommandEnabled(menu, kHICommandClose));
  EXPECT_EQ(noErr, command(kEventCommandUpdateStatus, kHICommandClose));
  EXPECT_TRUE(IsMenuCommandEnabled(menu, kHICommandClose));
  EXPECT_EQ(eventNotHandledErr, command(kEventCommandUpdateStatus, kHICommandQuit));
  DisposeMenu(menu);
  delete window;
}

TEST_F(WindowTest, ViewOperationsFindControlsByID) {
  RecordingWindow* window = openWindow();
  ControlRef box = window->GetView(FOUR_CHAR_CODE("OPTG"), 12);
  ASSERT_NE(nullptr, box);
  EXPECT_EQ(noErr, window->DisableView(FOUR_CHAR_CODE("OPTG"), 12));
  EXPECT_FALSE(IsControlEnabled(box));
  EXPECT_EQ(noErr, window->EnableView(ControlID{FOUR_CHAR_CODE("OPTG"), 12}));
  EXPECT_TRUE(IsControlEnabled(box));
  EXPECT_EQ(noErr, window->HideView(FOUR_CHAR_CODE("OPTG"), 12));
  EXPECT_FALSE(IsControlVisible(box));
  EXPECT_EQ(noErr, window->ShowView(FOUR_CHAR_CODE("OPTG"), 12));
  EXPECT_TRUE(IsControlVisible(box));
  const ControlID missing{FOUR_CHAR_CODE("OPTG"), 99};
  EXPECT_EQ(errUnknownControl, window->EnableView(missing));
  EXPECT_EQ(errUnknownControl, window->DisableView(missing));
  EXPECT_EQ(errUnknownControl, window->ShowView(missing));
  EXPECT_EQ(errUnknownControl, window->HideView(missing));
  HIViewRef found = nullptr;
  EXPECT_EQ(noErr, HIViewFindByID(HIViewGetRoot(window->GetWindowRef()), HIViewID{FOUR_CHAR_CODE("HOTG"), 2}, &found));
  EXPECT_EQ(window->GetView(FOUR_CHAR_CODE("HOTG"), 2), found);
  EXPECT_EQ(errHIViewNotFound, HIViewFindByID(HIViewGetRoot(window->GetWindowRef()), HIViewID{FOUR_CHAR_CODE("HOTG"), 9}, &found));
  EXPECT_EQ(nullptr, found);
  delete window;
}

TEST_F(WindowTest, ActiveAndEnabledAreSeparateStates) {
  RecordingWindow* window = openWindow();
  ControlRef popup = window->GetView(FOUR_CHAR_CODE("OPTG"), 13);
  QWidget* widget = platform::controlWidget(popup);
  DeactivateControl(popup);
  DisableControl(popup);
  ActivateControl(popup);
  EXPECT_FALSE(widget->isEnabled());
  EXPECT_TRUE(IsControlActive(popup));
  EnableControl(popup);
  EXPECT_TRUE(widget->isEnabled());
  DeactivateControl(popup);
  EXPECT_FALSE(widget->isEnabled());
  EXPECT_TRUE(IsControlEnabled(popup));

  // Null references do nothing and say so.
  EXPECT_EQ(paramErr, EnableControl(nullptr));
  EXPECT_EQ(paramErr, ActivateControl(nullptr));
  ShowControl(nullptr);
  SetControlValue(nullptr, 1);
  EXPECT_EQ(0, GetControlValue(nullptr));
  delete window;
}

TEST_F(WindowTest, PopupMenuItemsAndClampedValues) {
  RecordingWindow* window = openWindow();
  ControlRef popup = window->GetView(FOUR_CHAR_CODE("OPTG"), 13);
  MenuRef menu = nullptr;
  ASSERT_EQ(noErr, GetControlData(popup, kControlEntireControl, kControlPopupButtonMenuHandleTag, sizeof menu, &menu,
                                  nullptr));
  EXPECT_EQ(2, CountMenuItems(menu));
  DeleteMenuItems(menu, 1, CountMenuItems(menu));
  for (const char* text : {"5", "10", "15"}) {
    CFStringRef string = CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
    AppendMenuItemTextWithCFString(menu, string, 0, 0, nullptr);
    CFRelease(string);
  }
  EXPECT_EQ(3, CountMenuItems(menu));
  SetControlValue(popup, 3);
  EXPECT_EQ(3, GetControlValue(popup));
  EXPECT_EQ("15", qobject_cast<QComboBox*>(platform::controlWidget(popup))->currentText().toStdString());
  SetControlValue(popup, 9);
  EXPECT_EQ(3, GetControlValue(popup));

  ControlRef box = window->GetView(FOUR_CHAR_CODE("OPTG"), 12);
  SetControlValue(box, 5);
  EXPECT_EQ(1, GetControlValue(box));
  SetControlValue(box, -2);
  EXPECT_EQ(0, GetControlValue(box));

  MenuRef none = nullptr;
  EXPECT_EQ(errDataNotSupported,
            GetControlData(box, kControlEntireControl, kControlPopupButtonMenuHandleTag, sizeof none, &none, nullptr));
  delete window;
}

TEST_F(WindowTest, TextFieldTextAndKeysGoThroughTheControl) {
  RecordingWindow* window = openWindow();
  window->Show();
  ControlRef field = window->GetView(FOUR_CHAR_CODE("HOTG"), 2);
  ASSERT_EQ(noErr, SetControlData(field, kControlEntireControl, kControlEditTextTextTag, 2, "F1"));
  char text[8] = {};
  Size size = 0;
  ASSERT_EQ(noErr, GetControlData(field, kControlEntireControl, kControlEditTextTextTag, sizeof text, text, &size));
  EXPECT_EQ(2, size);
  EXPECT_STREQ("F1", text);

  struct Capture {
    UInt32 code = 0;
    char character = 0;
  } capture;
  const EventTypeSpec rawKey{kEventClassKeyboard, kEventRawKeyDown};
  EventHandlerRef handler = nullptr;
  auto proc = [](EventHandlerCallRef, EventRef event, void* data) -> OSStatus {
    auto* c = static_cast<Capture*>(data);
    GetEventParameter(event, kEventParamKeyCode, typeUInt32, nullptr, sizeof c->code, nullptr, &c->code);
    return GetEventParameter(event, kEventParamKeyMacCharCodes, typeChar, nullptr, 1, nullptr, &c->character);
  };
  ASSERT_EQ(noErr, InstallEventHandler(GetControlEventTarget(field), proc, 1, &rawKey, &capture, &handler));
  auto* edit = qobject_cast<QLineEdit*>(platform::controlWidget(field));
  QTest::keyClick(edit, Qt::Key_Q);
  EXPECT_EQ(12u, capture.code);
  EXPECT_EQ('q', capture.character);
  EXPECT_EQ("F1", edit->text().toStdString());  // handled: the field never saw it
  QTest::keyClick(edit, Qt::Key_F1);
  EXPECT_EQ(122u, capture.code);
  RemoveEventHandler(handler);
  delete window;
}

}  // namespace
