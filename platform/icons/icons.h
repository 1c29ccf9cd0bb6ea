// Icon files, memory handles, off-screen images and the Dock tile image.
//
// Icon files are real .icns files read with libicns; a file is registered as
// an icon reference, its family is a handle holding the file's bytes, and its
// 128 x 128 image ('it32') and mask ('t8mk') come out uncompressed, ready to
// be wrapped as 32-bit and 8-bit off-screen images and joined into one image
// with transparency. The Dock tile is the tray icon: the image set here is
// kept and handed to whoever shows it.
//
// Ownership follows the platform: NewHandle, RegisterIconRefFromIconFile,
// IconRefToIconFamily, NewGWorldFromPtr and CreateCGImageFromPixMaps give the
// caller something it disposes of (DisposeHandle, ReleaseIconRef,
// DisposeGWorld, CGImageRelease); GetGWorldPixMap does not. Main thread only.
#pragma once

#include <QImage>
#include <functional>

#include "platform/core/core_foundation.h"
#include "platform/core/mac_types.h"

typedef long Size;
typedef short QDErr;

constexpr OSErr ioErr = -36;
constexpr OSErr noMaskFoundErr = -1000;

// ---- Files

// A file specification; like FSRef, it names the file by its path.
struct FSSpec {
  char path[4096];
};

typedef UInt32 FSCatalogInfoBitmap;
enum : FSCatalogInfoBitmap { kFSCatInfoNone = 0 };

// No catalog information is provided; only kFSCatInfoNone is accepted.
struct FSCatalogInfo {
  UInt16 nodeFlags;
};

struct HFSUniStr255 {
  UInt16 length;
  UniChar unicode[255];
};

// Fills whichever of outName (the file's name), fsSpec and parentRef (its
// directory) are given. fnfErr when the file does not exist, paramErr for a
// null or unterminated reference or any catalog information asked for.
OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfo,
                       HFSUniStr255* outName, FSSpec* fsSpec, FSRef* parentRef);

// ---- Memory handles

// A handle is a pointer to a master pointer to the block; the block may be
// resized behind the master pointer. NewHandle gives null when out of memory.
Handle NewHandle(Size byteCount);
void DisposeHandle(Handle h);
Size GetHandleSize(Handle h);

// ---- Icon references and families

typedef struct OpaqueIconRef* IconRef;

// An icon family handle holds the bytes of an .icns file (type 'icns',
// big-endian size, then the elements). Dispose of it with DisposeHandle.
struct IconFamilyElement {
  OSType elementType;
  SInt32 elementSize;
  unsigned char elementData[1];
};
struct IconFamilyResource {
  OSType resourceType;
  SInt32 resourceSize;
  IconFamilyElement elements[1];
};
typedef IconFamilyResource* IconFamilyPtr;
typedef IconFamilyPtr* IconFamilyHandle;

typedef UInt32 IconSelectorValue;
enum : IconSelectorValue { kSelectorAllAvailableData = 0xFFFFFFFF };

enum : OSType {
  kThumbnail32BitData = FOUR_CHAR_CODE("it32"),
  kThumbnail8BitMask = FOUR_CHAR_CODE("t8mk"),
};

// Reads the icon file `iconFile` names and gives a new reference to it.
// fnfErr when the file is gone, ioErr when it cannot be read, kIconFamilyErr
// when it is not an icon file. The creator and type are kept but not used.
OSErr RegisterIconRefFromIconFile(OSType creator, OSType iconType, const FSSpec* iconFile, IconRef* theIconRef);
OSErr ReleaseIconRef(IconRef theIconRef);

// A new handle with every element of the reference's family (the selector
// is taken as kSelectorAllAvailableData).
OSErr IconRefToIconFamily(IconRef theIconRef, IconSelectorValue whichIcons, IconFamilyHandle* iconFamily);

// Resizes `h` to the element's uncompressed data and copies it there:
// 'it32' gives 128 x 128 pixels of 4 bytes, A R G B in that order (A is 0xFF,
// transparency lives in the mask), 65,536 bytes; 't8mk' gives 128 x 128 bytes
// of mask. noMaskFoundErr when the family has no 't8mk', kIconFamilyErr when
// it has no 'it32', when an element is not exactly 128 x 128 or does not
// decode, paramErr for any other element type; `h` is left as it was then.
OSErr GetIconFamilyData(IconFamilyHandle iconFamily, OSType iconType, Handle h);

// ---- Off-screen images

struct ColorTable;
typedef ColorTable** CTabHandle;
struct GDevice;
typedef GDevice** GDHandle;
typedef UInt32 GWorldFlags;

struct PixMap {
  Ptr baseAddr;
  SInt32 rowBytes;
  Rect bounds;
  short pixelSize;
};
typedef PixMap* PixMapPtr;
typedef PixMapPtr* PixMapHandle;

typedef struct OpaqueGWorld* GWorldPtr;

// Wraps `buffer` (not copied; it must outlive the image) as an off-screen
// image of `pixelDepth` 32 (A R G B bytes) or 8 (one byte a pixel) bits.
// paramErr for another depth, an empty rectangle, a null buffer or rows
// shorter than the width; the colour table, device and flags are ignored.
QDErr NewGWorldFromPtr(GWorldPtr* offscreenGWorld, short pixelDepth, const Rect* boundsRect, CTabHandle cTable,
                       GDHandle aGDevice, GWorldFlags flags, Ptr buffer, long rowBytes);
void DisposeGWorld(GWorldPtr offscreenGWorld);
// The image's pixel map, owned by the image.
PixMapHandle GetGWorldPixMap(GWorldPtr offscreenGWorld);

// ---- Images with transparency and the Dock tile

typedef struct CGImage* CGImageRef;

// One image from a 32-bit pixel map and an 8-bit mask of the same size, the
// mask giving each pixel's opacity. paramErr when either is missing, of the
// wrong depth, or the sizes differ.
OSStatus CreateCGImageFromPixMaps(PixMapHandle inImage, PixMapHandle inMask, CGImageRef* outImage);
void CGImageRelease(CGImageRef image);

// The Dock tile shows a copy of `image` until the next one replaces it.
OSStatus SetApplicationDockTileImage(CGImageRef image);
// Back to the application's own picture (the tile image becomes null).
OSStatus RestoreApplicationDockTileImage();

namespace platform {

// The pixels of a CGImage (for the tray and for tests).
const QImage& cgImageContents(CGImageRef image);
// The Dock tile image; null before any was set or after a restore.
const QImage& dockTileImage();
// Called with the new tile image whenever it changes (null image: restored).
// An empty function removes the listener.
void setDockTileImageListener(std::function<void(const QImage&)> listener);

}  // namespace platform
