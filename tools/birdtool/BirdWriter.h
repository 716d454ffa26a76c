#pragma once
// A small BIRD file writer, separate from the library's reader so that a fault in one
// cannot hide behind the same fault in the other. The trailing checksum is the CRC-32
// (zlib's crc32) of every content byte before it.

#include <cstdint>
#include <string>
#include <vector>

namespace birdwriter {

struct Block {
  uint8_t type = 0;   // 0-31
  uint8_t flags = 0;  // 0-7
  std::vector<uint8_t> data;
};

void PutBE32(std::vector<uint8_t>& out, uint32_t v);

// Block count followed by the blocks, without the checksum.
std::vector<uint8_t> EncodeBlocks(const std::vector<Block>& blocks);
// Appends the CRC-32 of `content` to it.
void AppendChecksum(std::vector<uint8_t>& content);
// Header ("bird" and the format word) followed by `content` compressed as one zlib stream.
std::vector<uint8_t> Wrap(const std::vector<uint8_t>& content, uint16_t format = 0x0101,
                          const char* signature = "bird");

// Data of a loader or firmware block: the big-endian address word, then the code.
Block CodeBlock(uint8_t type, uint32_t address, const std::vector<uint8_t>& code, uint8_t flags = 0);
Block SerialOffsetsBlock(uint32_t serialOffset, uint32_t descriptorOffset);
// Four 16-byte fields padded with spaces; false in `ok` when a field does not fit.
Block IdentityBlock(const std::string& build, const std::string& version, uint32_t serial,
                    const std::string& model, bool* ok = nullptr);
Block LoaderStartBlock(uint32_t address);

// Writes `bytes` to a temporary file beside `path` and renames it over `path`, so the
// destination is either the old file or the whole new one. Sets `error` on failure.
bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace birdwriter
