#include "platform/icons/icons.h"

// libicns declares its functions without C linkage for C++.
extern "C" {
#include <icns.h>
}
#include <sys/stat.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

constexpr int kIconSide = 128;
constexpr Size kThumbnailDataBytes = kIconSide * kIconSide * 4;
constexpr Size kThumbnailMaskBytes = kIconSide * kIconSide;
// An element's header: its type and its size, both 32-bit.
constexpr icns_size_t kElementHeaderBytes = 8;

// libicns prints its own complaints on standard error by default; ours are
// the only lines that belong there.
void quietIcns() {
  static const bool quiet = (icns_set_print_errors(0), true);
  (void)quiet;
}

// Copies a path into a fixed buffer; false when it is not terminated within
// the source or does not fit.
bool copyPath(char (&to)[4096], const char* from, size_t fromCapacity) {
  const size_t length = strnlen(from, fromCapacity);
  if (length == fromCapacity || length >= sizeof to) return false;
  std::memcpy(to, from, length);
  to[length] = '\0';
  return true;
}

}  // namespace

// ---- Files

OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfo,
                       HFSUniStr255* outName, FSSpec* fsSpec, FSRef* parentRef) {
  (void)catalogInfo;
  if (ref == nullptr || whichInfo != kFSCatInfoNone) return paramErr;
  FSSpec fileSpec;
  if (!copyPath(fileSpec.path, ref->path, sizeof ref->path)) return paramErr;
  struct stat status;
  if (fileSpec.path[0] == '\0' || stat(fileSpec.path, &status) != 0) return fnfErr;

  const std::string path = fileSpec.path;
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (outName != nullptr) {
    const QString text = QString::fromLocal8Bit(name.c_str());
    const int length = std::min<int>(text.size(), 255);
    outName->length = UInt16(length);
    for (int i = 0; i < length; ++i) outName->unicode[i] = text.at(i).unicode();
  }
  if (parentRef != nullptr) copyPath(parentRef->path, parent.c_str(), parent.size() + 1);
  if (fsSpec != nullptr) *fsSpec = fileSpec;
  return noErr;
}

// ---- Memory handles

namespace {

// The master pointer comes first, so a Handle is the block's own address.
struct HandleBlock {
  Ptr master;
  Size size;
};

HandleBlock* blockOf(Handle h) { return reinterpret_cast<HandleBlock*>(h); }

// Resizes the block behind the master pointer; the contents are not kept.
bool resizeHandle(Handle h, Size byteCount) {
  Ptr data = nullptr;
  if (byteCount > 0) {
    data = new (std::nothrow) char[size_t(byteCount)]();
    if (data == nullptr) return false;
  }
  HandleBlock* block = blockOf(h);
  delete[] block->master;
  block->master = data;
  block->size = byteCount;
  return true;
}

}  // namespace

Handle NewHandle(Size byteCount) {
  if (byteCount < 0) return nullptr;
  auto* block = new (std::nothrow) HandleBlock{nullptr, 0};
  if (block == nullptr) return nullptr;
  Handle h = &block->master;
  if (!resizeHandle(h, byteCount)) {
    delete block;
    return nullptr;
  }
  return h;
}

void DisposeHandle(Handle h) {
  if (h == nullptr) return;
  HandleBlock* block = blockOf(h);
  delete[] block->master;
  delete block;
}

Size GetHandleSize(Handle h) { return h == nullptr ? 0 : blockOf(h)->size; }

// ---- Icon references and families

struct OpaqueIconRef {
  OSType creator;
  OSType iconType;
  icns_family_t* family;  // allocated by libicns with malloc
};

namespace {

struct FreeWithFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeWithFree>;

struct CloseFile {
  void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

OSErr RegisterIconRefFromIconFile(OSType creator, OSType iconType, const FSSpec* iconFile, IconRef* theIconRef) {
  if (iconFile == nullptr || theIconRef == nullptr) return paramErr;
  *theIconRef = nullptr;
  FSSpec fileSpec;
  if (!copyPath(fileSpec.path, iconFile->path, sizeof iconFile->path)) return paramErr;
  std::unique_ptr<FILE, CloseFile> file(std::fopen(fileSpec.path, "rb"));
  if (!file) return errno == ENOENT ? OSErr(fnfErr) : ioErr;
  quietIcns();
  icns_family_t* family = nullptr;
  if (icns_read_family_from_file(file.get(), &family) != ICNS_STATUS_OK || family == nullptr) {
    std::free(family);
    return kIconFamilyErr;
  }
  auto* ref = new (std::nothrow) OpaqueIconRef{creator, iconType, family};
  if (ref == nullptr) {
    std::free(family);
    return memFullErr;
  }
  *theIconRef = ref;
  return noErr;
}

OSErr ReleaseIconRef(IconRef theIconRef) {
  if (theIconRef == nullptr) return invalidIconRefErr;
  std::free(theIconRef->family);
  delete theIconRef;
  return noErr;
}

OSErr IconRefToIconFamily(IconRef theIconRef, IconSelectorValue whichIcons, IconFamilyHandle* iconFamily) {
  (void)whichIcons;
  if (iconFamily == nullptr) return paramErr;
  *iconFamily = nullptr;
  if (theIconRef == nullptr) return invalidIconRefErr;
  icns_size_t byteCount = 0;
  icns_byte_t* bytes = nullptr;
  if (icns_export_family_data(theIconRef->family, &byteCount, &bytes) != ICNS_STATUS_OK) {
    std::free(bytes);
    return kIconFamilyErr;
  }
  MallocPtr<icns_byte_t> owned(bytes);
  Handle h = NewHandle(byteCount);
  if (h == nullptr) return memFullErr;
  std::memcpy(*h, bytes, size_t(byteCount));
  *iconFamily = reinterpret_cast<IconFamilyHandle>(h);
  return noErr;
}

namespace {

// libicns fills whatever compressed 'it32' data leaves out with zeros, so a
// cut-short element would pass for a whole picture. Its runs must give all
// three channels of 128 x 128 pixels: a control byte below 0x80 starts a copy
// of that many plus one bytes, any other a repeat of the next byte, that many
// minus 125 times. Some writers put four zero bytes first.
bool compressedDataCoversIcon(const icns_byte_t* data, icns_size_t size) {
  icns_size_t at = size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 0 ? 4 : 0;
  long produced = 0;
  while (produced < 3L * kIconSide * kIconSide) {
    if (at >= size) return false;
    const int control = data[at++];
    const long count = control < 0x80 ? control + 1 : control - 125;
    const icns_size_t consumed = control < 0x80 ? icns_size_t(count) : 1;
    if (size - at < consumed) return false;
    at += consumed;
    produced += count;
  }
  return true;
}

// The element's uncompressed contents, in the platform's layout, or the
// status that says why there are none.
OSErr decodeElement(icns_family_t* family, OSType iconType, std::unique_ptr<char[]>& out, Size& outSize) {
  icns_element_t* rawElement = nullptr;
  if (icns_get_element_from_family(family, iconType, &rawElement) != ICNS_STATUS_OK || rawElement == nullptr) {
    std::free(rawElement);
    return iconType == kThumbnail8BitMask ? noMaskFoundErr : OSErr(kIconFamilyErr);
  }
  MallocPtr<icns_element_t> element(rawElement);
  icns_image_t image{};
  if (iconType == kThumbnail8BitMask) {
    // The mask is stored raw: anything but 128 x 128 bytes is some other size.
    if (element->elementSize - kElementHeaderBytes != kThumbnailMaskBytes) return kIconFamilyErr;
    if (icns_get_mask_from_element(element.get(), &image) != ICNS_STATUS_OK) {
      icns_free_image(&image);
      return kIconFamilyErr;
    }
  } else if (!compressedDataCoversIcon(element->elementData, element->elementSize - kElementHeaderBytes) ||
             icns_get_image_from_element(element.get(), &image) != ICNS_STATUS_OK) {
    icns_free_image(&image);
    return kIconFamilyErr;
  }
  MallocPtr<icns_byte_t> pixels(image.imageData);
  image.imageData = nullptr;

  const bool isMask = iconType == kThumbnail8BitMask;
  const Size expected = isMask ? kThumbnailMaskBytes : kThumbnailDataBytes;
  if (image.imageWidth != kIconSide || image.imageHeight != kIconSide || pixels == nullptr ||
      image.imageDataSize != icns_uint64_t(expected) || image.imageChannels != (isMask ? 1 : 4) ||
      image.imagePixelDepth != 8)
    return kIconFamilyErr;

  out.reset(new (std::nothrow) char[size_t(expected)]);
  if (!out) return memFullErr;
  if (isMask) {
    std::memcpy(out.get(), pixels.get(), size_t(expected));
  } else {
    // libicns gives R G B A; the platform's 32-bit pixels are A R G B, and the
    // image's own alpha means nothing here (the mask carries it).
    const icns_byte_t* from = pixels.get();
    char* to = out.get();
    for (Size i = 0; i < kIconSide * kIconSide; ++i, from += 4, to += 4) {
      to[0] = char(0xFF);
      to[1] = char(from[0]);
      to[2] = char(from[1]);
      to[3] = char(from[2]);
    }
  }
  outSize = expected;
  return noErr;
}

}  // namespace

OSErr GetIconFamilyData(IconFamilyHandle iconFamily, OSType iconType, Handle h) {
  if (iconFamily == nullptr || *iconFamily == nullptr || h == nullptr) return paramErr;
  if (iconType != kThumbnail32BitData && iconType != kThumbnail8BitMask) return paramErr;
  quietIcns();
  Handle familyBytes = reinterpret_cast<Handle>(iconFamily);
  icns_family_t* rawFamily = nullptr;
  if (icns_import_family_data(icns_size_t(GetHandleSize(familyBytes)), reinterpret_cast<icns_byte_t*>(*familyBytes),
                              &rawFamily) != ICNS_STATUS_OK ||
      rawFamily == nullptr) {
    std::free(rawFamily);
    return kIconFamilyErr;
  }
  MallocPtr<icns_family_t> family(rawFamily);
  std::unique_ptr<char[]> data;
  Size size = 0;
  const OSErr status = decodeElement(family.get(), iconType, data, size);
  if (status != noErr) return status;
  if (!resizeHandle(h, size)) return memFullErr;
  std::memcpy(*h, data.get(), size_t(size));
  return noErr;
}

// ---- Off-screen images

struct OpaqueGWorld {
  PixMap pixMap;
  PixMapPtr master;
};

QDErr NewGWorldFromPtr(GWorldPtr* offscreenGWorld, short pixelDepth, const Rect* boundsRect, CTabHandle cTable,
                       GDHandle aGDevice, GWorldFlags flags, Ptr buffer, long rowBytes) {
  (void)cTable;
  (void)aGDevice;
  (void)flags;
  if (offscreenGWorld == nullptr) return paramErr;
  *offscreenGWorld = nullptr;
  if (boundsRect == nullptr || buffer == nullptr || (pixelDepth != 32 && pixelDepth != 8)) return paramErr;
  const long width = long(boundsRect->right) - boundsRect->left;
  const long height = long(boundsRect->bottom) - boundsRect->top;
  if (width <= 0 || height <= 0 || rowBytes < width * (pixelDepth / 8)) return paramErr;
  auto* world = new (std::nothrow) OpaqueGWorld{};
  if (world == nullptr) return memFullErr;
  world->pixMap = PixMap{buffer, SInt32(rowBytes), *boundsRect, pixelDepth};
  world->master = &world->pixMap;
  *offscreenGWorld = world;
  return noErr;
}

void DisposeGWorld(GWorldPtr offscreenGWorld) { delete offscreenGWorld; }

PixMapHandle GetGWorldPixMap(GWorldPtr offscreenGWorld) {
  return offscreenGWorld == nullptr ? nullptr : &offscreenGWorld->master;
}

// ---- Images with transparency and the Dock tile

struct CGImage {
  QImage pixels;
};

namespace {

bool usablePixMap(PixMapHandle h, short depth) {
  return h != nullptr && *h != nullptr && (*h)->baseAddr != nullptr && (*h)->pixelSize == depth;
}

int widthOf(const PixMap& map) { return map.bounds.right - map.bounds.left; }
int heightOf(const PixMap& map) { return map.bounds.bottom - map.bounds.top; }

QImage gTileImage;
std::function<void(const QImage&)> gTileListener;

void tileChanged() {
  if (gTileListener) gTileListener(gTileImage);
}

}  // namespace

OSStatus CreateCGImageFromPixMaps(PixMapHandle inImage, PixMapHandle inMask, CGImageRef* outImage) {
  if (outImage == nullptr) return paramErr;
  *outImage = nullptr;
  if (!usablePixMap(inImage, 32) || !usablePixMap(inMask, 8)) return paramErr;
  const PixMap& image = **inImage;
  const PixMap& mask = **inMask;
  const int width = widthOf(image);
  const int height = heightOf(image);
  if (width != widthOf(mask) || height != heightOf(mask)) return paramErr;

  QImage pixels(width, height, QImage::Format_ARGB32);
  if (pixels.isNull()) return memFullErr;
  for (int y = 0; y < height; ++y) {
    const auto* from = reinterpret_cast<const unsigned char*>(image.baseAddr) + ptrdiff_t(y) * image.rowBytes;
    const auto* alpha = reinterpret_cast<const unsigned char*>(mask.baseAddr) + ptrdiff_t(y) * mask.rowBytes;
    auto* to = reinterpret_cast<QRgb*>(pixels.scanLine(y));
    for (int x = 0; x < width; ++x, from += 4) to[x] = qRgba(from[1], from[2], from[3], alpha[x]);
  }
  auto* result = new (std::nothrow) CGImage{std::move(pixels)};
  if (result == nullptr) return memFullErr;
  *outImage = result;
  return noErr;
}

void CGImageRelease(CGImageRef image) { delete image; }

OSStatus SetApplicationDockTileImage(CGImageRef image) {
  if (image == nullptr) return paramErr;
  gTileImage = image->pixels;
  tileChanged();
  return noErr;
}

OSStatus RestoreApplicationDockTileImage() {
  gTileImage = QImage();
  tileChanged();
  return noErr;
}

namespace platform {

const QImage& cgImageContents(CGImageRef image) {
  static const QImage none;
  return image == nullptr ? none : image->pixels;
}

const QImage& dockTileImage() { return gTileImage; }

void setDockTileImageListener(std::function<void(const QImage&)> listener) { gTileListener = std::move(listener); }

}  // namespace platform
