// The HID device interface and the USB device and interface interfaces, in the
// platform's call shapes: a handle is a pointer to an object whose first field
// is the function table, and every call passes the handle back as `self`:
//   (*hidDevice)->getReport(hidDevice, kIOHIDReportTypeFeature, 5, buf, &len, 0, nullptr, nullptr, nullptr);
// Only the calls the program makes are provided. Each handle is reference
// counted (AddRef/Release) and stays valid after its device is gone; calls on a
// vanished device then fail with a status.
#pragma once

#include "platform/iokit/iokit.h"

typedef enum IOHIDReportType {
  kIOHIDReportTypeInput = 0,
  kIOHIDReportTypeOutput = 1,
  kIOHIDReportTypeFeature = 2,
  kIOHIDReportTypeCount = 3,
} IOHIDReportType;

typedef void (*IOHIDReportCallbackFunction)(void* target, IOReturn result, void* refcon, void* sender,
                                            uint32_t bufferSize);

struct IOHIDDeviceInterface122 {
  void* _reserved;
  HRESULT (*QueryInterface)(void* self, REFIID iid, LPVOID* ppv);
  ULONG (*AddRef)(void* self);
  ULONG (*Release)(void* self);
  // Opening an open interface succeeds; one close closes it.
  IOReturn (*open)(void* self, UInt32 flags);
  IOReturn (*close)(void* self);
  // The interface must be open. `reportBufferSize` holds the buffer's length on
  // entry and the length received on return.
  IOReturn (*getReport)(void* self, IOHIDReportType reportType, UInt32 reportID, void* reportBuffer,
                        UInt32* reportBufferSize, UInt32 timeoutMS, IOHIDReportCallbackFunction callback,
                        void* callbackTarget, void* callbackRefcon);
  IOReturn (*setReport)(void* self, IOHIDReportType reportType, UInt32 reportID, void* reportBuffer,
                        UInt32 reportBufferSize, UInt32 timeoutMS, IOHIDReportCallbackFunction callback,
                        void* callbackTarget, void* callbackRefcon);
};

// USB records.
struct IOUSBDevRequest {
  UInt8 bmRequestType;
  UInt8 bRequest;
  UInt16 wValue;
  UInt16 wIndex;
  UInt16 wLength;
  void* pData;
  UInt32 wLenDone;
};

struct IOUSBFindInterfaceRequest {
  UInt16 bInterfaceClass;
  UInt16 bInterfaceSubClass;
  UInt16 bInterfaceProtocol;
  UInt16 bAlternateSetting;
};

constexpr UInt16 kIOUSBFindInterfaceDontCare = 0xFFFF;

#pragma pack(push, 1)
struct IOUSBConfigurationDescriptor {
  UInt8 bLength;
  UInt8 bDescriptorType;
  UInt16 wTotalLength;
  UInt8 bNumInterfaces;
  UInt8 bConfigurationValue;
  UInt8 iConfiguration;
  UInt8 bmAttributes;
  UInt8 MaxPower;
};
#pragma pack(pop)
typedef IOUSBConfigurationDescriptor* IOUSBConfigurationDescriptorPtr;

enum : UInt8 { kUSBOut = 0, kUSBIn = 1, kUSBNone = 2, kUSBAnyDirn = 3 };
enum : UInt8 { kUSBControl = 0, kUSBIsoc = 1, kUSBBulk = 2, kUSBInterrupt = 3, kUSBAnyType = 0xFF };

constexpr UInt8 kUSBRqGetDescriptor = 6;
constexpr UInt8 kUSBStringDesc = 3;

struct IOUSBDeviceInterface {
  void* _reserved;
  HRESULT (*QueryInterface)(void* self, REFIID iid, LPVOID* ppv);
  ULONG (*AddRef)(void* self);
  ULONG (*Release)(void* self);
  IOReturn (*USBDeviceOpen)(void* self);
  IOReturn (*USBDeviceClose)(void* self);
  IOReturn (*GetDeviceVendor)(void* self, UInt16* devVendor);
  IOReturn (*GetDeviceProduct)(void* self, UInt16* devProduct);
  IOReturn (*USBGetSerialNumberStringIndex)(void* self, UInt8* si);
  // The device must be open.
  IOReturn (*DeviceRequest)(void* self, IOUSBDevRequest* req);
  IOReturn (*GetNumberOfConfigurations)(void* self, UInt8* numConfig);
  // The descriptor stays owned by the interface.
  IOReturn (*GetConfigurationDescriptorPtr)(void* self, UInt8 configIndex, IOUSBConfigurationDescriptorPtr* desc);
  // The device must be open.
  IOReturn (*SetConfiguration)(void* self, UInt8 configNum);
  // An iterator of the interfaces' registry entries; released with IOObjectRelease.
  IOReturn (*CreateInterfaceIterator)(void* self, IOUSBFindInterfaceRequest* req, io_iterator_t* iter);
};

struct IOUSBInterfaceInterface {
  void* _reserved;
  HRESULT (*QueryInterface)(void* self, REFIID iid, LPVOID* ppv);
  ULONG (*AddRef)(void* self);
  ULONG (*Release)(void* self);
  IOReturn (*USBInterfaceOpen)(void* self);
  IOReturn (*USBInterfaceClose)(void* self);
  IOReturn (*GetNumEndpoints)(void* self, UInt8* intfNumEndpoints);
  // Pipes are numbered from 1 in the order of the interface's endpoints.
  IOReturn (*GetPipeProperties)(void* self, UInt8 pipeRef, UInt8* direction, UInt8* number, UInt8* transferType,
                                UInt16* maxPacketSize, UInt8* interval);
  // The interface must be open.
  IOReturn (*WritePipe)(void* self, UInt8 pipeRef, void* buf, UInt32 size);
};
