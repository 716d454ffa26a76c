#pragma once
// One module packet: a module address, a length and up to 28 data bytes. Packets are
// built whole or assembled byte by byte as they arrive from a stream.
//
// The wire image of a packet is its address byte, its length byte and its data bytes.

#include <cstddef>
#include <cstdint>

#include "aErr.h"

#define aPACKET_MARKER 0xBEEF
#define aPACKET_MAX_DATA 28
// Wire image of the largest packet: address, length and 28 data bytes.
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

// A plain record; the link engine and the message layer read its fields directly. Every
// aPacket_ operation checks the marker first.
typedef struct aPacket {
  uint16_t marker;   // aPACKET_MARKER while the packet is alive
  uint8_t count;     // bytes added by aPacket_AddByte (address and length included)
  uint8_t address;   // module address; 0 means not yet set
  uint8_t length;    // number of data bytes, 0 to 28
  uint8_t data[aPACKET_MAX_DATA];
} aPacket;

// Packet test: true (nonzero) when the packet matches; ref is the caller's own pointer.
typedef bool (*aPacketTestProc)(const aPacket* packet, void* ref);

aPacket* aPacket_Create(void);
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
aPacket* aPacket_Copy(const aPacket* packet);
aErr aPacket_Reset(aPacket* packet);
// Adds one received byte: address first, then length, then the data bytes. After an error
// the packet must be reset before it is used again.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count);
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);
aErr aPacket_Destroy(aPacket** packet);
