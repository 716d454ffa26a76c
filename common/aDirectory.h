#pragma once
// Directories and path joining.

#include <cstddef>
#include <cstdint>
#include <string>

#include "aErr.h"

// The path separator; functions that insert or look for a separator use its first character.
extern const char* aDIR_PATH_SEP;

// One entry of a directory listing, valid only during the callback.
typedef struct aDirectoryListData {
  const char* path;       // the listed directory joined with the entry's name
  uint32_t size;          // size in bytes as the file system reports it, cut to 32 bits
  uint32_t isDirectory;   // 1 for a directory, else 0
} aDirectoryListData;

// Called once per entry; returning false ends the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* ref);

// True when the path is not null, exists and is a directory.
bool aDirectory_Exists(const char* path);

// Creates the directory and every missing ancestor with the given mode. aErrNone when the
// directory exists afterwards, or when its last component exists as something other than a
// directory; aErrPermission when a creation failed; aErrParam for a null or empty path.
aErr aDirectory_Ensure(const char* path, uint16_t mode);

// Calls proc once per entry ("." and ".." included, in file-system order) until it returns
// false. Entries whose status cannot be read, or whose full path would not fit in 2048 bytes,
// are skipped. aErrNotFound when the directory cannot be opened; aErrParam for a null path or
// callback; else aErrNone.
aErr aDirectory_List(const char* path, aDirectoryListProc proc, void* ref);

// Removes an empty directory; aErrUnknown on failure, aErrParam for a null path.
aErr aDirectory_Delete(const char* path);

// Removes a directory and everything below it. Symbolic links are removed, never followed.
// aErrNotFound when the directory cannot be opened; otherwise the result of removing the
// directory itself at the end (aErrNone or aErrUnknown). The walk ends at the first failure.
aErr aDirectory_DeleteTree(const char* path);

// The current working directory; aErrParam when it cannot be read or does not fit.
aErr aDirectory_CWD(char* buffer, size_t size);

// The path of the running executable, cut to size - 1 characters and terminated; aErrRead
// when it cannot be read, aErrParam for a null buffer or a size of 0.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// The home directory of the current user: the password database entry of the real user id
// first, the environment variable HOME when there is none. The text is always terminated.
// aErrNone; aErrOverrun when it does not fit (the buffer then holds an empty text);
// aErrNotFound (empty text) when neither source gives one; aErrParam for a null buffer or
// a size of 0.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// Joins the components (the first and up to nine more, ended by a null pointer) into dest,
// inserting a separator only where neither side already has one. aErrParam for a null
// destination, a destination that is also a component, or more than ten components;
// aErrOverrun when the text does not fit (dest keeps what was joined so far). An empty
// first component gets no separator after it, so "" joined with "b" is "b".
aErr aDirectory_BuildPath(char* dest, size_t size, const char* first, ...);

// aDirectory_BuildPath with exactly two components.
aErr aDirectory_JoinPath(char* dest, size_t size, const char* first, const char* second);

// first, then the separator and each further argument up to the null pointer that ends the
// list. No length limit, and separators in the arguments are kept as they are.
std::string BuildPath(const char* first, ...);
