#include "aStream.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const size_t kPutBackStep = 512;
// Reads of up to this many bytes use a buffer on the stack.
const size_t kSmallRead = 64;

}  // namespace

struct aStream {
  uint16_t marker;
  aStreamGetProc getProc;
  aStreamPutProc putProc;
  aStreamWriteProc writeProc;
  aStreamDeleteProc deleteProc;
  void* ref;
  // Put-back ring; reading side only.
  uint8_t* putBack;
  size_t capacity;
  size_t held;
  size_t readPos;
  size_t writePos;
};

static bool sIsValid(const aStream* stream) {
  return stream != nullptr && stream->marker == aSTREAM_MARKER;
}

aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc,
                        aStreamWriteProc writeProc, aStreamDeleteProc deleteProc, void* ref) {
  aStream* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
  if (stream == nullptr) {
    return nullptr;
  }
  stream->marker = aSTREAM_MARKER;
  stream->getProc = getProc;
  stream->putProc = putProc;
  stream->writeProc = writeProc;
  stream->deleteProc = deleteProc;
  stream->ref = ref;
  return stream;
}

aErr aStreamBufferChar(aStream* stream, uint8_t byte) {
  if (!sIsValid(stream)) {
    return aErrParam;
  }
  if (stream->putBack == nullptr || stream->held + 1 >= stream->capacity) {
    // Grow by one step, unwrapping the held bytes to the start of the new ring.
    size_t capacity = stream->capacity + kPutBackStep;
    uint8_t* grown = static_cast<uint8_t*>(malloc(capacity));
    if (grown == nullptr) {
      return aErrMemory;
    }
    for (size_t i = 0; i < stream->held; i++) {
      grown[i] = stream->putBack[(stream->readPos + i) % stream->capacity];
    }
    free(stream->putBack);
    stream->putBack = grown;
    stream->capacity = capacity;
    stream->readPos = 0;
    stream->writePos = stream->held;
  }
  stream->putBack[stream->writePos] = byte;
  stream->writePos = (stream->writePos + 1) % stream->capacity;
  stream->held++;
  return aErrNone;
}

// The next byte: put-back bytes first, then the transport.
static aErr sStreamGetBufferedChar(aStream* stream, uint8_t* byte) {
  if (stream->held > 0) {
    *byte = stream->putBack[stream->readPos];
    stream->readPos = (stream->readPos + 1) % stream->capacity;
    stream->held--;
    return aErrNone;
  }
  return stream->getProc(byte, stream->ref);
}

// Returns bytes to the front of the put-back buffer, so they are read again before
// anything already held.
static aErr sUnget(aStream* stream, const uint8_t* bytes, size_t count) {
  if (stream->held == 0) {
    for (size_t i = 0; i < count; i++) {
      aErr err = aStreamBufferChar(stream, bytes[i]);
      if (err != aErrNone) {
        return err;
      }
    }
    return aErrNone;
  }
  // Rare: bytes are held already. Take them out, queue ours, then queue them again.
  uint8_t* rest = static_cast<uint8_t*>(malloc(stream->held));
  if (rest == nullptr) {
    return aErrMemory;
  }
  size_t restCount = stream->held;
  for (size_t i = 0; i < restCount; i++) {
    sStreamGetBufferedChar(stream, &rest[i]);
  }
  aErr err = aErrNone;
  for (size_t i = 0; i < count && err == aErrNone; i++) {
    err = aStreamBufferChar(stream, bytes[i]);
  }
  for (size_t i = 0; i < restCount && err == aErrNone; i++) {
    err = aStreamBufferChar(stream, rest[i]);
  }
  free(rest);
  return err;
}

aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t count) {
  if (!sIsValid(stream) || buffer == nullptr) {
    return aErrParam;
  }
  if (stream->getProc == nullptr) {
    return aErrMode;
  }
  uint8_t small[kSmallRead];
  uint8_t* bytes = small;
  if (count > kSmallRead) {
    bytes = static_cast<uint8_t*>(malloc(count));
    if (bytes == nullptr) {
      return aErrResource;
    }
  }
  aErr err = aErrNone;
  size_t got = 0;
  while (got < count) {
    err = sStreamGetBufferedChar(stream, &bytes[got]);
    if (err != aErrNone) {
      break;
    }
    got++;
  }
  if (err == aErrNotReady && got > 0) {
    aErr undo = sUnget(stream, bytes, got);
    if (undo != aErrNone) {
      err = undo;
    }
  } else if (err == aErrNone || err == aErrEOF) {
    memcpy(buffer, bytes, got);
  }
  if (bytes != small) {
    free(bytes);
  }
  return err;
}

aErr aStream_Write(aStream* stream, const uint8_t* data, size_t count) {
  if (!sIsValid(stream) || data == nullptr) {
    return aErrParam;
  }
  if (stream->writeProc == nullptr && stream->putProc == nullptr) {
    return aErrMode;
  }
  if (stream->writeProc != nullptr && (count > 1 || stream->putProc == nullptr)) {
    return stream->writeProc(data, count, stream->ref);
  }
  for (size_t i = 0; i < count; i++) {
    aErr err = stream->putProc(data[i], stream->ref);
    if (err != aErrNone) {
      return err;
    }
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength) {
  if (!sIsValid(stream) || buffer == nullptr || terminator == nullptr || terminatorLength == 0) {
    return aErrParam;
  }
  if (stream->getProc == nullptr && stream->held == 0) {
    return aErrMode;
  }
  uint8_t* stored = static_cast<uint8_t*>(malloc(maxLength + terminatorLength + 1));
  if (stored == nullptr) {
    return aErrResource;
  }
  // Everything consumed so far (stored bytes and matched terminator bytes), so that a read
  // that runs dry can be undone exactly.
  uint8_t* consumed = static_cast<uint8_t*>(malloc(maxLength + terminatorLength + 1));
  if (consumed == nullptr) {
    free(stored);
    return aErrResource;
  }
  size_t count = 0, consumedCount = 0, matched = 0;
  aErr err = aErrNone;
  while (count < maxLength) {
    uint8_t byte;
    err = stream->held > 0 || stream->getProc != nullptr ? sStreamGetBufferedChar(stream, &byte)
                                                          : aErr(aErrEOF);
    if (err != aErrNone) {
      break;
    }
    consumed[consumedCount++] = byte;
    if (byte == terminator[matched]) {
      if (++matched == terminatorLength) {
        break;
      }
      continue;
    }
    if (matched > 0) {
      // A terminator that was only partly matched: its first byte is data, and the search
      // starts again with the bytes after it.
      stored[count++] = terminator[0];
      size_t again = matched;  // terminator[1..matched) and this byte
      uint8_t replay[64];
      bool small = again <= sizeof replay;
      uint8_t* r = small ? replay : static_cast<uint8_t*>(malloc(again));
      if (r == nullptr) {
        err = aErrResource;
        break;
      }
      memcpy(r, terminator + 1, matched - 1);
      r[matched - 1] = byte;
      matched = 0;
      consumedCount -= again;
      err = sUnget(stream, r, again);
      if (!small) free(r);
      if (err != aErrNone) {
        break;
      }
      continue;
    }
    stored[count++] = byte;
  }
  if (err == aErrEOF && count > 0) {
    err = aErrNone;
  }
  if (err == aErrNotReady) {
    aErr undo = consumedCount > 0 ? sUnget(stream, consumed, consumedCount) : aErr(aErrNone);
    if (undo != aErrNone) {
      err = undo;
    }
  } else if (err == aErrNone || err == aErrEOF) {
    memcpy(buffer, stored, count);
    if (length != nullptr) {
      *length = count;
    }
  }
  free(stored);
  free(consumed);
  return err;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
  if (data == nullptr || terminator == nullptr || terminatorLength == 0) {
    return aErrParam;
  }
  aErr err = length > 0 ? aStream_Write(stream, data, length) : aErr(aErrNone);
  if (err == aErrNone) {
    err = aStream_Write(stream, terminator, terminatorLength);
  }
  return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
  static const uint8_t kZero = 0;
  return aStream_ReadCStringRecord(stream, buffer, size, reinterpret_cast<const char*>(&kZero));
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
  if (text == nullptr) {
    return aErrParam;
  }
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator) {
  if (buffer == nullptr || size == 0 || terminator == nullptr) {
    return aErrParam;
  }
  // An empty terminator text stands for the zero byte.
  size_t terminatorLength = strlen(terminator);
  const uint8_t zero = 0;
  const uint8_t* term = terminatorLength > 0 ? reinterpret_cast<const uint8_t*>(terminator) : &zero;
  size_t length = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1, term,
                                terminatorLength > 0 ? terminatorLength : 1);
  buffer[err == aErrNone || err == aErrEOF ? length : 0] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
  if (text == nullptr || terminator == nullptr) {
    return aErrParam;
  }
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                             reinterpret_cast<const uint8_t*>(terminator), strlen(terminator) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
  if (!sIsValid(source) || !sIsValid(destination)) {
    return aErrParam;
  }
  if (source->getProc == nullptr || destination->putProc == nullptr) {
    return aErrMode;
  }
  for (;;) {
    uint8_t byte;
    aErr err = sStreamGetBufferedChar(source, &byte);
    if (err == aErrEOF) {
      return aErrNone;
    }
    if (err != aErrNone) {
      return err;
    }
    err = destination->putProc(byte, destination->ref);
    if (err != aErrNone) {
      return err;
    }
  }
}

aErr aStream_Destroy(aStream** stream) {
  if (stream == nullptr || !sIsValid(*stream)) {
    return aErrParam;
  }
  aStream* s = *stream;
  aErr err = s->deleteProc != nullptr ? s->deleteProc(s->ref) : aErr(aErrNone);
  free(s->putBack);
  s->marker = 0;
  free(s);
  *stream = nullptr;
  return err;
}
