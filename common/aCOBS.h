#pragma once
// Consistent Overhead Byte Stuffing: removes every zero byte from a block so that a zero
// can delimit frames. Each run of up to 254 nonzero bytes is preceded by a code byte that
// gives the distance to the next (implied) zero; code 0xFF closes a run of 254 bytes with
// no implied zero.

#include <cstddef>
#include <cstdint>

// Largest encoded size of length source bytes.
#define COBS_ENCODED_MAX(length) ((length) + (length) / 254 + 1)

// Encodes length bytes into destination (room for COBS_ENCODED_MAX(length) bytes);
// returns the encoded length.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);
// Encodes in place within a buffer of capacity bytes; returns the encoded length, or 0 when
// the encoded block would not fit.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length, size_t capacity);
// Decodes one frame (without its zero delimiter); returns the decoded length, or 0 for a
// malformed frame. The destination needs room for length bytes.
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
