// One open interface file of the bundle, from which windows, menus and menu
// bars are created by name. Used as a short-lived local: the reference is
// released when the object goes.
#pragma once

#include "platform/core/core_foundation.h"
#include "platform/ui/nibs.h"

class TNib {
 public:
  TNib();
  // Takes over an open reference.
  explicit TNib(IBNibRef nibRef);
  // Opens the named file; a failure leaves the object empty.
  explicit TNib(CFStringRef name);
  ~TNib();

  TNib(const TNib&) = delete;
  TNib& operator=(const TNib&) = delete;

  // Both forms are meant for an object that holds no reference yet.
  OSStatus Init(IBNibRef nibRef);
  OSStatus Init(CFStringRef name);

  OSStatus CreateWindow(CFStringRef name, WindowRef* window);
  OSStatus CreateMenu(CFStringRef name, MenuRef* menu);
  OSStatus CreateMenuBar(CFStringRef name, Handle* menuBar);
  // Installs the named menu bar as the application's.
  OSStatus SetMenuBar(CFStringRef name);

  operator IBNibRef() const { return fNibRef; }

 private:
  IBNibRef fNibRef;
};
