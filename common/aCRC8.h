#pragma once
// CRC-8 of serial frames: the Dallas/Maxim CRC-8 (reflected polynomial 0x8C, that is
// x^8 + x^5 + x^4 + 1, initial value 0, no final inversion), by table look-up.

#include <cstddef>
#include <cstdint>

uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* data, size_t length);
bool crc8_check(const uint8_t* data, size_t length, uint8_t expected);
