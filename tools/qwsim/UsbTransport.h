#pragma once
// The module behind an emulated USB device (umockdev): the host's OUT transfers carry raw
// packets to the module, its answers go back on the IN endpoint. Leaving the bus (LOAD,
// REBOOT) unplugs the device; coming back plugs it in again as a new device.

#include <memory>
#include <string>

#include "Transports.h"

namespace qwemu {
class UsbEmulator;
class UsbDevice;
}  // namespace qwemu

namespace qwsim {

class UsbPort : public Link, public Loop::Handler {
 public:
  UsbPort(Loop& loop, Module& m, qwemu::UsbEmulator& emu);
  ~UsbPort() override;
  bool open(std::string& error);
  void setPresent(bool present);
  uint64_t enumerations() const { return enumerations_; }

  void send(const Packet& p) override;
  void sendRaw(const std::vector<uint8_t>& bytes) override;
  void drop(bool) override {}  // the device itself leaves the bus: see setPresent
  bool active() const override { return present_; }
  void onEvents(uint32_t events) override;

 private:
  Loop& loop_;
  Module& module_;
  qwemu::UsbEmulator& emu_;
  qwemu::UsbDevice* dev_ = nullptr;
  int pipe_[2] = {-1, -1};
  bool present_ = false;
  uint64_t enumerations_ = 0;
  PacketParser parser_;
};

// Creates the emulator; null with a message when umockdev's preload library is missing.
std::unique_ptr<qwemu::UsbEmulator> createUsbEmulator(std::string& error);

}  // namespace qwsim
