// A simulated switch presented to the kernel as a USB device: the model of
// sim/ behind a configfs gadget with one FunctionFS interface. The
// feature-report switch answers its feature reports from the model; the
// serial-number switch takes its command packets on its OUT pipe into the
// model and keeps its serial-number string, which the kernel serves, up to date.
#pragma once

#include <memory>
#include <string>

namespace gadget {

// How the switch meets the protocol's requests.
enum class Answering {
  Normally,
  // Busy: each request is refused at once (the host sees a stall).
  Stalling,
  // No answer at all, for longer than the kernel waits.
  Silent,
};

class SwitchGadget {
 public:
  virtual ~SwitchGadget() = default;

  // Makes the gadget named `name` and its function, ready to plug into `udc`;
  // false with `error` set when the kernel refuses a step.
  virtual bool start(const std::string& name, const std::string& udc, std::string* error) = 0;
  virtual bool plug(std::string* error) = 0;
  virtual bool unplug(std::string* error) = 0;
  virtual void setAnswering(Answering answering) = 0;
  // Descriptors to wait on: ep0, and where the OUT pipe's packets arrive (-1: none).
  virtual int ep0() const = 0;
  virtual int packets() const = 0;
  // Handles what is waiting on ep0, or on the packet descriptor.
  virtual void serveEp0() = 0;
  virtual void servePackets() = 0;
  // Called a few times a second: the switch's own time (auto-scan) moves on.
  virtual void tick() = 0;
  // Unplugs and removes everything start() made.
  virtual void stop() = 0;
};

// Generation 1 (serial-number switch) or 2 (feature-report switch).
std::unique_ptr<SwitchGadget> makeSwitchGadget(int generation);

}  // namespace gadget
