#pragma once
// Emulated USB modules for tests and for the module simulator, on umockdev.
//
// An emulator owns a umockdev test bed in this process; each device added to it appears to
// libusb (in this same process) as a real usbfs device: device and configuration
// descriptors, one vendor interface (class 255, subclass 0x88, protocol 0x10) with a bulk
// OUT endpoint 0x01 and a bulk IN endpoint 0x81, and string descriptors for manufacturer,
// product and serial number. The device's side of the bulk traffic is plain bytes:
//
//   - what the host sent on the OUT endpoint: TakeOut()/WaitOut(), or an OutHandler that
//     sees each OUT transfer as it arrives (the simulator's way: decode, then answer with
//     SendIn from inside the handler is fine);
//   - what the device hands back: SendIn(); the bytes are given to the host's IN transfers
//     as they come.
//
// Faults for the next transfers of a direction: an I/O error, a stall (the host then
// clears the halt), or a time-out (the transfer never completes, so the host's own time-out
// ends it). Unplug() makes the device vanish (pending transfers fail, the node hangs up);
// Replug() brings it back as a new device with a new address, like a module that reboots.
//
// The process must run with umockdev's preload library (LD_PRELOAD=libumockdev-preload.so.0,
// which is what umockdev-wrapper sets); UsbEmulator::Create reports an error otherwise.
// umockdev makes its test bed under $TMPDIR: give each test process its own TMPDIR.
//
//   std::string error;
//   auto emu = qwemu::UsbEmulator::Create(&error);
//   qwemu::UsbDeviceConfig config;
//   config.serial = "0000ABCD";
//   qwemu::UsbDevice* dev = emu->AddDevice(config, &error);
//   dev->SetOutHandler([&](const uint8_t* p, size_t n) { dev->SendIn(reply(p, n)); });
//   ... libusb code of the process now finds and talks to the device ...

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qwemu {

struct UsbDeviceConfig {
  uint16_t vendorId = 0xF5A7;   // the family's vendor identifier
  uint16_t productId = 0x0001;
  std::string serial = "00000001";
  std::string manufacturer = "Vantorel";
  std::string product = "Quarkwire module";
  uint16_t maxPacket = 512;     // of both bulk endpoints (512: high speed)
  int claimErrno = 0;           // nonzero: claiming the interface fails with this errno
};

enum class Direction { In, Out };

struct UsbCounters {
  int outTransfers = 0;    // completed OUT transfers
  int inTransfers = 0;     // IN transfers that delivered bytes
  int clearHalts = 0;      // halts the host cleared
  int discarded = 0;       // transfers the host cancelled (time-outs)
  int claims = 0;          // interface claims
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Bytes for the host's IN transfers, in order.
  virtual void SendIn(const uint8_t* data, size_t length) = 0;
  void SendIn(const std::vector<uint8_t>& data) { SendIn(data.data(), data.size()); }

  // Takes every byte the host has sent so far (when no OutHandler is set).
  virtual std::vector<uint8_t> TakeOut() = 0;
  // Waits up to timeoutMs until at least count bytes have been sent, then takes them all.
  virtual std::vector<uint8_t> WaitOut(size_t count, int timeoutMs) = 0;
  // Sizes of the completed OUT transfers, oldest first.
  virtual std::vector<size_t> OutTransferSizes() = 0;
  // Called for every OUT transfer on umockdev's thread, without the emulator's lock held.
  // With a handler set, the bytes are not kept for TakeOut.
  virtual void SetOutHandler(std::function<void(const uint8_t*, size_t)> handler) = 0;

  // The next count transfers of the direction end with the fault.
  virtual void InjectError(Direction direction, int count) = 0;
  virtual void InjectStall(Direction direction, int count) = 0;
  virtual void InjectTimeout(Direction direction, int count) = 0;

  // Disconnects the device. Returns false when it was already gone.
  virtual bool Unplug() = 0;
  // Re-enumerates as a new device (new device address) with the given configuration;
  // queued bytes and faults are dropped. Unplugs first when still present.
  virtual bool Replug(const UsbDeviceConfig& config, std::string* error) = 0;
  virtual bool Present() = 0;

  virtual UsbCounters Counters() = 0;
  virtual UsbDeviceConfig Config() = 0;
};

class UsbEmulator {
 public:
  static std::unique_ptr<UsbEmulator> Create(std::string* error);
  virtual ~UsbEmulator() = default;
  // The device is owned by the emulator and lives as long as it does.
  virtual UsbDevice* AddDevice(const UsbDeviceConfig& config, std::string* error) = 0;
  // A character device node (for example "/dev/quarkwire.0000ABCD", what the optional
  // kernel driver provides) backed by a raw pty. Returns the pty master, whose reads are
  // what the process wrote to the node and whose writes it reads; -1 on failure. The
  // emulator closes it.
  virtual int AddPtyNode(const std::string& devPath, std::string* error) = 0;
};

}  // namespace qwemu
