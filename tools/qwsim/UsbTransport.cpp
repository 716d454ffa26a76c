#include "UsbTransport.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cstdio>

#include "usbemu.h"

namespace qwsim {

namespace {
qwemu::UsbDeviceConfig deviceConfig(const Module& m) {
  qwemu::UsbDeviceConfig c;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", m.serial());
  c.serial = serial;
  c.productId = m.model();  // the host reads the model from the product id's low byte
  return c;
}
}  // namespace

std::unique_ptr<qwemu::UsbEmulator> createUsbEmulator(std::string& error) {
  return qwemu::UsbEmulator::Create(&error);
}

UsbPort::UsbPort(Loop& loop, Module& m, qwemu::UsbEmulator& emu) : loop_(loop), module_(m), emu_(emu) {}

UsbPort::~UsbPort() {
  if (dev_) {
    dev_->SetOutHandler(nullptr);
    dev_->Unplug();
  }
  if (pipe_[0] >= 0) {
    loop_.remove(pipe_[0]);
    close(pipe_[0]);
    close(pipe_[1]);
  }
  module_.detach(this);
}

bool UsbPort::open(std::string& error) {
  if (pipe2(pipe_, O_CLOEXEC) != 0) {
    error = "usb: pipe failed";
    return false;
  }
  fcntl(pipe_[0], F_SETFL, O_NONBLOCK);
  dev_ = emu_.AddDevice(deviceConfig(module_), &error);
  if (!dev_) return false;
  // OUT transfers arrive on umockdev's thread; the pipe hands them to the event loop.
  int w = pipe_[1];
  dev_->SetOutHandler([w](const uint8_t* p, size_t n) {
    while (n > 0) {
      ssize_t k = write(w, p, n);
      if (k <= 0) return;
      p += k;
      n -= size_t(k);
    }
  });
  loop_.add(pipe_[0], EPOLLIN, this);
  module_.attach(this);
  present_ = true;
  enumerations_ = 1;
  return true;
}

void UsbPort::setPresent(bool present) {
  if (!dev_ || present == present_) return;
  present_ = present;
  parser_ = PacketParser();
  if (!present) {
    dev_->Unplug();
    return;
  }
  std::string error;
  if (dev_->Replug(deviceConfig(module_), &error)) ++enumerations_;
  else std::fprintf(stderr, "qwsim: usb replug failed: %s\n", error.c_str());
}

void UsbPort::send(const Packet& p) {
  if (!present_) return;
  uint8_t img[kMaxData + 2];
  size_t n = p.wire(img);
  dev_->SendIn(img, n);
}

void UsbPort::sendRaw(const std::vector<uint8_t>& bytes) {
  if (present_) dev_->SendIn(bytes);
}

void UsbPort::onEvents(uint32_t) {
  uint8_t buf[4096];
  for (int round = 0; round < 4; ++round) {
    ssize_t n = read(pipe_[0], buf, sizeof buf);
    if (n <= 0) return;
    if (!present_) continue;  // bytes of a device that has left the bus
    Packet p;
    for (ssize_t i = 0; i < n; ++i)
      if (parser_.feed(buf[i], p)) module_.receive(this, p);
  }
}

}  // namespace qwsim
