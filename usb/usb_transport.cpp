#include "usb/usb_transport.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr UInt16 kLanguageEnglishUS = 0x0409;
// The switch's state is in its serial number's first three characters: the
// descriptor header and three code units.
constexpr UInt16 kSerialRequestLength = 8;
constexpr int kPacketLength = 8;

void releaseInterface(IOUSBInterfaceInterface** intf) {
  if (intf != nullptr) (*intf)->Release(intf);
}

IOReturn sendPacket(DEVICE_DATA* d, unsigned char code, unsigned argument) {
  unsigned char packet[kPacketLength] = {};
  packet[0] = code;
  packet[1] = static_cast<unsigned char>(argument & 0xFF);
  return USBTransferData(d, packet, kPacketLength);
}

// The first outgoing pipe of an open interface, or 0 when it has none.
UInt8 findOutgoingPipe(IOUSBInterfaceInterface** intf) {
  UInt8 pipeCount = 0;
  IOReturn result = (*intf)->GetNumEndpoints(intf, &pipeCount);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBGetInterfaceInterface: unable to get number of endpoints. ret = %08x\n", result);
    return 0;
  }
  fprintf(stderr, "USBGetInterfaceInterface: Got %d Pipes\n", pipeCount);
  for (int pipe = 1; pipe <= pipeCount; ++pipe) {
    UInt8 direction = 0xFF;
    UInt8 number = 0xFF;
    UInt8 transferType = 0xFF;
    UInt16 maxPacketSize = 0xFFFF;
    UInt8 interval = 0xFF;
    result = (*intf)->GetPipeProperties(intf, static_cast<UInt8>(pipe), &direction, &number, &transferType,
                                        &maxPacketSize, &interval);
    fprintf(stderr,
            "USBGetInterfaceInterface direction=%d number=%d transferType=%d maxPAcketSize=%d, interval=%d\n",
            direction, number, transferType, maxPacketSize, interval);
    if (result != kIOReturnSuccess) {
      fprintf(stderr, "USBGetInterfaceInterface: unable to get pipe hidProperties for pipe %d, result = %08x\n",
              pipe, result);
      continue;
    }
    if (direction == kUSBOut) return static_cast<UInt8>(pipe);
  }
  return 0;
}

}  // namespace

IOReturn USBGetDeviceInfo(DEVICE_DATA* d) {
  if (d == nullptr || d->usbDevice == nullptr) {
    fprintf(stderr, "USBGetDeviceInfo: No known device\n");
    return kIOReturnError;
  }
  IOUSBDeviceInterface** dev = d->usbDevice;

  IOReturn result = (*dev)->USBDeviceOpen(dev);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBGetDeviceInfo: unable to open device. ret = %08x\n", result);
    return result;
  }

  UInt16 vendor = 0;
  UInt16 product = 0;
  UInt8 serialIndex = 0;
  result = (*dev)->GetDeviceVendor(dev, &vendor);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBGetDeviceInfo: unable to obtain the Vendor ID. ret = %08x\n", result);
  } else {
    d->vendorID = vendor;
    result = (*dev)->GetDeviceProduct(dev, &product);
    if (result != kIOReturnSuccess) {
      fprintf(stderr, "USBGetDeviceInfo: unable to obtain the Product ID. ret = %08x\n", result);
    } else {
      d->productID = product;
      result = (*dev)->USBGetSerialNumberStringIndex(dev, &serialIndex);
      if (result != kIOReturnSuccess) {
        fprintf(stderr, "USBGetDeviceInfo: unable to obtain the Serial index. ret = %08x\n", result);
      }
    }
  }

  if (result == kIOReturnSuccess) {
    // Zeroed: the reply never reaches the last two bytes, and a short one
    // reaches fewer.
    unsigned char reply[10] = {};
    IOUSBDevRequest request = {};
    request.bmRequestType = 0x80;
    request.bRequest = kUSBRqGetDescriptor;
    request.wValue = static_cast<UInt16>((kUSBStringDesc << 8) + serialIndex);
    request.wIndex = kLanguageEnglishUS;
    request.wLength = kSerialRequestLength;
    request.pData = reply;
    result = (*dev)->DeviceRequest(dev, &request);
    // Past the descriptor header: the first three code units, then the two
    // bytes the request never fills.
    if (result == kIOReturnSuccess) memcpy(d->infoBuffer, reply + 2, 8);
  }

  (*dev)->USBDeviceClose(dev);
  return result;
}

IOReturn USBGetInterfaceInterface(DEVICE_DATA* d) {
  if (d == nullptr || d->usbDevice == nullptr) return kIOReturnError;
  IOUSBDeviceInterface** dev = d->usbDevice;

  IOReturn result = (*dev)->USBDeviceOpen(dev);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBGetInterfaceInterface: unable to open device. ret = %08x\n", result);
    return result;
  }

  UInt8 configCount = 0;
  result = (*dev)->GetNumberOfConfigurations(dev, &configCount);
  if (result != kIOReturnSuccess || configCount == 0) {
    fprintf(stderr, "USBGetInterfaceInterface: unable to obtain the number of configurations. ret = %08x\n",
            result);
    (*dev)->USBDeviceClose(dev);
    // A device without a configuration has no pipe to write to.
    return result != kIOReturnSuccess ? result : kIOReturnError;
  }
  fprintf(stderr, "USBGetInterfaceInterface: found %d configuration(s)\n", configCount);

  IOUSBConfigurationDescriptorPtr config = nullptr;
  result = (*dev)->GetConfigurationDescriptorPtr(dev, 0, &config);
  if (result != kIOReturnSuccess || config == nullptr) {
    fprintf(stderr, "USBGetInterfaceInterface:unable to get config descriptor for index 0\n");
    (*dev)->USBDeviceClose(dev);
    return result != kIOReturnSuccess ? result : kIOReturnError;
  }

  result = (*dev)->SetConfiguration(dev, config->bConfigurationValue);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBGetInterfaceInterface: unable to set the configuration\n");
    (*dev)->USBDeviceClose(dev);
    return result;
  }

  IOUSBFindInterfaceRequest request;
  request.bInterfaceClass = kIOUSBFindInterfaceDontCare;
  request.bInterfaceSubClass = kIOUSBFindInterfaceDontCare;
  request.bInterfaceProtocol = kIOUSBFindInterfaceDontCare;
  request.bAlternateSetting = kIOUSBFindInterfaceDontCare;
  io_iterator_t iterator = 0;
  result = (*dev)->CreateInterfaceIterator(dev, &request, &iterator);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBGetInterfaceInterface: unable to create interface iterator\n");
    (*dev)->USBDeviceClose(dev);
    return result;
  }

  // Only a pipe found by this search counts: the record keeps the interface
  // and pipe of the last search that found one, for nothing else to use.
  UInt8 chosenPipe = 0;
  IOReturn lastResult = kIOReturnSuccess;
  io_service_t entry;
  while ((entry = IOIteratorNext(iterator)) != 0) {
    if (chosenPipe != 0) {
      IOObjectRelease(entry);
      continue;
    }

    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    result = IOCreatePlugInInterfaceForService(entry, kIOUSBInterfaceUserClientTypeID, kIOCFPlugInInterfaceID,
                                               &plugIn, &score);
    if (result != kIOReturnSuccess || plugIn == nullptr) {
      fprintf(stderr, "USBGetInterfaceInterface: unable to create plugin. ret = %08x, iodev = %p\n", result,
              static_cast<void*>(plugIn));
      lastResult = result != kIOReturnSuccess ? result : kIOReturnError;
      IOObjectRelease(entry);
      continue;
    }

    IOUSBInterfaceInterface** intf = nullptr;
    HRESULT queryResult =
        (*plugIn)->QueryInterface(plugIn, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID), (LPVOID*)&intf);
    IODestroyPlugInInterface(plugIn);
    if (queryResult != S_OK || intf == nullptr) {
      fprintf(stderr, "USBGetInterfaceInterface: unable to create a device interface. ret = %08x, intf = %p\n",
              queryResult, static_cast<void*>(intf));
      lastResult = queryResult != S_OK ? queryResult : kIOReturnError;
      releaseInterface(intf);
      IOObjectRelease(entry);
      continue;
    }

    result = (*intf)->USBInterfaceOpen(intf);
    if (result != kIOReturnSuccess) {
      fprintf(stderr, "USBGetInterfaceInterface: unable to open interface. ret = %08x\n", result);
      lastResult = result;
      releaseInterface(intf);
      IOObjectRelease(entry);
      continue;
    }

    UInt8 pipe = findOutgoingPipe(intf);
    (*intf)->USBInterfaceClose(intf);

    if (pipe != 0) {
      chosenPipe = pipe;
      // The record holds one reference: the interface of an earlier search
      // is never used again.
      if (d->usbInterface != intf) releaseInterface(d->usbInterface);
      d->usbInterface = intf;
      d->pipeRef = pipe;
      // The handle is an address; the line shows its low 32 bits.
      fprintf(stderr, "USBGetInterfaceInterface: Found InterfaceInterface %x with pipe %d\n",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(intf)), pipe);
    } else {
      releaseInterface(intf);
    }
    IOObjectRelease(entry);
  }

  IOObjectRelease(iterator);
  (*dev)->USBDeviceClose(dev);

  if (chosenPipe != 0) return kIOReturnSuccess;
  fprintf(stderr, "USBGetInterfaceInterface: unable to find interface. ret = %08x\n", lastResult);
  return kIOReturnError;
}

IOReturn USBTransferData(DEVICE_DATA* d, void* data, int size) {
  // A serial-number switch remembered while the login was switched out has
  // no device interface yet.
  if (d == nullptr || d->usbDevice == nullptr) {
    fprintf(stderr, "USBTransferData: No known interface\n");
    return kIOReturnError;
  }
  if (size < 0 || (data == nullptr && size != 0)) return kIOReturnError;

  IOReturn result = USBGetInterfaceInterface(d);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBTransferData: unable to open interface. ret = %08x\n", result);
    return result;
  }
  if (d->usbInterface == nullptr) {
    fprintf(stderr, "USBTransferData: No known interface\n");
    return kIOReturnError;
  }
  IOUSBInterfaceInterface** intf = d->usbInterface;

  result = (*intf)->USBInterfaceOpen(intf);
  if (result != kIOReturnSuccess) {
    fprintf(stderr, "USBTransferData: unable to open interface. ret = %08x\n", result);
    return result;
  }
  result = (*intf)->WritePipe(intf, d->pipeRef, data, static_cast<UInt32>(size));
  if (result != kIOReturnSuccess) fprintf(stderr, "USBTransferData: WritePipeFailed, result = %08x\n", result);
  (*intf)->USBInterfaceClose(intf);
  return result;
}

IOReturn USBSetPortNumber(DEVICE_DATA* d, int port) { return sendPacket(d, 0x01, unsigned(port)); }

IOReturn USBSetBuzzer(DEVICE_DATA* d, bool on) { return sendPacket(d, on ? 0x02 : 0x03, 0); }

IOReturn USBBindAudio(DEVICE_DATA* d) { return sendPacket(d, 0x04, 0); }

IOReturn USBFixAudioPortNumber(DEVICE_DATA* d, int port) { return sendPacket(d, 0x05, unsigned(port)); }

IOReturn USBSetAutoScanPeriod(DEVICE_DATA* d, int period) { return sendPacket(d, 0x06, unsigned(period)); }

IOReturn USBSetAutoScan(DEVICE_DATA* d, bool on) { return sendPacket(d, on ? 0x07 : 0x08, 0); }
