// Run by the module simulator as its command, on its emulated USB bus: USB links through
// real libusb. Prints what failed and exits 1, or exits 0.
//   link_usb_client SERIAL ADDRESS MUTE_SERIAL
// SERIAL answers normally at module ADDRESS; MUTE_SERIAL never answers a sync request.

#include <cstdio>
#include <cstdlib>

#include "aLink.h"
#include "aTime.h"

namespace {

int failures = 0;
#define CHECK(cond, ...)                  \
  do {                                    \
    if (!(cond)) {                        \
      std::fprintf(stderr, __VA_ARGS__);  \
      std::fputc('\n', stderr);           \
      ++failures;                         \
    }                                     \
  } while (0)

bool isEmptyFrom(const aPacket* p, void* ref) {
  return p->length == 0 && p->address == *static_cast<uint8_t*>(ref);
}

bool waitForStatus(uint32_t id, uint32_t status, uint64_t ms) {
  const uint64_t end = aTime_GetMonotonicMS() + ms;
  while (aTime_GetMonotonicMS() < end) {
    if (aLink_GetStatus(id) == status) return true;
    aTime_MSSleep(5);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s SERIAL ADDRESS MUTE_SERIAL\n", argv[0]);
    return 2;
  }
  const uint32_t serial = static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 16));
  uint8_t address = static_cast<uint8_t>(std::strtoul(argv[2], nullptr, 0));
  const uint32_t mute = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 16));

  // A USB link is resynchronised right after it starts, and then carries requests.
  uint32_t id = aLink_CreateUSB(serial);
  CHECK(id != 0, "no USB link to %08X", serial);
  if (id) {
    CHECK(aLink_GetStatus(id) == aLinkStatusRunning, "link not running: %u", aLink_GetStatus(id));
    aPacket* req = aPacket_CreateWithData(aLinkPresenceAddress, 0, &address);
    CHECK(aLink_PutPacket(id, req) == aErrNone, "put failed");
    aPacket_Destroy(&req);
    aPacket* reply = aLink_AwaitFirst(id, isEmptyFrom, &address, 2000);
    CHECK(reply != nullptr, "no presence answer over USB");
    aPacket_Destroy(&reply);
  }

  // A module that never answers the sync request: creation gives up after about 2 s.
  const uint64_t t0 = aTime_GetMonotonicMS();
  uint32_t muteId = aLink_CreateUSB(mute);
  const uint64_t took = aTime_GetMonotonicMS() - t0;
  CHECK(muteId == 0, "a link to the module that never syncs was made");
  CHECK(took >= 1900 && took < 15000, "creation gave up after %llu ms",
        static_cast<unsigned long long>(took));
  std::printf("mute module: creation failed after %llu ms\n", static_cast<unsigned long long>(took));

  // REBOOT makes the module leave the bus: the reader sees I/O errors.
  if (id) {
    const uint8_t reboot[] = {95, 6};
    aPacket* p = aPacket_CreateWithData(address, 2, reboot);
    CHECK(aLink_PutPacket(id, p) == aErrNone, "reboot put failed");
    aPacket_Destroy(&p);
    CHECK(waitForStatus(id, aLinkStatusIOError, 10000), "unplug not seen: status %u",
          aLink_GetStatus(id));
    aLink_Destroy(&id);
  }
  return failures ? 1 : 0;
}
