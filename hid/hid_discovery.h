// Finding switches: every supported HID device is matched, its generation
// decided from its registry properties, and then either opened here
// (feature-report switch) or handed to the USB side (serial-number switch).
#pragma once

#include "platform/core/event_loop_timers.h"
#include "platform/iokit/iokit.h"
#include "switch/kvm_switch.h"

// Every matching and removal notification of the program arrives through this port.
extern IONotificationPortRef gNotifyPort;
// The poll timer; null while none runs.
extern EventLoopTimerRef theTimer;

// What discovery hands on to the program: the tray picture of the attached
// switch's port (-1: the application's own picture), and the poll tick it
// installs for a feature-report switch, with the KVM_SWITCH* as its data.
// Start-up sets both (ChangeDockIcon, TimerFunction) before matching; a
// command line that reads the switch once sets neither, so it shows no
// picture and polls nothing.
struct DISCOVERY_FOLLOW_UPS {
  void (*changeDockIcon)(int port);
  EventLoopTimerProcPtr timerFunction;
};
extern DISCOVERY_FOLLOW_UPS gDiscoveryFollowUps;
// The picture of `port` through gDiscoveryFollowUps, when the program shows one.
void ShowAttachedPort(int port);
// The poll of an attached switch, first after 5 seconds and then every 2, unless
// one runs already; none when the program polls nothing. Both generations are
// polled, so that a port changed on the switch itself shows either way.
void InstallPollTimer(KVM_SWITCH* sw);

// Registers for every supported device and attaches one already present.
IOReturn HIDSetMatchingDevices(KVM_SWITCH* sw, DEVICE_LIST* list, int count);
// Matching callback; `refCon` is the KVM_SWITCH*. Drains the iterator.
void HIDDeviceAdded(void* refCon, io_iterator_t iterator);
bool HIDSetHIDDevice(KVM_SWITCH* sw);
bool HIDSetUSBDevice(KVM_SWITCH* sw);
// Interest callback for the switch in use; `refCon` is the KVM_SWITCH*.
void HIDDeviceNotification(void* refCon, io_service_t service, natural_t messageType, void* messageArgument);
// One-shot matching of the HID device with these identifiers.
void HIDGetMatchingDevice(KVM_SWITCH* sw, DEVICE_ID* id);

// A matching dictionary of `className` with two identifier numbers; null when
// the registry cannot make one. The caller owns it.
CFMutableDictionaryRef CreateMatchingDictionary(const char* className, CFStringRef vendorKey, uint32_t vendorID,
                                                CFStringRef productKey, uint32_t productID);
// Lets go of what a record still holds of an earlier device (its removal
// notification and interfaces), so that a new device can take its place.
void ReleaseDeviceRecord(DEVICE_DATA* device);
