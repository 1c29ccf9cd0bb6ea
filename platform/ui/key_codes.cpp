#include "platform/ui/key_codes.h"

#include <X11/keysym.h>

#include <QKeyEvent>

namespace platform {
namespace {

using enum QtKeypad;

// The codes are the platform's published ones for the ANSI keyboard. The
// keypad's Enter is reported by Qt with or without the keypad flag depending
// on the keyboard, and has no main-keyboard twin, so it matches either way.
constexpr VirtualKey kKeys[] = {
    {0x00, Qt::Key_A, without, XK_a},
    {0x01, Qt::Key_S, without, XK_s},
    {0x02, Qt::Key_D, without, XK_d},
    {0x03, Qt::Key_F, without, XK_f},
    {0x04, Qt::Key_H, without, XK_h},
    {0x05, Qt::Key_G, without, XK_g},
    {0x06, Qt::Key_Z, without, XK_z},
    {0x07, Qt::Key_X, without, XK_x},
    {0x08, Qt::Key_C, without, XK_c},
    {0x09, Qt::Key_V, without, XK_v},
    {0x0B, Qt::Key_B, without, XK_b},
    {0x0C, Qt::Key_Q, without, XK_q},
    {0x0D, Qt::Key_W, without, XK_w},
    {0x0E, Qt::Key_E, without, XK_e},
    {0x0F, Qt::Key_R, without, XK_r},
    {0x10, Qt::Key_Y, without, XK_y},
    {0x11, Qt::Key_T, without, XK_t},
    {0x12, Qt::Key_1, without, XK_1},
    {0x13, Qt::Key_2, without, XK_2},
    {0x14, Qt::Key_3, without, XK_3},
    {0x15, Qt::Key_4, without, XK_4},
    {0x16, Qt::Key_6, without, XK_6},
    {0x17, Qt::Key_5, without, XK_5},
    {0x18, Qt::Key_Equal, without, XK_equal},
    {0x19, Qt::Key_9, without, XK_9},
    {0x1A, Qt::Key_7, without, XK_7},
    {0x1B, Qt::Key_Minus, without, XK_minus},
    {0x1C, Qt::Key_8, without, XK_8},
    {0x1D, Qt::Key_0, without, XK_0},
    {0x1E, Qt::Key_BracketRight, without, XK_bracketright},
    {0x1F, Qt::Key_O, without, XK_o},
    {0x20, Qt::Key_U, without, XK_u},
    {0x21, Qt::Key_BracketLeft, without, XK_bracketleft},
    {0x22, Qt::Key_I, without, XK_i},
    {0x23, Qt::Key_P, without, XK_p},
    {0x24, Qt::Key_Return, without, XK_Return},
    {0x25, Qt::Key_L, without, XK_l},
    {0x26, Qt::Key_J, without, XK_j},
    {0x27, Qt::Key_Apostrophe, without, XK_apostrophe},
    {0x28, Qt::Key_K, without, XK_k},
    {0x29, Qt::Key_Semicolon, without, XK_semicolon},
    {0x2A, Qt::Key_Backslash, without, XK_backslash},
    {0x2B, Qt::Key_Comma, without, XK_comma},
    {0x2C, Qt::Key_Slash, without, XK_slash},
    {0x2D, Qt::Key_N, without, XK_n},
    {0x2E, Qt::Key_M, without, XK_m},
    {0x2F, Qt::Key_Period, without, XK_period},
    {0x30, Qt::Key_Tab, without, XK_Tab},
    {0x31, Qt::Key_Space, without, XK_space},
    {0x32, Qt::Key_QuoteLeft, without, XK_grave},
    {0x33, Qt::Key_Backspace, without, XK_BackSpace},
    {0x35, Qt::Key_Escape, without, XK_Escape},
    {0x39, Qt::Key_CapsLock, without, XK_Caps_Lock},

    {0x41, Qt::Key_Period, with, XK_KP_Decimal},
    {0x43, Qt::Key_Asterisk, with, XK_KP_Multiply},
    {0x45, Qt::Key_Plus, with, XK_KP_Add},
    {0x47, Qt::Key_Clear, with, XK_Clear},
    {0x4B, Qt::Key_Slash, with, XK_KP_Divide},
    {0x4C, Qt::Key_Enter, either, XK_KP_Enter},
    {0x4E, Qt::Key_Minus, with, XK_KP_Subtract},
    {0x51, Qt::Key_Equal, with, XK_KP_Equal},
    {0x52, Qt::Key_0, with, XK_KP_0},
    {0x53, Qt::Key_1, with, XK_KP_1},
    {0x54, Qt::Key_2, with, XK_KP_2},
    {0x55, Qt::Key_3, with, XK_KP_3},
    {0x56, Qt::Key_4, with, XK_KP_4},
    {0x57, Qt::Key_5, with, XK_KP_5},
    {0x58, Qt::Key_6, with, XK_KP_6},
    {0x59, Qt::Key_7, with, XK_KP_7},
    {0x5B, Qt::Key_8, with, XK_KP_8},
    {0x5C, Qt::Key_9, with, XK_KP_9},

    {0x60, Qt::Key_F5, without, XK_F5},
    {0x61, Qt::Key_F6, without, XK_F6},
    {0x62, Qt::Key_F7, without, XK_F7},
    {0x63, Qt::Key_F3, without, XK_F3},
    {0x64, Qt::Key_F8, without, XK_F8},
    {0x65, Qt::Key_F9, without, XK_F9},
    {0x67, Qt::Key_F11, without, XK_F11},
    {0x69, Qt::Key_F13, without, XK_F13},
    {0x6B, Qt::Key_F14, without, XK_F14},
    {0x6D, Qt::Key_F10, without, XK_F10},
    {0x6F, Qt::Key_F12, without, XK_F12},
    {0x71, Qt::Key_F15, without, XK_F15},
    {0x72, Qt::Key_Help, without, XK_Help},
    {0x73, Qt::Key_Home, without, XK_Home},
    {0x74, Qt::Key_PageUp, without, XK_Prior},
    {0x75, Qt::Key_Delete, without, XK_Delete},
    {0x76, Qt::Key_F4, without, XK_F4},
    {0x77, Qt::Key_End, without, XK_End},
    {0x78, Qt::Key_F2, without, XK_F2},
    {0x79, Qt::Key_PageDown, without, XK_Next},
    {0x7A, Qt::Key_F1, without, XK_F1},
    {0x7B, Qt::Key_Left, without, XK_Left},
    {0x7C, Qt::Key_Right, without, XK_Right},
    {0x7D, Qt::Key_Down, without, XK_Down},
    {0x7E, Qt::Key_Up, without, XK_Up},
};

const VirtualKey* findByQtKey(int qtKey, bool keypadEntry) {
  for (const VirtualKey& entry : kKeys) {
    if (entry.qtKey == qtKey && (entry.keypad != without) == keypadEntry) return &entry;
  }
  return nullptr;
}

}  // namespace

std::span<const VirtualKey> virtualKeys() { return kKeys; }

const VirtualKey* findVirtualKey(UInt32 code) {
  for (const VirtualKey& entry : kKeys) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

UInt32 virtualKeyCode(int qtKey, bool keypad) {
  // A keypad key without a keypad entry (Home on the keypad with Num Lock
  // off) is the main key of the same name.
  if (keypad) {
    if (const VirtualKey* entry = findByQtKey(qtKey, true)) return entry->code;
  }
  if (const VirtualKey* entry = findByQtKey(qtKey, false)) return entry->code;
  if (!keypad) {
    const VirtualKey* entry = findByQtKey(qtKey, true);
    if (entry && entry->keypad == either) return entry->code;
  }
  return kNoVirtualKeyCode;
}

UInt32 virtualKeyCode(const QKeyEvent* key) {
  return virtualKeyCode(key->key(), key->modifiers().testFlag(Qt::KeypadModifier));
}

UInt32 keysymForVirtualKeyCode(UInt32 code) {
  const VirtualKey* entry = findVirtualKey(code);
  return entry ? entry->keysym : kNoKeysym;
}

UInt32 virtualKeyCodeForKeysym(UInt32 keysym) {
  if (keysym >= XK_A && keysym <= XK_Z) keysym += XK_a - XK_A;
  if (keysym == kNoKeysym) return kNoVirtualKeyCode;
  for (const VirtualKey& entry : kKeys) {
    if (entry.keysym == keysym) return entry.code;
  }
  return kNoVirtualKeyCode;
}

}  // namespace platform
