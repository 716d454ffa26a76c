#include "BirdWriter.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace birdwriter {

void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

std::vector<uint8_t> EncodeBlocks(const std::vector<Block>& blocks) {
  std::vector<uint8_t> out;
  PutBE32(out, static_cast<uint32_t>(blocks.size()));
  for (const auto& b : blocks) {
    out.push_back(static_cast<uint8_t>((b.type & 0x1F) | ((b.flags & 7) << 5)));
    PutBE32(out, static_cast<uint32_t>(b.data.size()));
    out.insert(out.end(), b.data.begin(), b.data.end());
  }
  return out;
}

void AppendChecksum(std::vector<uint8_t>& content) {
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, content.data(), static_cast<uInt>(content.size()));
  PutBE32(content, static_cast<uint32_t>(crc));
}

std::vector<uint8_t> Wrap(const std::vector<uint8_t>& content, uint16_t format, const char* signature) {
  std::vector<uint8_t> out(signature, signature + 4);
  out.push_back(static_cast<uint8_t>(format >> 8));
  out.push_back(static_cast<uint8_t>(format));
  uLongf zlen = compressBound(static_cast<uLong>(content.size()));
  std::vector<uint8_t> z(zlen);
  compress2(z.data(), &zlen, content.data(), static_cast<uLong>(content.size()), Z_BEST_COMPRESSION);
  out.insert(out.end(), z.begin(), z.begin() + static_cast<long>(zlen));
  return out;
}

Block CodeBlock(uint8_t type, uint32_t address, const std::vector<uint8_t>& code, uint8_t flags) {
  Block b;
  b.type = type;
  b.flags = flags;
  PutBE32(b.data, address);
  b.data.insert(b.data.end(), code.begin(), code.end());
  return b;
}

Block SerialOffsetsBlock(uint32_t serialOffset, uint32_t descriptorOffset) {
  Block b;
  b.type = 2;
  PutBE32(b.data, serialOffset);
  PutBE32(b.data, descriptorOffset);
  return b;
}

Block IdentityBlock(const std::string& build, const std::string& version, uint32_t serial,
                    const std::string& model, bool* ok) {
  char serialText[9];
  std::snprintf(serialText, sizeof serialText, "%08X", serial);
  // The reader takes the build and version from the first 15 bytes of their fields.
  bool fits = build.size() <= 15 && version.size() <= 15 && model.size() <= 16;
  if (ok) *ok = fits;
  Block b;
  b.type = 4;
  b.data.assign(64, ' ');
  auto put = [&](size_t at, const std::string& text) {
    std::memcpy(b.data.data() + at, text.data(), std::min<size_t>(text.size(), 16));
  };
  put(0, build);
  put(16, version);
  put(32, serialText);
  put(48, model);
  return b;
}

Block LoaderStartBlock(uint32_t address) {
  Block b;
  b.type = 5;
  PutBE32(b.data, address);
  return b;
}

bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  auto fail = [&](const char* what, const std::string& p) {
    if (error) *error = std::string(what) + " " + p + ": " + std::strerror(errno);
    return false;
  };
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail("cannot create", tmp);
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int saved = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      errno = saved;
      return fail("cannot write", tmp);
    }
    done += static_cast<size_t>(n);
  }
  bool synced = ::fsync(fd) == 0;
  bool closed = ::close(fd) == 0;
  if (!synced || !closed) {
    int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    return fail("cannot write", tmp);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    return fail("cannot rename over", path);
  }
  return true;
}

}  // namespace birdwriter
