// COBS framing and CRC-8.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "aCOBS.h"
#include "aCRC8.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Range(int from, int to) {  // inclusive
  Bytes b;
  for (int i = from; i <= to; i++) b.push_back(static_cast<uint8_t>(i));
  return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct CobsCase {
  std::string name;
  Bytes plain;
  Bytes encoded;
};

std::vector<CobsCase> Cases() {
  return {
      {"empty", {}, {0x01}},
      {"one zero", {0x00}, {0x01, 0x01}},
      {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
      {"zero inside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
      {"no zero", {0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
      {"trailing zeros", {0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
      {"packet with crc", {0x04, 0x00, 0x3B}, {0x02, 0x04, 0x02, 0x3B}},
      {"254 nonzero", Range(1, 254), Cat({0xFF}, Range(1, 254))},
      {"zero then 254", Cat({0x00}, Range(1, 254)), Cat({0x01, 0xFF}, Range(1, 254))},
      {"255 nonzero", Range(1, 255), Cat(Cat({0xFF}, Range(1, 254)), {0x02, 0xFF})},
  };
}

TEST(Cobs, EncodesAndDecodesKnownFrames) {
  for (const auto& c : Cases()) {
    Bytes out(COBS_ENCODED_MAX(c.plain.size()) + 1, 0xEE);
    size_t n = cobs_encode(c.plain.data(), c.plain.size(), out.data());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), c.encoded) << c.name;

    Bytes inplace = c.plain;
    inplace.resize(c.encoded.size(), 0xEE);
    EXPECT_EQ(cobs_encode_inplace(inplace.data(), c.plain.size(), inplace.size()),
              c.encoded.size()) << c.name;
    EXPECT_EQ(inplace, c.encoded) << c.name;
    if (!c.encoded.empty()) {
      Bytes tight = c.plain;
      tight.resize(c.encoded.size() - 1);
      EXPECT_EQ(cobs_encode_inplace(tight.data(), c.plain.size(), tight.size()), 0u) << c.name;
    }

    Bytes decoded(c.encoded.size(), 0xEE);
    n = cobs_decode(c.encoded.data(), c.encoded.size(), decoded.data());
    EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + n), c.plain) << c.name;
    Bytes again = c.encoded;
    n = cobs_decode_inplace(again.data(), again.size());
    EXPECT_EQ(Bytes(again.begin(), again.begin() + n), c.plain) << c.name;
  }
}

TEST(Cobs, RejectsMalformedFrames) {
  const std::vector<Bytes> bad = {
      {0x05, 0x11, 0x22},  // code points past the end
      {0x02, 0x00},        // zero inside a frame
      {0x00},              // zero code
  };
  for (const auto& frame : bad) {
    uint8_t out[16];
    EXPECT_EQ(cobs_decode(frame.data(), frame.size(), out), 0u);
  }
}

TEST(Crc8, CheckValues) {
  const std::string digits = "123456789", abc = "abc";
  auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  EXPECT_EQ(crc8_create(bytes(digits), digits.size()), 0xA1);
  EXPECT_EQ(crc8_create(bytes(abc), abc.size()), 0x42);
  const uint8_t image[2] = {0x04, 0x00};
  EXPECT_EQ(crc8_create(image, 2), 0x3B);
  EXPECT_TRUE(crc8_check(image, 2, 0x3B));
  EXPECT_FALSE(crc8_check(image, 2, 0x3C));
  uint8_t running = 0;
  for (char ch : digits) running = crc8_update(running, static_cast<uint8_t>(ch));
  EXPECT_EQ(running, 0xA1);
}

}  // namespace
