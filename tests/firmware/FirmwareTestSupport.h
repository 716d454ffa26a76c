#pragma once
// Helpers shared by the firmware tests: a scratch folder per test, a log capture, BIRD
// images made with birdtool's writer, and whole-file reads and writes.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "Log.h"
#include "LogCapture.h"

namespace fwtest {

// A fresh folder under the system's temporary directory, removed with its content.
struct TempDir {
  std::string path;
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qwfw.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path = buf.data();
    EXPECT_FALSE(path.empty()) << "mkdtemp failed";
  }
  ~TempDir() {
    if (!path.empty()) {
      std::string cmd = "rm -rf '" + path + "'";
      if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "could not remove " << path;
    }
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// Captures the diagnostic log with every package enabled.
struct LogCapture : testlog::LogCapture {
  LogCapture() : testlog::LogCapture(0xFFFFFFFFu) {}
};

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

inline void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A whole BIRD image: header and compressed content, the checksum appended.
inline std::vector<uint8_t> Image(const std::vector<birdwriter::Block>& blocks) {
  std::vector<uint8_t> content = birdwriter::EncodeBlocks(blocks);
  birdwriter::AppendChecksum(content);
  return birdwriter::Wrap(content);
}

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

}  // namespace fwtest
