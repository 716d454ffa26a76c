// Feeds arbitrary received bytes to a COBS stream. Whatever it hands out must be the wire
// images of frames with a good CRC: each image's length byte matches its size, and writing
// the image through a second COBS stream yields a frame that decodes back to it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aCOBS.h"
#include "aCRC8.h"
#include "aStream.h"

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

aErr Get(uint8_t* byte, void* ref) {
  auto* in = static_cast<Input*>(ref);
  if (in->pos >= in->size) return aErrNotReady;
  *byte = in->data[in->pos++];
  return aErrNone;
}

std::vector<uint8_t> gWritten;
aErr Write(const uint8_t* data, size_t length, void*) {
  gWritten.insert(gWritten.end(), data, data + length);
  return aErrNone;
}

void CheckImage(const std::vector<uint8_t>& image) {
  if (image.size() < 2 || image.size() != size_t(image[1]) + 2) abort();
  gWritten.clear();
  aStream* out = nullptr;
  if (aStream_CreateCobsEncoding(nullptr, nullptr, Write, nullptr, nullptr, &out) != aErrNone) abort();
  aStream_Write(out, image.data(), image.size());
  aStream_Destroy(&out);
  if (image[0] == 0 || image[1] > 27) return;  // not a packet the writer sends
  if (gWritten.empty() || gWritten.back() != 0) abort();
  std::vector<uint8_t> decoded(gWritten.size());
  size_t n = cobs_decode(gWritten.data(), gWritten.size() - 1, decoded.data());
  if (n != image.size() + 1 || memcmp(decoded.data(), image.data(), image.size()) != 0 ||
      decoded[n - 1] != crc8_create(image.data(), image.size())) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input = {data, size, 0};
  aStream* stream = nullptr;
  if (aStream_CreateCobsEncoding(Get, nullptr, nullptr, nullptr, &input, &stream) != aErrNone) return 0;
  std::vector<uint8_t> image;
  size_t idle = 0;
  // Each get consumes at most one input byte or hands out one decoded byte, so this ends.
  while (idle < 2) {
    uint8_t byte;
    aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrNone) {
      image.push_back(byte);
      if (image.size() >= 2 && image.size() == size_t(image[1]) + 2) {
        CheckImage(image);
        image.clear();
      }
      continue;
    }
    if (!image.empty()) abort();  // a frame is handed out whole before anything else
    if (input.pos >= input.size) idle++;
  }
  aStream_Destroy(&stream);

  // The codec alone: whatever decodes must encode back to the same frame.
  std::vector<uint8_t> out(size + 1), again(COBS_ENCODED_MAX(size) + 1);
  size_t n = cobs_decode(data, size, out.data());
  if (n > 0) {
    size_t m = cobs_encode(out.data(), n, again.data());
    std::vector<uint8_t> back(m);
    if (cobs_decode(again.data(), m, back.data()) != n || memcmp(back.data(), out.data(), n) != 0)
      abort();
  }
  return 0;
}
