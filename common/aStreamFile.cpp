// File streams: a file read byte by byte, or a file written (created or truncated).
#include "aFile.h"
#include "aStream.h"

namespace {

aErr sFileGet(uint8_t* byte, void* ref) {
  return aFile_Read(static_cast<aFile*>(ref), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* ref) {
  return aFile_Write(static_cast<aFile*>(ref), data, length, nullptr);
}

aErr sFilePut(uint8_t byte, void* ref) { return sFileWrite(&byte, 1, ref); }

aErr sFileDelete(void* ref) {
  aFile* file = static_cast<aFile*>(ref);
  return aFile_Close(&file);
}

aErr sCreate(const char* path, int mode, aStream** stream) {
  if (path == nullptr || stream == nullptr) {
    return aErrResource;
  }
  *stream = nullptr;
  aFile* file = aFile_Open(path, mode);
  if (file == nullptr) {
    return aErrResource;
  }
  *stream = mode == aFileModeRead
                ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
  if (*stream == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
  return sCreate(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
  return sCreate(path, aFileModeWrite, stream);
}
