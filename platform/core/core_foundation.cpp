#include "platform/core/core_foundation.h"

#include <iconv.h>
#include <sys/stat.h>

#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/bundle.h"
#include "platform/core/main_queue.h"

namespace {

enum : CFTypeID {
  kStringTypeID = 7,
  kNumberTypeID = 22,
  kDictionaryTypeID = 18,
  kUUIDTypeID = 29,
  kURLTypeID = 30,
  kBundleTypeID = 31,
  kRunLoopTypeID = 43,
  kRunLoopSourceTypeID = 46,
};

// Every CF object starts with this. Constants (literal strings, constant
// UUIDs, the main bundle and run loop) are immortal: retain and release do nothing.
struct CFObject {
  explicit CFObject(CFTypeID id) : typeID(id) {}
  virtual ~CFObject() = default;
  CFObject(const CFObject&) = delete;
  CFObject& operator=(const CFObject&) = delete;
  const CFTypeID typeID;
  std::atomic<CFIndex> retainCount{1};
  bool immortal = false;
};

const CFObject* object(CFTypeRef cf) { return static_cast<const CFObject*>(cf); }

bool hasType(CFTypeRef cf, CFTypeID id) { return cf && object(cf)->typeID == id; }

}  // namespace

struct __CFString : CFObject {
  explicit __CFString(std::u16string t) : CFObject(kStringTypeID), text(std::move(t)) {}
  std::u16string text;
};

struct __CFNumber : CFObject {
  __CFNumber() : CFObject(kNumberTypeID) {}
  CFNumberType type = kCFNumberSInt32Type;
  bool isFloat = false;
  int64_t integer = 0;
  double real = 0;
};

struct __CFDictionary : CFObject {
  __CFDictionary() : CFObject(kDictionaryTypeID) {}
  ~__CFDictionary() override {
    for (auto& [key, value] : pairs) {
      CFRelease(key);
      CFRelease(value);
    }
  }
  std::vector<std::pair<CFTypeRef, CFTypeRef>> pairs;
};

struct __CFUUID : CFObject {
  explicit __CFUUID(const CFUUIDBytes& b) : CFObject(kUUIDTypeID), bytes(b) {}
  CFUUIDBytes bytes;
};

struct __CFURL : CFObject {
  explicit __CFURL(std::string p) : CFObject(kURLTypeID), path(std::move(p)) {}
  std::string path;
};

struct __CFBundle : CFObject {
  __CFBundle() : CFObject(kBundleTypeID) { immortal = true; }
};

struct __CFRunLoop : CFObject {
  __CFRunLoop() : CFObject(kRunLoopTypeID) { immortal = true; }
};

struct __CFRunLoopSource : CFObject {
  __CFRunLoopSource() : CFObject(kRunLoopSourceTypeID) {}
  std::mutex mutex;
  bool onRunLoop = false;
  std::deque<std::function<void()>> waiting;
};

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {1};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {1};
const CFStringRef kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");

// ---- Objects

CFTypeRef CFRetain(CFTypeRef cf) {
  if (cf && !object(cf)->immortal) const_cast<CFObject*>(object(cf))->retainCount.fetch_add(1);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (!cf || object(cf)->immortal) return;
  CFObject* obj = const_cast<CFObject*>(object(cf));
  if (obj->retainCount.fetch_sub(1) == 1) delete obj;
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
  if (!cf) return 0;
  return object(cf)->immortal ? std::numeric_limits<CFIndex>::max() : object(cf)->retainCount.load();
}

CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? object(cf)->typeID : 0; }
CFTypeID CFStringGetTypeID() { return kStringTypeID; }
CFTypeID CFNumberGetTypeID() { return kNumberTypeID; }
CFTypeID CFDictionaryGetTypeID() { return kDictionaryTypeID; }
CFTypeID CFUUIDGetTypeID() { return kUUIDTypeID; }
CFTypeID CFURLGetTypeID() { return kURLTypeID; }

namespace {

bool numbersEqual(const __CFNumber* a, const __CFNumber* b) {
  if (!a->isFloat && !b->isFloat) return a->integer == b->integer;
  if (a->isFloat && b->isFloat) return a->real == b->real;
  const __CFNumber* f = a->isFloat ? a : b;
  const __CFNumber* i = a->isFloat ? b : a;
  return std::trunc(f->real) == f->real && f->real >= -0x1p63 && f->real < 0x1p63 && int64_t(f->real) == i->integer;
}

}  // namespace

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
  if (a == b) return a != nullptr;
  if (!a || !b || object(a)->typeID != object(b)->typeID) return false;
  switch (object(a)->typeID) {
    case kStringTypeID:
      return static_cast<const __CFString*>(a)->text == static_cast<const __CFString*>(b)->text;
    case kNumberTypeID:
      return numbersEqual(static_cast<const __CFNumber*>(a), static_cast<const __CFNumber*>(b));
    case kUUIDTypeID:
      return static_cast<const __CFUUID*>(a)->bytes == static_cast<const __CFUUID*>(b)->bytes;
    case kURLTypeID:
      return static_cast<const __CFURL*>(a)->path == static_cast<const __CFURL*>(b)->path;
    case kDictionaryTypeID: {
      auto* da = static_cast<const __CFDictionary*>(a);
      auto* db = static_cast<const __CFDictionary*>(b);
      if (da->pairs.size() != db->pairs.size()) return false;
      for (auto& [key, value] : da->pairs) {
        if (!CFDictionaryContainsKey(db, key) || !CFEqual(value, CFDictionaryGetValue(db, key))) return false;
      }
      return true;
    }
    default:
      return false;
  }
}

// ---- Strings

namespace {

// Converts between UTF-8 and UTF-16 in the host's order with the C library's iconv.
std::optional<std::string> iconvConvert(const char* to, const char* from, const char* data, size_t size) {
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return std::nullopt;
  std::string out(size * 4 + 4, '\0');
  char* in = const_cast<char*>(data);
  size_t inLeft = size;
  char* outPtr = out.data();
  size_t outLeft = out.size();
  size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (result == size_t(-1) || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

const char* hostUTF16() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

std::optional<std::u16string> fromUTF8(const char* text, size_t size) {
  if (size == 0) return std::u16string();
  auto bytes = iconvConvert(hostUTF16(), "UTF-8", text, size);
  if (!bytes) return std::nullopt;
  std::u16string units(bytes->size() / 2, u'\0');
  std::memcpy(units.data(), bytes->data(), units.size() * 2);
  return units;
}

std::optional<std::string> toUTF8(const std::u16string& units) {
  if (units.empty()) return std::string();
  return iconvConvert("UTF-8", hostUTF16(), reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

__CFString* newString(std::u16string text) { return new __CFString(std::move(text)); }

// Literal strings live for the process: the table itself is never freed, so
// leak checks see them as reachable.
std::map<std::string, __CFString*>& constantStrings() {
  static auto* table = new std::map<std::string, __CFString*>;
  return *table;
}

std::string utf8Text(CFStringRef str) {
  if (!hasType(str, kStringTypeID)) return std::string();
  return toUTF8(str->text).value_or(std::string());
}

}  // namespace

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::string key = cStr ? cStr : "";
  auto& table = constantStrings();
  auto it = table.find(key);
  if (it != table.end()) return it->second;
  __CFString* str = newString(fromUTF8(key.data(), key.size()).value_or(std::u16string()));
  str->immortal = true;
  table.emplace(key, str);
  return str;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
  if (!cStr) return nullptr;
  size_t size = std::strlen(cStr);
  switch (encoding) {
    case kCFStringEncodingASCII:
      for (size_t i = 0; i < size; ++i) {
        if (static_cast<unsigned char>(cStr[i]) >= 0x80) return nullptr;
      }
      [[fallthrough]];
    case kCFStringEncodingUTF8:
    case kCFStringEncodingMacRoman: {
      // The program's texts are ASCII, where the three encodings agree.
      auto units = fromUTF8(cStr, size);
      return units ? newString(std::move(*units)) : nullptr;
    }
    default:
      return nullptr;
  }
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
  if (numChars < 0 || (!chars && numChars > 0)) return nullptr;
  std::u16string text(size_t(numChars), u'\0');
  for (CFIndex i = 0; i < numChars; ++i) text[size_t(i)] = char16_t(chars[i]);
  return newString(std::move(text));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef str) {
  if (!hasType(str, kStringTypeID)) return nullptr;
  return newString(str->text);
}

Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
  if (!hasType(str, kStringTypeID) || !buffer || bufferSize <= 0) return false;
  const std::u16string& text = str->text;
  switch (encoding) {
    case kCFStringEncodingUnicode:
    case kCFStringEncodingUTF16LE: {
      // The units and a two-byte terminator must all fit.
      if ((CFIndex(text.size()) + 1) * 2 > bufferSize) return false;
      bool swap = encoding == kCFStringEncodingUTF16LE && std::endian::native != std::endian::little;
      for (size_t i = 0; i < text.size(); ++i) {
        uint16_t unit = text[i];
        if (swap) unit = uint16_t((unit >> 8) | (unit << 8));
        std::memcpy(buffer + 2 * i, &unit, 2);
      }
      buffer[2 * text.size()] = 0;
      buffer[2 * text.size() + 1] = 0;
      return true;
    }
    case kCFStringEncodingASCII:
      for (char16_t unit : text) {
        if (unit >= 0x80) return false;
      }
      [[fallthrough]];
    case kCFStringEncodingUTF8:
    case kCFStringEncodingMacRoman: {
      auto bytes = toUTF8(text);
      if (!bytes || CFIndex(bytes->size()) + 1 > bufferSize) return false;
      std::memcpy(buffer, bytes->data(), bytes->size());
      buffer[bytes->size()] = '\0';
      return true;
    }
    default:
      return false;
  }
}

CFIndex CFStringGetLength(CFStringRef str) { return hasType(str, kStringTypeID) ? CFIndex(str->text.size()) : 0; }

UniChar CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx) {
  if (!hasType(str, kStringTypeID) || idx < 0 || size_t(idx) >= str->text.size()) return 0;
  return str->text[size_t(idx)];
}

namespace {

std::string describe(CFTypeRef cf);

std::string describeNumber(const __CFNumber* n) {
  if (!n->isFloat) return std::to_string(n->integer);
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, n->real);
  return std::string(text, result.ptr);
}

std::string describeUUID(const CFUUIDBytes& b) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b.byte0,
                b.byte1, b.byte2, b.byte3, b.byte4, b.byte5, b.byte6, b.byte7, b.byte8, b.byte9, b.byte10, b.byte11,
                b.byte12, b.byte13, b.byte14, b.byte15);
  return text;
}

std::string describe(CFTypeRef cf) {
  if (!cf) return "(null)";
  switch (object(cf)->typeID) {
    case kStringTypeID:
      return utf8Text(static_cast<CFStringRef>(cf));
    case kNumberTypeID:
      return describeNumber(static_cast<const __CFNumber*>(cf));
    case kUUIDTypeID:
      return describeUUID(static_cast<const __CFUUID*>(cf)->bytes);
    case kURLTypeID:
      return static_cast<const __CFURL*>(cf)->path;
    case kDictionaryTypeID: {
      std::string text = "{";
      for (auto& [key, value] : static_cast<const __CFDictionary*>(cf)->pairs) {
        text += describe(key) + " = " + describe(value) + "; ";
      }
      return text + "}";
    }
    default: {
      char text[48];
      std::snprintf(text, sizeof text, "<CFType %p>", cf);
      return text;
    }
  }
}

// One conversion of the C formatting subset, with its argument taken by type.
template <typename T>
void appendFormatted(std::string* out, const std::string& directive, T value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, directive.c_str(), value);
  if (n < 0) return;
  if (size_t(n) < sizeof small) {
    out->append(small, size_t(n));
    return;
  }
  std::string big(size_t(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), directive.c_str(), value);
  out->append(big.data(), size_t(n));
}

std::string formatText(const std::string& format, va_list args) {
  std::string out;
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    std::string directive = "%";
    ++i;
    while (i < format.size() && std::strchr("-+ #0", format[i])) directive += format[i++];
    // Width and precision may come from the arguments ('*').
    for (int part = 0; part < 2; ++part) {
      if (part == 1) {
        if (i >= format.size() || format[i] != '.') break;
        directive += format[i++];
      }
      if (i < format.size() && format[i] == '*') {
        directive += std::to_string(va_arg(args, int));
        ++i;
      } else {
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') directive += format[i++];
      }
    }
    std::string length;
    while (i < format.size() && std::strchr("hlLqjzt", format[i])) length += format[i++];
    if (i >= format.size()) break;
    char conversion = format[i++];
    if (length == "q") length = "ll";
    switch (conversion) {
      case '%':
        out += '%';
        break;
      case '@':
        out += describe(va_arg(args, CFTypeRef));
        break;
      case 'd':
      case 'i':
        directive += "ll";
        directive += conversion;
        if (length == "ll" || length == "j")
          appendFormatted(&out, directive, (long long)va_arg(args, long long));
        else if (length == "l" || length == "z" || length == "t")
          appendFormatted(&out, directive, (long long)va_arg(args, long));
        else if (length == "h")
          appendFormatted(&out, directive, (long long)(short)va_arg(args, int));
        else if (length == "hh")
          appendFormatted(&out, directive, (long long)(signed char)va_arg(args, int));
        else
          appendFormatted(&out, directive, (long long)va_arg(args, int));
        break;
      case 'u':
      case 'o':
      case 'x':
      case 'X':
        directive += "ll";
        directive += conversion;
        if (length == "ll" || length == "j")
          appendFormatted(&out, directive, (unsigned long long)va_arg(args, unsigned long long));
        else if (length == "l" || length == "z" || length == "t")
          appendFormatted(&out, directive, (unsigned long long)va_arg(args, unsigned long));
        else if (length == "h")
          appendFormatted(&out, directive, (unsigned long long)(unsigned short)va_arg(args, unsigned));
        else if (length == "hh")
          appendFormatted(&out, directive, (unsigned long long)(unsigned char)va_arg(args, unsigned));
        else
          appendFormatted(&out, directive, (unsigned long long)va_arg(args, unsigned));
        break;
      case 'c':
        directive += 'c';
        appendFormatted(&out, directive, va_arg(args, int));
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (length == "L") {
          directive += 'L';
          directive += conversion;
          appendFormatted(&out, directive, va_arg(args, long double));
        } else {
          directive += conversion;
          appendFormatted(&out, directive, va_arg(args, double));
        }
        break;
      case 's': {
        const char* text = va_arg(args, const char*);
        directive += 's';
        appendFormatted(&out, directive, text ? text : "(null)");
        break;
      }
      case 'p':
        directive += 'p';
        appendFormatted(&out, directive, va_arg(args, void*));
        break;
      default:
        // Not part of the subset: keep the text as written.
        out += directive + length + conversion;
        break;
    }
  }
  return out;
}

}  // namespace

CFStringRef CFStringCreateWithFormat(CFAllocatorRef, CFDictionaryRef, CFStringRef format, ...) {
  if (!hasType(format, kStringTypeID)) return nullptr;
  va_list args;
  va_start(args, format);
  std::string text = formatText(utf8Text(format), args);
  va_end(args);
  auto units = fromUTF8(text.data(), text.size());
  return units ? newString(std::move(*units)) : nullptr;
}

// ---- Numbers

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
  if (!valuePtr) return nullptr;
  auto* n = new __CFNumber;
  n->type = theType;
  auto load = [&](auto sample) {
    decltype(sample) v;
    std::memcpy(&v, valuePtr, sizeof v);
    return v;
  };
  switch (theType) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
      n->integer = load(int8_t());
      break;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
      n->integer = load(int16_t());
      break;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
      n->integer = load(int32_t());
      break;
    case kCFNumberSInt64Type:
    case kCFNumberLongLongType:
      n->integer = load(int64_t());
      break;
    case kCFNumberLongType:
      n->integer = load(long());
      break;
    case kCFNumberCFIndexType:
      n->integer = load(CFIndex());
      break;
    case kCFNumberFloat32Type:
      n->isFloat = true;
      n->real = load(float());
      break;
    case kCFNumberFloat64Type:
      n->isFloat = true;
      n->real = load(double());
      break;
    default:
      delete n;
      return nullptr;
  }
  return n;
}

namespace {

// Stores the number as T; true only when nothing was lost.
template <typename T>
bool storeInteger(const __CFNumber* n, void* out) {
  T value;
  bool exact;
  if (!n->isFloat) {
    value = static_cast<T>(n->integer);
    exact = std::in_range<T>(n->integer);
  } else {
    const double limit = std::ldexp(1.0, std::numeric_limits<T>::digits);
    const double low = std::numeric_limits<T>::is_signed ? -limit : 0.0;
    if (std::isnan(n->real)) {
      value = 0;
      exact = false;
    } else if (n->real < low) {
      value = std::numeric_limits<T>::min();
      exact = false;
    } else if (n->real >= limit) {
      value = std::numeric_limits<T>::max();
      exact = false;
    } else {
      value = static_cast<T>(n->real);
      exact = static_cast<double>(value) == n->real;
    }
  }
  std::memcpy(out, &value, sizeof value);
  return exact;
}

template <typename T>
bool storeReal(const __CFNumber* n, void* out) {
  T value;
  bool exact;
  if (n->isFloat) {
    double d = n->real;
    if (std::isfinite(d) && std::fabs(d) > double(std::numeric_limits<T>::max())) {
      value = d < 0 ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
      exact = false;
    } else {
      value = static_cast<T>(d);
      exact = static_cast<double>(value) == d || std::isnan(d);
    }
  } else {
    value = static_cast<T>(n->integer);
    long double back = value;
    exact = back == static_cast<long double>(n->integer);
  }
  std::memcpy(out, &value, sizeof value);
  return exact;
}

}  // namespace

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  if (!hasType(number, kNumberTypeID) || !valuePtr) return false;
  switch (theType) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
      return storeInteger<int8_t>(number, valuePtr);
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
      return storeInteger<int16_t>(number, valuePtr);
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
      return storeInteger<int32_t>(number, valuePtr);
    case kCFNumberSInt64Type:
    case kCFNumberLongLongType:
      return storeInteger<int64_t>(number, valuePtr);
    case kCFNumberLongType:
      return storeInteger<long>(number, valuePtr);
    case kCFNumberCFIndexType:
      return storeInteger<CFIndex>(number, valuePtr);
    case kCFNumberFloat32Type:
      return storeReal<float>(number, valuePtr);
    case kCFNumberFloat64Type:
      return storeReal<double>(number, valuePtr);
    default:
      return false;
  }
}

CFNumberType CFNumberGetType(CFNumberRef number) { return hasType(number, kNumberTypeID) ? number->type : 0; }

// ---- Dictionaries

namespace {

__CFDictionary* mutableDictionary(CFDictionaryRef dict) {
  return hasType(dict, kDictionaryTypeID) ? const_cast<__CFDictionary*>(dict) : nullptr;
}

std::pair<CFTypeRef, CFTypeRef>* findPair(CFDictionaryRef dict, const void* key) {
  __CFDictionary* d = mutableDictionary(dict);
  if (!d || !key) return nullptr;
  for (auto& pair : d->pairs) {
    if (CFEqual(pair.first, key)) return &pair;
  }
  return nullptr;
}

}  // namespace

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*,
                                                 const CFDictionaryValueCallBacks*) {
  return new __CFDictionary;
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex, CFDictionaryRef dict) {
  auto* copy = new __CFDictionary;
  if (const __CFDictionary* d = mutableDictionary(dict)) {
    for (auto& [key, value] : d->pairs) copy->pairs.emplace_back(CFRetain(key), CFRetain(value));
  }
  return copy;
}

void CFDictionarySetValue(CFMutableDictionaryRef dict, const void* key, const void* value) {
  __CFDictionary* d = mutableDictionary(dict);
  if (!d || !key || !value) return;
  if (auto* pair = findPair(dict, key)) {
    CFRetain(value);
    CFRelease(pair->second);
    pair->second = value;
    return;
  }
  d->pairs.emplace_back(CFRetain(key), CFRetain(value));
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef dict, const void* key) {
  __CFDictionary* d = mutableDictionary(dict);
  if (!d || !key) return;
  for (auto it = d->pairs.begin(); it != d->pairs.end(); ++it) {
    if (CFEqual(it->first, key)) {
      auto [k, v] = *it;
      d->pairs.erase(it);
      CFRelease(k);
      CFRelease(v);
      return;
    }
  }
}

const void* CFDictionaryGetValue(CFDictionaryRef dict, const void* key) {
  auto* pair = findPair(dict, key);
  return pair ? pair->second : nullptr;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef dict, const void* key) { return findPair(dict, key) != nullptr; }

CFIndex CFDictionaryGetCount(CFDictionaryRef dict) {
  const __CFDictionary* d = mutableDictionary(dict);
  return d ? CFIndex(d->pairs.size()) : 0;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void** keys, const void** values) {
  const __CFDictionary* d = mutableDictionary(dict);
  if (!d) return;
  for (size_t i = 0; i < d->pairs.size(); ++i) {
    if (keys) keys[i] = d->pairs[i].first;
    if (values) values[i] = d->pairs[i].second;
  }
}

// ---- UUIDs

bool operator==(const CFUUIDBytes& a, const CFUUIDBytes& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8,
                                         UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15) {
  static std::mutex mutex;
  static auto* table = new std::vector<__CFUUID*>;
  const CFUUIDBytes bytes = {byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                             byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
  std::lock_guard<std::mutex> lock(mutex);
  for (__CFUUID* uuid : *table) {
    if (uuid->bytes == bytes) return uuid;
  }
  auto* uuid = new __CFUUID(bytes);
  uuid->immortal = true;
  table->push_back(uuid);
  return uuid;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) { return new __CFUUID(bytes); }

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
  return hasType(uuid, kUUIDTypeID) ? uuid->bytes : CFUUIDBytes{};
}

// ---- URLs and files

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, int, Boolean) {
  if (!hasType(filePath, kStringTypeID)) return nullptr;
  return new __CFURL(utf8Text(filePath));
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8* buffer, CFIndex maxBufLen) {
  if (!hasType(url, kURLTypeID) || !buffer) return false;
  const std::string& path = url->path;
  if (CFIndex(path.size()) + 1 > maxBufLen) return false;
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return true;
}

Boolean CFURLGetFSRef(CFURLRef url, FSRef* fsRef) {
  if (!hasType(url, kURLTypeID) || !fsRef) return false;
  const std::string& path = url->path;
  struct stat info;
  if (path.size() + 1 > sizeof fsRef->path || ::stat(path.c_str(), &info) != 0) return false;
  std::memcpy(fsRef->path, path.c_str(), path.size() + 1);
  return true;
}

// ---- The main bundle

CFBundleRef CFBundleGetMainBundle() {
  static auto* bundle = new __CFBundle;
  return bundle;
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef name, CFStringRef type, CFStringRef subDirName) {
  if (!hasType(bundle, kBundleTypeID) || !hasType(name, kStringTypeID)) return nullptr;
  std::string path = platform::bundleResourcesDirectory() + "/";
  if (hasType(subDirName, kStringTypeID) && CFStringGetLength(subDirName) > 0) path += utf8Text(subDirName) + "/";
  path += utf8Text(name);
  if (hasType(type, kStringTypeID) && CFStringGetLength(type) > 0) {
    path += '.';
    path += utf8Text(type);
  }
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return nullptr;
  return new __CFURL(path);
}

CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value, CFStringRef) {
  std::string text;
  if (hasType(bundle, kBundleTypeID) && hasType(key, kStringTypeID) && platform::localizedString(utf8Text(key), &text)) {
    if (auto units = fromUTF8(text.data(), text.size())) return newString(std::move(*units));
  }
  return static_cast<CFStringRef>(CFRetain(value ? value : key));
}

// ---- The run loop

CFRunLoopRef CFRunLoopGetMain() {
  static auto* runLoop = new __CFRunLoop;
  return runLoop;
}

CFRunLoopRef CFRunLoopGetCurrent() { return CFRunLoopGetMain(); }

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef) {
  if (!hasType(rl, kRunLoopTypeID) || !hasType(source, kRunLoopSourceTypeID)) return;
  std::deque<std::function<void()>> waiting;
  {
    std::lock_guard<std::mutex> lock(source->mutex);
    source->onRunLoop = true;
    waiting.swap(source->waiting);
  }
  for (auto& work : waiting) platform::postToMainQueue(std::move(work));
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef) {
  if (!hasType(rl, kRunLoopTypeID) || !hasType(source, kRunLoopSourceTypeID)) return;
  std::lock_guard<std::mutex> lock(source->mutex);
  source->onRunLoop = false;
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef) {
  if (!hasType(rl, kRunLoopTypeID) || !hasType(source, kRunLoopSourceTypeID)) return false;
  std::lock_guard<std::mutex> lock(source->mutex);
  return source->onRunLoop;
}

namespace platform {

CFRunLoopSourceRef createRunLoopSource() { return new __CFRunLoopSource; }

void signalRunLoopSource(CFRunLoopSourceRef source, std::function<void()> work) {
  if (!hasType(source, kRunLoopSourceTypeID) || !work) return;
  {
    std::lock_guard<std::mutex> lock(source->mutex);
    if (!source->onRunLoop) {
      source->waiting.push_back(std::move(work));
      return;
    }
  }
  postToMainQueue(std::move(work));
}

}  // namespace platform
