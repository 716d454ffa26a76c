// The link engine over a scripted in-memory stream: the test hands bytes to the reader and
// sees every write the writer makes, so the resynchronisation machine, heartbeats, filters,
// pooling and the packet log are checked byte for byte. TCP links run over loopback.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "aLink.h"
#include "aPacketFifo.h"
#include "aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(5);

// Bytes fed to the link's reader and writes captured from its writer. A get with nothing
// to hand out waits briefly, like a real transport, before it reports aErrNotReady.
struct ScriptedStream {
  std::mutex m;
  std::condition_variable cv;
  std::deque<uint8_t> input;
  std::vector<Bytes> writes;
  bool gateClosed = false;  // while set, writes wait (to let packets pile up)
  bool deleted = false;

  void feed(const Bytes& b) {
    std::lock_guard<std::mutex> l(m);
    input.insert(input.end(), b.begin(), b.end());
    cv.notify_all();
  }
  void openGate() {
    std::lock_guard<std::mutex> l(m);
    gateClosed = false;
    cv.notify_all();
  }
  Bytes written() {
    std::lock_guard<std::mutex> l(m);
    Bytes all;
    for (auto& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
  }
  // Waits until the writer's output holds `want` as a contiguous run after `from`.
  bool waitForOutput(const Bytes& want, size_t from = 0) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_until(l, Clock::now() + kDeadline, [&] {
      Bytes all;
      for (auto& w : writes) all.insert(all.end(), w.begin(), w.end());
      if (all.size() < from + want.size()) return false;
      return std::search(all.begin() + static_cast<long>(from), all.end(), want.begin(),
                         want.end()) != all.end();
    });
  }
  bool waitForInputDrained() {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_until(l, Clock::now() + kDeadline, [&] { return input.empty(); });
  }

  static aErr get(uint8_t* byte, void* ref) {
    auto* s = static_cast<ScriptedStream*>(ref);
    std::unique_lock<std::mutex> l(s->m);
    if (s->input.empty())
      s->cv.wait_for(l, std::chrono::milliseconds(20), [&] { return !s->input.empty(); });
    if (s->input.empty()) return aErrNotReady;
    *byte = s->input.front();
    s->input.pop_front();
    s->cv.notify_all();
    return aErrNone;
  }
  static aErr write(const uint8_t* data, size_t n, void* ref) {
    auto* s = static_cast<ScriptedStream*>(ref);
    std::unique_lock<std::mutex> l(s->m);
    s->cv.wait_until(l, Clock::now() + kDeadline, [&] { return !s->gateClosed; });
    s->writes.emplace_back(data, data + n);
    s->cv.notify_all();
    return aErrNone;
  }
  static aErr put(uint8_t byte, void* ref) { return write(&byte, 1, ref); }
  static aErr del(void* ref) {
    auto* s = static_cast<ScriptedStream*>(ref);
    std::lock_guard<std::mutex> l(s->m);
    s->deleted = true;
    return aErrNone;
  }
};

const Bytes kForceRouteOn = {175, 1, 1};
const Bytes kForceRouteOff = {175, 1, 0};
const Bytes kSixSyncRequests = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

bool waitForStatus(uint32_t id, uint32_t status) {
  auto end = Clock::now() + kDeadline;
  while (Clock::now() < end) {
    if (aLink_GetStatus(id) == status) return true;
    std::this_thread::yield();
    usleep(1000);
  }
  return false;
}

class LinkOnScriptedStream : public ::testing::Test {
 protected:
  void SetUp() override {
    stream = aStream_Create(ScriptedStream::get, ScriptedStream::put, ScriptedStream::write,
                            ScriptedStream::del, &s);
    ASSERT_NE(stream, nullptr);
    id = aLink_Create(stream);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_GetStatus(id), aLinkStatusRunning);
    ASSERT_TRUE(s.waitForOutput(kForceRouteOn));
  }
  void TearDown() override {
    if (id) {
      EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    }
    EXPECT_EQ(id, 0u);
  }
  ScriptedStream s;
  aStream* stream = nullptr;
  uint32_t id = 0;
};

TEST_F(LinkOnScriptedStream, PacketsReachTheIncomingQueueAndLeaveThroughTheWriter) {
  s.feed({4, 3, 0x10, 0x20, 0x30});
  aPacket* p = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(Bytes(p->data, p->data + p->length), (Bytes{0x10, 0x20, 0x30}));
  aPacket_Destroy(&p);

  const uint8_t data[] = {7, 8};
  aPacket* out = aPacket_CreateWithData(6, 2, data);
  EXPECT_EQ(aLink_PutPacket(id, out), aErrNone);
  aPacket_Destroy(&out);
  EXPECT_TRUE(s.waitForOutput({6, 2, 7, 8}));
}

TEST_F(LinkOnScriptedStream, OddAddressThrowsTheLinkIntoResynchronisation) {
  size_t before = s.written().size();
  s.feed({0x05});
  ASSERT_TRUE(s.waitForOutput(kSixSyncRequests, before));
  EXPECT_EQ(aLink_GetStatus(id), aLinkStatusSyncing);
  // Two identical empty packets from one address bring it back.
  s.feed({0x06, 0x00, 0x06, 0x00});
  EXPECT_TRUE(waitForStatus(id, aLinkStatusRunning));
  // Assembly resumes with the next byte.
  s.feed({4, 1, 9});
  aPacket* p = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(p->data[0], 9);
  aPacket_Destroy(&p);
}

TEST_F(LinkOnScriptedStream, MismatchedSyncRepliesRestartTheExchange) {
  size_t before = s.written().size();
  s.feed({0x05});
  ASSERT_TRUE(s.waitForOutput(kSixSyncRequests, before));
  ASSERT_TRUE(s.waitForInputDrained());
  // The third byte differs from the remembered address: back to the start state, and the
  // fourth byte asks again.
  size_t mark = s.written().size();
  s.feed({0x06, 0x00, 0x08, 0x00});
  EXPECT_TRUE(s.waitForOutput(kSixSyncRequests, mark));
  EXPECT_EQ(aLink_GetStatus(id), aLinkStatusSyncing);
  s.feed({0x08, 0x00, 0x08, 0x00});
  EXPECT_TRUE(waitForStatus(id, aLinkStatusRunning));
}

TEST_F(LinkOnScriptedStream, HeartbeatsAreAnsweredAndNotQueued) {
  struct Row {
    Bytes in, answer;
  } rows[] = {{{4, 2, 0, 0}, {4, 2, 0, 2}}, {{4, 2, 0, 1}, {4, 2, 0, 3}}};
  for (const auto& row : rows) {
    size_t before = s.written().size();
    s.feed(row.in);
    EXPECT_TRUE(s.waitForOutput(row.answer, before));
  }
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

bool consumeAll(const aPacket*, void* ref) {
  if (ref) ++*static_cast<std::atomic<int>*>(ref);
  return true;
}

TEST_F(LinkOnScriptedStream, UserFilterConsumesPacketsAndHeartbeatsGoUnanswered) {
  std::atomic<int> seen{0};
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, consumeAll, &seen), aErrNone);
  size_t before = s.written().size();
  s.feed({4, 1, 9, 4, 2, 0, 0});
  auto end = Clock::now() + kDeadline;
  while (seen < 2 && Clock::now() < end) usleep(1000);
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  // A packet after the filter is gone reaches the queue; the writer had its chance to answer.
  s.feed({8, 1, 1});
  aPacket* p = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->address, 8);
  aPacket_Destroy(&p);
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(s.written().size(), before) << "the consumed heartbeat was answered";
}

TEST_F(LinkOnScriptedStream, PooledWritesStayWithin4096Bytes) {
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
  {
    std::lock_guard<std::mutex> l(s.m);
    s.gateClosed = true;
    s.writes.clear();
  }
  uint8_t data[20];
  for (int i = 0; i < 20; ++i) data[i] = static_cast<uint8_t>(i + 1);
  for (int i = 0; i < 200; ++i) {
    aPacket* p = aPacket_CreateWithData(4, 20, data);
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
  }
  s.openGate();
  auto end = Clock::now() + kDeadline;
  while (s.written().size() < 200 * 22 && Clock::now() < end) usleep(1000);
  std::lock_guard<std::mutex> l(s.m);
  size_t total = 0, largest = 0;
  for (auto& w : s.writes) {
    total += w.size();
    largest = std::max(largest, w.size());
  }
  EXPECT_EQ(total, 200u * 22);
  EXPECT_LE(largest, 4096u);
  EXPECT_GT(largest, 22u) << "nothing was pooled";
  EXPECT_LE(s.writes.size(), 4u);
}

TEST_F(LinkOnScriptedStream, PacketDebugLogRecordsBothDirections) {
  EXPECT_EQ(aLink_PacketDebug_Read(id, nullptr, nullptr, nullptr), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0x4000001), aErrParam);
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, 1024), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 2048), aErrBusy);

  const uint8_t data[] = {1};
  aPacket* out = aPacket_CreateWithData(6, 1, data);
  ASSERT_EQ(aLink_PutPacket(id, out), aErrNone);
  aPacket_Destroy(&out);
  ASSERT_TRUE(s.waitForOutput({6, 1, 1}));
  s.feed({4, 1, 9});
  aPacket* in = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(in, nullptr);
  aPacket_Destroy(&in);
  ASSERT_EQ(aLink_PacketDebug_Write(id, 3, 6, reinterpret_cast<const uint8_t*>("START")), aErrNone);

  std::vector<std::pair<uint8_t, Bytes>> entries;
  // The writer records a packet just after handing it to the stream, so poll for it.
  auto end = Clock::now() + kDeadline;
  while (entries.size() < 3 && Clock::now() < end) {
    uint8_t tag = 0, buf[64];
    uint32_t size = sizeof buf;
    if (aLink_PacketDebug_Read(id, &tag, &size, buf) != aErrNone)
      usleep(1000);
    else if (Bytes(buf, buf + size) != kForceRouteOn)  // may be recorded after Enable
      entries.emplace_back(tag, Bytes(buf, buf + size));
  }
  ASSERT_EQ(entries.size(), 3u);
  // The reader and the writer record independently, so only the tags fix the order here.
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries[0], (std::pair<uint8_t, Bytes>{1, {6, 1, 1}}));
  EXPECT_EQ(entries[1], (std::pair<uint8_t, Bytes>{2, {4, 1, 9}}));
  EXPECT_EQ(entries[2].first, 3);
  EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrNone);
}

TEST_F(LinkOnScriptedStream, DestroySendsTheFinalForceRouteAndClosesTheStream) {
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  EXPECT_TRUE(s.waitForOutput(kForceRouteOff));
  std::lock_guard<std::mutex> l(s.m);
  EXPECT_TRUE(s.deleted);
}

TEST(Link, UnknownIdentifiers) {
  uint32_t never = 0xFFFFFF00u;
  EXPECT_EQ(aLink_GetStatus(never), aLinkStatusNoStream);
  EXPECT_EQ(aLink_PutPacket(never, nullptr), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(never, 1), aErrNotFound);
  EXPECT_EQ(aLink_Sync(never), aErrParam);
  EXPECT_EQ(aLink_Reset(never), aErrParam);
  EXPECT_EQ(aLink_DrainPackets(never, consumeAll, nullptr), 0u);
  EXPECT_EQ(aLink_Destroy(&never), aErrParam);
  EXPECT_EQ(never, 0u);
  EXPECT_EQ(aLink_CreateSerial(0x1234, "/dev/null", 12345), 0u);
}

// A loopback TCP listener standing in for a module: it accepts connections and keeps them.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  std::vector<int> peers;
  Listener() { fd = loopback::listenOn(&port, 8); }
  ~Listener() {
    for (int p : peers) close(p);
    close(fd);
  }
  bool accept(int timeoutMS = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMS) != 1) return false;
    int c = ::accept(fd, nullptr, nullptr);
    if (c < 0) return false;
    peers.push_back(c);
    return true;
  }
  Bytes readFrom(size_t peer, size_t n) {
    Bytes out;
    auto end = Clock::now() + kDeadline;
    while (out.size() < n && Clock::now() < end) {
      pollfd p{peers[peer], POLLIN, 0};
      if (poll(&p, 1, 100) != 1) continue;
      uint8_t buf[256];
      ssize_t r = read(peers[peer], buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
};

TEST(LinkTCPIP, SharedByUseCountAndTornDownByTheLastRelease) {
  Listener module;
  const unsigned before = aLink_TableSize();
  uint32_t a = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), module.port);
  ASSERT_NE(a, 0u);
  ASSERT_TRUE(module.accept());
  uint32_t b = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), module.port);
  EXPECT_EQ(a, b);
  EXPECT_EQ(aLink_TableSize(), before + 1);

  uint32_t first = a;
  EXPECT_EQ(aLink_Destroy(&a), aErrNone);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(aLink_GetStatus(b), aLinkStatusRunning);
  EXPECT_EQ(aLink_Destroy(&b), aErrNone);
  EXPECT_EQ(b, 0u);
  EXPECT_EQ(aLink_GetStatus(first), aLinkStatusNoStream);
  EXPECT_EQ(aLink_TableSize(), before);
  // Force-route on at start and off at stop reached the module.
  EXPECT_EQ(module.readFrom(0, 6), (Bytes{175, 1, 1, 175, 1, 0}));
}

TEST(LinkTCPIP, ResetReconnectsToTheSameModuleAndKeepsTheIdentifier) {
  Listener module;
  uint32_t id = aLink_CreateTCPIP(0x11111112, htonl(INADDR_LOOPBACK), module.port);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(module.accept());
  uint32_t before = id;
  EXPECT_EQ(aLink_Reset(id), aErrNone);
  ASSERT_TRUE(module.accept()) << "no reconnection after reset";
  EXPECT_EQ(id, before);
  EXPECT_EQ(aLink_GetStatus(id), aLinkStatusRunning);

  // Traffic flows on the new connection.
  const uint8_t byte = 0x42;
  aPacket* p = aPacket_CreateWithData(4, 1, &byte);
  ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
  aPacket_Destroy(&p);
  EXPECT_EQ(module.readFrom(1, 6), (Bytes{175, 1, 1, 4, 1, 0x42}));
  const uint8_t reply[] = {4, 1, 0x43};
  ASSERT_EQ(write(module.peers[1], reply, sizeof reply), 3);
  aPacket* in = aLink_AwaitPacket(id, 5000);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->data[0], 0x43);
  aPacket_Destroy(&in);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkTCPIP, NoModuleListeningMeansNoLink) {
  uint16_t port;
  {
    Listener gone;
    port = gone.port;
  }
  const unsigned before = aLink_TableSize();
  EXPECT_EQ(aLink_CreateTCPIP(0x22222222, htonl(INADDR_LOOPBACK), port), 0u);
  EXPECT_EQ(aLink_TableSize(), before);
}

}  // namespace
