#include "app/hot_key_config.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

const HOT_KEY HotKeyList[6] = {
    {0x47, "Scroll Lock"}, {0x53, "Num Lock"}, {0x39, "Caps Lock"}, {0x45, "F12"}, {0x29, "esc"}, {0, ""},
};

const HOT_KEY MappedKeys[kMappedKeyCount] = {
    {0x33, "Backspace"},
    {0x24, "Enter"},
    {0x30, "Tab"},
    {0x39, "Caps Lock"},
    {0x31, "Space"},
    {0x53, "1 (Numeric Pad)"},
    {0x54, "2 (Numeric Pad)"},
    {0x55, "3 (Numeric Pad)"},
    {0x56, "4 (Numeric Pad)"},
    {0x57, "5 (Numeric Pad)"},
    {0x58, "6 (Numeric Pad)"},
    {0x59, "7 (Numeric Pad)"},
    {0x5B, "8 (Numeric Pad)"},
    {0x5C, "9 (Numeric Pad)"},
    {0x52, "0 (Numeric Pad)"},
    {0x41, ". (Numeric Pad)"},
    {0x51, "=(Numeric Pad)"},
    {0x4B, "/ (Numeric Pad)"},
    {0x43, "* (Numeric Pad)"},
    {0x4E, "- (Numeric Pad)"},
    {0x45, "+ (Numeric Pad)"},
    {0x47, "Clear (Numeric Pad)"},
    {0x4C, "Enter (Numeric Pad)"},
    {0x7D, "Down Arrow"},
    {0x7E, "Up Arrow"},
    {0x7C, "Right Arrow"},
    {0x7B, "Left Arrow"},
    {0x74, "Page Up"},
    {0x79, "Page Down"},
    {0x73, "Home"},
    {0x77, "End"},
    {0x72, "Help"},
    {0x75, "Suppress"},
    {0x7A, "F1"},
    {0x78, "F2"},
    {0x63, "F3"},
    {0x76, "F4"},
    {0x60, "F5"},
    {0x61, "F6"},
    {0x62, "F7"},
    {0x64, "F8"},
    {0x65, "F9"},
    {0x6D, "F10"},
    {0x67, "F11"},
    {0x6F, "F12"},
    {0x69, "F13"},
    {0x6B, "F14"},
    {0x71, "F15"},
};

namespace {

constexpr size_t kConfigurationSize = 2 * sizeof(HOT_KEY);
static_assert(kConfigurationSize == 80, "the file holds two 40-byte records");
constexpr const char kFileName[] = "HOTKEY.CFG";

// "HOTKEY.CFG" in the working directory. A directory that needs more than 256
// bytes with its terminator is a failure; the file name is added in a buffer
// with room for it.
bool BuildPath(char (&path)[256 + sizeof kFileName + 1]) {
  char directory[256];
  if (!getcwd(directory, sizeof directory)) return false;
  size_t length = strlen(directory);
  const char* separator = (length > 0 && directory[length - 1] == '/') ? "" : "/";
  int written = snprintf(path, sizeof path, "%s%s%s", directory, separator, kFileName);
  return written > 0 && size_t(written) < sizeof path;
}

}  // namespace

size_t HotKeyNameLength(const HOT_KEY& key) { return strnlen(key.name, sizeof key.name); }

bool SetHotKeyConfiguration(HOT_KEY* hotKeys) {
  char path[256 + sizeof kFileName + 1];
  if (!BuildPath(path)) return false;
  FILE* file = fopen(path, "wb");
  if (!file) return false;
  size_t written = fwrite(hotKeys, 1, kConfigurationSize, file);
  // Buffered bytes only count once the close has put them on disk.
  bool closed = fclose(file) == 0;
  return written == kConfigurationSize && closed;
}

bool GetHotKeyConfiguration(HOT_KEY* hotKeys) {
  char path[256 + sizeof kFileName + 1];
  if (BuildPath(path)) {
    if (FILE* file = fopen(path, "rb")) {
      size_t read = fread(hotKeys, 1, kConfigurationSize, file);
      fclose(file);
      if (read == kConfigurationSize) return true;
    }
  }
  for (int n = 0; n < 2; ++n) {
    memset(&hotKeys[n], 0, sizeof hotKeys[n]);
    hotKeys[n].code = 18 + n;
    snprintf(hotKeys[n].name, sizeof hotKeys[n].name, "%d", n + 1);
  }
  SetHotKeyConfiguration(hotKeys);
  return false;
}
