#pragma once
// The raw serial port behind the serial and COBS serial streams (shared by the two
// constructors; not for other callers).

#include <cstdint>

#include "aStream.h"

struct aSerialPort;

// Opens and configures the port; the result is aErrNone with *port set, or the open error.
aErr sStreamOpenSerial(const char* path, uint32_t speedIndex, bool parity, uint32_t dataBits,
                       uint32_t stopBits, aSerialPort** port);
aErr sSerialGet(uint8_t* byte, void* ref);
aErr sSerialPut(uint8_t byte, void* ref);
aErr sSerialWrite(const uint8_t* data, size_t length, void* ref);
// Restores the settings found at open, closes the port and frees its state.
aErr sSerialDelete(void* ref);
