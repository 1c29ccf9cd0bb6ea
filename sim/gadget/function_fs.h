// One FunctionFS function: its file system mounted, its descriptors written,
// its endpoint files open, and the calls on ep0 that answer, take or stall a
// control request. A blocking call on ep0 ends after a while, so that a host
// that gave up on a request cannot hold the gadget.
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gadget {

using Bytes = std::vector<uint8_t>;

// One interface with its class descriptors and endpoints, as one speed shows it.
struct SpeedDescriptors {
  Bytes bytes;  // the descriptors, one after the other
  uint32_t count = 0;
};

class FunctionFs {
 public:
  ~FunctionFs() { close(); }

  // Mounts instance `instance` at `mountPoint` (made here, removed by
  // close()), writes the full- and high-speed descriptors and no strings,
  // and opens ep0 and the `endpoints` endpoint files.
  bool open(const std::string& instance, const std::string& mountPoint, const SpeedDescriptors& fullSpeed,
            const SpeedDescriptors& highSpeed, int endpoints, std::string* error);
  void close();

  int ep0() const { return ep0_; }
  // Endpoint file `number` (1 = the first endpoint descriptor), opened blocking.
  int endpoint(int number) const;

  // The events waiting on ep0, at least one (waits for it). A setup event is
  // always the last. Empty when the read failed or was cut short by a signal.
  std::vector<usb_functionfs_event> events();
  // Answers an IN request with `data` (cut to what the host asked).
  bool answer(const usb_ctrlrequest& setup, const void* data, size_t length);
  // Takes an OUT request's data (nothing for a request without); the number of
  // bytes, or -1.
  long take(const usb_ctrlrequest& setup, void* data, size_t length);
  // Refuses the request: the host sees a stall.
  void stall(const usb_ctrlrequest& setup);
  // Halts endpoint `number` until clearHalt(), so that the host's transfers stall.
  bool halt(int number);
  bool clearHalt(int number);

 private:
  std::string mountPoint_;
  bool mounted_ = false;
  bool madeMountPoint_ = false;
  int ep0_ = -1;
  std::vector<int> endpoints_;
  std::vector<int> nonBlocking_;
};

// Little-endian helpers for descriptors.
void put16(Bytes& out, uint16_t value);
void put32(Bytes& out, uint32_t value);

}  // namespace gadget
