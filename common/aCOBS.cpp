#include "aCOBS.h"

namespace {

// Runs the encoder over length input bytes. Input bytes are fetched through get(i) and
// output goes through put(position, byte); the encoder never writes a position before it
// has fetched every input byte up to that position plus one.
template <typename Get, typename Put>
size_t sEncode(size_t length, Get get, Put put) {
  const size_t kClosed = ~static_cast<size_t>(0);
  size_t out = 1;     // next free output position
  size_t codeAt = 0;  // position of the open block's code byte
  uint8_t code = 1;   // distance from the code byte to the next zero
  for (size_t i = 0; i < length; i++) {
    uint8_t byte = get(i, out);
    if (byte != 0) {
      put(out++, byte);
      code++;
    }
    if (byte == 0 || code == 0xFF) {
      put(codeAt, code);
      code = 1;
      // A full block at the very end of the input needs no further code byte.
      if (byte == 0 || i + 1 < length) {
        codeAt = out++;
      } else {
        codeAt = kClosed;
      }
    }
  }
  if (codeAt != kClosed) {
    put(codeAt, code);
  }
  return out;
}

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
  if ((source == nullptr && length > 0) || destination == nullptr) {
    return 0;
  }
  return sEncode(
      length, [&](size_t i, size_t) { return source[i]; },
      [&](size_t position, uint8_t byte) { destination[position] = byte; });
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length, size_t capacity) {
  if (buffer == nullptr) {
    return 0;
  }
  size_t needed = sEncode(
      length, [&](size_t i, size_t) { return buffer[i]; }, [](size_t, uint8_t) {});
  if (needed > capacity) {
    return 0;
  }
  // The output runs ahead of the input by one byte, plus one for every full 254-byte block,
  // so input bytes are read ahead into a small ring before the output overwrites them.
  uint8_t ring[256];
  if (length / 254 + 3 > sizeof ring) {
    return 0;
  }
  size_t fetched = 0;  // input bytes copied into the ring so far
  return sEncode(
      length,
      [&](size_t i, size_t out) {
        // Save every input byte the next two output positions could overwrite.
        while (fetched < length && fetched <= out + 1) {
          ring[fetched % sizeof ring] = buffer[fetched];
          fetched++;
        }
        return ring[i % sizeof ring];
      },
      [&](size_t position, uint8_t byte) { buffer[position] = byte; });
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
  if ((source == nullptr && length > 0) || destination == nullptr) {
    return 0;
  }
  // Decoding never writes ahead of the byte it reads, so source and destination may be
  // the same buffer.
  size_t in = 0, out = 0;
  while (in < length) {
    uint8_t code = source[in++];
    if (code == 0 || in + code - 1 > length) {
      return 0;
    }
    for (uint8_t i = 1; i < code; i++) {
      if (source[in] == 0) {
        return 0;
      }
      destination[out++] = source[in++];
    }
    if (code != 0xFF && in < length) {
      destination[out++] = 0;
    }
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
  return cobs_decode(buffer, length, buffer);
}
