#pragma once
// The packet debug log: a byte ring of entries (tag byte, length byte, payload) that keeps
// the most recent traffic. Old entries are dropped to make room for new ones. A log is not
// locked; its owner serialises access.

#include <cstdint>

#include "aErr.h"

typedef struct aPacketLog aPacketLog;

aPacketLog* aPacketLog_Create(uint32_t size);
// aErrOverrun when length + 2 is not smaller than the ring size (the entry could never fit).
aErr aPacketLog_Put(aPacketLog* log, uint8_t tag, uint8_t length, const uint8_t* payload);
// Removes the oldest entry. *size is the buffer size on entry and the payload length on
// return; aErrOverrun leaves the entry in place; aErrNotFound when the log is empty.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* tag, uint32_t* size, uint8_t* buffer);
// Set and cleared by the link's packet-debug calls; put and get ignore it.
void aPacketLog_SetEnabled(aPacketLog* log, bool enabled);
bool aPacketLog_IsEnabled(const aPacketLog* log);
aErr aPacketLog_Destroy(aPacketLog** log);
