#include "aCRC8.h"

#include <array>

namespace {

constexpr std::array<uint8_t, 256> sMakeTable() {
  std::array<uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; i++) {
    unsigned crc = i;
    for (int bit = 0; bit < 8; bit++) {
      crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
    }
    table[i] = static_cast<uint8_t>(crc);
  }
  return table;
}

constexpr std::array<uint8_t, 256> _crc8LUT = sMakeTable();

}  // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte) { return _crc8LUT[crc ^ byte]; }

uint8_t crc8_create(const uint8_t* data, size_t length) {
  uint8_t crc = 0;
  if (data == nullptr) {
    return crc;
  }
  for (size_t i = 0; i < length; i++) {
    crc = crc8_update(crc, data[i]);
  }
  return crc;
}

bool crc8_check(const uint8_t* data, size_t length, uint8_t expected) {
  return crc8_create(data, length) == expected;
}
