#include "aPacketLog.h"

#include <cstdlib>

struct aPacketLog {
  uint8_t enabled;
  uint8_t* buffer;
  uint32_t size;        // ring capacity; one byte always stays free
  uint32_t readIndex;   // oldest entry
  uint32_t writeIndex;  // where the next entry starts; == readIndex when empty
};

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size == 0) {
    return nullptr;
  }
  aPacketLog* log = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
  if (log == nullptr) {
    return nullptr;
  }
  log->buffer = static_cast<uint8_t*>(malloc(size));
  if (log->buffer == nullptr) {
    free(log);
    return nullptr;
  }
  log->size = size;
  return log;
}

static uint32_t sUsed(const aPacketLog* log) {
  return (log->writeIndex + log->size - log->readIndex) % log->size;
}

static uint8_t sByteAt(const aPacketLog* log, uint32_t index) {
  return log->buffer[index % log->size];
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t tag, uint8_t length, const uint8_t* payload) {
  if (log == nullptr || (payload == nullptr && length > 0)) {
    return aErrParam;
  }
  uint32_t entry = static_cast<uint32_t>(length) + 2;
  if (entry >= log->size) {
    return aErrOverrun;
  }
  while (entry >= log->size - sUsed(log)) {
    uint32_t oldLength = sByteAt(log, log->readIndex + 1);
    log->readIndex = (log->readIndex + 2 + oldLength) % log->size;
  }
  log->buffer[log->writeIndex] = tag;
  log->writeIndex = (log->writeIndex + 1) % log->size;
  log->buffer[log->writeIndex] = length;
  log->writeIndex = (log->writeIndex + 1) % log->size;
  for (uint32_t i = 0; i < length; i++) {
    log->buffer[log->writeIndex] = payload[i];
    log->writeIndex = (log->writeIndex + 1) % log->size;
  }
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* tag, uint32_t* size, uint8_t* buffer) {
  if (log == nullptr || tag == nullptr || size == nullptr) {
    return aErrParam;
  }
  if (log->readIndex == log->writeIndex) {
    return aErrNotFound;
  }
  uint8_t length = sByteAt(log, log->readIndex + 1);
  uint32_t room = *size;
  *size = length;
  if (length > room) {
    return aErrOverrun;
  }
  if (buffer == nullptr && length > 0) {
    return aErrParam;
  }
  *tag = sByteAt(log, log->readIndex);
  for (uint32_t i = 0; i < length; i++) {
    buffer[i] = sByteAt(log, log->readIndex + 2 + i);
  }
  log->readIndex = (log->readIndex + 2 + length) % log->size;
  return aErrNone;
}

void aPacketLog_SetEnabled(aPacketLog* log, bool enabled) {
  if (log != nullptr) {
    log->enabled = enabled ? 1 : 0;
  }
}

bool aPacketLog_IsEnabled(const aPacketLog* log) { return log != nullptr && log->enabled != 0; }

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) {
    return aErrNone;
  }
  free((*log)->buffer);
  free(*log);
  *log = nullptr;
  return aErrNone;
}
