// Packet assembly, field readers, UEI byte helpers and the packet log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "aPacket.h"
#include "aPacketLog.h"
#include "aUEI.h"

namespace {

struct PacketPtr {
  aPacket* p;
  explicit PacketPtr(aPacket* packet) : p(packet) {}
  ~PacketPtr() {
    if (p != nullptr) aPacket_Destroy(&p);
  }
};

struct AssemblyCase {
  std::string name;
  std::vector<uint8_t> bytes;
  std::vector<aErr> results;  // one per byte
  bool complete;
};

TEST(PacketAssembly, ByteByByte) {
  const std::vector<AssemblyCase> cases = {
      {"empty packet", {0x04, 0x00}, {aErrNone, aErrNone}, true},
      {"three data bytes", {0x04, 0x03, 0x10, 0x20, 0x30}, {0, 0, 0, 0, 0}, true},
      {"byte after complete", {0x04, 0x03, 0x10, 0x20, 0x30, 0x40}, {0, 0, 0, 0, 0, aErrPacket}, false},
      {"byte after empty packet", {0x04, 0x00, 0x05}, {0, 0, aErrPacket}, false},
      {"zero address", {0x00}, {aErrPacket}, false},
      {"length 29", {0x04, 29}, {0, aErrPacket}, false},
      {"partial", {0x04, 0x02, 0x11}, {0, 0, 0}, false},
  };
  for (const auto& c : cases) {
    PacketPtr packet(aPacket_Create());
    ASSERT_NE(packet.p, nullptr);
    for (size_t i = 0; i < c.bytes.size(); i++) {
      EXPECT_EQ(aPacket_AddByte(packet.p, c.bytes[i]), c.results[i]) << c.name << " byte " << i;
    }
    EXPECT_EQ(aPacket_IsComplete(packet.p), c.complete) << c.name;
  }

  PacketPtr packet(aPacket_Create());
  for (uint8_t b : {0x04, 0x03, 0x10, 0x20, 0x30}) aPacket_AddByte(packet.p, b);
  EXPECT_EQ(packet.p->length, 3);
  EXPECT_EQ(std::vector<uint8_t>(packet.p->data, packet.p->data + 3),
            (std::vector<uint8_t>{0x10, 0x20, 0x30}));

  // Garbage fed without a reset never wraps back into accepting bytes.
  PacketPtr garbage(aPacket_Create());
  aPacket_AddByte(garbage.p, 0x02);
  aPacket_AddByte(garbage.p, 28);
  aErr last = aErrNone;
  for (int i = 0; i < 600; i++) last = aPacket_AddByte(garbage.p, 0x55);
  EXPECT_EQ(last, aErrOverrun);
  EXPECT_EQ(aPacket_Reset(garbage.p), aErrNone);
  EXPECT_EQ(aPacket_AddByte(garbage.p, 0x02), aErrNone);

  EXPECT_EQ(aPacket_AddByte(nullptr, 1), aErrParam);
  aPacket dead = {};
  EXPECT_EQ(aPacket_AddByte(&dead, 1), aErrParam);
  EXPECT_EQ(aPacket_Reset(&dead), aErrParam);
}

TEST(PacketFields, ReadersMasksAndSizes) {
  const uint8_t data[28] = {0x07, 0xC5, 0xE3};
  PacketPtr p3(aPacket_CreateWithData(0x04, 3, data));
  uint8_t v = 0xAA;
  EXPECT_EQ(aPacket_GetCmd(p3.p, &v), aErrNone);
  EXPECT_EQ(v, 0x07);
  EXPECT_EQ(aPacket_GetOption(p3.p, &v), aErrNone);
  EXPECT_EQ(v, 0x05);
  EXPECT_EQ(aPacket_GetIndex(p3.p, &v), aErrNone);
  EXPECT_EQ(v, 0x03);
  EXPECT_EQ(aPacket_GetCmd(p3.p, nullptr), aErrParam);

  PacketPtr p1(aPacket_CreateWithData(0x04, 1, data));
  EXPECT_EQ(aPacket_GetOption(p1.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetIndex(p1.p, &v), aErrPacket);
  EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);

  EXPECT_EQ(aPacket_CreateWithData(0x04, 29, data), nullptr);
  EXPECT_EQ(aPacket_CreateWithData(0x04, 1, nullptr), nullptr);
  PacketPtr p28(aPacket_CreateWithData(0x04, 28, data));
  EXPECT_TRUE(aPacket_IsComplete(p28.p));

  uint8_t wire[5] = {};
  size_t count = 99;
  EXPECT_EQ(aPacket_GetBytes(p3.p, wire, 4, &count), aErrOverrun);
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(aPacket_GetBytes(p3.p, wire, 5, &count), aErrNone);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(std::vector<uint8_t>(wire, wire + 5),
            (std::vector<uint8_t>{0x04, 0x03, 0x07, 0xC5, 0xE3}));
  EXPECT_EQ(aPacket_GetBytes(p3.p, nullptr, 5, &count), aErrParam);

  PacketPtr copy(aPacket_Copy(p3.p));
  ASSERT_NE(copy.p, nullptr);
  EXPECT_TRUE(aPacket_IsComplete(copy.p));
  EXPECT_EQ(copy.p->address, 0x04);
  EXPECT_EQ(copy.p->data[2], 0xE3);

  aPacket* gone = aPacket_Create();
  EXPECT_EQ(aPacket_Destroy(&gone), aErrNone);
  EXPECT_EQ(gone, nullptr);
  EXPECT_EQ(aPacket_Destroy(&gone), aErrParam);
  EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

TEST(UEIBytes, NumbersAndPacketTests) {
  uint8_t b[4] = {};
  aUEI_StoreInt(b, 0x12345678);
  EXPECT_EQ(std::vector<uint8_t>(b, b + 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(aUEI_RetrieveInt(b), 0x12345678u);
  const uint8_t fffe[2] = {0xFF, 0xFE};
  EXPECT_EQ(aUEI_RetrieveShort(fffe), 65534);
  aUEI_StoreShort(b, 0xA1B2);
  EXPECT_EQ(b[0], 0xA1);
  EXPECT_EQ(b[1], 0xB2);
  uint32_t words[2];
  const uint8_t raw[8] = {0x01, 0x02, 0x03, 0x04, 0xF0, 0xE0, 0xD0, 0xC0};
  memcpy(words, raw, 8);
  aUEI_ModifyIntBuffer(words, 2);
  EXPECT_EQ(words[0], 0x01020304u);
  EXPECT_EQ(words[1], 0xF0E0D0C0u);

  const uint8_t seq[3] = {0x10, 0x00, 0x85};
  PacketPtr p(aPacket_CreateWithData(0x04, 3, seq));
  EXPECT_EQ(aUEI_getBytesSequence(p.p), 5);
  EXPECT_EQ(aUEI_getBytesContinue(p.p), 1);
  EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
  EXPECT_FALSE(aUEI_getBytesFullPacket(p.p));

  struct Row {
    uint8_t cmd;
    bool uei;
  };
  for (Row r : {Row{4, false}, Row{3, true}, Row{173, false}, Row{0, false}, Row{174, true}}) {
    const uint8_t d[1] = {r.cmd};
    PacketPtr q(aPacket_CreateWithData(0x04, 1, d));
    EXPECT_EQ(aUEI_isUEIPayload(q.p), r.uei) << int(r.cmd);
    EXPECT_EQ(aUEI_isNotUEIPayload(q.p), !r.uei) << int(r.cmd);
  }

  const uint8_t stream[5] = {0x12, 0x05, 0x41, 0, 0};
  PacketPtr s(aPacket_CreateWithData(0x04, 5, stream));
  EXPECT_TRUE(aUEI_isStreamPacket(s.p));
  PacketPtr shortPacket(aPacket_CreateWithData(0x04, 4, stream));
  EXPECT_FALSE(aUEI_isStreamPacket(shortPacket.p));
  const uint8_t notStream[5] = {0x12, 0x45, 0x41, 0, 0};
  PacketPtr n(aPacket_CreateWithData(0x04, 5, notStream));
  EXPECT_FALSE(aUEI_isStreamPacket(n.p));
  EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(PacketLog, RingKeepsNewestEntries) {
  aPacketLog* log = aPacketLog_Create(16);
  ASSERT_NE(log, nullptr);
  uint8_t payload[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  EXPECT_EQ(aPacketLog_Put(log, 0x51, 14, payload), aErrOverrun);
  EXPECT_EQ(aPacketLog_Put(log, 0x52, 13, payload), aErrNone);

  uint8_t tag = 0, out[32];
  uint32_t size = 4;
  EXPECT_EQ(aPacketLog_Get(log, &tag, &size, out), aErrOverrun);
  EXPECT_EQ(size, 13u);  // the entry stays and its length is reported
  size = sizeof out;
  EXPECT_EQ(aPacketLog_Get(log, &tag, &size, out), aErrNone);
  EXPECT_EQ(tag, 0x52);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 13), std::vector<uint8_t>(payload, payload + 13));
  size = sizeof out;
  EXPECT_EQ(aPacketLog_Get(log, &tag, &size, out), aErrNotFound);

  // Entries of 7 bytes each: the third forces the first out, wrapping around the ring.
  for (uint8_t t = 1; t <= 3; t++) {
    uint8_t five[5] = {t, t, t, t, t};
    EXPECT_EQ(aPacketLog_Put(log, t, 5, five), aErrNone);
  }
  for (uint8_t expected = 2; expected <= 3; expected++) {
    size = sizeof out;
    ASSERT_EQ(aPacketLog_Get(log, &tag, &size, out), aErrNone);
    EXPECT_EQ(tag, expected);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(out[4], expected);
  }
  size = sizeof out;
  EXPECT_EQ(aPacketLog_Get(log, &tag, &size, out), aErrNotFound);

  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  EXPECT_EQ(log, nullptr);
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
}

}  // namespace
