#include "aFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
constexpr uint32_t kFileMarker = 0xFEED;

// The last transfer on the stream. A stream opened for reading and writing needs a
// positioning call between a write and a following read (and the other way round).
enum class LastOp { None, Read, Write };
}  // namespace

struct aFile {
  uint32_t marker;  // kFileMarker while open, 0 once closed
  FILE* stream;
  uint32_t mode;
  LastOp last;
};

static bool sValid(const aFile* f) { return f != nullptr && f->marker == kFileMarker; }
static bool sCanRead(const aFile* f) { return f->mode == aFileModeRead || f->mode == aFileModeAppend; }
static bool sCanWrite(const aFile* f) { return f->mode == aFileModeWrite || f->mode == aFileModeAppend; }

static void sSwitchTo(aFile* f, LastOp op) {
  if (f->last != LastOp::None && f->last != op) fseeko(f->stream, 0, SEEK_CUR);
  f->last = op;
}

aFile* aFile_Open(const char* path, int mode) {
  if (path == nullptr || path[0] == '\0' || strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH)
    return nullptr;
  const char* how;
  switch (mode) {
    case aFileModeRead: how = "rb"; break;
    case aFileModeWrite: how = "wb"; break;
    case aFileModeAppend: how = "ab+"; break;
    default: return nullptr;
  }
  aFile* f = new (std::nothrow) aFile;
  if (f == nullptr) return nullptr;
  f->stream = fopen(path, how);
  if (f->stream == nullptr) {
    delete f;
    return nullptr;
  }
  if (mode == aFileModeAppend) fseeko(f->stream, 0, SEEK_END);
  f->mode = static_cast<uint32_t>(mode);
  f->last = LastOp::None;
  f->marker = kFileMarker;
  return f;
}

aErr aFile_Close(aFile** file) {
  if (file == nullptr || *file == nullptr) return aErrParam;
  aFile* f = *file;
  *file = nullptr;
  if (!sValid(f)) return aErrParam;
  aErr err = fclose(f->stream) == 0 ? aErrNone : aErrIO;
  f->marker = 0;
  delete f;
  return err;
}

aErr aFile_Read(aFile* file, void* buffer, size_t length, size_t* count) {
  if (!sValid(file) || buffer == nullptr) return aErrParam;
  if (!sCanRead(file)) return aErrMode;
  sSwitchTo(file, LastOp::Read);
  size_t n = fread(buffer, 1, length, file->stream);
  if (count != nullptr) *count = n;
  return (n == 0 && length > 0) ? aErrEOF : aErrNone;
}

aErr aFile_Write(aFile* file, const void* data, size_t length, size_t* count) {
  if (!sValid(file) || (data == nullptr && length > 0)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  sSwitchTo(file, LastOp::Write);
  size_t n = length > 0 ? fwrite(data, 1, length, file->stream) : 0;
  if (count != nullptr) *count = n;
  return n < length ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
  if (!sValid(file) || buffer == nullptr || length == nullptr) return aErrParam;
  *length = 0;
  if (size > 0) buffer[0] = '\0';
  if (size < 2) return aErrParam;
  if (!sCanRead(file)) return aErrMode;
  sSwitchTo(file, LastOp::Read);
  FILE* s = file->stream;
  size_t n = 0;
  bool newline = false;
  while (n < size - 1) {
    int c = getc(s);
    if (c == EOF) break;
    buffer[n++] = static_cast<char>(c);
    if (c == '\n') {
      newline = true;
      break;
    }
  }
  buffer[n] = '\0';
  *length = n;
  if (ferror(s)) return aErrIO;
  if (n == 0) return aErrEOF;
  if (!newline && n == size - 1) {
    // Full buffer: the line goes on unless the file ends right here.
    int c = getc(s);
    if (c == EOF) return ferror(s) ? aErrIO : aErrNone;
    ungetc(c, s);
    return aErrOverrun;
  }
  return aErrNone;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
  if (!sValid(file) || format == nullptr) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  sSwitchTo(file, LastOp::Write);
  va_list ap;
  va_start(ap, format);
  int rc = vfprintf(file->stream, format, ap);
  va_end(ap);
  return rc < 0 ? aErrIO : aErrNone;
}

// Size of the stream, restoring the position; -1 on failure.
static off_t sSize(FILE* s) {
  off_t here = ftello(s);
  if (here < 0 || fseeko(s, 0, SEEK_END) != 0) return -1;
  off_t end = ftello(s);
  if (fseeko(s, here, SEEK_SET) != 0) return -1;
  return end;
}

aErr aFile_Seek(aFile* file, int64_t offset, int origin) {
  if (!sValid(file)) return aErrParam;
  off_t here = ftello(file->stream);
  off_t size = here < 0 ? -1 : sSize(file->stream);
  if (here < 0 || size < 0) return aErrIO;
  int64_t base = origin == aSeekFromCurrent ? here : origin == aSeekFromEnd ? size : 0;
  // Offsets so large that base + offset would overflow are out of range anyway.
  if ((offset > 0 && offset > INT64_MAX - base) || base + offset < 0 || base + offset > size)
    return aErrRange;
  if (fseeko(file->stream, static_cast<off_t>(base + offset), SEEK_SET) != 0) return aErrIO;
  file->last = LastOp::None;
  return ftello(file->stream) < 0 ? aErrIO : aErrNone;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
  if (!sValid(file) || size == nullptr) return aErrParam;
  *size = 0;
  off_t n = sSize(file->stream);
  if (n < 0) return aErrIO;
  file->last = LastOp::None;
  *size = static_cast<size_t>(n);
  return aErrNone;
}

aErr aFile_GetPosition(aFile* file, size_t* position) {
  if (!sValid(file) || position == nullptr) return aErrParam;
  off_t here = ftello(file->stream);
  if (here < 0) return aErrIO;
  if (here > 0) *position = static_cast<size_t>(here);
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
  if (!sValid(file)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

bool aFile_Exists(const char* path) {
  if (path == nullptr || strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return false;
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}
