#include "aUEI.h"

#include <cstring>

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 8);
  buffer[1] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
  return static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
  buffer[0] = static_cast<uint8_t>(value >> 24);
  buffer[1] = static_cast<uint8_t>(value >> 16);
  buffer[2] = static_cast<uint8_t>(value >> 8);
  buffer[3] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
  return (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16) |
         (static_cast<uint32_t>(buffer[2]) << 8) | buffer[3];
}

void aUEI_ModifyIntBuffer(uint32_t* buffer, uint32_t count) {
  if (buffer == nullptr) {
    return;
  }
  for (uint32_t i = 0; i < count; i++) {
    uint8_t bytes[4];
    memcpy(bytes, &buffer[i], 4);
    buffer[i] = aUEI_RetrieveInt(bytes);
  }
}

// The last data byte of a packet, or 0 for a packet without data.
static uint8_t sLastByte(const aPacket* packet) {
  if (packet == nullptr || packet->length == 0 || packet->length > aPACKET_MAX_DATA) {
    return 0;
  }
  return packet->data[packet->length - 1];
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) { return sLastByte(packet) & 0x7F; }

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
  return static_cast<uint8_t>(sLastByte(packet) >> 7);
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (packet == nullptr) {
    return false;
  }
  // Commands that belong to the link itself (sync, heartbeat, routing and the like) rather
  // than to a typed message.
  switch (packet->data[0]) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24:
    case 73: case 94: case 95: case 173: case 175:
      return true;
    default:
      return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* packet) { return !aUEI_isNotUEIPayload(packet); }

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->length > 4 && aUEI_isUEIPayload(packet) &&
         (packet->data[1] & 0xC0) == 0 && (packet->data[2] & 0x40) != 0;
}
