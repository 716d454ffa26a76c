#pragma once
// Replacing a file whole: the bytes go to a hidden temporary file in the same folder, which
// is flushed to disk and then renamed over the destination. A crash or a full disk leaves
// either the old file or the complete new one, never a truncated one.

#include <cstddef>
#include <string>

#include "aErr.h"

// aErrNone on success; aErrNotFound when the temporary file cannot be created (the folder
// is missing or not writable); aErrIO when writing, flushing or renaming fails. The
// system error number of the failure goes to `sysError` when it is not null.
aErr ReplaceFileWhole(const std::string& path, const void* bytes, size_t length, int* sysError = nullptr);
