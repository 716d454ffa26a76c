// Reading attribute files line by line; lines of any length are read whole.
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "KeyValueStore.h"
#include "Log.h"
#include "aFile.h"

bool KeyValueStore::ReadFile(const char* file, int* sysError) {
  *sysError = 0;
  struct stat st;
  if (::stat(file, &st) != 0) {
    *sysError = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *sysError = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  errno = 0;
  aFile* f = aFile_Open(file, aFileModeRead);
  if (!f) {
    *sysError = errno ? errno : EIO;
    return false;
  }
  char chunk[2048];
  std::string line;
  bool ok = true;
  for (;;) {
    size_t len = 0;
    aErr err = aFile_ReadLine(f, chunk, sizeof chunk, &len);
    if (err == aErrOverrun) {
      // The buffer is full and the line goes on: keep the part and read the rest.
      line.append(chunk, len);
      continue;
    }
    if (err == aErrEOF) {
      if (!line.empty()) ParseLine(line);
      break;
    }
    if (err != aErrNone) {
      // A file read only in part must not be saved back over the whole.
      Log::log(DEBUG_Attributes, "Attibutes: Error (%d) reading attributes file: '%s'\n",
               static_cast<int>(err), file);
      *sysError = EIO;
      ok = false;
      break;
    }
    line.append(chunk, len);
    ParseLine(line);
    line.clear();
  }
  aFile_Close(&f);
  return ok;
}
