// The switch on the session bus: the object /io/github/portvane/Switch with
// the interface io.github.portvane.Switch1, served under the program's bus
// name (single_instance.h owns it). This file holds the D-Bus mechanics only:
// the exported object, its typed properties, PropertiesChanged, and method
// calls answered later through delayed replies. What the properties say and
// what each method does are the program's, given as the callbacks below; a
// method hands its callback a reply to call once, typically from a switch
// job's follow-up, so that the interface thread never waits on the switch.
// Main thread only. The manual page describes the interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

inline constexpr char kSwitchBusPath[] = "/io/github/portvane/Switch";
inline constexpr char kSwitchBusInterface[] = "io.github.portvane.Switch1";

// The errors a method may end with, besides org.freedesktop.DBus.Error.InvalidArgs.
inline constexpr char kSwitchErrorNoSwitch[] = "io.github.portvane.Switch1.Error.NoSwitch";
inline constexpr char kSwitchErrorNotAnswering[] = "io.github.portvane.Switch1.Error.NotAnswering";
inline constexpr char kSwitchErrorNotSupported[] = "io.github.portvane.Switch1.Error.NotSupported";
inline constexpr char kBusErrorInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

// The properties, one field each (names as on the bus).
struct SwitchBusState {
  bool attached = false;             // Attached (b)
  uint32_t generation = 0;           // Generation (u): 1 serial number, 2 feature reports, 0 none
  uint16_t vendorId = 0;             // VendorId (q), 0 with no switch
  uint16_t productId = 0;            // ProductId (q)
  int32_t activeComputer = 0;        // ActiveComputer (i): 1 or 2; 0 while changing or with no switch
  std::vector<int32_t> availableComputers;  // AvailableComputers (ai)
  bool autoScan = false;             // AutoScan (b)
  uint32_t autoScanPeriod = 0;       // AutoScanPeriod (u): seconds; 0 when the switch has none
  int32_t buzzer = -1;               // Buzzer (i): 1 on, 0 off, -1 none
  int32_t audio = -1;                // Audio (i): n fixed to computer n, 0 follows, -1 none
  std::vector<int32_t> hubs{-1, -1};  // Hubs (ai): hub 1 and hub 2, as Audio

  bool operator==(const SwitchBusState&) const = default;
};

// How a method call ended: an empty name for success, otherwise the D-Bus
// error's name and its message.
struct SwitchBusError {
  std::string name;
  std::string message;
};
// Called once; later calls are ignored.
using SwitchBusReply = std::function<void(const SwitchBusError& error)>;

struct SwitchBusHandlers {
  std::function<SwitchBusState()> state;
  std::function<void(uint32_t computer, SwitchBusReply reply)> selectComputer;
  std::function<void(bool on, SwitchBusReply reply)> setAutoScan;
  std::function<void(uint32_t seconds, SwitchBusReply reply)> setAutoScanPeriod;
  std::function<void(bool on, SwitchBusReply reply)> setBuzzer;
  // Reads the switch again; the reply comes once the read is done.
  std::function<void(SwitchBusReply reply)> read;
};

// What the object answers with from now on; until then every method ends
// with NoSwitch and the properties say no switch. The state given now counts
// as announced.
void setSwitchBusHandlers(SwitchBusHandlers handlers);

// Emits PropertiesChanged with the properties whose values differ from the
// last announcement; nothing when none do or the object is not on the bus.
void announceSwitchBusState();

// For the single instance: puts the object on the session bus before the
// name is asked for, and takes it off again when the name is not ours.
bool exportSwitchBusObject();
void withdrawSwitchBusObject();

}  // namespace platform
