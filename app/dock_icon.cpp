#include "app/dock_icon.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/core/core_foundation.h"
#include "platform/desktop/tray.h"
#include "platform/icons/icons.h"
#include "switch/kvm_access.h"

int CurrentIconNumber = -1;

namespace {

std::string hotKeyNotes;

const Rect iconGWorldBounds = {0, 0, 128, 128};

const char* IconFileName(int number) {
  switch (number) {
    case 0: return "pc1.icns";
    case 1: return "pc2.icns";
    case 2: return "pc3.icns";
    case 3: return "pc4.icns";
    default: return "portvane.icns";
  }
}

// Platform error codes are 16-bit; they are printed widened with their sign.
unsigned Widened(int code) { return unsigned(int(int16_t(code))); }

}  // namespace

void ShowSwitchState() {
  const KVM_INFO info = ShownKVMInfo();
  std::string status;
  if (info.notAnswering && info.device.notification) {
    // Until a read gets an answer again; the next poll tries.
    status = "Switch not answering";
  } else if (info.state == 2 && info.currentPort == info.confirmedPort && info.currentPort >= 0 && info.currentPort < 4) {
    status = "Computer " + std::to_string(info.currentPort + 1);
  } else if (info.state == 0 && !info.device.notification) {
    // Its removal notification goes with the switch; a failed read keeps it.
    status = "No switch attached";
  } else {
    status = "Switch state unknown";
  }
  platform::setTrayStatus(status, hotKeyNotes);
}

void SetHotKeyNotes(const std::string& notes) { hotKeyNotes = notes; }

void ChangeDockIcon(int port) {
  // Every change of the switch's state comes by here, a picture change or not.
  ShowSwitchState();
  if (port == CurrentIconNumber) return;

  CFBundleRef bundle = CFBundleGetMainBundle();
  if (!bundle) {
    fprintf(stderr, "RegisterIcon Error:  CFBundleGetMainBundle return null");
    return;
  }
  CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, IconFileName(port), kCFStringEncodingASCII);
  if (!name) {
    fprintf(stderr, "RegisterIcon Error:  Invalid filename");
    return;
  }
  CFURLRef iconFileURL = CFBundleCopyResourceURL(bundle, name, nullptr, nullptr);
  if (!iconFileURL) {
    fprintf(stderr, "RegisterIcon Error:  Invalid iconFileURL");
    CFRelease(name);
    return;
  }
  FSRef fileRef;
  if (!CFURLGetFSRef(iconFileURL, &fileRef)) {
    fprintf(stderr, "RegisterIcon Error:  Invalid fileRef");
    CFRelease(name);
    CFRelease(iconFileURL);
    return;
  }
  FSSpec fileSpec;
  OSErr err = FSGetCatalogInfo(&fileRef, kFSCatInfoNone, nullptr, nullptr, &fileSpec, nullptr);
  if (err != noErr) {
    fprintf(stderr, "RegisterIcon Error:  FSGetCatalogInfo return error %x", Widened(err));
    CFRelease(name);
    CFRelease(iconFileURL);
    return;
  }
  IconRef iconRef = nullptr;
  err = RegisterIconRefFromIconFile(FOUR_CHAR_CODE("PVNE"), FOUR_CHAR_CODE("vnic"), &fileSpec, &iconRef);
  CFRelease(iconFileURL);
  CFRelease(name);
  if (err != noErr) return;  // not counted as shown: the next request tries again

  CurrentIconNumber = port;

  IconFamilyHandle iconFamily = nullptr;
  Handle data = nullptr;
  Handle mask = nullptr;
  GWorldPtr dataWorld = nullptr;
  GWorldPtr maskWorld = nullptr;
  CGImageRef image = nullptr;
  // Buffers and off-screen images are not used after the tile is set.
  auto dispose = [&] {
    if (dataWorld) DisposeGWorld(dataWorld);
    if (maskWorld) DisposeGWorld(maskWorld);
    if (data) DisposeHandle(data);
    if (mask) DisposeHandle(mask);
    if (iconFamily) DisposeHandle(reinterpret_cast<Handle>(iconFamily));
  };

  err = IconRefToIconFamily(iconRef, kSelectorAllAvailableData, &iconFamily);
  if (err != noErr || !iconFamily) {
    fprintf(stderr, "ChangeDocIcon Error:  no iconFamily\n");
    ReleaseIconRef(iconRef);
    dispose();
    return;
  }
  data = NewHandle(0);
  err = data ? GetIconFamilyData(iconFamily, kThumbnail32BitData, data) : OSErr(memFullErr);
  if (err != noErr) {
    fprintf(stderr, "ChangeDocIcon Error:  GetIconFamilyData for data return error %x\n", Widened(err));
    ReleaseIconRef(iconRef);
    dispose();
    return;
  }
  mask = NewHandle(0);
  err = mask ? GetIconFamilyData(iconFamily, kThumbnail8BitMask, mask) : OSErr(memFullErr);
  if (err != noErr) {
    fprintf(stderr, "ChangeDocIcon Error:  GetIconFamilyData for mask  return error %x\n", Widened(err));
    ReleaseIconRef(iconRef);
    dispose();
    return;
  }
  err = NewGWorldFromPtr(&dataWorld, 32, &iconGWorldBounds, nullptr, nullptr, 0, *data, 512);
  if (err != noErr || !dataWorld) {
    fprintf(stderr, "ChangeDocIcon Error:  NewGWorldFromPtr for data return error %x\n", Widened(err));
    ReleaseIconRef(iconRef);
    dispose();
    return;
  }
  err = NewGWorldFromPtr(&maskWorld, 8, &iconGWorldBounds, nullptr, nullptr, 0, *mask, 128);
  if (err != noErr || !maskWorld) {
    fprintf(stderr, "ChangeDocIcon Error:  NewGWorldFromPtr for mask return error %x\n", Widened(err));
    ReleaseIconRef(iconRef);
    dispose();
    return;
  }
  OSStatus status = CreateCGImageFromPixMaps(GetGWorldPixMap(dataWorld), GetGWorldPixMap(maskWorld), &image);
  ReleaseIconRef(iconRef);
  if (status != noErr || !image) {
    // The image handle is printed as the low 32 bits of its address.
    fprintf(stderr, "ChangeDocIcon : Error in CreateCGImageFromPixMaps. Error: %x. ImageRef : %x\n",
            Widened(status), unsigned(reinterpret_cast<uintptr_t>(image)));
    if (image) CGImageRelease(image);
    dispose();
    return;
  }
  SetApplicationDockTileImage(image);
  CGImageRelease(image);
  dispose();
}
