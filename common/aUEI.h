#pragma once
// Byte helpers of the typed message layer: numbers stored most significant byte first in
// packet payloads, and the tests that classify packets. The packet tests read the length
// and data bytes without checking the packet's marker.

#include <cstdint>

#include "aPacket.h"

void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Turns count 32-bit words in place from most-significant-first byte order into host order.
void aUEI_ModifyIntBuffer(uint32_t* buffer, uint32_t count);

// Low 7 bits of the last data byte: the sequence number of a multi-packet transfer.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
// Bit 7 of the last data byte: 1 when more packets follow.
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// True when the packet carries a full payload (length 27 or 28).
bool aUEI_getBytesFullPacket(const aPacket* packet);
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// A stream sample: a message whose option byte has its top two bits clear and whose index
// byte has bit 6 set.
bool aUEI_isStreamPacket(const aPacket* packet);
