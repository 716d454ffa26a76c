#include "aPacket.h"

#include <cstdlib>
#include <cstring>

static bool sIsValid(const aPacket* packet) {
  return packet != nullptr && packet->marker == aPACKET_MARKER;
}

aPacket* aPacket_Create(void) {
  aPacket* packet = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
  if (packet != nullptr) {
    packet->marker = aPACKET_MARKER;
  }
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKET_MAX_DATA) {
    return nullptr;
  }
  aPacket* packet = aPacket_Create();
  if (packet != nullptr) {
    packet->address = address;
    packet->length = length;
    packet->count = static_cast<uint8_t>(length + 2);
    memcpy(packet->data, data, length);
  }
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!sIsValid(packet)) {
    return nullptr;
  }
  aPacket* copy = aPacket_Create();
  if (copy != nullptr) {
    // A copy is always a whole packet, even if the source was still being assembled.
    uint8_t length = packet->length > aPACKET_MAX_DATA ? aPACKET_MAX_DATA : packet->length;
    copy->address = packet->address;
    copy->length = length;
    copy->count = static_cast<uint8_t>(length + 2);
    memcpy(copy->data, packet->data, length);
  }
  return copy;
}

aErr aPacket_Reset(aPacket* packet) {
  if (!sIsValid(packet)) {
    return aErrParam;
  }
  packet->count = 0;
  packet->address = 0;
  packet->length = 0;
  memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!sIsValid(packet)) {
    return aErrParam;
  }
  // The count saturates so that a packet fed garbage without a reset cannot wrap around
  // and start accepting bytes again.
  if (packet->count < 0xFF) {
    packet->count++;
  }
  if (packet->count > aPACKET_MAX_WIRE) {
    return aErrOverrun;
  }
  if (packet->address == 0) {
    if (byte == 0) {
      return aErrPacket;
    }
    packet->address = byte;
    return aErrNone;
  }
  if (packet->length == 0 && packet->count == 2) {
    packet->length = byte;
    return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
  }
  if (packet->length > aPACKET_MAX_DATA || packet->count > packet->length + 2) {
    return aErrPacket;
  }
  packet->data[packet->count - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return sIsValid(packet) && packet->length <= aPACKET_MAX_DATA &&
         packet->count == packet->length + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count) {
  if (!sIsValid(packet) || buffer == nullptr || packet->length > aPACKET_MAX_DATA) {
    return aErrParam;
  }
  size_t needed = static_cast<size_t>(packet->length) + 2;
  if (size < needed) {
    return aErrOverrun;
  }
  buffer[0] = packet->address;
  buffer[1] = packet->length;
  memcpy(buffer + 2, packet->data, packet->length);
  if (count != nullptr) {
    *count = needed;
  }
  return aErrNone;
}

static aErr sGetByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask) {
  if (out == nullptr) {
    return aErrParam;
  }
  if (!sIsValid(packet) || packet->length <= position) {
    return aErrPacket;
  }
  *out = packet->data[position] & mask;
  return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) { return sGetByte(packet, cmd, 0, 0xFF); }

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sGetByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sGetByte(packet, index, 2, 0x1F);
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) {
    return aErrParam;
  }
  (*packet)->marker = 0;
  free(*packet);
  *packet = nullptr;
  return aErrNone;
}
