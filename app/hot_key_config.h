// The application's hot keys between runs ("HOTKEY.CFG", 80 bytes: the two
// HOT_KEY records of ports 0 and 1, codes little-endian), and the two key
// tables the settings dialog names keys with.
#pragma once

#include <sys/types.h>

#include <string>

#include "switch/kvm_switch.h"

// Keys the switch accepts as its own hot key, by USB HID usage; ends with code 0.
extern const HOT_KEY HotKeyList[6];
// Display names of special keys, by the platform's virtual key code; 48
// entries, no end marker, first match wins.
constexpr int kMappedKeyCount = 48;
extern const HOT_KEY MappedKeys[kMappedKeyCount];

// Fills the two records from the file; true if it supplied all 80 bytes.
// Otherwise the defaults (Control+Option+1 and +2) are used; they are written
// back when the file is missing or short, but a file that is there and cannot
// be read is left alone (one line on standard error says why). First removes
// the temporary files that saves killed part way left beside the file.
bool GetHotKeyConfiguration(HOT_KEY* hotKeys);
// Replaces the file by the two records, atomically: true when all 80 bytes are
// under the file's name (a folder that then cannot be flushed only adds a
// line); otherwise the earlier file is untouched, one line on standard error
// names the path and the reason, and `failure` (may be null) receives that
// text. A file that is a symbolic link stays one: the file it leads to is
// replaced, but only where the kernel's protection of links in shared sticky
// folders would follow it. A file the user may not write is not replaced.
bool SetHotKeyConfiguration(HOT_KEY* hotKeys, std::string* failure = nullptr);

// The system calls that put the file's bytes on disk, in one table so that a
// test can make the disk fill up or fail part way. Each slot has the C
// library's contract (-1 and errno on failure).
struct HotKeyFileCalls {
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  // Used for the new file and for its folder.
  int (*fsync)(int fd);
};
// The table in force; the real calls unless a test installed another.
const HotKeyFileCalls& hotKeyFileCalls();
// Installs `calls` (null: the real calls). The table must outlive its use.
void setHotKeyFileCalls(const HotKeyFileCalls* calls);

// Length of a stored name: at most its 36 bytes, since a damaged file may
// leave it without a terminator.
size_t HotKeyNameLength(const HOT_KEY& key);
