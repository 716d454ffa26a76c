// Feeds arbitrary byte sequences to packet assembly the way a link's reader does: add bytes
// until the packet is complete or reports an error, then start a new packet. Every complete
// packet must give back exactly the bytes that built it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "aPacket.h"
#include "aUEI.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return 0;
  uint8_t fed[64];
  size_t count = 0;
  for (size_t i = 0; i < size; i++) {
    aErr err = aPacket_AddByte(packet, data[i]);
    if (count < sizeof fed) fed[count] = data[i];
    count++;
    if (err != aErrNone) {
      if (aPacket_IsComplete(packet)) abort();  // an error never leaves a whole packet
      aPacket_Reset(packet);
      count = 0;
      continue;
    }
    if (!aPacket_IsComplete(packet)) continue;
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t n = 0;
    if (aPacket_GetBytes(packet, wire, sizeof wire, &n) != aErrNone) abort();
    if (n != count || n != size_t(packet->length) + 2 || memcmp(wire, fed, n) != 0) abort();
    aPacket* copy = aPacket_Copy(packet);
    if (copy == nullptr || !aPacket_IsComplete(copy)) abort();
    uint8_t b;
    aPacket_GetCmd(copy, &b);
    aPacket_GetOption(copy, &b);
    aPacket_GetIndex(copy, &b);
    (void)aUEI_getBytesSequence(copy);
    (void)aUEI_isStreamPacket(copy);
    aPacket_Destroy(&copy);
    aPacket_Reset(packet);
    count = 0;
  }
  aPacket_Destroy(&packet);
  return 0;
}
