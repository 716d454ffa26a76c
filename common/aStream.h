#pragma once
// Byte streams: the one transport abstraction under every link. A stream holds up to four
// operations (get one byte, put one byte, write many bytes, delete) and the transport's own
// state, plus a put-back buffer that lets a reader undo a partial read.
//
// Codes that carry meaning between a transport and the generic layer: aErrNotReady (no byte
// available now; try again), aErrEOF (no more bytes will come), aErrConnection (the
// transport is not connected). A stream is not locked: one reader and one writer may use
// it at the same time; the put-back buffer belongs to the reading side.

#include <cstddef>
#include <cstdint>

#include "aErr.h"

#define aSTREAM_MARKER 0x4321

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);

typedef struct aStream aStream;

// Any of the operations may be null.
aStream* aStream_Create(aStreamGetProc getProc, aStreamPutProc putProc,
                        aStreamWriteProc writeProc, aStreamDeleteProc deleteProc, void* ref);
// Reads exactly count bytes. All or nothing: when the transport runs dry part-way
// (aErrNotReady) the bytes read are put back and aErrNotReady is returned.
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t count);
// On a stream with both operations a single byte goes through put, more through write.
aErr aStream_Write(aStream* stream, const uint8_t* data, size_t count);
// Reads one record ended by the terminator (not stored) or cut at maxLength bytes.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);
// Copies bytes from source to destination until the source reports aErrEOF (aErrNone) or
// another error (returned).
aErr aStream_Flush(aStream* source, aStream* destination);
// Deletes the transport (its result is the result) and frees the stream.
aErr aStream_Destroy(aStream** stream);

// Puts one byte back; the next reads return put-back bytes first, in the order they were
// put back.
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

// Stream kinds.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);
// address: IPv4 in network byte order; port in host byte order.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
// speedIndex 0..7 = 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400 baud;
// dataBits 0 = 8 bits, 1 = 7 bits; stopBits 0 = one, 1 = two.
aErr aStream_CreateSerial(const char* path, uint32_t speedIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** stream);
// A serial port carrying packets as COBS frames with a CRC-8.
aErr aStream_CreateSerial_Packetized(const char* path, uint32_t speedIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream);
// A COBS-framing stream over another byte transport's operations.
aErr aStream_CreateCobsEncoding(aStreamGetProc getProc, aStreamPutProc putProc,
                                aStreamWriteProc writeProc, aStreamDeleteProc deleteProc,
                                void* ref, aStream** stream);
