// The one table of virtual key codes: what the settings dialog's key capture
// reads from Qt, and what the hot keys grab on X.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <QKeyEvent>
#include <set>

#include "app/hot_key_config.h"
#include "platform/ui/key_codes.h"
#include "tests/support/framework_test_app.h"

namespace {

using platform::kNoKeysym;
using platform::kNoVirtualKeyCode;

UInt32 codeOf(int qtKey, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent event(QEvent::KeyPress, qtKey, modifiers);
  return platform::virtualKeyCode(&event);
}

TEST(KeyTable, EveryNamedSpecialKeyCanBeGrabbedAndReadBack) {
  for (const HOT_KEY& key : MappedKeys) {
    SCOPED_TRACE(key.name);
    const UInt32 keysym = platform::keysymForVirtualKeyCode(UInt32(key.code));
    ASSERT_NE(kNoKeysym, keysym);
    EXPECT_EQ(UInt32(key.code), platform::virtualKeyCodeForKeysym(keysym));
  }
}

// A second entry for a code, a keysym or a Qt key would make one direction
// of the translation depend on the order of the table.
TEST(KeyTable, EachCodeKeysymAndQtKeyAppearsOnce) {
  std::set<UInt32> codes, keysyms;
  std::set<std::pair<int, bool>> qtKeys;
  for (const platform::VirtualKey& key : platform::virtualKeys()) {
    EXPECT_TRUE(codes.insert(key.code).second) << key.code;
    EXPECT_TRUE(keysyms.insert(key.keysym).second) << key.code;
    EXPECT_TRUE(qtKeys.insert({key.qtKey, key.keypad != platform::QtKeypad::without}).second) << key.code;
  }
  // 52 keys of the main keyboard, Caps Lock, 18 keypad keys, 25 editing,
  // arrow and function keys.
  EXPECT_EQ(96u, codes.size());
}

TEST(KeyTable, EveryQtKeyTranslatesToItsEntry) {
  for (const platform::VirtualKey& key : platform::virtualKeys()) {
    const bool keypad = key.keypad != platform::QtKeypad::without;
    EXPECT_EQ(key.code, codeOf(key.qtKey, keypad ? Qt::KeypadModifier : Qt::NoModifier)) << key.code;
  }
}

TEST(QtKeys, KeypadFlagChoosesBetweenTwinKeys) {
  EXPECT_EQ(0x12u, codeOf(Qt::Key_1));
  EXPECT_EQ(0x53u, codeOf(Qt::Key_1, Qt::KeypadModifier));
  EXPECT_EQ(0x2Cu, codeOf(Qt::Key_Slash));
  EXPECT_EQ(0x4Bu, codeOf(Qt::Key_Slash, Qt::KeypadModifier));
  // Keypad Enter arrives with or without the flag; Return is another key.
  EXPECT_EQ(0x4Cu, codeOf(Qt::Key_Enter));
  EXPECT_EQ(0x4Cu, codeOf(Qt::Key_Enter, Qt::KeypadModifier));
  EXPECT_EQ(0x24u, codeOf(Qt::Key_Return));
  // The keypad with Num Lock off gives editing keys: the keys of that name.
  EXPECT_EQ(0x73u, codeOf(Qt::Key_Home, Qt::KeypadModifier));
  // Shift+8 types "*", which is not the keypad's key.
  EXPECT_EQ(kNoVirtualKeyCode, codeOf(Qt::Key_Asterisk));
  EXPECT_EQ(0x43u, codeOf(Qt::Key_Asterisk, Qt::KeypadModifier));
}

TEST(QtKeys, ModifiersDoNotChangeThePhysicalKey) {
  EXPECT_EQ(0x00u, codeOf(Qt::Key_A, Qt::ShiftModifier));
  EXPECT_EQ(0x12u, codeOf(Qt::Key_1, Qt::ControlModifier | Qt::AltModifier));
}

TEST(QtKeys, KeysOutsideTheTableHaveNoCode) {
  EXPECT_EQ(kNoVirtualKeyCode, codeOf(Qt::Key_F16));
  EXPECT_EQ(kNoVirtualKeyCode, codeOf(Qt::Key_Shift));
  EXPECT_EQ(kNoVirtualKeyCode, codeOf(Qt::Key_unknown));
}

TEST(Keysyms, CodesTranslateToTheKeysymTheKeyTypes) {
  EXPECT_EQ(UInt32(XK_1), platform::keysymForVirtualKeyCode(18));
  EXPECT_EQ(UInt32(XK_2), platform::keysymForVirtualKeyCode(19));
  EXPECT_EQ(UInt32(XK_a), platform::keysymForVirtualKeyCode(0));
  EXPECT_EQ(UInt32(XK_F1), platform::keysymForVirtualKeyCode(0x7A));
  EXPECT_EQ(UInt32(XK_Delete), platform::keysymForVirtualKeyCode(0x75));
  EXPECT_EQ(UInt32(XK_KP_Enter), platform::keysymForVirtualKeyCode(0x4C));
  EXPECT_EQ(UInt32(XK_Escape), platform::keysymForVirtualKeyCode(0x35));
}

TEST(Keysyms, UnknownCodesAndKeysymsGiveNone) {
  EXPECT_EQ(kNoKeysym, platform::keysymForVirtualKeyCode(0x34));
  EXPECT_EQ(kNoKeysym, platform::keysymForVirtualKeyCode(0x0A));
  EXPECT_EQ(kNoKeysym, platform::keysymForVirtualKeyCode(kNoVirtualKeyCode));
  EXPECT_EQ(kNoKeysym, platform::keysymForVirtualKeyCode(0xFFFFFFFFu));
  EXPECT_EQ(nullptr, platform::findVirtualKey(0x80));
  EXPECT_EQ(kNoVirtualKeyCode, platform::virtualKeyCodeForKeysym(kNoKeysym));
  EXPECT_EQ(kNoVirtualKeyCode, platform::virtualKeyCodeForKeysym(XK_F20));
  EXPECT_EQ(kNoVirtualKeyCode, platform::virtualKeyCodeForKeysym(XK_exclam));
}

TEST(Keysyms, CapitalLettersAreTheLetterKeys) {
  EXPECT_EQ(0x00u, platform::virtualKeyCodeForKeysym(XK_A));
  EXPECT_EQ(0x06u, platform::virtualKeyCodeForKeysym(XK_Z));
  EXPECT_EQ(0x06u, platform::virtualKeyCodeForKeysym(XK_z));
}

}  // namespace
