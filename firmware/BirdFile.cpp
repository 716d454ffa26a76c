#include "BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "Log.h"

unsigned int GetInt(const unsigned char* p) {
  return (static_cast<unsigned int>(p[0]) << 24) | (static_cast<unsigned int>(p[1]) << 16) |
         (static_cast<unsigned int>(p[2]) << 8) | static_cast<unsigned int>(p[3]);
}

unsigned short GetShort(const unsigned char* p) {
  return static_cast<unsigned short>((p[0] << 8) | p[1]);
}

namespace {

uint32_t getLE32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void putLE32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

bool isCodeBlock(const BirdBlock& b) {
  return b.type == BirdFile::BLOCK_LOADER || b.type == BirdFile::BLOCK_FIRMWARE;
}

// Number of code bytes after the address word; 0 for a block too short to hold the word.
uint32_t codeLength(const BirdBlock& b) { return b.length >= 4 ? b.length - 4 : 0; }

constexpr unsigned kIdentityFieldSize = 16;

}  // namespace

BirdFile::BirdFile(const char* p) : path(p ? p : "") {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::LoadFromMemory(const unsigned char* bytes, size_t size) {
  blocks.clear();
  blockCount = 0;
  checksum = 0;
  hasSerialOffsets = false;
  serialNumberOffset = 0;
  descriptorOffset = 0;
  signature = 0;
  version = 0;
  if (!bytes || size <= 6) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - file of %zu bytes is too short\n", size);
    return false;
  }
  signature = GetInt(bytes);
  version = GetShort(bytes + 4);
  if (!DecompressData(bytes + 6, size - 6)) return false;
  ScanBlocks(buffer.get(), bufferSize);
  FindSerialNumberOffsets();
  hasSerialOffsets = !FindBlocks(BLOCK_SERIAL_OFFSETS).empty();
  return true;
}

bool BirdFile::DecompressData(const unsigned char* src, unsigned long len) {
  buffer.reset();
  bufferSize = 0;

  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  int rc = inflateInit(&zs);
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    return false;
  }

  // Start from a guess of eight times the compressed size and grow by doubling: padded
  // firmware compresses far better than 8:1, so the guess is only a starting point.
  size_t capacity = std::min<size_t>(std::max<size_t>(static_cast<size_t>(len) * 8, 64 * 1024),
                                     MAX_CONTENT_SIZE);
  auto* out = static_cast<unsigned char*>(std::malloc(capacity));
  if (!out) {
    inflateEnd(&zs);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
    return false;
  }

  const unsigned char* in = src;
  unsigned long inLeft = len;
  size_t produced = 0;
  bool tooLarge = false;
  for (;;) {
    if (zs.avail_in == 0 && inLeft > 0) {
      zs.next_in = const_cast<unsigned char*>(in);
      zs.avail_in = static_cast<uInt>(std::min<unsigned long>(inLeft, UINT_MAX));
      in += zs.avail_in;
      inLeft -= zs.avail_in;
    }
    if (produced == capacity) {
      if (capacity >= MAX_CONTENT_SIZE) {
        // Full at the bound: any further output means the content is too large.
        unsigned char probe;
        zs.next_out = &probe;
        zs.avail_out = 1;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (zs.avail_out == 0) {
          tooLarge = true;
          break;
        }
        if (rc == Z_STREAM_END) break;
        if (rc == Z_BUF_ERROR) {
          if (inLeft > 0) continue;
          rc = Z_DATA_ERROR;  // the stream ends before its end marker
          break;
        }
        if (rc != Z_OK) {
          if (rc == Z_NEED_DICT) rc = Z_DATA_ERROR;
          break;
        }
        continue;
      }
      size_t grown = std::min<size_t>(capacity * 2, MAX_CONTENT_SIZE);
      auto* bigger = static_cast<unsigned char*>(std::realloc(out, grown));
      if (!bigger) {
        rc = Z_MEM_ERROR;
        break;
      }
      out = bigger;
      capacity = grown;
    }
    zs.next_out = out + produced;
    zs.avail_out = static_cast<uInt>(std::min<size_t>(capacity - produced, UINT_MAX));
    uInt before = zs.avail_out;
    rc = inflate(&zs, Z_NO_FLUSH);
    produced += before - zs.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR && zs.avail_out != 0) {
      // No progress with room to spare: the input ran out before the stream's end.
      if (inLeft > 0) continue;
      rc = Z_DATA_ERROR;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      if (rc == Z_NEED_DICT) rc = Z_DATA_ERROR;
      break;
    }
  }
  inflateEnd(&zs);

  if (tooLarge) {
    std::free(out);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - decompressed content exceeds %u bytes.\n",
             MAX_CONTENT_SIZE);
    return false;
  }
  if (rc != Z_STREAM_END) {
    std::free(out);
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    return false;
  }
  buffer.reset(out);
  bufferSize = static_cast<uint32_t>(produced);
  return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, unsigned int size) {
  blocks.clear();
  blockCount = 0;
  checksum = 0;
  if (!data || size < 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(size) - 4);
    return false;
  }
  bool ok = true;
  const uint32_t declared = GetInt(data);
  size_t pos = 4;
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(declared));
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  while (size - pos > 4) {
    BirdBlock b;
    b.type = data[pos] & BIRD_FILE_TYPE_MASK;
    b.flags = static_cast<uint8_t>((data[pos] & BIRD_FILE_FLAG_MASK) >> 5);
    b.length = GetInt(data + pos + 1);
    size_t dataPos = pos + 5;
    if (b.length > size - dataPos) {
      // The block claims more bytes than the content holds: it is dropped, not read.
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Block %u of length %u runs past the end of the data (%zu bytes left)\n",
               blockCount, b.length, size - dataPos);
      break;
    }
    b.data = const_cast<unsigned char*>(data + dataPos);
    if (isCodeBlock(b) && b.length >= 4) b.address = GetInt(b.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", b.type, b.flags,
             static_cast<int>(b.length));
    if (b.type == BLOCK_IDENTITY) {
      for (unsigned f = 0; f + kIdentityFieldSize <= b.length && f < 4 * kIdentityFieldSize;
           f += kIdentityFieldSize) {
        char field[kIdentityFieldSize + 1];
        std::memcpy(field, b.data + f, kIdentityFieldSize);
        field[kIdentityFieldSize] = '\0';
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field);
      }
    }
    pos = dataPos + b.length;
    ++blockCount;
    blocks.push_back(b);
  }

  // The checksum follows the last block read; what remains after it must be nothing.
  if (size - pos >= 4) {
    checksum = GetInt(data + pos);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  }
  long long remaining = static_cast<long long>(size) - static_cast<long long>(pos) - 4;
  if (remaining != 0) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(remaining));
    ok = false;
  }
  if (blockCount != declared) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             static_cast<int>(blockCount), static_cast<int>(declared));
    ok = false;
  }
  return ok;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const auto& b : blocks)
    if (b.type == type) found.push_back(b);
  return found;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  for (const auto& b : blocks) {
    if (b.type != BLOCK_SERIAL_OFFSETS) continue;
    serialNumberOffset = b.length >= 4 ? GetInt(b.data) : 0;
    descriptorOffset = b.length >= 8 ? GetInt(b.data + 4) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
    return true;
  }
  return false;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", serial);
  const uint64_t S = serialNumberOffset;
  const uint64_t D = descriptorOffset;
  bool result = false;
  for (auto& b : blocks) {
    if (b.type != BLOCK_FIRMWARE) continue;
    const uint64_t A = b.address;
    const uint64_t E = A + codeLength(b);  // one past the last code address
    unsigned char* code = b.data + 4;
    if (S != 0) {
      if (A <= S && S + 4 <= E) {
        unsigned char* at = code + (S - A);
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                 getLE32(at), serial);
        putLE32(at, serial);
      }
      result = true;
    }
    if (D != 0 && A <= D && D + 16 <= E) {
      unsigned char* at = code + (D - A);
      for (int k = 0; k < 8; ++k) at[2 * k] = static_cast<unsigned char>(digits[k]);
      result = true;
    }
  }
  return result;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (auto& b : blocks) {
    if (b.type != BLOCK_FIRMWARE || b.address != 0 || codeLength(b) < 32) continue;
    unsigned char* code = b.data + 4;
    uint32_t sum = 0;
    for (int w : {0, 1, 2, 3, 4, 6}) sum += getLE32(code + 4 * w);
    uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             getLE32(code + 28), value);
    putLE32(code + 28, value);
  }
  return true;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int key[4]) {
  unsigned char K[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) K[4 * w + i] = static_cast<unsigned char>(key[w] >> (24 - 8 * i));
  for (auto& b : blocks) {
    if (b.type != BLOCK_FIRMWARE) continue;
    unsigned char* code = b.data + 4;
    const uint32_t n = codeLength(b);
    unsigned char previous = 0;
    for (uint32_t i = 0; i < n; ++i) {
      code[i] = static_cast<unsigned char>(code[i] ^ K[i & 15] ^ previous);
      previous = code[i];
    }
  }
  return true;
}

bool BirdFile::ValidateData(const unsigned char* pattern, unsigned int count) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern && count > 0) {
    for (const auto& b : blocks) {
      if (b.type != BLOCK_FIRMWARE || b.length < count) continue;
      for (uint32_t i = 0; i <= b.length - count; ++i) {
        if (std::memcmp(b.data + i, pattern, count) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

bool BirdFile::CopyIdentityField(unsigned offset, unsigned count, char* out) const {
  out[0] = '\0';
  for (const auto& b : blocks) {
    if (b.type != BLOCK_IDENTITY) continue;
    if (offset + count > b.length) return false;
    std::memcpy(out, b.data + offset, count);
    out[count] = '\0';
    return true;
  }
  return false;
}

bool BirdFile::ValidateModel(const char* model) const {
  char field[kIdentityFieldSize + 1];
  if (!model || !CopyIdentityField(48, kIdentityFieldSize, field)) return false;
  for (int i = kIdentityFieldSize - 1; i >= 0 && field[i] == ' '; --i) field[i] = '\0';
  size_t n = std::strlen(model);
  if (n > kIdentityFieldSize || std::memcmp(field, model, n) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model);
  return true;
}

unsigned int BirdFile::GetSerialNumber() const {
  char field[9];
  if (!CopyIdentityField(32, 8, field)) return 0;
  return static_cast<unsigned int>(std::strtoul(field, nullptr, 16));
}

unsigned int BirdFile::GetBuild() const {
  char field[16];
  if (!CopyIdentityField(0, 15, field)) return 0;
  return static_cast<unsigned int>(std::strtoul(field, nullptr, 10));
}

std::string BirdFile::GetVersion() const {
  char field[16];
  if (!CopyIdentityField(16, 15, field)) return std::string();
  for (char& c : field)
    if (c == ' ') c = '\0';
  return std::string(field);
}

std::string BirdFile::GetModel() const {
  char field[kIdentityFieldSize + 1];
  if (!CopyIdentityField(48, kIdentityFieldSize, field)) return std::string();
  std::string model(field);
  while (!model.empty() && model.back() == ' ') model.pop_back();
  return model;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type, FILE* out) const {
  std::fprintf(out, "BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  for (const auto& b : blocks) {
    if (b.type != type) continue;
    char text[51];
    size_t textLen = 0;
    text[0] = '\0';
    for (uint32_t i = 0; i < b.length; ++i) {
      if (i % 50 == 0) {
        std::fprintf(out, " %s\r\n%06u: ", text, i);
        textLen = 0;
        text[0] = '\0';
      }
      unsigned char c = b.data[i];
      std::fprintf(out, "%02X ", c);
      text[textLen++] = std::isprint(c) ? static_cast<char>(c) : ' ';
      text[textLen] = '\0';
    }
    std::fprintf(out, " %s\n", text);
  }
  std::fprintf(out, "\n");
  return true;
}
