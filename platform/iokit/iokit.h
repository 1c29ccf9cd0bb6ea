// The device registry as the program sees it: 32-bit object handles with
// reference counts, property dictionaries, a parent chain in the "IOService"
// plane, matching and interest notifications delivered through a notification
// port on the main run loop, and plug-ins that give device interfaces.
#pragma once

#include <cstdint>

#include "platform/core/core_foundation.h"
#include "platform/core/mac_types.h"

typedef int32_t kern_return_t;
typedef kern_return_t IOReturn;
typedef uint32_t mach_port_t;
typedef uint32_t natural_t;
typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_registry_entry_t;
typedef char io_name_t[128];
typedef UInt32 IOOptionBits;
typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;

constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
constexpr kern_return_t KERN_INVALID_NAME = 15;

#define IORETURN_ERR(code) ((IOReturn)(0xE0000000u | (code)))
constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = IORETURN_ERR(0x2BC);
constexpr IOReturn kIOReturnNoMemory = IORETURN_ERR(0x2BD);
constexpr IOReturn kIOReturnNoResources = IORETURN_ERR(0x2BE);
constexpr IOReturn kIOReturnNoDevice = IORETURN_ERR(0x2C0);
constexpr IOReturn kIOReturnNotPrivileged = IORETURN_ERR(0x2C1);
constexpr IOReturn kIOReturnBadArgument = IORETURN_ERR(0x2C2);
constexpr IOReturn kIOReturnExclusiveAccess = IORETURN_ERR(0x2C5);
constexpr IOReturn kIOReturnUnsupported = IORETURN_ERR(0x2C7);
constexpr IOReturn kIOReturnIOError = IORETURN_ERR(0x2CA);
constexpr IOReturn kIOReturnNotOpen = IORETURN_ERR(0x2CD);
constexpr IOReturn kIOReturnNotReadable = IORETURN_ERR(0x2CE);
constexpr IOReturn kIOReturnNotWritable = IORETURN_ERR(0x2CF);
constexpr IOReturn kIOReturnNotFound = IORETURN_ERR(0x2F0);
constexpr IOReturn kIOReturnBusy = IORETURN_ERR(0x2D5);
constexpr IOReturn kIOReturnTimeout = IORETURN_ERR(0x2D6);
constexpr IOReturn kIOReturnNotAttached = IORETURN_ERR(0x2D9);
constexpr IOReturn kIOReturnNoSpace = IORETURN_ERR(0x2C4);
constexpr IOReturn kIOReturnUnderrun = IORETURN_ERR(0x2E7);
constexpr IOReturn kIOReturnNotPermitted = IORETURN_ERR(0x2E2);
constexpr IOReturn kIOReturnNotResponding = IORETURN_ERR(0x2ED);
constexpr IOReturn kIOReturnAborted = IORETURN_ERR(0x2EB);

constexpr natural_t kIOMessageServiceIsTerminated = 0xE0000010;

#define kIOFirstMatchNotification "IOServiceFirstMatch"
#define kIOGeneralInterest "IOGeneralInterest"
#define kIOServicePlane "IOService"

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_NOINTERFACE = (HRESULT)0x80000004;

typedef struct IONotificationPort* IONotificationPortRef;
typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, natural_t messageType,
                                          void* messageArgument);

extern const mach_port_t bootstrap_port;
extern const mach_port_t kIOMasterPortDefault;

mach_port_t mach_task_self();
kern_return_t mach_port_deallocate(mach_port_t task, mach_port_t name);

kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);
IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
void IONotificationPortDestroy(IONotificationPortRef notify);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);

// A matching dictionary for registry class `name`; the caller owns it.
CFMutableDictionaryRef IOServiceMatching(const char* name);
// Consumes `matching`. The iterator is armed once it has been drained.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const char* notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* notification);
// Consumes `matching`.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort, io_service_t service,
                                               const char* interestType, IOServiceInterestCallback callback,
                                               void* refCon, io_object_t* notification);
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const char* plane,
                                            io_registry_entry_t* parent);

// The plug-in a service gives for a user-client type: a COM-style object
// whose QueryInterface hands out the device interfaces.
struct IOCFPlugInInterface {
  void* _reserved;
  HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);
  ULONG (*AddRef)(void* thisPointer);
  ULONG (*Release)(void* thisPointer);
};

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType, IOCFPlugInInterface*** theInterface,
                                                SInt32* theScore);
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface);

// The platform's published identifiers.
extern const CFUUIDRef kIOCFPlugInInterfaceID;
extern const CFUUIDRef kIOHIDDeviceUserClientTypeID;
extern const CFUUIDRef kIOHIDDeviceInterfaceID122;
extern const CFUUIDRef kIOUSBDeviceUserClientTypeID;
extern const CFUUIDRef kIOUSBDeviceInterfaceID;
extern const CFUUIDRef kIOUSBInterfaceUserClientTypeID;
extern const CFUUIDRef kIOUSBInterfaceInterfaceID;
