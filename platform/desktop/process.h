// The front process: the application whose windows have the keyboard. The
// program is the front process while Qt counts it active; bringing it to the
// front raises and activates its visible windows. No other process can be
// named or brought to the front.
#pragma once

#include "platform/core/mac_types.h"

struct ProcessSerialNumber {
  UInt32 highLongOfPSN;
  UInt32 lowLongOfPSN;
};

enum : UInt32 {
  kNoProcess = 0,
  kSystemProcess = 1,
  kCurrentProcess = 2,
};

// The program's own serial number: {0, its process id}.
OSErr GetCurrentProcess(ProcessSerialNumber* outPSN);
// The program's own number while it is in front, else {0, kNoProcess}.
OSErr GetFrontProcess(ProcessSerialNumber* outPSN);
// For the program's own number (or {0, kCurrentProcess}): raises and activates
// its visible windows. procNotFound for any other process, paramErr for null.
OSErr SetFrontProcess(const ProcessSerialNumber* inPSN);
