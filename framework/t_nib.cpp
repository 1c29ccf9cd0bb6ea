#include "framework/t_nib.h"

TNib::TNib() : fNibRef(nullptr) {}

TNib::TNib(IBNibRef nibRef) : fNibRef(nibRef) {}

TNib::TNib(CFStringRef name) : fNibRef(nullptr) { Init(name); }

TNib::~TNib() {
  if (fNibRef) DisposeNibReference(fNibRef);
}

OSStatus TNib::Init(IBNibRef nibRef) {
  fNibRef = nibRef;
  return noErr;
}

OSStatus TNib::Init(CFStringRef name) {
  IBNibRef reference = nullptr;
  OSStatus status = CreateNibReference(name, &reference);
  if (status == noErr) fNibRef = reference;
  return status;
}

OSStatus TNib::CreateWindow(CFStringRef name, WindowRef* window) { return CreateWindowFromNib(fNibRef, name, window); }

OSStatus TNib::CreateMenu(CFStringRef name, MenuRef* menu) { return CreateMenuFromNib(fNibRef, name, menu); }

OSStatus TNib::CreateMenuBar(CFStringRef name, Handle* menuBar) {
  return CreateMenuBarFromNib(fNibRef, name, menuBar);
}

OSStatus TNib::SetMenuBar(CFStringRef name) { return SetMenuBarFromNib(fNibRef, name); }
