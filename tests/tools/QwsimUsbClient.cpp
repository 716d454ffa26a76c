// Run by qwsim as its command (`qwsim CONFIG -- qwsim_usb_client SERIAL MODEL`): finds the
// simulated module on the emulated bus with plain libusb, checks its identity, exchanges
// packets on its bulk endpoints, reboots it and finds it again as a new device. Exit status
// 0 means every step passed; otherwise a message on stderr names the step.

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t kVendor = 0xF5A7;

int fail(const char* step) {
  std::fprintf(stderr, "qwsim_usb_client: %s\n", step);
  return 1;
}

struct Found {
  libusb_device_handle* h = nullptr;
  uint8_t address = 0;
  uint16_t product = 0;
  uint8_t in = 0, out = 0;
  int iface = -1;
};

// Opens the family device whose serial string is `serial`, with its vendor interface claimed.
bool findModule(libusb_context* ctx, const std::string& serial, Found& f) {
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  bool ok = false;
  for (ssize_t i = 0; i < n && !ok; ++i) {
    libusb_device_descriptor dd;
    if (libusb_get_device_descriptor(list[i], &dd) != 0 || dd.idVendor != kVendor) continue;
    libusb_device_handle* h = nullptr;
    if (libusb_open(list[i], &h) != 0) continue;
    unsigned char text[64] = {};
    int len = libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, text, sizeof text);
    libusb_config_descriptor* cd = nullptr;
    if (len > 0 && serial == reinterpret_cast<char*>(text) && libusb_get_config_descriptor(list[i], 0, &cd) == 0) {
      for (int k = 0; k < cd->bNumInterfaces; ++k) {
        const libusb_interface_descriptor& id = cd->interface[k].altsetting[0];
        if (id.bInterfaceClass != 255 || id.bInterfaceSubClass != 0x88 || id.bInterfaceProtocol != 0x10) continue;
        f.iface = id.bInterfaceNumber;
        for (int e = 0; e < id.bNumEndpoints; ++e) {
          uint8_t a = id.endpoint[e].bEndpointAddress;
          (a & 0x80 ? f.in : f.out) = a;
        }
      }
      libusb_free_config_descriptor(cd);
      if (f.iface >= 0 && libusb_claim_interface(h, f.iface) == 0) {
        f.h = h;
        f.address = libusb_get_device_address(list[i]);
        f.product = dd.idProduct;
        ok = true;
      }
    }
    if (!ok) libusb_close(h);
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  return ok;
}

// Sends one packet and reads until a packet from the module arrives (or two seconds pass).
bool exchange(const Found& f, std::vector<uint8_t> req, std::vector<uint8_t>& reply) {
  int done = 0;
  if (libusb_bulk_transfer(f.h, f.out, req.data(), int(req.size()), &done, 1000) != 0 || done != int(req.size()))
    return false;
  std::vector<uint8_t> got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline) {
    unsigned char buf[512];
    int n = 0;
    int r = libusb_bulk_transfer(f.h, f.in, buf, sizeof buf, &n, 200);
    if (r != 0 && r != LIBUSB_ERROR_TIMEOUT) return false;
    got.insert(got.end(), buf, buf + n);
    while (got.size() >= 2 && got.size() >= size_t(got[1]) + 2) {
      std::vector<uint8_t> p(got.begin(), got.begin() + 2 + got[1]);
      got.erase(got.begin(), got.begin() + 2 + got[1]);
      if (p.size() >= 3 && p[2] == 0 && p[1] == 2) continue;  // heartbeat
      reply = p;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return fail("usage: qwsim_usb_client SERIAL MODEL");
  const std::string serial = argv[1];
  const int model = std::atoi(argv[2]);
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return fail("libusb_init");
  Found f;
  if (!findModule(ctx, serial, f)) return fail("module not enumerated");
  if ((f.product & 0xFF) != model) return fail("product id does not carry the model");
  std::vector<uint8_t> reply;
  if (!exchange(f, {173, 0}, reply) || reply != std::vector<uint8_t>{2, 0}) return fail("presence");
  if (!exchange(f, {2, 3, 3, 9 | 0x40, 0x20}, reply) || reply.size() != 9) return fail("serial number get");
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", reply[5], reply[6], reply[7], reply[8]);
  if (serial != text) return fail("serial number value");

  // REBOOT: the device leaves the bus and comes back with a new device address.
  int done = 0;
  uint8_t reboot[] = {2, 2, 95, 6};
  if (libusb_bulk_transfer(f.h, f.out, reboot, 4, &done, 1000) != 0) return fail("reboot request");
  uint8_t oldAddress = f.address;
  libusb_release_interface(f.h, f.iface);
  libusb_close(f.h);
  Found again;
  bool back = false;
  for (int i = 0; i < 100 && !back; ++i) {  // five seconds at most
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    again = Found();
    back = findModule(ctx, serial, again);
    if (back && again.address == oldAddress) {
      libusb_release_interface(again.h, again.iface);
      libusb_close(again.h);
      back = false;
    }
  }
  if (!back) return fail("module did not come back as a new device");
  if (!exchange(again, {173, 0}, reply) || reply != std::vector<uint8_t>{2, 0}) return fail("presence after reboot");
  libusb_release_interface(again.h, again.iface);
  libusb_close(again.h);
  libusb_exit(ctx);
  return 0;
}
