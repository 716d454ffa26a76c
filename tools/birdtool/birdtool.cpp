// birdtool: look inside BIRD firmware files and make new ones.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"

namespace {

const char* kUsage =
    "usage:\n"
    "  birdtool info FILE\n"
    "      Prints the header, the identity and one line per block.\n"
    "  birdtool dump FILE TYPE\n"
    "      Hex dump of every block of type TYPE (0-31).\n"
    "  birdtool create OUT [--loader ADDR:FILE]... [--firmware ADDR:FILE]...\n"
    "                      [--serial-offsets S,D] [--identity BUILD,VERSION,SERIAL,MODEL]\n"
    "                      [--loader-start ADDR] [--flags N]\n"
    "      Writes a BIRD file with the blocks in the order given. --flags N (0-7) sets the\n"
    "      flags of the loader and firmware blocks that follow it. SERIAL is hexadecimal;\n"
    "      BUILD and VERSION hold at most 15 characters, MODEL at most 16.\n"
    "  birdtool encipher IN OUT W0 W1 W2 W3\n"
    "      Enciphers the firmware blocks of IN for the chip whose fingerprint words are\n"
    "      W0-W3 (hexadecimal) and writes OUT; the updater's recovery deciphers them.\n"
    "\n"
    "Numbers (ADDR, S, D, N, TYPE) are decimal, or hexadecimal with a 0x prefix.\n"
    "The trailing file checksum that birdtool writes is the CRC-32 (as in zlib) of every\n"
    "content byte before it; readers do not check it.\n";

bool parseNumber(const std::string& text, uint32_t* out, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
    return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool readWhole(const std::string& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int fail(const std::string& message) {
  std::fprintf(stderr, "birdtool: %s\n", message.c_str());
  return 1;
}

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Loads a file with the library's reader; reports a failure on one line.
bool load(const char* path, BirdFile* file) {
  try {
    *file = BirdFile(path);
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "birdtool: %s: %s\n", path, e.what());
    return false;
  }
}

int cmdInfo(const char* path) {
  BirdFile f;
  if (!load(path, &f)) return 1;
  char sig[5];
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(f.signature >> (24 - 8 * i));
    sig[i] = std::isprint(c) ? static_cast<char>(c) : '.';
  }
  sig[4] = '\0';
  std::printf("signature: %s\n", sig);
  std::printf("format: 0x%04X\n", f.version);
  std::printf("blocks: %u\n", f.blockCount);
  std::printf("build: %u\n", f.GetBuild());
  std::printf("version: %s\n", f.GetVersion().c_str());
  std::printf("serial: %08X\n", f.GetSerialNumber());
  std::printf("model: %s\n", f.GetModel().c_str());
  std::printf("generic: %s\n", f.hasSerialOffsets ? "yes" : "no");
  for (size_t i = 0; i < f.blocks.size(); ++i) {
    const BirdBlock& b = f.blocks[i];
    std::printf("block %zu: type %u flags %u length %u address 0x%08X\n", i, b.type, b.flags,
                b.length, b.address);
  }
  return 0;
}

int cmdDump(const char* path, const char* typeText) {
  uint32_t type;
  if (!parseNumber(typeText, &type) || type > 31) return fail(std::string("bad block type ") + typeText);
  BirdFile f;
  if (!load(path, &f)) return 1;
  f.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
  return 0;
}

// Splits "A:B" or "A,B,..." at `sep` into exactly `count` parts (the last takes the rest).
bool split(const std::string& text, char sep, size_t count, std::vector<std::string>* parts) {
  parts->clear();
  size_t start = 0;
  for (size_t i = 0; i + 1 < count; ++i) {
    size_t at = text.find(sep, start);
    if (at == std::string::npos) return false;
    parts->push_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts->push_back(text.substr(start));
  return true;
}

int cmdCreate(int argc, char** argv) {
  if (argc < 3) return usage();
  std::string out = argv[2];
  std::vector<birdwriter::Block> blocks;
  uint32_t flags = 0;
  for (int i = 3; i < argc; ++i) {
    std::string opt = argv[i];
    if (i + 1 >= argc) return fail("option " + opt + " needs a value");
    std::string value = argv[++i];
    std::vector<std::string> parts;
    if (opt == "--loader" || opt == "--firmware") {
      uint32_t addr;
      if (!split(value, ':', 2, &parts) || !parseNumber(parts[0], &addr))
        return fail("bad " + opt + " value " + value + " (want ADDR:FILE)");
      std::vector<uint8_t> code;
      if (!readWhole(parts[1], &code)) return fail("cannot read " + parts[1]);
      blocks.push_back(birdwriter::CodeBlock(opt == "--loader" ? 0 : 1, addr, code,
                                             static_cast<uint8_t>(flags)));
    } else if (opt == "--serial-offsets") {
      uint32_t s, d;
      if (!split(value, ',', 2, &parts) || !parseNumber(parts[0], &s) || !parseNumber(parts[1], &d))
        return fail("bad --serial-offsets value " + value + " (want S,D)");
      blocks.push_back(birdwriter::SerialOffsetsBlock(s, d));
    } else if (opt == "--identity") {
      uint32_t build, serial;
      if (!split(value, ',', 4, &parts) || !parseNumber(parts[0], &build, 10) ||
          !parseNumber(parts[2], &serial, 16))
        return fail("bad --identity value " + value + " (want BUILD,VERSION,SERIAL,MODEL)");
      bool fits = false;
      blocks.push_back(birdwriter::IdentityBlock(parts[0], parts[1], serial, parts[3], &fits));
      if (!fits) return fail("--identity field too long in " + value);
    } else if (opt == "--loader-start") {
      uint32_t addr;
      if (!parseNumber(value, &addr)) return fail("bad --loader-start value " + value);
      blocks.push_back(birdwriter::LoaderStartBlock(addr));
    } else if (opt == "--flags") {
      if (!parseNumber(value, &flags) || flags > 7) return fail("bad --flags value " + value + " (0-7)");
    } else {
      return fail("unknown option " + opt);
    }
  }
  std::vector<uint8_t> content = birdwriter::EncodeBlocks(blocks);
  birdwriter::AppendChecksum(content);
  std::string error;
  if (!birdwriter::WriteWhole(out, birdwriter::Wrap(content), &error)) return fail(error);
  return 0;
}

int cmdEncipher(int argc, char** argv) {
  if (argc != 8) return usage();
  uint32_t key[4];
  for (int i = 0; i < 4; ++i)
    if (!parseNumber(argv[4 + i], &key[i], 16)) return fail(std::string("bad key word ") + argv[4 + i]);
  BirdFile f;
  if (!load(argv[2], &f)) return 1;
  // Re-scan for the verdict: only a well-formed image is written back.
  if (!f.ScanBlocks(f.buffer.get(), f.bufferSize))
    return fail(std::string(argv[2]) + ": blocks do not match the content's size or count");
  unsigned char K[16];
  for (int w = 0; w < 4; ++w)
    for (int i = 0; i < 4; ++i) K[4 * w + i] = static_cast<unsigned char>(key[w] >> (24 - 8 * i));
  for (auto& b : f.blocks) {
    if (b.type != BirdFile::BLOCK_FIRMWARE || b.length < 4) continue;
    unsigned char* code = b.data + 4;
    unsigned char previous = 0;  // the previous plain byte
    for (uint32_t i = 0; i < b.length - 4; ++i) {
      unsigned char plain = code[i];
      code[i] = static_cast<unsigned char>(plain ^ K[i & 15] ^ previous);
      previous = plain;
    }
  }
  std::vector<uint8_t> content(f.buffer.get(), f.buffer.get() + f.bufferSize - 4);
  birdwriter::AppendChecksum(content);
  char sig[4];
  for (int i = 0; i < 4; ++i) sig[i] = static_cast<char>(f.signature >> (24 - 8 * i));
  std::string error;
  if (!birdwriter::WriteWhole(argv[3], birdwriter::Wrap(content, static_cast<uint16_t>(f.version), sig),
                              &error))
    return fail(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (cmd == "info" && argc == 3) return cmdInfo(argv[2]);
  if (cmd == "dump" && argc == 4) return cmdDump(argv[2], argv[3]);
  if (cmd == "create") return cmdCreate(argc, argv);
  if (cmd == "encipher") return cmdEncipher(argc, argv);
  return usage();
}
