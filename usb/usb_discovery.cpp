#include "usb/usb_discovery.h"

#include <cstdio>
#include <cstdlib>

#include "hid/hid_discovery.h"
#include "usb/usb_transport.h"

void USBGetMatchingDevice(KVM_SWITCH* sw, DEVICE_ID* id) {
  CFMutableDictionaryRef matching =
      CreateMatchingDictionary("IOUSBDevice", CFSTR("idVendor"), id->vendorID, CFSTR("idProduct"), id->productID);
  if (!matching) return;
  io_iterator_t iterator = 0;
  if (IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator) != 0) return;
  USBDeviceAdded(sw, iterator);
  IOObjectRelease(iterator);
}

void USBDeviceAdded(void* refCon, io_iterator_t iterator) {
  auto* sw = static_cast<KVM_SWITCH*>(refCon);
  auto* scratch = static_cast<DEVICE_DATA*>(calloc(1, sizeof(DEVICE_DATA)));

  while (io_service_t entry = IOIteratorNext(iterator)) {
    if (scratch && sw->info.state == 0) {
      scratch->vendorID = 0;
      scratch->usbService = entry;

      IOCFPlugInInterface** plugIn = nullptr;
      SInt32 score = 0;
      IOReturn result = IOCreatePlugInInterfaceForService(entry, kIOUSBDeviceUserClientTypeID,
                                                          kIOCFPlugInInterfaceID, &plugIn, &score);
      IOUSBDeviceInterface** usbDevice = nullptr;
      if (result != 0 || !plugIn) {
        fprintf(stderr, "USBGetDeviceInterface: unable to create plugin. ret = %08x, iodev = %p\n", result,
                static_cast<void*>(plugIn));
      } else {
        result = (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID),
                                           reinterpret_cast<LPVOID*>(&usbDevice));
        IODestroyPlugInInterface(plugIn);
        if (result != 0 || !usbDevice) {
          fprintf(stderr, "USBGetDeviceInterface: unable to create a device interface. ret = %08x, dev = %p\n",
                  result, static_cast<void*>(usbDevice));
          if (usbDevice) (*usbDevice)->Release(usbDevice);
          usbDevice = nullptr;
        }
      }
      if (!usbDevice) {
        fprintf(stderr, "USBDeviceAdded: Call to USBDeviceInterface failed. Code result = %08X\n",
                result != 0 ? result : kIOReturnError);
        IOObjectRelease(entry);
        continue;
      }

      scratch->usbDevice = usbDevice;
      result = USBGetDeviceInfo(scratch);
      if (result != 0) {
        fprintf(stderr, "USBDeviceAdded: Call to USBGetDeviceInfo failed. Code result = %08X\n", result);
        (*usbDevice)->Release(usbDevice);
        scratch->usbDevice = nullptr;
        IOObjectRelease(entry);
        continue;
      }
      fprintf(stderr, "USBDeviceAdded: USBGetDeviceInfo found device info with vendorID=0x%X deviceID=0x%X\n",
              scratch->vendorID, scratch->productID);

      sw->info.version = 1;
      // What the record still holds of an earlier device goes before the copy.
      ReleaseDeviceRecord(&sw->info.device);
      sw->info.device = *scratch;
      KVMSetInfo(&sw->info, sw->info.device.infoBuffer);
      sw->info.state = 2;
      sw->info.notAnswering = false;
      ShowAttachedPort(sw->info.currentPort);
      InstallPollTimer(sw);
      IOServiceAddInterestNotification(gNotifyPort, entry, kIOGeneralInterest, HIDDeviceNotification, sw,
                                       &sw->info.device.notification);
    }
    IOObjectRelease(entry);
  }
  free(scratch);
}
