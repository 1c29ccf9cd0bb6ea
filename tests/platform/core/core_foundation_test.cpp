#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/core/bundle.h"
#include "platform/core/core_foundation.h"
#include "platform/core/main_queue.h"

namespace {

std::string text(CFStringRef str) {
  char buffer[256];
  return CFStringGetCString(str, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<not convertible>";
}

CFNumberRef number(CFNumberType type, const void* value) { return CFNumberCreate(kCFAllocatorDefault, type, value); }

TEST(CFStringConversion, UnicodeNeedsRoomForTheUnitsAndATwoByteTerminator) {
  CFStringRef three = CFStringCreateWithCString(nullptr, "XYZ", kCFStringEncodingASCII);
  CFStringRef four = CFStringCreateWithCString(nullptr, "XYZW", kCFStringEncodingASCII);
  unsigned char buffer[8];
  std::memset(buffer, 0xAA, sizeof buffer);
  ASSERT_TRUE(CFStringGetCString(three, reinterpret_cast<char*>(buffer), 8, kCFStringEncodingUnicode));
  const unsigned char expected[8] = {'X', 0, 'Y', 0, 'Z', 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(buffer, expected, 8));
  EXPECT_FALSE(CFStringGetCString(four, reinterpret_cast<char*>(buffer), 8, kCFStringEncodingUnicode));
  char roomy[10];
  EXPECT_TRUE(CFStringGetCString(four, roomy, sizeof roomy, kCFStringEncodingUnicode));
  CFRelease(three);
  CFRelease(four);
}

TEST(CFStringConversion, CStringEncodingsNeedTheTextAndANul) {
  CFStringRef abc = CFSTR("abc");
  char buffer[8];
  EXPECT_FALSE(CFStringGetCString(abc, buffer, 3, kCFStringEncodingUTF8));
  ASSERT_TRUE(CFStringGetCString(abc, buffer, 4, kCFStringEncodingASCII));
  EXPECT_STREQ("abc", buffer);

  CFStringRef accented = CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingUTF8);
  ASSERT_NE(nullptr, accented);
  EXPECT_EQ(4, CFStringGetLength(accented));
  EXPECT_EQ(0xE9, CFStringGetCharacterAtIndex(accented, 3));
  EXPECT_FALSE(CFStringGetCString(accented, buffer, sizeof buffer, kCFStringEncodingASCII));
  EXPECT_EQ("caf\xC3\xA9", text(accented));
  EXPECT_EQ(nullptr, CFStringCreateWithCString(nullptr, "caf\xC3\xA9", kCFStringEncodingASCII));
  EXPECT_EQ(nullptr, CFStringCreateWithCString(nullptr, "bad \xC3", kCFStringEncodingUTF8));
  CFRelease(accented);
}

TEST(CFStringConversion, FormatSupportsCFObjectsAndThePrintfSubset) {
  CFStringRef name = CFStringCreateWithCString(nullptr, "Switch", kCFStringEncodingUTF8);
  long eight = 8;
  CFNumberRef size = number(kCFNumberLongType, &eight);
  CFStringRef formatted = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@ %d: %@ [%5.2f|%-3s|%04x|%lu|%c] 100%%"),
                                                   name, -2, size, 1.5, "ab", 0xBEu, 7ul, 'q');
  EXPECT_EQ("Switch -2: 8 [ 1.50|ab |00be|7|q] 100%", text(formatted));
  CFRelease(formatted);
  CFRelease(size);
  CFRelease(name);
}

TEST(CFNumberConversion, LongReadsIntoALongAndLossyConversionsFail) {
  long eight = 8;
  CFNumberRef n = number(kCFNumberLongType, &eight);
  long out = 0;
  EXPECT_TRUE(CFNumberGetValue(n, kCFNumberLongType, &out));
  EXPECT_EQ(8, out);
  EXPECT_EQ(kCFNumberLongType, CFNumberGetType(n));
  CFRelease(n);

  int big = 300;
  CFNumberRef tooBig = number(kCFNumberIntType, &big);
  int8_t small = 0;
  EXPECT_FALSE(CFNumberGetValue(tooBig, kCFNumberSInt8Type, &small));
  EXPECT_EQ(44, small);  // the truncated value is still stored
  long asLong = 0;
  EXPECT_TRUE(CFNumberGetValue(tooBig, kCFNumberLongType, &asLong));
  EXPECT_EQ(300, asLong);
  CFRelease(tooBig);

  double half = 2.5;
  CFNumberRef fraction = number(kCFNumberFloat64Type, &half);
  int whole = 0;
  EXPECT_FALSE(CFNumberGetValue(fraction, kCFNumberIntType, &whole));
  EXPECT_EQ(2, whole);
  CFRelease(fraction);

  double huge = 1e30;
  CFNumberRef overflow = number(kCFNumberFloat64Type, &huge);
  int64_t clamped = 0;
  EXPECT_FALSE(CFNumberGetValue(overflow, kCFNumberSInt64Type, &clamped));
  EXPECT_EQ(INT64_MAX, clamped);
  CFRelease(overflow);

  int64_t wide = int64_t(1) << 40;
  CFNumberRef wideNumber = number(kCFNumberSInt64Type, &wide);
  int32_t narrow = -1;
  EXPECT_FALSE(CFNumberGetValue(wideNumber, kCFNumberSInt32Type, &narrow));
  EXPECT_EQ(0, narrow);
  CFRelease(wideNumber);
}

TEST(CFNumberConversion, NumbersCompareByValueAcrossTypes) {
  int eight = 8;
  long eightLong = 8;
  double eightReal = 8.0, eightAndHalf = 8.5;
  CFNumberRef a = number(kCFNumberIntType, &eight), b = number(kCFNumberLongType, &eightLong),
              c = number(kCFNumberFloat64Type, &eightReal), d = number(kCFNumberFloat64Type, &eightAndHalf);
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_TRUE(CFEqual(a, c));
  EXPECT_FALSE(CFEqual(a, d));
  EXPECT_FALSE(CFEqual(a, CFSTR("8")));
  for (CFNumberRef n : {a, b, c, d}) CFRelease(n);
}

TEST(CFOwnership, DictionariesRetainWhatTheyHoldAndReleaseWhatTheyReplace) {
  CFMutableDictionaryRef dict =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFStringRef key = CFStringCreateWithCString(nullptr, "VendorID", kCFStringEncodingUTF8);
  int vendor = 0x10D5, other = 1;
  CFNumberRef first = number(kCFNumberIntType, &vendor);
  CFNumberRef second = number(kCFNumberIntType, &other);

  CFDictionarySetValue(dict, key, first);
  EXPECT_EQ(2, CFGetRetainCount(key));
  EXPECT_EQ(2, CFGetRetainCount(first));
  // Keys compare by content: the literal finds the created key.
  EXPECT_EQ(first, CFDictionaryGetValue(dict, CFSTR("VendorID")));

  CFDictionarySetValue(dict, CFSTR("VendorID"), second);
  EXPECT_EQ(1, CFDictionaryGetCount(dict));
  EXPECT_EQ(1, CFGetRetainCount(first));
  EXPECT_EQ(2, CFGetRetainCount(second));

  CFMutableDictionaryRef copy = CFDictionaryCreateMutableCopy(nullptr, 0, dict);
  EXPECT_EQ(3, CFGetRetainCount(second));
  EXPECT_TRUE(CFEqual(copy, dict));
  CFDictionaryRemoveValue(copy, key);
  EXPECT_EQ(0, CFDictionaryGetCount(copy));
  EXPECT_FALSE(CFEqual(copy, dict));
  CFRelease(copy);

  CFRelease(dict);
  EXPECT_EQ(1, CFGetRetainCount(key));
  EXPECT_EQ(1, CFGetRetainCount(second));
  CFRelease(key);
  CFRelease(first);
  CFRelease(second);
}

TEST(CFOwnership, ConstantsAreInternedAndImmortal) {
  CFStringRef a = CFSTR("Stop Auto-Scan");
  EXPECT_EQ(a, CFSTR("Stop Auto-Scan"));
  CFIndex count = CFGetRetainCount(a);
  CFRelease(a);
  CFRelease(a);
  EXPECT_EQ(count, CFGetRetainCount(a));
  EXPECT_EQ("Stop Auto-Scan", text(a));

  CFUUIDRef constant = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  EXPECT_EQ(constant, CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16));
  CFUUIDRef created = CFUUIDCreateFromUUIDBytes(nullptr, CFUUIDGetUUIDBytes(constant));
  EXPECT_NE(constant, created);
  EXPECT_TRUE(CFEqual(constant, created));
  EXPECT_TRUE(CFUUIDGetUUIDBytes(created) == CFUUIDGetUUIDBytes(constant));
  CFRelease(created);
}

class MainBundle : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::bundleResourcesDirectory();
    char pattern[] = "/tmp/portvane-bundle-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    std::FILE* f = std::fopen((dir_ + "/pc1.icns").c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    platform::setBundleResourcesDirectory(dir_);
  }
  void TearDown() override {
    platform::setBundleResourcesDirectory(saved_);
    platform::clearLocalizedStrings();
    std::filesystem::remove_all(dir_);
  }
  std::string saved_, dir_;
};

TEST_F(MainBundle, ResourceURLsNameExistingFilesOnly) {
  CFBundleRef bundle = CFBundleGetMainBundle();
  EXPECT_EQ(bundle, CFBundleGetMainBundle());
  CFURLRef url = CFBundleCopyResourceURL(bundle, CFSTR("pc1"), CFSTR("icns"), nullptr);
  ASSERT_NE(nullptr, url);
  UInt8 path[512];
  ASSERT_TRUE(CFURLGetFileSystemRepresentation(url, true, path, sizeof path));
  EXPECT_EQ(dir_ + "/pc1.icns", reinterpret_cast<char*>(path));
  FSRef ref;
  EXPECT_TRUE(CFURLGetFSRef(url, &ref));
  EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, path, 4));
  CFRelease(url);

  EXPECT_EQ(nullptr, CFBundleCopyResourceURL(bundle, CFSTR("pc3"), CFSTR("icns"), nullptr));
  CFURLRef gone = CFURLCreateWithFileSystemPath(nullptr, CFSTR("/nonexistent/pc1.icns"), 0, false);
  EXPECT_FALSE(CFURLGetFSRef(gone, &ref));
  CFRelease(gone);
}

TEST_F(MainBundle, LocalizedStringsFallBackToValueThenKey) {
  platform::setLocalizedString("Start Auto-Scan", "Auto-Scan starten");
  CFBundleRef bundle = CFBundleGetMainBundle();
  CFStringRef found = CFBundleCopyLocalizedString(bundle, CFSTR("Start Auto-Scan"), CFSTR("Start Auto-Scan"), nullptr);
  EXPECT_EQ("Auto-Scan starten", text(found));
  CFRelease(found);
  CFStringRef value = CFBundleCopyLocalizedString(bundle, CFSTR("Missing"), CFSTR("Fallback"), nullptr);
  EXPECT_EQ(CFSTR("Fallback"), value);
  CFRelease(value);
  CFStringRef key = CFBundleCopyLocalizedString(bundle, CFSTR("Missing"), nullptr, nullptr);
  EXPECT_EQ("Missing", text(key));
  CFRelease(key);
}

TEST(RunLoopSource, WorkWaitsUntilTheSourceIsOnTheMainRunLoop) {
  platform::drainMainQueue();
  CFRunLoopSourceRef source = platform::createRunLoopSource();
  std::vector<int> ran;
  platform::signalRunLoopSource(source, [&] { ran.push_back(1); });
  platform::signalRunLoopSource(source, [&] { ran.push_back(2); });
  EXPECT_EQ(0u, platform::pendingMainQueueItems());
  EXPECT_FALSE(CFRunLoopContainsSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode));

  CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
  EXPECT_TRUE(CFRunLoopContainsSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode));
  platform::signalRunLoopSource(source, [&] { ran.push_back(3); });
  EXPECT_EQ(3u, platform::drainMainQueue());
  EXPECT_EQ((std::vector<int>{1, 2, 3}), ran);

  CFRunLoopRemoveSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
  CFRelease(source);
}

}  // namespace
