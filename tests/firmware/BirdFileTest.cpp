#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "BirdFile.h"
#include "FirmwareTestSupport.h"

using birdwriter::Block;
using birdwriter::CodeBlock;
using birdwriter::IdentityBlock;
using birdwriter::SerialOffsetsBlock;
using fwtest::Image;
using fwtest::LogCapture;
using fwtest::Pattern;
using fwtest::TempDir;

namespace {

bool LoadImage(BirdFile& f, const std::vector<uint8_t>& image) {
  return f.LoadFromMemory(image.data(), image.size());
}

std::vector<uint8_t> Content(const std::vector<Block>& blocks) {
  std::vector<uint8_t> c = birdwriter::EncodeBlocks(blocks);
  birdwriter::AppendChecksum(c);
  return c;
}

// Content made by hand, for the malformed cases the writer never produces.
struct ContentCase {
  const char* name;
  std::vector<uint8_t> content;
  bool scanOk;
  size_t blocks;
  const char* log;  // a line the scan must log ("" for none in particular)
};

std::vector<uint8_t> WithCount(std::vector<uint8_t> c, uint32_t count) {
  c[0] = static_cast<uint8_t>(count >> 24);
  c[1] = static_cast<uint8_t>(count >> 16);
  c[2] = static_cast<uint8_t>(count >> 8);
  c[3] = static_cast<uint8_t>(count);
  return c;
}

std::vector<uint8_t> Append(std::vector<uint8_t> c, size_t extra) {
  c.insert(c.end(), extra, 0xAA);
  return c;
}

std::vector<uint8_t> Cut(std::vector<uint8_t> c, size_t fewer) {
  c.resize(c.size() - fewer);
  return c;
}

}  // namespace

TEST(BirdFileScan, ContentShapes) {
  const std::vector<Block> two = {CodeBlock(0, 0x1000, Pattern(10)), CodeBlock(1, 0x2000, Pattern(20))};
  // A declared block that claims 100 bytes while only 3 follow.
  std::vector<uint8_t> overlong = birdwriter::EncodeBlocks({CodeBlock(1, 0, Pattern(8))});
  overlong = WithCount(overlong, 2);
  overlong.insert(overlong.end(), {0x01, 0x00, 0x00, 0x00, 0x64, 1, 2, 3});

  const ContentCase cases[] = {
      {"well formed", Content(two), true, 2, "File checksum"},
      {"count 3, two blocks", WithCount(Content(two), 3), false, 2,
       "mismatch in number of blocks. (2 != 3)"},
      {"five bytes after the checksum", Append(Content(two), 5), false, 2, "(5 bytes remaining)"},
      {"checksum missing", Cut(Content(two), 4), false, 2, "(-4 bytes remaining)"},
      {"block runs past the end", overlong, false, 1, "runs past the end"},
      {"shorter than the count", {0, 0}, false, 0, "mismatch in data size"},
      {"no blocks", Content({}), true, 0, ""},
  };
  for (const auto& c : cases) {
    LogCapture log;
    BirdFile f;
    ASSERT_TRUE(LoadImage(f, birdwriter::Wrap(c.content))) << c.name;
    EXPECT_EQ(f.ScanBlocks(f.buffer.get(), f.bufferSize), c.scanOk) << c.name;
    EXPECT_EQ(f.blocks.size(), c.blocks) << c.name;
    EXPECT_EQ(f.blockCount, c.blocks) << c.name;
    EXPECT_NE(log.text().find(c.log), std::string::npos) << c.name << "\n" << log.text();
    for (const auto& b : f.blocks) {
      EXPECT_GE(b.data, f.buffer.get()) << c.name;
      EXPECT_LE(b.data + b.length, f.buffer.get() + f.bufferSize) << c.name;
    }
  }
}

TEST(BirdFileScan, BlockFieldsAndChecksum) {
  std::vector<uint8_t> content = Content({CodeBlock(0, 0x10000000, Pattern(6), 5),
                                          CodeBlock(1, 0x0000A000, Pattern(9), 0),
                                          SerialOffsetsBlock(0x10, 0x20), {9, 7, {1, 2}}});
  BirdFile f;
  ASSERT_TRUE(LoadImage(f, birdwriter::Wrap(content)));
  ASSERT_EQ(f.blocks.size(), 4u);
  EXPECT_EQ(f.blocks[0].type, 0);
  EXPECT_EQ(f.blocks[0].flags, 5);
  EXPECT_EQ(f.blocks[0].length, 10u);
  EXPECT_EQ(f.blocks[0].address, 0x10000000u);
  EXPECT_EQ(f.blocks[1].address, 0xA000u);
  EXPECT_EQ(f.blocks[2].address, 0u);  // only code blocks carry an address
  EXPECT_EQ(f.blocks[3].type, 9);      // unknown types are kept
  EXPECT_EQ(f.blocks[3].flags, 7);
  EXPECT_EQ(f.checksum, GetInt(content.data() + content.size() - 4));
  EXPECT_TRUE(f.hasSerialOffsets);
  EXPECT_EQ(f.serialNumberOffset, 0x10u);
  EXPECT_EQ(f.descriptorOffset, 0x20u);
  EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
  EXPECT_TRUE(f.FindBlocks(BirdFile::BLOCK_LOADER_START).empty());

  // Moving keeps the blocks pointing into the moved buffer.
  unsigned char* data = f.blocks[1].data;
  BirdFile moved(std::move(f));
  EXPECT_EQ(moved.blocks[1].data, data);
  EXPECT_EQ(moved.blocks[1].data, moved.buffer.get() + (data - moved.buffer.get()));
  EXPECT_EQ(GetInt(moved.blocks[1].data), 0xA000u);
}

TEST(BirdFileLoad, StreamsAndFiles) {
  TempDir dir;
  auto good = Image({CodeBlock(1, 0, Pattern(64))});
  auto badVersion = good;
  badVersion[5] = 0;
  auto badSignature = good;
  std::memcpy(badSignature.data(), "BIRD", 4);
  auto truncated = std::vector<uint8_t>(good.begin(), good.end() - 10);
  auto headerOnly = std::vector<uint8_t>(good.begin(), good.begin() + 6);
  auto garbage = std::vector<uint8_t>(good.begin(), good.begin() + 6);
  garbage.insert(garbage.end(), 40, 0x55);

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool verifies;
    bool loads;
    const char* log;
  } cases[] = {
      {"good", good, true, true, "Loading File"},
      {"version byte 0", badVersion, false, true, ""},
      {"wrong signature still loads", badSignature, false, true, ""},
      {"six-byte header only", headerOnly, true, false, "too short"},
      {"stream cut short", truncated, true, false, "Error (-3) decompressing"},
      {"not a zlib stream", garbage, true, false, "decompressing bird file"},
  };
  for (const auto& c : cases) {
    std::string path = dir / "f.bird";
    fwtest::WriteBytes(path, c.bytes);
    LogCapture log;
    EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verifies) << c.name;
    BirdFile f;
    f.path = path;
    EXPECT_EQ(f.Load(), c.loads) << c.name;
    EXPECT_NE(log.text().find(c.log), std::string::npos) << c.name << "\n" << log.text();
    if (c.loads) EXPECT_NO_THROW(BirdFile{path.c_str()}) << c.name;
    else EXPECT_THROW(BirdFile{path.c_str()}, std::runtime_error) << c.name;
  }

  // A file too large to hold a bounded stream is refused before it is read (sparse here).
  std::string huge = dir / "huge.bird";
  fwtest::WriteBytes(huge, good);
  ASSERT_EQ(truncate(huge.c_str(), BirdFile::MAX_FILE_SIZE + 1), 0);
  {
    LogCapture log;
    BirdFile f;
    f.path = huge;
    EXPECT_FALSE(f.Load());
    EXPECT_NE(log.text().find("more than a bird file can be"), std::string::npos) << log.text();
  }

  LogCapture log;
  std::string missing = dir / "missing.bird";
  EXPECT_FALSE(BirdFile::VerifyFile(missing.c_str()));
  try {
    BirdFile f(missing.c_str());
    FAIL() << "a missing file loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
  EXPECT_NE(log.text().find("BIRD file not found [" + missing + "]"), std::string::npos) << log.text();
}

// Padded firmware compresses far better than 8:1; such files must load, and content past the
// size bound must be refused.
TEST(BirdFileLoad, CompressionRatioAndBound) {
  std::vector<uint8_t> code(1 << 20, 0xFF);
  code[1000] = 0x12;
  auto image = Image({CodeBlock(1, 0, code)});
  ASSERT_LT(image.size() * 8, code.size());
  BirdFile f;
  ASSERT_TRUE(LoadImage(f, image));
  ASSERT_EQ(f.blocks.size(), 1u);
  EXPECT_EQ(f.blocks[0].length, code.size() + 4);
  EXPECT_EQ(f.blocks[0].data[4 + 1000], 0x12);

  std::vector<uint8_t> huge(BirdFile::MAX_CONTENT_SIZE + 1, 0);
  uLongf zlen = compressBound(static_cast<uLong>(huge.size()));
  std::vector<uint8_t> z(6 + zlen);
  std::memcpy(z.data(), "bird\x01\x01", 6);
  ASSERT_EQ(compress2(z.data() + 6, &zlen, huge.data(), static_cast<uLong>(huge.size()), 1), Z_OK);
  z.resize(6 + zlen);
  LogCapture log;
  BirdFile big;
  EXPECT_FALSE(LoadImage(big, z));
  EXPECT_EQ(big.bufferSize, 0u);
  EXPECT_NE(log.text().find("exceeds 67108864 bytes"), std::string::npos) << log.text();
}

TEST(BirdFileIdentity, Fields) {
  struct Case {
    const char* name;
    Block identity;
    unsigned build;
    const char* version;
    unsigned serial;
    const char* model;
  } cases[] = {
      {"padded fields", IdentityBlock("000123", "2.12.3", 0x40F5849A, "ABC"), 123, "2.12.3",
       0x40F5849A, "ABC"},
      {"full-width fields", IdentityBlock("000000004000000", "v1 beta", 0xAB, "SIXTEENCHARSMODL"),
       4000000, "v1", 0xAB, "SIXTEENCHARSMODL"},
      // A block too short for the later fields gives only the fields it holds.
      {"only the build field", {4, 0, std::vector<uint8_t>{'4', '2', ' ', ' ', ' ', ' ', ' ', ' ',
                                                           ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '}},
       42, "", 0, ""},
      {"empty block", {4, 0, {}}, 0, "", 0, ""},
  };
  for (const auto& c : cases) {
    BirdFile f;
    ASSERT_TRUE(LoadImage(f, Image({c.identity, IdentityBlock("999", "9.9.9", 0x99, "LATER")})))
        << c.name;
    EXPECT_EQ(f.GetBuild(), c.build) << c.name;
    EXPECT_EQ(f.GetVersion(), c.version) << c.name;
    EXPECT_EQ(f.GetSerialNumber(), c.serial) << c.name;
    EXPECT_TRUE(f.ValidateSerialNumber(c.serial)) << c.name;
    EXPECT_FALSE(f.ValidateSerialNumber(c.serial + 1)) << c.name;
    EXPECT_EQ(f.GetModel(), c.model) << c.name;
  }

  BirdFile none;
  ASSERT_TRUE(LoadImage(none, Image({CodeBlock(1, 0, Pattern(4))})));
  EXPECT_EQ(none.GetBuild(), 0u);
  EXPECT_EQ(none.GetSerialNumber(), 0u);
  EXPECT_EQ(none.GetVersion(), "");
  EXPECT_FALSE(none.ValidateModel("ABC"));
}

TEST(BirdFileIdentity, ModelComparesOverTheGivenName) {
  BirdFile f;
  ASSERT_TRUE(LoadImage(f, Image({IdentityBlock("1", "1", 1, "ABC")})));
  struct {
    const char* given;
    bool match;
  } cases[] = {{"ABC", true}, {"AB", true}, {"ABCD", false}, {"XBC", false},
               {"ABC              ", false}, {"", true}};
  for (const auto& c : cases) EXPECT_EQ(f.ValidateModel(c.given), c.match) << "[" << c.given << "]";
  EXPECT_FALSE(f.ValidateModel(nullptr));
  LogCapture log;
  f.ValidateModel("ABC");
  EXPECT_NE(log.text().find("Model matches model number ([ABC] == [ABC])"), std::string::npos);
}

TEST(BirdFileSerial, Patch) {
  const uint32_t serial = 0xB3B2B1B0;
  struct Case {
    const char* name;
    std::vector<Block> blocks;
    bool result;
    // Expected bytes: (block index, code offset, bytes)
    std::vector<std::tuple<int, uint32_t, std::vector<uint8_t>>> expect;
  };
  auto fw = [](uint32_t addr, size_t n) { return CodeBlock(1, addr, std::vector<uint8_t>(n, 0xEE)); };
  const std::vector<uint8_t> descriptor = {'B', 0xEE, '3', 0xEE, 'B', 0xEE, '2', 0xEE,
                                           'B', 0xEE, '1', 0xEE, 'B', 0xEE, '0', 0xEE};
  Case cases[] = {
      {"serial word, little-endian", {fw(0, 0x200), SerialOffsetsBlock(0x100, 0)}, true,
       {{0, 0x100, {0xB0, 0xB1, 0xB2, 0xB3}}, {0, 0xFC, {0xEE, 0xEE, 0xEE, 0xEE}}, {0, 0x104, {0xEE}}}},
      {"word and descriptor", {fw(0, 0x200), SerialOffsetsBlock(0x100, 0x180)}, true,
       {{0, 0x100, {0xB0, 0xB1, 0xB2, 0xB3}}, {0, 0x180, descriptor}, {0, 0x190, {0xEE}}}},
      {"word in the second block", {fw(0, 0x100), fw(0x1000, 0x100), SerialOffsetsBlock(0x1010, 0)},
       true, {{1, 0x10, {0xB0, 0xB1, 0xB2, 0xB3}}, {0, 0x10, {0xEE, 0xEE, 0xEE, 0xEE}}}},
      {"word in no block still succeeds", {fw(0, 0x100), SerialOffsetsBlock(0x5000, 0)}, true, {}},
      {"word across the block's end", {fw(0, 0x100), SerialOffsetsBlock(0xFE, 0)}, true,
       {{0, 0xFC, {0xEE, 0xEE, 0xEE, 0xEE}}}},
      {"word as the last four bytes", {fw(0, 0x100), SerialOffsetsBlock(0xFC, 0)}, true,
       {{0, 0xFC, {0xB0, 0xB1, 0xB2, 0xB3}}}},
      {"descriptor alone in no block", {fw(0, 0x100), SerialOffsetsBlock(0, 0x5000)}, false, {}},
      {"descriptor across the block's end", {fw(0, 0x100), SerialOffsetsBlock(0, 0xF8)}, false,
       {{0, 0xF8, {0xEE}}}},
      {"descriptor alone in a block", {fw(0x200, 0x100), SerialOffsetsBlock(0, 0x200)}, true,
       {{0, 0, descriptor}}},
      {"loader blocks are not patched", {CodeBlock(0, 0, std::vector<uint8_t>(0x100, 0xEE)),
                                         SerialOffsetsBlock(0x10, 0)}, false,
       {{0, 0x10, {0xEE, 0xEE, 0xEE, 0xEE}}}},
      {"both offsets zero", {fw(0, 0x100), SerialOffsetsBlock(0, 0)}, false, {}},
      {"offset near the top of the address space", {fw(0xFFFFFF00, 0xFC), SerialOffsetsBlock(0xFFFFFFFE, 0)},
       true, {{0, 0xF8, {0xEE, 0xEE, 0xEE, 0xEE}}}},
  };
  for (const auto& c : cases) {
    BirdFile f;
    ASSERT_TRUE(LoadImage(f, Image(c.blocks))) << c.name;
    EXPECT_EQ(f.ReplaceSerialNumber(serial), c.result) << c.name;
    auto code = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    auto loaders = f.FindBlocks(BirdFile::BLOCK_LOADER);
    code.insert(code.end(), loaders.begin(), loaders.end());
    for (const auto& e : c.expect) {
      const BirdBlock& b = code[static_cast<size_t>(std::get<0>(e))];
      const auto& bytes = std::get<2>(e);
      ASSERT_LE(std::get<1>(e) + bytes.size() + 4, b.length) << c.name;
      std::vector<uint8_t> got(b.data + 4 + std::get<1>(e), b.data + 4 + std::get<1>(e) + bytes.size());
      EXPECT_EQ(got, bytes) << c.name;
    }
    // Nothing outside the firmware code is touched: the offsets block follows the code.
    auto offsets = f.FindBlocks(BirdFile::BLOCK_SERIAL_OFFSETS);
    ASSERT_EQ(offsets.size(), 1u) << c.name;
    EXPECT_EQ(std::vector<uint8_t>(offsets[0].data, offsets[0].data + 8), c.blocks.back().data) << c.name;
    if (c.expect.empty()) {
      for (const auto& b : code)
        EXPECT_EQ(std::vector<uint8_t>(b.data + 4, b.data + b.length), std::vector<uint8_t>(b.length - 4, 0xEE))
            << c.name;
    }
  }
}

TEST(BirdFileCipher, DecodeChainsOverEachFirmwareBlock) {
  const unsigned key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
  const uint8_t K[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::vector<uint8_t> cipher = Pattern(40, 0x31);
  BirdFile f;
  ASSERT_TRUE(LoadImage(f, Image({CodeBlock(1, 0x12345678, cipher), CodeBlock(0, 0, cipher),
                                   CodeBlock(1, 0x100, cipher)})));
  ASSERT_TRUE(f.DecodeFirmwareBlocks(key));
  for (int i : {0, 2}) {
    const BirdBlock& b = f.blocks[static_cast<size_t>(i)];
    const uint8_t* plain = b.data + 4;
    EXPECT_EQ(plain[0], cipher[0] ^ K[0]) << "block " << i;
    EXPECT_EQ(plain[1], cipher[1] ^ K[1] ^ plain[0]) << "block " << i;
    EXPECT_EQ(plain[15], cipher[15] ^ K[15] ^ plain[14]) << "block " << i;
    EXPECT_EQ(plain[16], cipher[16] ^ K[0] ^ plain[15]) << "block " << i;
    EXPECT_EQ(plain[39], cipher[39] ^ K[7] ^ plain[38]) << "block " << i;
  }
  EXPECT_EQ(GetInt(f.blocks[0].data), 0x12345678u);
  EXPECT_EQ(std::vector<uint8_t>(f.blocks[1].data + 4, f.blocks[1].data + 44), cipher);
}

TEST(BirdFileDiagnostics, VectorChecksumPatternAndDump) {
  std::vector<uint8_t> code(64, 0);
  for (int w = 0; w < 8; ++w) code[4 * static_cast<size_t>(w)] = static_cast<uint8_t>(w + 1);
  code[60] = 0xC0;
  code[61] = 0xDE;
  BirdFile f;
  ASSERT_TRUE(LoadImage(f, Image({CodeBlock(1, 0, code), CodeBlock(1, 0x40, code)})));
  ASSERT_TRUE(f.ReplaceVectorChecksum());
  // Words 0-4 and 6 sum to 1+2+3+4+5+7 = 22; word 7 becomes -22.
  EXPECT_EQ(GetInt(f.blocks[0].data + 4 + 28), 0xEAFFFFFFu);
  EXPECT_EQ(f.blocks[1].data[4 + 28], 8);  // blocks away from address 0 stay as they were

  const unsigned char atEnd[] = {0xC0, 0xDE, 0, 0};
  const unsigned char absent[] = {0xDE, 0xAD};
  EXPECT_TRUE(f.ValidateData(atEnd, 4));
  EXPECT_FALSE(f.ValidateData(absent, 2));

  BirdFile small;
  ASSERT_TRUE(LoadImage(small, Image({{5, 0, {'A', 0x00, 'B'}}})));
  small.path = "x.bird";
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  EXPECT_TRUE(small.DumpBlocks(BirdFile::BLOCK_LOADER_START, out));
  fclose(out);
  EXPECT_EQ(std::string(text, size), "BIRDFILE: BLOCK DUMP [x.bird]\n \r\n000000: 41 00 42  A B\n\n");
  free(text);
}
