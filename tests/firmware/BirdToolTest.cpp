// birdtool as a user runs it, and a file from an independent writer read by the library.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

#include <cstdio>

#include "BirdFile.h"
#include "FirmwareTestSupport.h"

using fwtest::Pattern;
using fwtest::ReadText;
using fwtest::TempDir;
using fwtest::WriteBytes;

namespace {

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a shell command line; its stderr goes to a file in `dir`.
Result Shell(const TempDir& dir, const std::string& command) {
  Result r;
  std::string errPath = dir / "stderr.txt";
  FILE* p = popen((command + " 2>'" + errPath + "'").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.err = ReadText(errPath);
  return r;
}

std::string Tool(const std::string& args) { return std::string("'") + BIRDTOOL_PATH + "' " + args; }

}  // namespace

TEST(BirdTool, CreateThenInfo) {
  TempDir dir;
  WriteBytes(dir / "loader.bin", Pattern(100));
  WriteBytes(dir / "fw1.bin", Pattern(3000, 9));
  WriteBytes(dir / "fw2.bin", std::vector<uint8_t>(70000, 0xFF));
  std::string out = dir / "x.bird";
  Result created = Shell(dir, Tool("create '" + out + "' --loader 0x10000000:'" + (dir / "loader.bin") +
                                 "' --flags 3 --firmware 0:'" + (dir / "fw1.bin") +
                                 "' --firmware 0x8000:'" + (dir / "fw2.bin") +
                                 "' --serial-offsets 0x100,0x200 --identity 000321,2.12.3,40f5849a,QW-HUB8"
                                 " --loader-start 0x10000400"));
  ASSERT_EQ(created.status, 0) << created.err;
  Result info = Shell(dir, Tool("info '" + out + "'"));
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out,
            "signature: bird\n"
            "format: 0x0101\n"
            "blocks: 6\n"
            "build: 321\n"
            "version: 2.12.3\n"
            "serial: 40F5849A\n"
            "model: QW-HUB8\n"
            "generic: yes\n"
            "block 0: type 0 flags 0 length 104 address 0x10000000\n"
            "block 1: type 1 flags 3 length 3004 address 0x00000000\n"
            "block 2: type 1 flags 3 length 70004 address 0x00008000\n"
            "block 3: type 2 flags 0 length 8 address 0x00000000\n"
            "block 4: type 4 flags 0 length 64 address 0x00000000\n"
            "block 5: type 5 flags 0 length 4 address 0x00000000\n");
  EXPECT_EQ(info.err, "");

  // The content written matches the input files byte for byte.
  BirdFile f(out.c_str());
  auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(fw.size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(fw[0].data + 4, fw[0].data + fw[0].length), Pattern(3000, 9));

  Result dump = Shell(dir, Tool("dump '" + out + "' 5"));
  EXPECT_EQ(dump.status, 0);
  EXPECT_NE(dump.out.find("000000: 10 00 04 00"), std::string::npos) << dump.out;
}

TEST(BirdTool, Failures) {
  TempDir dir;
  fwtest::WriteText(dir / "junk", "bird\x01\x01 but no stream");
  struct Case {
    const char* name;
    std::string args;
    int status;
  } cases[] = {
      {"file that does not load", "info '" + (dir / "junk") + "'", 1},
      {"missing file", "info '" + (dir / "none") + "'", 1},
      {"missing input block file", "create '" + (dir / "o.bird") + "' --firmware 0:'" + (dir / "none") + "'", 1},
      {"address without file", "create '" + (dir / "o.bird") + "' --firmware 0x100", 1},
      {"identity too long", "create '" + (dir / "o.bird") + "' --identity 1,2,3,SEVENTEEN-CHARS-X", 1},
      {"flags out of range", "create '" + (dir / "o.bird") + "' --flags 8", 1},
      {"unknown command", "frobnicate", 2},
  };
  for (const auto& c : cases) {
    Result r = Shell(dir, Tool(c.args));
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    if (c.status == 1) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
    }
  }
  struct stat st;
  EXPECT_NE(stat((dir / "o.bird").c_str(), &st), 0);  // nothing half-made is left
}

TEST(BirdTool, EncipherIsUndoneByDecode) {
  TempDir dir;
  std::vector<uint8_t> code = Pattern(1000, 3);
  WriteBytes(dir / "fw.bin", code);
  std::string plain = dir / "plain.bird", bound = dir / "bound.bird";
  ASSERT_EQ(Shell(dir, Tool("create '" + plain + "' --loader 0x20:'" + (dir / "fw.bin") +
                          "' --firmware 0x1000:'" + (dir / "fw.bin") + "' --identity 7,1.0,1,M")).status, 0);
  Result enc = Shell(dir, Tool("encipher '" + plain + "' '" + bound + "' 01020304 0x05060708 A0B0C0D0 FFFFFFFF"));
  ASSERT_EQ(enc.status, 0) << enc.err;

  BirdFile f(bound.c_str());
  auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(fw.size(), 1u);
  EXPECT_NE(std::vector<uint8_t>(fw[0].data + 4, fw[0].data + fw[0].length), code);
  EXPECT_EQ(fw[0].address, 0x1000u);
  const unsigned key[4] = {0x01020304, 0x05060708, 0xA0B0C0D0, 0xFFFFFFFF};
  f.DecodeFirmwareBlocks(key);
  EXPECT_EQ(std::vector<uint8_t>(fw[0].data + 4, fw[0].data + fw[0].length), code);
  auto loader = f.FindBlocks(BirdFile::BLOCK_LOADER);
  EXPECT_EQ(std::vector<uint8_t>(loader[0].data + 4, loader[0].data + loader[0].length), code);
  EXPECT_EQ(f.GetBuild(), 7u);
}

TEST(BirdTool, FileFromAnIndependentWriter) {
  if (std::string(PYTHON3_PATH).empty() || std::string(PYTHON3_PATH).find("NOTFOUND") != std::string::npos)
    GTEST_SKIP() << "no python3";
  TempDir dir;
  std::string out = dir / "py.bird";
  Result made = Shell(dir, std::string("'") + PYTHON3_PATH + "' '" + FIXTURE_DIR + "/make_bird.py' '" + out +
                             "' 000456 3.1.4 0a0b0c0d QW-ETH1");
  ASSERT_EQ(made.status, 0) << made.err;
  fwtest::LogCapture log;
  ASSERT_TRUE(BirdFile::VerifyFile(out.c_str()));
  BirdFile f(out.c_str());
  EXPECT_EQ(log.text().find("mismatch"), std::string::npos) << log.text();
  EXPECT_EQ(f.GetBuild(), 456u);
  EXPECT_EQ(f.GetVersion(), "3.1.4");
  EXPECT_EQ(f.GetSerialNumber(), 0x0A0B0C0Du);
  EXPECT_TRUE(f.ValidateModel("QW-ETH1"));
  EXPECT_TRUE(f.hasSerialOffsets);
  ASSERT_EQ(f.blocks.size(), 5u);
  EXPECT_EQ(f.blocks[0].address, 0x10000000u);
  EXPECT_EQ(f.blocks[0].flags, 1);
  EXPECT_EQ(f.blocks[1].flags, 2);
  EXPECT_EQ(GetInt(f.blocks[4].data), 0x10000400u);

  ASSERT_TRUE(f.ReplaceSerialNumber(0x40F5849A));
  const unsigned char* code = f.blocks[1].data + 4;
  EXPECT_EQ(std::vector<uint8_t>(code + 0x100, code + 0x104), (std::vector<uint8_t>{0x9A, 0x84, 0xF5, 0x40}));
  EXPECT_EQ(code[0x120], '4');
  EXPECT_EQ(code[0x121], 0xFF);
  EXPECT_EQ(code[0x12E], 'A');
}
