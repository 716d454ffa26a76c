#pragma once
// Buffered files.

#include <cstddef>
#include <cstdint>

#include "aErr.h"

typedef struct aFile aFile;

typedef enum {
  aFileModeRead = 0,    // "rb"
  aFileModeWrite = 1,   // "wb": create or truncate
  aFileModeAppend = 2,  // "ab+", positioned at the end; reads and writes
  aFileModeInvalid = 3,
} aFileMode;

typedef enum {
  aSeekFromStart = 0,
  aSeekFromCurrent = 1,
  aSeekFromEnd = 2,  // any other value counts from the start
} aFileSeekMode;

// Longest path the file functions accept.
#define aFILE_MAX_PATH 4096

// A new open file, or null when the path is null, empty or longer than aFILE_MAX_PATH, the
// mode is not one of the three open modes, memory runs out or the file cannot be opened.
aFile* aFile_Open(const char* path, int mode);

// Closes the file, frees the record and sets *file to null (also when it was invalid, which
// is then not freed). aErrParam for a null or invalid handle; aErrIO when data still
// buffered could not be written out.
aErr aFile_Close(aFile** file);

// Reads up to length bytes (read and append modes, else aErrMode). The count read is stored
// when count is not null. Nothing read while length > 0 gives aErrEOF; a null buffer aErrParam.
aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count);

// Writes length bytes (write and append modes, else aErrMode); the count written is stored
// when count is not null. A write that stores fewer than length bytes gives aErrIO.
aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count);

// Reads one line, newline included, into buffer (read and append modes). The length read is
// stored in *length (0 first; the buffer is emptied first). End of file with nothing read
// gives aErrEOF, another read failure aErrIO. A line that fills the buffer (length =
// size - 1) with more of it still to come gives aErrOverrun; the part read stays in the
// buffer and the rest is read by the next call. A last line without a newline that exactly
// fills the buffer is complete (aErrNone). aErrParam for a null buffer or length, or a size
// below 2.
aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length);

// Formatted write (write and append modes); aErrIO when the write fails.
aErr aFile_Printf(aFile* file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Moves to origin + offset. aErrRange (position unchanged) for a target before the start or
// beyond the end; aErrIO when the position or size cannot be read or the move fails.
aErr aFile_Seek(aFile* file, int64_t offset, int origin);

// The file's size in bytes; the position is left where it was. aErrParam for a null size
// pointer; aErrIO (and size 0) when the stream fails.
aErr aFile_GetSize(aFile* file, size_t* size);

// The current position; stored only when it is greater than 0 (callers preset 0). aErrIO
// when it cannot be read.
aErr aFile_GetPosition(aFile* file, size_t* position);

// Switches the stream to unbuffered (write and append modes; else, or on failure, aErrMode).
aErr aFile_SetUnbuffered(aFile* file);

// True when the path is not null, at most aFILE_MAX_PATH long, exists and is not a directory.
bool aFile_Exists(const char* path);

// Removes a file. aErrParam for a null path; aErrFileNameLength when it is longer than
// aFILE_MAX_PATH; aErrNotFound when missing; aErrPermission when access is denied; aErrIO
// for another failure.
aErr aFile_Delete(const char* path);
