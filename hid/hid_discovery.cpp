#include "hid/hid_discovery.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hid/hid_reports.h"
#include "platform/core/critical_region.h"
#include "switch/kvm_access.h"
#include "usb/usb_discovery.h"

IONotificationPortRef gNotifyPort = nullptr;
EventLoopTimerRef theTimer = nullptr;
DISCOVERY_FOLLOW_UPS gDiscoveryFollowUps = {nullptr, nullptr};

void InstallPollTimer(KVM_SWITCH* sw) {
  // The timer belongs to the main thread, where it fires.
  platform::runOnMainThread([sw] {
    if (!theTimer && gDiscoveryFollowUps.timerFunction) {
      InstallEventLoopTimer(GetMainEventLoop(), 5.0 * kEventDurationSecond, 2.0 * kEventDurationSecond,
                            NewEventLoopTimerUPP(gDiscoveryFollowUps.timerFunction), sw, &theTimer);
    }
  });
}

void ShowAttachedPort(int port) {
  platform::runOnMainThread([port] {
    if (gDiscoveryFollowUps.changeDockIcon) gDiscoveryFollowUps.changeDockIcon(port);
  });
}

CFMutableDictionaryRef CreateMatchingDictionary(const char* className, CFStringRef vendorKey, uint32_t vendorID,
                                                CFStringRef productKey, uint32_t productID) {
  CFMutableDictionaryRef matching = IOServiceMatching(className);
  if (!matching) return nullptr;
  int vendor = int(vendorID);
  int product = int(productID);
  CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &vendor);
  CFDictionarySetValue(matching, vendorKey, number);
  CFRelease(number);
  number = CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &product);
  CFDictionarySetValue(matching, productKey, number);
  CFRelease(number);
  return matching;
}

void ReleaseDeviceRecord(DEVICE_DATA* device) {
  if (device->notification) {
    IOObjectRelease(device->notification);
    device->notification = 0;
  }
  if (device->hidDevice) {
    (*device->hidDevice)->Release(device->hidDevice);
    device->hidDevice = nullptr;
  }
  if (device->usbInterface) {
    (*device->usbInterface)->Release(device->usbInterface);
    device->usbInterface = nullptr;
  }
  if (device->usbDevice) {
    (*device->usbDevice)->Release(device->usbDevice);
    device->usbDevice = nullptr;
  }
}

IOReturn HIDSetMatchingDevices(KVM_SWITCH* sw, DEVICE_LIST* list, int count) {
  mach_port_t master = 0;
  IOReturn result = IOMasterPort(bootstrap_port, &master);
  if (result != 0) return result;
  if (!master) return 0;

  gNotifyPort = IONotificationPortCreate(master);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(gNotifyPort),
                     kCFRunLoopDefaultMode);

  for (int entry = 0; entry < count; ++entry) {
    for (int32_t product = list[entry].firstProductID; product <= list[entry].lastProductID; ++product) {
      CFMutableDictionaryRef matching = CreateMatchingDictionary(
          "IOHIDDevice", CFSTR("VendorID"), uint32_t(list[entry].vendorID), CFSTR("ProductID"), uint32_t(product));
      if (!matching) {
        // Nothing could be watched: that is a failure, not a success.
        mach_port_deallocate(mach_task_self(), master);
        return kIOReturnError;
      }
      io_iterator_t iterator = 0;
      result = IOServiceAddMatchingNotification(gNotifyPort, kIOFirstMatchNotification, matching, HIDDeviceAdded,
                                                sw, &iterator);
      if (result != 0) {
        mach_port_deallocate(mach_task_self(), master);
        return result;
      }
      // Takes the devices already present and arms the notification; the
      // iterator lives as long as the program.
      HIDDeviceAdded(sw, iterator);
    }
  }
  return mach_port_deallocate(mach_task_self(), master);
}

namespace {

// Reads a number property as the registry gives it (a long) into a 32-bit
// field. A failed conversion still stores what it delivered.
void ReadIdentifier(CFDictionaryRef primary, CFStringRef primaryKey, CFDictionaryRef fallback,
                    CFStringRef fallbackKey, uint32_t* field, const char* failure) {
  CFTypeRef value = CFDictionaryGetValue(primary, primaryKey);
  if (!value) value = CFDictionaryGetValue(fallback, fallbackKey);
  if (!value) return;
  long number = 0;
  if (CFGetTypeID(value) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongType, &number)) {
    fprintf(stderr, "%s", failure);
  }
  *field = uint32_t(number);
}

// Decides the switch generation of `service` into sw->info.version and fills
// the identifiers of `scratch`.
IOReturn HIDFindSwitcherVersion(KVM_SWITCH* sw, io_service_t service, DEVICE_DATA* scratch) {
  CFMutableDictionaryRef deviceProperties = nullptr;
  IOReturn result = IORegistryEntryCreateCFProperties(service, &deviceProperties, kCFAllocatorDefault, 0);
  if (result != 0 || !deviceProperties) {
    fprintf(stderr, "IORegistryEntryCreateCFProperties error when creating deviceProperties.Error: %d", result);
    if (deviceProperties) CFRelease(deviceProperties);
    return result != 0 ? result : kIOReturnError;
  }

  io_registry_entry_t parent1 = 0;
  io_registry_entry_t parent2 = 0;
  CFMutableDictionaryRef usbProperties = nullptr;
  result = IORegistryEntryGetParentEntry(service, kIOServicePlane, &parent1);
  if (result == 0) result = IORegistryEntryGetParentEntry(parent1, kIOServicePlane, &parent2);
  if (result == 0) result = IORegistryEntryCreateCFProperties(parent2, &usbProperties, kCFAllocatorDefault, 0);

  if (result == 0 && !usbProperties) {
    fprintf(stderr, "IORegistryEntryCreateCFProperties failed to create usbProperties.");
    result = kIOReturnError;
  } else if (result == 0) {
    CFTypeRef serial = CFDictionaryGetValue(deviceProperties, CFSTR("SerialNumber"));
    CFTypeRef featureSize = CFDictionaryGetValue(deviceProperties, CFSTR("MaxFeatureReportSize"));
    if (serial) {
      char buffer[8];
      if (CFGetTypeID(serial) == CFStringGetTypeID() &&
          CFStringGetCString(static_cast<CFStringRef>(serial), buffer, sizeof buffer, kCFStringEncodingUnicode)) {
        sw->info.version = 1;
      } else {
        fprintf(stderr, "CFStringGetCString error retrieving pDevice->serial.");
      }
    } else if (featureSize) {
      long size = 0;
      if (CFGetTypeID(featureSize) != CFNumberGetTypeID() ||
          !CFNumberGetValue(static_cast<CFNumberRef>(featureSize), kCFNumberLongType, &size)) {
        fprintf(stderr, "CFNumberGetValue error retrieving Feature key.");
      }
      if (size == 8) {
        sw->info.version = 2;
      } else {
        fprintf(stderr, "CFNumberGetValue error. Invalid Size: %d.", int(size));
      }
    }

    if (sw->info.version == 1 || sw->info.version == 2) {
      ReadIdentifier(deviceProperties, CFSTR("VendorID"), usbProperties, CFSTR("idVendor"), &scratch->vendorID,
                     "CFNumberGetValue error retrieving pDevice->vendorID.");
      ReadIdentifier(deviceProperties, CFSTR("ProductID"), usbProperties, CFSTR("idProduct"), &scratch->productID,
                     "CFNumberGetValue error retrieving pDevice->productID.");
    }
    CFRelease(usbProperties);
    result = 0;
  }

  // The parents are released on every path that obtained them.
  if (parent2 && IOObjectRelease(parent2) != 0) fprintf(stderr, "IOObjectRelease error with parent2.");
  if (parent1 && IOObjectRelease(parent1) != 0) fprintf(stderr, "IOObjectRelease error with parent1.");
  CFRelease(deviceProperties);
  return result;
}

}  // namespace

namespace {

// What HIDDeviceAdded does, on the switch worker: an attach reads the switch.
void TakeMatchedDevices(KVM_SWITCH* sw, io_iterator_t iterator) {
  auto* scratch = static_cast<DEVICE_DATA*>(malloc(sizeof(DEVICE_DATA)));
  MPEnterCriticalRegion(sw->criticalRegion, kDurationForever);

  if (sw->info.state == 0) sw->info.version = 0;

  // The record of the switch used so far while a serial-number switch is
  // handed to the USB attach: it goes only once that attach has replaced it.
  DEVICE_DATA previous = {};
  bool keptPrevious = false;

  while (io_service_t service = IOIteratorNext(iterator)) {
    // The first switch found wins; later ones are left alone.
    if (scratch && sw->info.state == 0 && sw->info.version == 0) {
      memset(scratch, 0, sizeof *scratch);
      scratch->hidService = service;
      sw->info.version = 0;
      IOReturn status = HIDFindSwitcherVersion(sw, service, scratch);
      if (status != 0 || sw->info.version == 0) {
        fprintf(stderr, "HIDDeviceAdded: Call to HIDFindSwitcherVersion failed. Code result = %08X\n", status);
      } else {
        fprintf(stderr, "HIDDeviceAdded: Found device info with vendorID=0x%X deviceID=0x%X. Version: %d\n",
                scratch->vendorID, scratch->productID, sw->info.version);
        if (sw->info.version == 1 && !sw->loginInactive) {
          previous = sw->info.device;
          keptPrevious = true;
        } else {
          // An earlier device's armed removal notification must not outlive
          // the record, or its removal would detach this switch.
          ReleaseDeviceRecord(&sw->info.device);
        }
        sw->info.device = *scratch;
        if (sw->loginInactive) {
          sw->info.state = 1;
        } else if (sw->info.version == 2) {
          HIDSetHIDDevice(sw);
        }
      }
    }
    IOObjectRelease(service);
  }

  if (sw->info.state == 0 && sw->info.version == 1 && !sw->loginInactive) HIDSetUSBDevice(sw);
  if (keptPrevious) {
    if (sw->info.state == 2) {
      ReleaseDeviceRecord(&previous);
    } else {
      // No USB device attached: the record goes back to the switch it
      // described, whose interfaces and removal notification it still holds.
      sw->info.device = previous;
    }
  }

  MPExitCriticalRegion(sw->criticalRegion);
  free(scratch);
}

}  // namespace

void HIDDeviceAdded(void* refCon, io_iterator_t iterator) {
  auto* sw = static_cast<KVM_SWITCH*>(refCon);
  // In order with the commands: one given after an arrival finds the switch attached.
  SubmitKVMJob(platform::SwitchJobKind::Command, [sw, iterator] { TakeMatchedDevices(sw, iterator); });
}

bool HIDSetHIDDevice(KVM_SWITCH* sw) {
  DEVICE_DATA& device = sw->info.device;
  IOCFPlugInInterface** plugIn = nullptr;
  SInt32 score = 0;
  IOReturn result = IOCreatePlugInInterfaceForService(device.hidService, kIOHIDDeviceUserClientTypeID,
                                                      kIOCFPlugInInterfaceID, &plugIn, &score);
  if (result != 0 || !plugIn) {
    fprintf(stderr, "HIDGetDeviceInterface: unable to create plugin. ret = %08x, iodev = %p\n", result,
            static_cast<void*>(plugIn));
    if (result == 0) result = kIOReturnError;
  } else {
    IOHIDDeviceInterface122** hidDevice = nullptr;
    result = (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOHIDDeviceInterfaceID122),
                                       reinterpret_cast<LPVOID*>(&hidDevice));
    if (result != 0 || !hidDevice) {
      fprintf(stderr, "HIDGetDeviceInterface: unable to create a device interface. ret = %08x, dev = %p\n", result,
              static_cast<void*>(hidDevice));
      if (result == 0) result = kIOReturnError;
      if (hidDevice) (*hidDevice)->Release(hidDevice);
    } else {
      result = (*hidDevice)->open(hidDevice, 0);
      if (result == 0) {
        device.hidDevice = hidDevice;
      } else {
        (*hidDevice)->Release(hidDevice);
      }
    }
    (*plugIn)->Release(plugIn);
  }

  if (result != 0) {
    sw->info.state = 0;
    fprintf(stderr, "HIDSetHIDDevice: Call to HIDDeviceInterface failed. Code result = %08X\n", result);
    return false;
  }

  // The read's status only tells the tray whether the switch answered at all.
  sw->info.notAnswering = HIDGetDeviceInfo(&device) == kIOReturnTimeout;
  KVMSetInfo(&sw->info, device.infoBuffer);
  sw->info.state = 2;
  ShowAttachedPort(sw->info.currentPort);
  InstallPollTimer(sw);
  IOServiceAddInterestNotification(gNotifyPort, device.hidService, kIOGeneralInterest, HIDDeviceNotification, sw,
                                   &device.notification);
  return true;
}

bool HIDSetUSBDevice(KVM_SWITCH* sw) {
  sw->info.state = 0;
  sw->info.version = 0;
  DEVICE_ID id = {sw->info.device.vendorID, sw->info.device.productID};
  USBGetMatchingDevice(sw, &id);
  return true;
}

void HIDDeviceNotification(void* refCon, io_service_t, natural_t messageType, void*) {
  auto* sw = static_cast<KVM_SWITCH*>(refCon);
  if (messageType != kIOMessageServiceIsTerminated) return;  // nothing else changes anything
  SubmitKVMJob(platform::SwitchJobKind::Command, [sw] {
    MPEnterCriticalRegion(sw->criticalRegion, kDurationForever);
    sw->info.state = 0;
    if (sw->info.device.notification) {
      IOObjectRelease(sw->info.device.notification);
      sw->info.device.notification = 0;
    }
    platform::runOnMainThread([] {
      if (theTimer) {
        RemoveEventLoopTimer(theTimer);
        theTimer = nullptr;
      }
    });
    ShowAttachedPort(-1);
    MPExitCriticalRegion(sw->criticalRegion);
  });
}

void HIDGetMatchingDevice(KVM_SWITCH* sw, DEVICE_ID* id) {
  const DEVICE_ID wanted = *id;
  // The iterator goes once the devices are taken, so both happen in one job.
  SubmitKVMJob(platform::SwitchJobKind::Command, [sw, wanted] {
    CFMutableDictionaryRef matching = CreateMatchingDictionary("IOHIDDevice", CFSTR("VendorID"), wanted.vendorID,
                                                               CFSTR("ProductID"), wanted.productID);
    if (!matching) return;
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator) == 0) {
      HIDDeviceAdded(sw, iterator);
      IOObjectRelease(iterator);
    }
  });
}
