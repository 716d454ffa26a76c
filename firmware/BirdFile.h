#pragma once
// A BIRD firmware image: a six-byte header ("bird" and a 16-bit format word) followed by
// one zlib stream. The stream holds a block count, the typed blocks and a trailing 32-bit
// checksum. BirdFile loads the image, inflates it into one owned buffer and indexes the
// blocks; every BirdBlock points into that buffer, so a BirdFile is moved, never copied.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// Big-endian reads of the format's integers.
unsigned int GetInt(const unsigned char* p);
unsigned short GetShort(const unsigned char* p);

struct BirdBlock {
  uint8_t type = 0;     // 0-31
  uint8_t flags = 0;    // 0-7, handed unchanged to the transfer preparation
  uint32_t length = 0;  // number of data bytes
  uint32_t address = 0; // load address of loader and firmware blocks, else 0
  unsigned char* data = nullptr;  // first data byte inside the owning file's buffer
};

class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_OFFSETS = 2,
    BLOCK_IDENTITY = 4,
    BLOCK_LOADER_START = 5,
  };

  static constexpr const char* BIRD_FILE_SIGNATURE = "bird";
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  // Inflated content larger than this is refused: no real image comes near it, and it keeps
  // a hostile stream from taking all memory.
  static constexpr uint32_t MAX_CONTENT_SIZE = 64u * 1024u * 1024u;
  // A file larger than this cannot hold a stream of at most MAX_CONTENT_SIZE bytes.
  static constexpr uint32_t MAX_FILE_SIZE = MAX_CONTENT_SIZE + 1024u * 1024u;

  BirdFile() = default;
  // Loads the file; throws std::runtime_error("Failed to load bird data") when that fails.
  explicit BirdFile(const char* path);

  BirdFile(BirdFile&&) noexcept = default;
  BirdFile& operator=(BirdFile&&) noexcept = default;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // Reads, inflates and scans the file at `path`.
  bool Load();
  // Inflates and scans an image already in memory (header included); Load uses it after
  // reading the file.
  bool LoadFromMemory(const unsigned char* bytes, size_t size);
  // Quick header test: "bird" and two non-zero format bytes.
  static bool VerifyFile(const char* path);

  bool DecompressData(const unsigned char* src, unsigned long len);
  bool ScanBlocks(const unsigned char* data, unsigned int size);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  bool FindSerialNumberOffsets();
  bool ReplaceSerialNumber(unsigned int serial);
  bool ReplaceVectorChecksum();
  bool DecodeFirmwareBlocks(const unsigned int key[4]);
  bool ValidateData(const unsigned char* pattern, unsigned int count) const;
  bool ValidateModel(const char* model) const;

  unsigned int GetSerialNumber() const;
  unsigned int GetBuild() const;
  std::string GetVersion() const;
  // The identity block's model field without its padding; empty when there is none.
  std::string GetModel() const;
  bool ValidateSerialNumber(unsigned int serial) const { return serial == GetSerialNumber(); }

  // Hex dump of every block of one type (a diagnostic for people, not the log).
  bool DumpBlocks(BLOCK_TYPE type, FILE* out = stdout) const;

  std::string path;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialOffsets = false;
  uint32_t serialNumberOffset = 0;
  uint32_t descriptorOffset = 0;

  struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char[], FreeDeleter> buffer;
  uint32_t bufferSize = 0;

 private:
  // Copies identity field bytes [offset, offset + count) of the first identity block into
  // `out` (count + 1 bytes) and terminates it; false when the block does not hold them.
  bool CopyIdentityField(unsigned offset, unsigned count, char* out) const;
};
