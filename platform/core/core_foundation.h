// CoreFoundation stand-ins: reference-counted strings, numbers, dictionaries,
// UUIDs, URLs, the main bundle and the run loop, with the platform's ownership
// rules (Create/Copy give a reference the caller releases; Get does not).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/core/mac_types.h"

// Any CF object, as on the platform: every typed reference converts to it, so
// CFRelease(string), CFEqual(number, value) and the like need no casts.
typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFUUID* CFUUIDRef;
typedef const struct __CFURL* CFURLRef;
typedef struct __CFBundle* CFBundleRef;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef const struct __CFAllocator* CFAllocatorRef;

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef uint32_t CFStringEncoding;
typedef CFIndex CFNumberType;

constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

enum : CFStringEncoding {
  kCFStringEncodingMacRoman = 0,
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingUTF8 = 0x08000100,
  // UTF-16 in the host's byte order.
  kCFStringEncodingUnicode = 0x0100,
  kCFStringEncodingUTF16 = 0x0100,
  kCFStringEncodingUTF16LE = 0x14000100,
};

enum : CFNumberType {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberCFIndexType = 14,
};

struct CFUUIDBytes {
  UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
  UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};

struct CFDictionaryKeyCallBacks {
  int kind;
};
struct CFDictionaryValueCallBacks {
  int kind;
};
// The dictionaries retain keys and values and compare keys with CFEqual.
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;

extern const CFStringRef kCFRunLoopDefaultMode;

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
Boolean CFEqual(CFTypeRef a, CFTypeRef b);

CFTypeID CFStringGetTypeID();
CFTypeID CFNumberGetTypeID();
CFTypeID CFDictionaryGetTypeID();
CFTypeID CFUUIDGetTypeID();
CFTypeID CFURLGetTypeID();

// A constant string for a literal: never freed, retain and release do nothing.
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(literal) __CFStringMakeConstantString("" literal "")

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars, CFIndex numChars);
CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions, CFStringRef format, ...);
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef str);
// Converts into `buffer` of `bufferSize` bytes with its terminator (two zero
// bytes for UTF-16). False, with nothing promised in the buffer, when the text
// does not fit or cannot be expressed in the encoding.
Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
// Length in UTF-16 code units.
CFIndex CFStringGetLength(CFStringRef str);
UniChar CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx);

CFNumberRef CFNumberCreate(CFAllocatorRef alloc, CFNumberType theType, const void* valuePtr);
// Stores the value converted to `theType`; false when the conversion loses
// information (the stored value is then the converted one, as the platform does).
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);
CFNumberType CFNumberGetType(CFNumberRef number);

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef alloc, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks);
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef alloc, CFIndex capacity, CFDictionaryRef dict);
void CFDictionarySetValue(CFMutableDictionaryRef dict, const void* key, const void* value);
void CFDictionaryRemoveValue(CFMutableDictionaryRef dict, const void* key);
const void* CFDictionaryGetValue(CFDictionaryRef dict, const void* key);
Boolean CFDictionaryContainsKey(CFDictionaryRef dict, const void* key);
CFIndex CFDictionaryGetCount(CFDictionaryRef dict);
// Fills `keys` and `values` (either may be null), each with room for
// CFDictionaryGetCount() items, in the order the keys were first set.
void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void** keys, const void** values);

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8,
                                         UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
bool operator==(const CFUUIDBytes& a, const CFUUIDBytes& b);

// URLs name files by their path.
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef alloc, CFStringRef filePath, int pathStyle, Boolean isDirectory);
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer, CFIndex maxBufLen);

// A file reference, valid while the file exists.
struct FSRef {
  char path[4096];
};
Boolean CFURLGetFSRef(CFURLRef url, FSRef* fsRef);

// The main bundle is the installed resources directory (see platform/core/bundle.h).
CFBundleRef CFBundleGetMainBundle();
// The resource `name` (with `type` appended after a dot when given) in the
// bundle's resources, or null when no such file exists.
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef name, CFStringRef type, CFStringRef subDirName);
// The bundle's localized text for `key` from `tableName` ("Localizable" when
// null); `value` (or the key when `value` is null) when there is none.
CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value, CFStringRef tableName);

// The run loop of the main thread; its sources are performed from the main queue.
CFRunLoopRef CFRunLoopGetCurrent();
CFRunLoopRef CFRunLoopGetMain();
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);

namespace platform {

// A run-loop source of our own: work signalled on it is performed from the main
// queue once the source is on the main run loop; until then it waits, in order.
// The caller owns the source (CFRelease).
CFRunLoopSourceRef createRunLoopSource();
void signalRunLoopSource(CFRunLoopSourceRef source, std::function<void()> work);

}  // namespace platform
