#include "FileReplace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {
std::atomic<unsigned> sTempCounter{0};
}

aErr ReplaceFileWhole(const std::string& path, const void* bytes, size_t length, int* sysError) {
  if (sysError) *sysError = 0;
  // Hidden name beside the destination, so a leftover never shows up in a store listing.
  std::string::size_type slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmp;
  int fd = -1;
  // A leftover of a crashed run may hold the name; a few fresh names get past it.
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    tmp = dir + "." + base + ".tmp" + std::to_string(getpid()) + "." +
          std::to_string(sTempCounter.fetch_add(1));
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    if (sysError) *sysError = errno;
    return aErrNotFound;
  }
  auto failIO = [&](int err) {
    if (sysError) *sysError = err;
    ::unlink(tmp.c_str());
    return static_cast<aErr>(aErrIO);
  };
  const char* p = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      return failIO(err);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    int err = errno;
    ::close(fd);
    return failIO(err);
  }
  if (::close(fd) != 0) return failIO(errno);
  if (::rename(tmp.c_str(), path.c_str()) != 0) return failIO(errno);
  return aErrNone;
}
