// Icon files through the whole path the Dock tile takes: file specification,
// icon reference, family, image and mask data, off-screen images, one image
// with transparency, the tile itself.
#include "platform/icons/icons.h"

extern "C" {
#include <icns.h>
}

#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kSourceDir = PORTVANE_SOURCE_DIR;
const std::string kResources = kSourceDir + "/resources";
const std::string kArtwork = kResources + "/artwork";
const std::string kTestData = kSourceDir + "/tests/data";
const char* const kPictures[] = {"pc1", "pc2", "pc3", "pc4", "portvane"};

constexpr OSType kCreator = FOUR_CHAR_CODE("PVNE");
constexpr OSType kIconType = FOUR_CHAR_CODE("vnic");
constexpr Rect kBounds = {0, 0, 128, 128};

FSRef refFor(const std::string& path) {
  FSRef ref{};
  std::snprintf(ref.path, sizeof ref.path, "%s", path.c_str());
  return ref;
}

// Where the path stopped, with the status it stopped on.
struct Load {
  std::string failedAt;  // empty when the image was made
  int status = 0;
  Size dataSize = 0;
  Size maskSize = 0;
  QImage image;
};

// The steps the Dock icon takes, releasing everything on the way out.
Load loadIcon(const std::string& path) {
  Load load;
  auto fail = [&](const char* step, int status) {
    load.failedAt = step;
    load.status = status;
    return load;
  };
  const FSRef ref = refFor(path);
  FSSpec fileSpec;
  if (OSErr err = FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &fileSpec, nullptr); err != noErr)
    return fail("FSGetCatalogInfo", err);
  IconRef icon = nullptr;
  if (OSErr err = RegisterIconRefFromIconFile(kCreator, kIconType, &fileSpec, &icon); err != noErr) {
    EXPECT_EQ(icon, nullptr);
    return fail("RegisterIconRefFromIconFile", err);
  }
  IconFamilyHandle family = nullptr;
  Handle data = NewHandle(0);
  Handle mask = NewHandle(0);
  GWorldPtr dataWorld = nullptr;
  GWorldPtr maskWorld = nullptr;
  CGImageRef image = nullptr;
  const auto finish = [&]() {
    CGImageRelease(image);
    DisposeGWorld(maskWorld);
    DisposeGWorld(dataWorld);
    DisposeHandle(mask);
    DisposeHandle(data);
    DisposeHandle(reinterpret_cast<Handle>(family));
    if (icon != nullptr) {
      EXPECT_EQ(ReleaseIconRef(icon), noErr);
    }
    return load;
  };
  if (OSErr err = IconRefToIconFamily(icon, kSelectorAllAvailableData, &family); err != noErr) {
    fail("IconRefToIconFamily", err);
    return finish();
  }
  if (OSErr err = GetIconFamilyData(family, kThumbnail32BitData, data); err != noErr) {
    fail("GetIconFamilyData it32", err);
    load.dataSize = GetHandleSize(data);
    return finish();
  }
  load.dataSize = GetHandleSize(data);
  if (OSErr err = GetIconFamilyData(family, kThumbnail8BitMask, mask); err != noErr) {
    fail("GetIconFamilyData t8mk", err);
    load.maskSize = GetHandleSize(mask);
    return finish();
  }
  load.maskSize = GetHandleSize(mask);
  if (QDErr err = NewGWorldFromPtr(&dataWorld, 32, &kBounds, nullptr, nullptr, 0, *data, 512); err != noErr) {
    fail("NewGWorldFromPtr data", err);
    return finish();
  }
  if (QDErr err = NewGWorldFromPtr(&maskWorld, 8, &kBounds, nullptr, nullptr, 0, *mask, 128); err != noErr) {
    fail("NewGWorldFromPtr mask", err);
    return finish();
  }
  if (OSStatus err = CreateCGImageFromPixMaps(GetGWorldPixMap(dataWorld), GetGWorldPixMap(maskWorld), &image);
      err != noErr) {
    fail("CreateCGImageFromPixMaps", err);
    return finish();
  }
  // The icon reference goes before the image is used, as the Dock icon does.
  EXPECT_EQ(ReleaseIconRef(icon), noErr);
  icon = nullptr;
  load.image = platform::cgImageContents(image);
  return finish();
}

// Pixels that show: the same opacity everywhere, and the same colour wherever
// the pixel is not fully transparent.
std::optional<std::string> firstVisibleDifference(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return "sizes differ";
  const QImage left = a.convertToFormat(QImage::Format_ARGB32);
  const QImage right = b.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < left.height(); ++y)
    for (int x = 0; x < left.width(); ++x) {
      const QRgb p = left.pixel(x, y);
      const QRgb q = right.pixel(x, y);
      if (qAlpha(p) != qAlpha(q) || (qAlpha(p) != 0 && (p & 0xFFFFFF) != (q & 0xFFFFFF)))
        return "pixel " + std::to_string(x) + "," + std::to_string(y);
    }
  return std::nullopt;
}

QImage artwork(const std::string& name) {
  QImage image(QString::fromStdString(kArtwork + "/" + name + ".png"));
  EXPECT_FALSE(image.isNull()) << name;
  return image;
}

// A scratch directory for icon files made by the test, removed afterwards.
class ScratchFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("portvane-icons-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Writes pc1's picture with its element `type` replaced by `contents`, or
  // by the first `keep` bytes of its own contents when `contents` is empty.
  std::string writeWithElement(icns_type_t type, std::vector<unsigned char> contents, size_t keep = 0) {
    FILE* in = std::fopen((kResources + "/pc1.icns").c_str(), "rb");
    EXPECT_NE(in, nullptr);
    icns_family_t* family = nullptr;
    EXPECT_EQ(icns_read_family_from_file(in, &family), ICNS_STATUS_OK);
    std::fclose(in);
    const size_t header = sizeof(icns_type_t) + sizeof(icns_size_t);
    if (contents.empty()) {
      icns_element_t* own = nullptr;
      EXPECT_EQ(icns_get_element_from_family(family, type, &own), ICNS_STATUS_OK);
      contents.assign(own->elementData, own->elementData + std::min(keep, size_t(own->elementSize) - header));
      std::free(own);
    }
    std::vector<unsigned char> raw(header + contents.size());
    std::copy(contents.begin(), contents.end(), raw.begin() + header);
    auto* element = reinterpret_cast<icns_element_t*>(raw.data());
    element->elementType = type;
    element->elementSize = icns_size_t(raw.size());
    EXPECT_EQ(icns_set_element_in_family(&family, element), ICNS_STATUS_OK);
    const std::string path = (dir_ / "altered.icns").string();
    FILE* out = std::fopen(path.c_str(), "wb");
    EXPECT_EQ(icns_write_family_to_file(out, family), ICNS_STATUS_OK);
    std::fclose(out);
    std::free(family);
    return path;
  }

  std::filesystem::path dir_;
};

TEST(ShippedIcons, EachLoadsWholeAndShowsItsArtwork) {
  for (const char* name : kPictures) {
    SCOPED_TRACE(name);
    const Load load = loadIcon(kResources + "/" + name + ".icns");
    ASSERT_EQ(load.failedAt, "") << load.status;
    EXPECT_EQ(load.dataSize, 65536);
    EXPECT_EQ(load.maskSize, 16384);
    ASSERT_EQ(load.image.size(), QSize(128, 128));
    EXPECT_EQ(load.image.format(), QImage::Format_ARGB32);
    EXPECT_EQ(firstVisibleDifference(load.image, artwork(name)), std::nullopt);
    // Corners are see-through, the middle is solid.
    EXPECT_EQ(qAlpha(load.image.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(load.image.pixel(30, 30)), 255);
  }
}

TEST(ShippedIcons, NoTwoPicturesAlike) {
  std::vector<QImage> images;
  for (const char* name : kPictures) images.push_back(loadIcon(kResources + "/" + std::string(name) + ".icns").image);
  for (size_t i = 0; i < images.size(); ++i)
    for (size_t j = i + 1; j < images.size(); ++j)
      EXPECT_NE(firstVisibleDifference(images[i], images[j]), std::nullopt) << kPictures[i] << " vs " << kPictures[j];
}

TEST(IconData, ImageBytesAreArgbAndMaskBytesAreOpacity) {
  const FSRef ref = refFor(kResources + "/pc1.icns");
  FSSpec fileSpec;
  ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &fileSpec, nullptr), noErr);
  IconRef icon = nullptr;
  ASSERT_EQ(RegisterIconRefFromIconFile(kCreator, kIconType, &fileSpec, &icon), noErr);
  IconFamilyHandle family = nullptr;
  ASSERT_EQ(IconRefToIconFamily(icon, kSelectorAllAvailableData, &family), noErr);
  EXPECT_EQ(ReleaseIconRef(icon), noErr);
  // The family handle holds the file's own bytes.
  const auto* bytes = reinterpret_cast<const unsigned char*>(*reinterpret_cast<Handle>(family));
  EXPECT_EQ(std::memcmp(bytes, "icns", 4), 0);
  EXPECT_EQ(GetHandleSize(reinterpret_cast<Handle>(family)), Size(std::filesystem::file_size(fileSpec.path)));

  Handle data = NewHandle(0);
  Handle mask = NewHandle(0);
  ASSERT_EQ(GetIconFamilyData(family, kThumbnail32BitData, data), noErr);
  ASSERT_EQ(GetIconFamilyData(family, kThumbnail8BitMask, mask), noErr);
  const QImage art = artwork("pc1");
  for (const QPoint at : {QPoint(64, 30), QPoint(20, 20), QPoint(64, 112), QPoint(10, 10)}) {
    SCOPED_TRACE(at.x());
    const QRgb expected = art.pixel(at);
    const auto* pixel = reinterpret_cast<const unsigned char*>(*data) + (at.y() * 128 + at.x()) * 4;
    EXPECT_EQ(pixel[0], 0xFF);
    EXPECT_EQ(pixel[1], qRed(expected));
    EXPECT_EQ(pixel[2], qGreen(expected));
    EXPECT_EQ(pixel[3], qBlue(expected));
    EXPECT_EQ(static_cast<unsigned char>((*mask)[at.y() * 128 + at.x()]), qAlpha(expected));
  }
  // Other elements are not served.
  EXPECT_EQ(GetIconFamilyData(family, FOUR_CHAR_CODE("ih32"), data), paramErr);
  EXPECT_EQ(GetHandleSize(data), 65536);
  DisposeHandle(mask);
  DisposeHandle(data);
  DisposeHandle(reinterpret_cast<Handle>(family));
}

TEST(BrokenIconFiles, MissingMaskFailsAtTheMaskWithItsStatus) {
  const Load load = loadIcon(kTestData + "/no-mask.icns");
  EXPECT_EQ(load.failedAt, "GetIconFamilyData t8mk");
  EXPECT_EQ(load.status, noMaskFoundErr);
  EXPECT_EQ(load.dataSize, 65536);
  EXPECT_EQ(load.maskSize, 0);  // the buffer is left empty
}

TEST(BrokenIconFiles, OnlyASmallerPictureFailsAtTheImage) {
  const Load load = loadIcon(kTestData + "/small-only.icns");
  EXPECT_EQ(load.failedAt, "GetIconFamilyData it32");
  EXPECT_EQ(load.status, kIconFamilyErr);
  EXPECT_EQ(load.dataSize, 0);
}

TEST_F(ScratchFiles, ElementsOfAnyOtherSizeAreRefused) {
  for (size_t bytes : {100, 16383, 16385, 1}) {
    SCOPED_TRACE(bytes);
    const Load load = loadIcon(writeWithElement(ICNS_128X128_8BIT_MASK, std::vector<unsigned char>(bytes, 0xFF)));
    EXPECT_EQ(load.failedAt, "GetIconFamilyData t8mk");
    EXPECT_EQ(load.status, kIconFamilyErr);
    EXPECT_EQ(load.maskSize, 0);
  }
  const Load exact = loadIcon(writeWithElement(ICNS_128X128_8BIT_MASK, std::vector<unsigned char>(16384, 0xFF)));
  EXPECT_EQ(exact.failedAt, "");
  EXPECT_EQ(qAlpha(exact.image.pixel(0, 0)), 255);

  // Compressed image data that stops short of 128 x 128 pixels.
  const Load shortImage = loadIcon(writeWithElement(ICNS_128X128_32BIT_DATA, {}, 100));
  EXPECT_EQ(shortImage.failedAt, "GetIconFamilyData it32");
  EXPECT_EQ(shortImage.status, kIconFamilyErr);
  EXPECT_EQ(shortImage.dataSize, 0);
}

TEST_F(ScratchFiles, FileThatIsNoIconFileDoesNotRegister) {
  EXPECT_EQ(loadIcon(kTestData + "/not-an-icon.icns").failedAt, "RegisterIconRefFromIconFile");
  EXPECT_EQ(loadIcon(kTestData + "/not-an-icon.icns").status, kIconFamilyErr);
  // A picture's own PNG is not an icon file either, nor is an empty file.
  EXPECT_EQ(loadIcon(kArtwork + "/pc1.png").status, kIconFamilyErr);
  const std::string empty = (dir_ / "empty.icns").string();
  std::fclose(std::fopen(empty.c_str(), "wb"));
  EXPECT_EQ(loadIcon(empty).failedAt, "RegisterIconRefFromIconFile");
}

TEST_F(ScratchFiles, FileThatIsGoneFailsItsCatalogInfo) {
  const Load load = loadIcon((dir_ / "pc2.icns").string());
  EXPECT_EQ(load.failedAt, "FSGetCatalogInfo");
  EXPECT_EQ(load.status, fnfErr);

  // Gone between catalog information and registration.
  const std::string path = (dir_ / "brief.icns").string();
  std::filesystem::copy_file(kResources + "/pc2.icns", path);
  const FSRef ref = refFor(path);
  FSSpec fileSpec;
  HFSUniStr255 name;
  FSRef parent;
  ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, &name, &fileSpec, &parent), noErr);
  EXPECT_STREQ(fileSpec.path, path.c_str());
  EXPECT_EQ(QString::fromUtf16(reinterpret_cast<const char16_t*>(name.unicode), name.length), "brief.icns");
  EXPECT_STREQ(parent.path, dir_.string().c_str());
  std::filesystem::remove(path);
  IconRef icon = reinterpret_cast<IconRef>(&fileSpec);
  EXPECT_EQ(RegisterIconRefFromIconFile(kCreator, kIconType, &fileSpec, &icon), fnfErr);
  EXPECT_EQ(icon, nullptr);
}

TEST(FileReferences, UnterminatedOrNullReferenceIsRefused) {
  FSRef ref;
  std::memset(ref.path, 'a', sizeof ref.path);
  FSSpec fileSpec;
  EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &fileSpec, nullptr), paramErr);
  EXPECT_EQ(FSGetCatalogInfo(nullptr, kFSCatInfoNone, nullptr, nullptr, &fileSpec, nullptr), paramErr);
  const FSRef empty{};
  EXPECT_EQ(FSGetCatalogInfo(&empty, kFSCatInfoNone, nullptr, nullptr, &fileSpec, nullptr), fnfErr);
}

TEST(Handles, SizedZeroedAndDisposable) {
  Handle h = NewHandle(16);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetHandleSize(h), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ((*h)[i], 0);
  DisposeHandle(h);
  EXPECT_EQ(NewHandle(-1), nullptr);
  DisposeHandle(nullptr);
  EXPECT_EQ(GetHandleSize(nullptr), 0);
}

TEST(OffscreenImages, WrapTheBufferAndRefuseWhatTheyCannotHold) {
  std::vector<char> pixels(128 * 512);
  GWorldPtr world = nullptr;
  ASSERT_EQ(NewGWorldFromPtr(&world, 32, &kBounds, nullptr, nullptr, 0, pixels.data(), 512), noErr);
  PixMapHandle map = GetGWorldPixMap(world);
  EXPECT_EQ((*map)->baseAddr, pixels.data());
  EXPECT_EQ((*map)->rowBytes, 512);
  EXPECT_EQ((*map)->pixelSize, 32);
  DisposeGWorld(world);

  EXPECT_EQ(NewGWorldFromPtr(&world, 32, &kBounds, nullptr, nullptr, 0, pixels.data(), 511), paramErr);
  EXPECT_EQ(NewGWorldFromPtr(&world, 16, &kBounds, nullptr, nullptr, 0, pixels.data(), 512), paramErr);
  EXPECT_EQ(NewGWorldFromPtr(&world, 8, &kBounds, nullptr, nullptr, 0, nullptr, 128), paramErr);
  const Rect emptyRect = {0, 0, 0, 128};
  EXPECT_EQ(NewGWorldFromPtr(&world, 8, &emptyRect, nullptr, nullptr, 0, pixels.data(), 128), paramErr);
  EXPECT_EQ(world, nullptr);
}

TEST(OffscreenImages, ImageAndMaskMustMatch) {
  std::vector<char> data(128 * 512);
  std::vector<char> mask(64 * 64);
  const Rect small = {0, 0, 64, 64};
  GWorldPtr dataWorld = nullptr;
  GWorldPtr maskWorld = nullptr;
  ASSERT_EQ(NewGWorldFromPtr(&dataWorld, 32, &kBounds, nullptr, nullptr, 0, data.data(), 512), noErr);
  ASSERT_EQ(NewGWorldFromPtr(&maskWorld, 8, &small, nullptr, nullptr, 0, mask.data(), 64), noErr);
  CGImageRef image = reinterpret_cast<CGImageRef>(data.data());
  EXPECT_EQ(CreateCGImageFromPixMaps(GetGWorldPixMap(dataWorld), GetGWorldPixMap(maskWorld), &image), paramErr);
  EXPECT_EQ(image, nullptr);
  // Image and mask the wrong way round.
  EXPECT_EQ(CreateCGImageFromPixMaps(GetGWorldPixMap(maskWorld), GetGWorldPixMap(dataWorld), &image), paramErr);
  EXPECT_EQ(CreateCGImageFromPixMaps(GetGWorldPixMap(dataWorld), nullptr, &image), paramErr);
  DisposeGWorld(maskWorld);
  DisposeGWorld(dataWorld);
  CGImageRelease(nullptr);
}

TEST(DockTile, KeepsItsOwnCopyAndTellsTheListener) {
  EXPECT_TRUE(platform::dockTileImage().isNull());
  std::vector<QImage> told;
  platform::setDockTileImageListener([&](const QImage& image) { told.push_back(image); });

  const Load pc3 = loadIcon(kResources + "/pc3.icns");
  ASSERT_EQ(pc3.failedAt, "");
  std::vector<char> data(128 * 512);
  std::vector<char> mask(128 * 128);
  for (int i = 0; i < 128 * 128; ++i) {
    const QRgb p = pc3.image.pixel(i % 128, i / 128);
    data[size_t(i) * 4 + 1] = char(qRed(p));
    data[size_t(i) * 4 + 2] = char(qGreen(p));
    data[size_t(i) * 4 + 3] = char(qBlue(p));
    mask[size_t(i)] = char(qAlpha(p));
  }
  GWorldPtr dataWorld = nullptr;
  GWorldPtr maskWorld = nullptr;
  ASSERT_EQ(NewGWorldFromPtr(&dataWorld, 32, &kBounds, nullptr, nullptr, 0, data.data(), 512), noErr);
  ASSERT_EQ(NewGWorldFromPtr(&maskWorld, 8, &kBounds, nullptr, nullptr, 0, mask.data(), 128), noErr);
  CGImageRef image = nullptr;
  ASSERT_EQ(CreateCGImageFromPixMaps(GetGWorldPixMap(dataWorld), GetGWorldPixMap(maskWorld), &image), noErr);
  DisposeGWorld(maskWorld);
  DisposeGWorld(dataWorld);
  EXPECT_EQ(SetApplicationDockTileImage(image), noErr);
  CGImageRelease(image);

  // The tile outlives the image it was given.
  EXPECT_EQ(firstVisibleDifference(platform::dockTileImage(), artwork("pc3")), std::nullopt);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(firstVisibleDifference(told[0], artwork("pc3")), std::nullopt);

  EXPECT_EQ(SetApplicationDockTileImage(nullptr), paramErr);
  EXPECT_EQ(told.size(), 1u);
  EXPECT_FALSE(platform::dockTileImage().isNull());

  EXPECT_EQ(RestoreApplicationDockTileImage(), noErr);
  EXPECT_TRUE(platform::dockTileImage().isNull());
  ASSERT_EQ(told.size(), 2u);
  EXPECT_TRUE(told[1].isNull());
  platform::setDockTileImageListener({});
}

}  // namespace
