// Reading BIRD files from disk; the in-memory work is in BirdFile.cpp.
#include <cstring>
#include <memory>

#include "BirdFile.h"
#include "Log.h"
#include "aFile.h"

namespace {
struct FileCloser {
  void operator()(aFile* f) const { aFile_Close(&f); }
};
using FileHandle = std::unique_ptr<aFile, FileCloser>;
}  // namespace

bool BirdFile::Load() {
  const char* p = path.c_str();
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", p);
  if (!aFile_Exists(p)) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", p);
    return false;
  }
  FileHandle file(aFile_Open(p, aFileModeRead));
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", p);
    return false;
  }
  size_t size = 0;
  aErr err = aFile_GetSize(file.get(), &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
             static_cast<int>(err), p);
    return false;
  }
  if (size > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s is %zu bytes, more than a bird file can be\n", p,
             size);
    return false;
  }
  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[size ? size : 1]);
  if (!bytes) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(aErrMemory), p);
    return false;
  }
  size_t got = 0;
  if (size > 0) {
    err = aFile_Read(file.get(), bytes.get(), size, &got);
    if (err != aErrNone) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(err), p);
      return false;
    }
  }
  if (got != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", p, got,
             size);
    return false;
  }
  return LoadFromMemory(bytes.get(), size);
}

bool BirdFile::VerifyFile(const char* p) {
  FileHandle file(aFile_Open(p, aFileModeRead));
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", p ? p : "");
    return false;
  }
  unsigned char header[6];
  size_t got = 0;
  if (aFile_Read(file.get(), header, sizeof header, &got) != aErrNone || got != sizeof header)
    return false;
  return std::memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 && header[4] != 0 && header[5] != 0;
}
