// Byte streams: the generic layer over an in-memory transport, the COBS framing, the file
// stream and the logger.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "aLogger.h"
#include "aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An in-memory transport: get takes from `incoming` (aErrNotReady when empty, aErrEOF once
// `ended` is set), put and write append to `written` and count their calls.
struct Memory {
  std::deque<uint8_t> incoming;
  bool ended = false;
  Bytes written;
  int puts = 0, writes = 0, deletes = 0;

  static aErr Get(uint8_t* b, void* ref) {
    auto* m = static_cast<Memory*>(ref);
    if (m->incoming.empty()) return m->ended ? aErrEOF : aErrNotReady;
    *b = m->incoming.front();
    m->incoming.pop_front();
    return aErrNone;
  }
  static aErr Put(uint8_t b, void* ref) {
    auto* m = static_cast<Memory*>(ref);
    m->puts++;
    m->written.push_back(b);
    return aErrNone;
  }
  static aErr Write(const uint8_t* d, size_t n, void* ref) {
    auto* m = static_cast<Memory*>(ref);
    m->writes++;
    m->written.insert(m->written.end(), d, d + n);
    return aErrNone;
  }
  static aErr Delete(void* ref) {
    static_cast<Memory*>(ref)->deletes++;
    return aErrNone;
  }
  void Feed(const std::string& s) { incoming.insert(incoming.end(), s.begin(), s.end()); }
  void Feed(const Bytes& b) { incoming.insert(incoming.end(), b.begin(), b.end()); }
};

class MemoryStream : public ::testing::Test {
 protected:
  void SetUp() override {
    stream = aStream_Create(Memory::Get, Memory::Put, Memory::Write, Memory::Delete, &memory);
    ASSERT_NE(stream, nullptr);
  }
  void TearDown() override {
    if (stream != nullptr) aStream_Destroy(&stream);
  }
  Memory memory;
  aStream* stream = nullptr;
};

TEST_F(MemoryStream, ReadsAreAllOrNothing) {
  memory.Feed(Bytes{1, 2});
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(aStream_Read(stream, out, 4), aErrNotReady);
  EXPECT_EQ(out[0], 9);
  memory.Feed(Bytes{3, 4, 5});
  ASSERT_EQ(aStream_Read(stream, out, 4), aErrNone);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));
  memory.ended = true;
  uint8_t rest[3] = {};
  EXPECT_EQ(aStream_Read(stream, rest, 3), aErrEOF);
  EXPECT_EQ(rest[0], 5);
  EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
}

TEST_F(MemoryStream, PutBackGrowsAndKeepsOrderAcrossTheWrap) {
  // Put back, read part of it to move the ring's read position, then put back enough to
  // wrap and grow twice; every byte must come out in the order it went in.
  Bytes expected;
  for (int i = 0; i < 300; i++) {
    ASSERT_EQ(aStreamBufferChar(stream, uint8_t(i)), aErrNone);
    expected.push_back(uint8_t(i));
  }
  uint8_t skip[250];
  ASSERT_EQ(aStream_Read(stream, skip, sizeof skip), aErrNone);
  expected.erase(expected.begin(), expected.begin() + 250);
  for (int i = 0; i < 1200; i++) {
    ASSERT_EQ(aStreamBufferChar(stream, uint8_t(i * 3)), aErrNone);
    expected.push_back(uint8_t(i * 3));
  }
  Bytes out(expected.size());
  ASSERT_EQ(aStream_Read(stream, out.data(), out.size()), aErrNone);
  EXPECT_EQ(out, expected);
  uint8_t one;
  EXPECT_EQ(aStream_Read(stream, &one, 1), aErrNotReady);
}

TEST_F(MemoryStream, WriteUsesPutForOneByteAndWriteForMore) {
  const uint8_t data[2] = {7, 8};
  EXPECT_EQ(aStream_Write(stream, data, 1), aErrNone);
  EXPECT_EQ(memory.puts, 1);
  EXPECT_EQ(memory.writes, 0);
  EXPECT_EQ(aStream_Write(stream, data, 2), aErrNone);
  EXPECT_EQ(memory.puts, 1);
  EXPECT_EQ(memory.writes, 1);
  EXPECT_EQ(memory.written, (Bytes{7, 7, 8}));

  aStream* none = aStream_Create(Memory::Get, nullptr, nullptr, nullptr, &memory);
  EXPECT_EQ(aStream_Write(none, data, 2), aErrMode);
  EXPECT_EQ(aStream_Write(stream, nullptr, 2), aErrParam);
  aStream* dead = none;
  EXPECT_EQ(aStream_Destroy(&none), aErrNone);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(aStream_Destroy(&none), aErrParam);
  (void)dead;
}

TEST_F(MemoryStream, CStringsAndRecords) {
  memory.Feed(std::string("abcdefgh") + '\0');
  char text[5];
  for (const char* expected : {"abcd", "efgh", ""}) {
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, expected);
  }

  // A record that runs dry part-way is undone and read whole later.
  memory.Feed("one\r");
  EXPECT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, "\r\n"), aErrNotReady);
  memory.Feed("\ntwo");
  ASSERT_EQ(aStream_ReadCStringRecord(stream, text, sizeof text, "\r\n"), aErrNone);
  EXPECT_STREQ(text, "one");
  // A partly matched terminator is data; the match restarts at the byte after it.
  memory.Feed("\r\r\nx");
  char wide[8];
  ASSERT_EQ(aStream_ReadCStringRecord(stream, wide, sizeof wide, "\r\n"), aErrNone);
  EXPECT_STREQ(wide, "two\r");
  memory.ended = true;
  ASSERT_EQ(aStream_ReadCStringRecord(stream, wide, sizeof wide, "\r\n"), aErrNone);
  EXPECT_STREQ(wide, "x");
  size_t length = 99;
  uint8_t buffer[8];
  const uint8_t nl = '\n';
  EXPECT_EQ(aStream_ReadRecord(stream, buffer, &length, sizeof buffer, &nl, 1), aErrEOF);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(aStream_ReadRecord(stream, buffer, &length, sizeof buffer, &nl, 0), aErrParam);

  EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(stream, "ok", "\r\n"), aErrNone);
  EXPECT_EQ(memory.written, (Bytes{'h', 'i', 0, 'o', 'k', '\r', '\n', 0}));
  EXPECT_EQ(aStream_WriteRecord(stream, buffer, 1, nullptr, 1), aErrParam);
}

TEST_F(MemoryStream, FlushCopiesUntilTheEnd) {
  Memory sink;
  aStream* out = aStream_Create(nullptr, Memory::Put, nullptr, Memory::Delete, &sink);
  memory.Feed("data");
  EXPECT_EQ(aStream_Flush(stream, out), aErrNotReady);
  memory.Feed("more");
  memory.ended = true;
  EXPECT_EQ(aStream_Flush(stream, out), aErrNone);
  EXPECT_EQ(std::string(sink.written.begin(), sink.written.end()), "datamore");
  EXPECT_EQ(aStream_Flush(out, stream), aErrMode);
  aStream_Destroy(&out);
  EXPECT_EQ(sink.deletes, 1);
}

// COBS framing over the in-memory transport.
class Cobs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateCobsEncoding(Memory::Get, Memory::Put, Memory::Write, Memory::Delete,
                                         &wire, &stream),
              aErrNone);
  }
  void TearDown() override { aStream_Destroy(&stream); }
  Memory wire;
  aStream* stream = nullptr;
};

TEST_F(Cobs, FramesPacketsWithACrc) {
  const uint8_t empty[2] = {0x04, 0x00};
  ASSERT_EQ(aStream_Write(stream, empty, 2), aErrNone);
  EXPECT_EQ(wire.written, (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));

  // Bytes that cannot start a packet are dropped and the next packet still goes out whole.
  wire.written.clear();
  const uint8_t noisy[5] = {0x00, 0x04, 0x01, 0x10, 0x99};
  ASSERT_EQ(aStream_Write(stream, noisy, 4), aErrNone);
  ASSERT_EQ(wire.written.size(), 6u);
  EXPECT_EQ(wire.written.back(), 0x00);

  // 27 data bytes still fit a frame; 28 do not and are dropped without error.
  for (uint8_t length : {27, 28}) {
    wire.written.clear();
    Bytes packet = {0x04, length};
    packet.resize(2 + length, 0x5A);
    ASSERT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
    EXPECT_EQ(wire.written.empty(), length == 28) << int(length);
  }
}

TEST_F(Cobs, ReadsOnlyWholeFramesWithAGoodCrc) {
  wire.Feed(Bytes{0x02, 0x04, 0x02, 0x3B, 0x00});
  uint8_t byte = 0;
  for (int i = 0; i < 5; i++) EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << i;
  ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x04);
  ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 0x00);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);

  struct Bad {
    const char* name;
    Bytes frame;
  } bad[] = {
      {"wrong crc", {0x02, 0x04, 0x02, 0x3C, 0x00}},
      {"wrong length byte", {0x02, 0x04, 0x02, 0x01, 0x3B, 0x00}},
      {"malformed cobs", {0x09, 0x04, 0x00}},
      {"too long", Bytes(33, 0x11)},
  };
  for (auto& b : bad) {
    if (b.frame.back() != 0) b.frame.push_back(0);
    wire.Feed(b.frame);
    aErr last = aErrNone;
    for (size_t i = 0; i < b.frame.size(); i++) last = aStream_Read(stream, &byte, 1);
    EXPECT_EQ(last, aErrPacket) << b.name;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << b.name;
  }
}

TEST(FileStream, WritesThenReadsToTheEnd) {
  std::string path = std::string(QW_BINARY_DIR) + "/test-tmp-filestream-" + std::to_string(getpid());
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_WriteCStringRecord(out, "line", "\n"), aErrNone);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);

  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  char text[16];
  EXPECT_EQ(aStream_ReadCStringRecord(in, text, sizeof text, "\n"), aErrNone);
  EXPECT_STREQ(text, "line");
  uint8_t byte = 1;
  EXPECT_EQ(aStream_Read(in, &byte, 1), aErrNone);  // the terminator's own zero byte
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
  aStream_Destroy(&in);
  unlink(path.c_str());

  EXPECT_EQ(aStream_CreateFileInput((path + "-missing").c_str(), &in), aErrResource);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &in), aErrResource);
}

// The pump of the logger test: writes one line per call and, on request, tries to disable
// its own logger.
struct PumpState {
  aLogger* logger = nullptr;
  std::atomic<int> calls{0};
  std::atomic<bool> disableFromInside{false};
  std::atomic<int> insideResult{-1};
};
PumpState gPump;

aErr Pump(aFile* file, uint32_t identifier) {
  if (gPump.disableFromInside.exchange(false)) {
    gPump.insideResult = static_cast<int>(aLogger_Disable(gPump.logger));
  }
  if (gPump.calls++ < 3) aFile_Printf(file, "%u\n", identifier);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return aErrNone;
}

TEST(Logger, RunsThePumpUntilDisabledFromOutside) {
  std::string path = std::string(QW_BINARY_DIR) + "/test-tmp-logger-" + std::to_string(getpid());
  gPump.logger = aLogger_Create(42, Pump, path.c_str());
  ASSERT_NE(gPump.logger, nullptr);
  ASSERT_EQ(aLogger_Enable(gPump.logger), aErrNone);
  gPump.disableFromInside = true;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (gPump.insideResult < 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(gPump.insideResult, int(aErrNone));
  int before = gPump.calls;
  while (gPump.calls < before + 5 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GE(gPump.calls, before + 5) << "disabling from the pump stopped the logger";
  EXPECT_EQ(aLogger_Disable(gPump.logger), aErrNone);
  int stopped = gPump.calls;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(gPump.calls, stopped);
  EXPECT_EQ(aLogger_Destroy(&gPump.logger), aErrNone);
  EXPECT_EQ(gPump.logger, nullptr);
  EXPECT_EQ(aLogger_Destroy(&gPump.logger), aErrNone);

  FILE* f = fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char line[16];
  ASSERT_NE(fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "42\n");
  fclose(f);
  unlink(path.c_str());
  EXPECT_EQ(aLogger_Create(1, Pump, "/nonexistent-dir/log"), nullptr);
}

}  // namespace
