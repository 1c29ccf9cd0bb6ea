// Basic scalar types, status codes and records of the desktop platform, as the
// program's own code names them.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef unsigned char Boolean;
typedef int32_t OSStatus;
typedef int16_t OSErr;
typedef uint32_t FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;
typedef unsigned long ItemCount;
typedef unsigned long ByteCount;
typedef uint32_t OptionBits;
typedef char* Ptr;
typedef Ptr* Handle;
typedef uint16_t UniChar;
typedef int32_t Duration;
typedef double EventTime;
typedef double EventTimeInterval;
typedef uint16_t EventKind16;

enum : OSStatus {
  noErr = 0,
  paramErr = -50,
  memFullErr = -108,
  fnfErr = -43,
  nilHandleErr = -109,
  eventNotHandledErr = -9874,
  eventParameterNotFoundErr = -9870,
  eventInternalErr = -9868,
  eventKindIncorrectErr = -9869,
  eventAlreadyPostedErr = -9860,
  errUnknownControl = -30584,
  errInvalidWindowRef = -5600,
  errInvalidWindowProperty = -5601,
  errWindowPropertyNotFound = -5604,
  errControlNotFound = -30599,
  errHIViewNotFound = -30599,
  menuItemNotFoundErr = -5620,
  procNotFound = -600,
  kIconFamilyErr = -2071,
  invalidIconRefErr = -2580,
};

typedef struct Rect {
  short top;
  short left;
  short bottom;
  short right;
} Rect;

typedef struct Point {
  short v;
  short h;
} Point;

// Four-character codes are 32-bit values with the first character in the most
// significant byte.
constexpr FourCharCode FOUR_CHAR_CODE(const char (&code)[5]) {
  return (FourCharCode(uint8_t(code[0])) << 24) | (FourCharCode(uint8_t(code[1])) << 16) |
         (FourCharCode(uint8_t(code[2])) << 8) | FourCharCode(uint8_t(code[3]));
}
