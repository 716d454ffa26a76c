// COBS stream: packets travel as frames, each the packet's wire image followed by its
// CRC-8, COBS-encoded and ended by a zero byte. An encoded frame holds at most 31 bytes, so
// packets of up to 27 data bytes pass; a longer one is dropped when written and rejected
// when received.
#include <cstring>
#include <new>

#include "aCOBS.h"
#include "aCRC8.h"
#include "aPacket.h"
#include "aStream.h"

namespace {

const uint16_t kCobsMarker = 0xC0B5;
const size_t kMaxFrame = 31;  // encoded bytes before the zero

struct CobsStream {
  uint16_t marker = kCobsMarker;
  aStreamGetProc getProc = nullptr;
  aStreamPutProc putProc = nullptr;
  aStreamWriteProc writeProc = nullptr;
  aStreamDeleteProc deleteProc = nullptr;
  void* ref = nullptr;
  // Receiving side.
  uint8_t rx[kMaxFrame + 1] = {};
  size_t rxLength = 0;
  bool frameReady = false;
  size_t readPos = 0;
  size_t frameLength = 0;
  // Writing side.
  aPacket* collecting = nullptr;
  uint8_t tx[kMaxFrame + 1] = {};
  size_t txLength = 0;
};

CobsStream* sState(void* ref) {
  auto* s = static_cast<CobsStream*>(ref);
  return s != nullptr && s->marker == kCobsMarker ? s : nullptr;
}

aErr sUnderlyingWrite(CobsStream* s, const uint8_t* data, size_t length) {
  if (s->writeProc != nullptr) {
    return s->writeProc(data, length, s->ref);
  }
  if (s->putProc == nullptr) {
    return aErrMode;
  }
  for (size_t i = 0; i < length; i++) {
    aErr err = s->putProc(data[i], s->ref);
    if (err != aErrNone) {
      return err;
    }
  }
  return aErrNone;
}

aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* ref) {
  CobsStream* s = sState(ref);
  if (s == nullptr || (data == nullptr && length > 0)) {
    return aErrParam;
  }
  aErr result = aErrNone;
  for (size_t i = 0; i < length; i++) {
    if (aPacket_AddByte(s->collecting, data[i]) != aErrNone) {
      // A byte that does not fit a packet drops the partial packet, so the next packet
      // starts cleanly with its address byte.
      aPacket_Reset(s->collecting);
      continue;
    }
    if (!aPacket_IsComplete(s->collecting)) {
      continue;
    }
    size_t image = 0;
    aPacket_GetBytes(s->collecting, s->tx, sizeof s->tx, &image);
    aPacket_Reset(s->collecting);
    s->tx[image] = crc8_create(s->tx, image);
    s->txLength = cobs_encode_inplace(s->tx, image + 1, kMaxFrame);
    if (s->txLength == 0) {
      continue;  // too long for a frame
    }
    s->tx[s->txLength++] = 0;
    aErr err = sUnderlyingWrite(s, s->tx, s->txLength);
    if (err != aErrNone) {
      result = err;
    }
  }
  return result;
}

aErr sCobsStreamGet(uint8_t* byte, void* ref) {
  CobsStream* s = sState(ref);
  if (s == nullptr || byte == nullptr) {
    return aErrParam;
  }
  if (s->frameReady) {
    *byte = s->rx[s->readPos++];
    if (s->readPos >= s->frameLength) {
      s->frameReady = false;
      s->rxLength = 0;
    }
    return aErrNone;
  }
  uint8_t in = 0;
  if (s->getProc == nullptr || s->getProc(&in, s->ref) != aErrNone) {
    return aErrNotReady;
  }
  if (in != 0) {
    if (s->rxLength < kMaxFrame) {
      s->rx[s->rxLength++] = in;  // bytes of an over-long frame are dropped
    } else {
      s->rxLength = kMaxFrame + 1;  // marks the frame as too long
    }
    return aErrNotReady;
  }
  if (s->rxLength == 0) {
    return aErrNotReady;
  }
  size_t length = s->rxLength;
  s->rxLength = 0;
  if (length > kMaxFrame) {
    return aErrPacket;
  }
  size_t n = cobs_decode_inplace(s->rx, length);
  if (n <= 2 || n != static_cast<size_t>(s->rx[1]) + 3 || !crc8_check(s->rx, n - 1, s->rx[n - 1])) {
    return aErrPacket;
  }
  // The wire image is handed out one byte per call, starting with the next call.
  s->frameLength = n - 1;
  s->readPos = 0;
  s->frameReady = true;
  return aErrNotReady;
}

aErr sCobsStreamPut(uint8_t byte, void* ref) {
  CobsStream* s = sState(ref);
  if (s == nullptr) {
    return aErrParam;
  }
  return s->putProc != nullptr ? s->putProc(byte, s->ref) : aErr(aErrMode);
}

aErr sCobsStreamDelete(void* ref) {
  CobsStream* s = sState(ref);
  if (s == nullptr) {
    return aErrParam;
  }
  aErr err = s->deleteProc != nullptr ? s->deleteProc(s->ref) : aErr(aErrNone);
  aPacket_Destroy(&s->collecting);
  s->marker = 0;
  delete s;
  return err;
}

}  // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                                void* ref, aStream** stream) {
  if (stream == nullptr) {
    return aErrParam;
  }
  *stream = nullptr;
  auto* s = new (std::nothrow) CobsStream();
  if (s == nullptr) {
    return aErrMemory;
  }
  s->collecting = aPacket_Create();
  if (s->collecting == nullptr) {
    delete s;
    return aErrMemory;
  }
  s->getProc = getProc;
  s->putProc = putProc;
  s->writeProc = writeProc;
  s->deleteProc = deleteProc;
  s->ref = ref;
  *stream = aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, s);
  if (*stream == nullptr) {
    aPacket_Destroy(&s->collecting);
    delete s;
    return aErrMemory;
  }
  return aErrNone;
}
