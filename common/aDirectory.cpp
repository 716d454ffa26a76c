#include "aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "aDebug.h"

const char* aDIR_PATH_SEP = "/";

namespace {
constexpr size_t kEntryPathSize = 2048;
constexpr int kMaxComponents = 10;

char sSep() { return aDIR_PATH_SEP[0]; }

// Index of the last occurrence of needle in text[0, textLen), or -1. An empty needle matches
// at the start; a needle longer than the text matches nowhere.
long backwards_memcmp(const char* text, size_t textLen, const char* needle) {
  size_t n = strlen(needle);
  if (n == 0) return 0;
  if (n > textLen) return -1;
  for (size_t i = textLen - n + 1; i-- > 0;) {
    if (memcmp(text + i, needle, n) == 0) return static_cast<long>(i);
  }
  return -1;
}
}  // namespace

bool aDirectory_Exists(const char* path) {
  struct stat st;
  return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint16_t mode) {
  if (path == nullptr || path[0] == '\0') return aErrParam;
  if (aDirectory_Exists(path)) return aErrNone;

  // Find the longest existing directory prefix that ends at a separator, cutting the copy
  // at one separator at a time from the end.
  std::vector<char> copy(path, path + strlen(path) + 1);
  char* text = copy.data();
  const char sepText[2] = {sSep(), '\0'};
  size_t start = 0;
  size_t searchLen = strlen(text);
  for (;;) {
    long cut = backwards_memcmp(text, searchLen, sepText);
    if (cut < 0) break;
    text[cut] = '\0';
    bool exists = aDirectory_Exists(text);
    text[cut] = sSep();
    if (exists) {
      start = static_cast<size_t>(cut) + 1;
      break;
    }
    searchLen = static_cast<size_t>(cut);
  }

  // Create each missing level from there on; empty components (doubled separators) are
  // skipped.
  aErr err = aErrNone;
  for (size_t i = start; text[i] != '\0'; ++i) {
    if (text[i] != sSep()) continue;
    if (i == 0 || text[i - 1] == sSep()) continue;
    text[i] = '\0';
    if (!aDirectory_Exists(text) && mkdir(text, mode) != 0 && errno != EEXIST) err = aErrPermission;
    text[i] = sSep();
    if (err != aErrNone) return err;
  }
  if (!aDirectory_Exists(text) && mkdir(text, mode) != 0 && errno != EEXIST) return aErrPermission;
  return aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref) {
  if (path == nullptr || proc == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  char full[kEntryPathSize];
  struct dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone) continue;
    struct stat st;
    if (stat(full, &st) != 0) continue;
    aDirectoryListData data;
    data.path = full;
    data.size = static_cast<uint32_t>(st.st_size);
    data.isDirectory = S_ISDIR(st.st_mode) ? 1u : 0u;
    if (!proc(&data, ref)) break;
  }
  closedir(dir);
  return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
  if (path == nullptr) return aErrParam;
  DIR* dir = opendir(path);
  if (dir == nullptr) return aErrNotFound;
  char full[kEntryPathSize];
  aErr err = aErrNone;
  struct dirent* entry;
  while (err == aErrNone && (entry = readdir(dir)) != nullptr) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone) {
      err = aErrUnknown;
      break;
    }
    // lstat: a link to a directory is removed as a link; its target is left alone.
    struct stat st;
    if (lstat(full, &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      err = aDirectory_DeleteTree(full);
    } else if (unlink(full) != 0) {
      if (aQuarkwireDebuggingEnable) {
        fprintf(stderr, "aDirectory_DeleteTree: %s\n", strerror(errno));
        printf("---error unlink-ing file [%s]\n", full);
        fflush(stdout);
      }
      err = aErrUnknown;
    }
  }
  closedir(dir);
  return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  return getcwd(buffer, size) != nullptr ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
  if (n < 0) {
    buffer[0] = '\0';
    return aErrRead;
  }
  buffer[n] = '\0';
  return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return aErrParam;
  buffer[0] = '\0';
  const char* home = nullptr;
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> scratch(16384);
  if (getpwuid_r(getuid(), &pw, scratch.data(), scratch.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
    home = found->pw_dir;
  } else {
    home = getenv("HOME");
  }
  if (home == nullptr || home[0] == '\0') return aErrNotFound;
  size_t len = strlen(home);
  if (len >= size) return aErrOverrun;
  memcpy(buffer, home, len + 1);
  return aErrNone;
}

// Joins a list of components already collected by the callers below.
static aErr sBuildPath(char* dest, size_t size, const char* const* parts, int count) {
  size_t firstLen = strlen(parts[0]);
  if (size < 2 || firstLen >= size - 1) return aErrOverrun;
  memcpy(dest, parts[0], firstLen + 1);
  size_t len = firstLen;
  for (int i = 1; i < count; ++i) {
    const char* part = parts[i];
    size_t room = size - len - 1;
    if (room > 1 && len > 0 && dest[len - 1] != sSep() && part[0] != sSep()) {
      dest[len++] = sSep();
      dest[len] = '\0';
      room--;
    }
    size_t partLen = strlen(part);
    if (partLen >= room) return aErrOverrun;
    memcpy(dest + len, part, partLen + 1);
    len += partLen;
  }
  return aErrNone;
}

static aErr sCheckAndBuild(char* dest, size_t size, const char* const* parts, int count) {
  if (dest == nullptr || parts[0] == nullptr) return aErrParam;
  for (int i = 0; i < count; ++i) {
    if (parts[i] == dest) return aErrParam;
  }
  if (size > 0) dest[0] = '\0';
  return sBuildPath(dest, size, parts, count);
}

aErr aDirectory_BuildPath(char* dest, size_t size, const char* first, ...) {
  const char* parts[kMaxComponents];
  parts[0] = first;
  int count = 1;
  bool tooMany = false;
  if (first != nullptr) {
    va_list ap;
    va_start(ap, first);
    for (;;) {
      const char* part = va_arg(ap, const char*);
      if (part == nullptr) break;
      if (count == kMaxComponents) {
        tooMany = true;
        break;
      }
      parts[count++] = part;
    }
    va_end(ap);
  }
  if (tooMany) {
    if (dest != nullptr && size > 0) dest[0] = '\0';
    return aErrParam;
  }
  return sCheckAndBuild(dest, size, parts, count);
}

aErr aDirectory_JoinPath(char* dest, size_t size, const char* first, const char* second) {
  if (second == nullptr) return aErrParam;
  const char* parts[2] = {first, second};
  return sCheckAndBuild(dest, size, parts, 2);
}

std::string BuildPath(const char* first, ...) {
  std::string path = first != nullptr ? first : "";
  if (first == nullptr) return path;
  va_list ap;
  va_start(ap, first);
  for (const char* part = va_arg(ap, const char*); part != nullptr;
       part = va_arg(ap, const char*)) {
    path += aDIR_PATH_SEP;
    path += part;
  }
  va_end(ap);
  return path;
}
