// The link engine against the module simulator over real transports: TCP on loopback and
// a COBS-framed serial line on a pty.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <thread>
#include <vector>

#include "QwsimHarness.h"
#include "aLink.h"
#include "qwusb.h"

namespace {

using qwtest::Sim;
using qwtest::json;

constexpr uint32_t kSerial = 0x40F5849A;

uint8_t moduleAddress(const Sim& sim) { return sim.ready["modules"][0]["address"].get<uint8_t>(); }

bool isEmptyFrom(const aPacket* p, void* ref) {
  return p->length == 0 && p->address == *static_cast<uint8_t*>(ref);
}

// A presence request answered by the module: the simplest request/reply through the queues.
bool presenceAnswered(uint32_t id, uint8_t address) {
  aPacket* req = aPacket_CreateWithData(aLinkPresenceAddress, 0, &address);
  aErr err = aLink_PutPacket(id, req);
  aPacket_Destroy(&req);
  if (err != aErrNone) return false;
  aPacket* reply = aLink_AwaitFirst(id, isEmptyFrom, &address, 2000);
  bool ok = reply != nullptr;
  aPacket_Destroy(&reply);
  return ok;
}

json stopAndReport(Sim& sim, const std::string& path) {
  EXPECT_EQ(sim.stop(), 0);
  return json::parse(qwtest::readFile(path))["modules"][0];
}

bool waitForStatus(uint32_t id, uint32_t status, int ms = 5000) {
  auto end = qwtest::Clock::now() + std::chrono::milliseconds(ms);
  while (qwtest::Clock::now() < end) {
    if (aLink_GetStatus(id) == status) return true;
    usleep(2000);
  }
  return false;
}

class LinkAgainstSim : public ::testing::Test {
 protected:
  void SetUp() override { dir = qwtest::makeTempDir("link"); }
  std::string dir;
};

TEST_F(LinkAgainstSim, TCPLinkCarriesRequestsAndAnswersHeartbeats) {
  const std::string report = dir + "/report.json";
  Sim sim({"--serial", "40F5849A", "--tcp", "0", "--heartbeat", "100", "--report", report});
  uint32_t id = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port());
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(presenceAnswered(id, moduleAddress(sim)));
  // Heartbeats arrive every 100 ms: the packet log shows one received and its answer sent,
  // and none of them reaches the incoming queue.
  ASSERT_EQ(aLink_PacketDebug_Enable(id), aErrNone);
  const uint8_t addr = moduleAddress(sim);
  const std::vector<uint8_t> heartbeat = {addr, 2, 0, 0}, answer = {addr, 2, 0, 2};
  bool received = false, answered = false;
  auto end = qwtest::Clock::now() + std::chrono::seconds(5);
  while (!(received && answered) && qwtest::Clock::now() < end) {
    uint8_t tag = 0, buf[64];
    uint32_t size = sizeof buf;
    if (aLink_PacketDebug_Read(id, &tag, &size, buf) != aErrNone) {
      usleep(5000);
      continue;
    }
    std::vector<uint8_t> entry(buf, buf + size);
    received |= tag == 2 && entry == heartbeat;
    answered |= tag == 1 && entry == answer;
  }
  EXPECT_TRUE(received);
  EXPECT_TRUE(answered);
  EXPECT_EQ(aLink_GetPacket(id), nullptr);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  json m = stopAndReport(sim, report);
  EXPECT_GE(m["requests"]["presence"].get<int>(), 1);
  EXPECT_GE(m["requests"]["heartbeat_answer"].get<int>(), 1) << m.dump();
  EXPECT_EQ(m["force_route"]["last"].get<int>(), 0);
  EXPECT_EQ(m["force_route"]["count"].get<int>(), 2);
}

TEST_F(LinkAgainstSim, ModuleThatGoesAwayIsNoticedAndResetReconnects) {
  const std::string report = dir + "/report.json";
  Sim sim({"--serial", "40F5849A", "--tcp", "0", "--report", report});
  uint32_t id = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port());
  ASSERT_NE(id, 0u);
  const uint32_t before = id;
  ASSERT_TRUE(presenceAnswered(id, moduleAddress(sim)));

  // Reset reconnects to the same address and port and keeps the identifier.
  ASSERT_EQ(aLink_Reset(id), aErrNone);
  EXPECT_EQ(id, before);
  EXPECT_TRUE(presenceAnswered(id, moduleAddress(sim)));

  // The module disappears: the reader sees the failure instead of waiting for ever.
  json m = stopAndReport(sim, report);
  EXPECT_EQ(m["connections"]["accepted"].get<int>(), 2);
  EXPECT_TRUE(waitForStatus(id, aLinkStatusIOError) || waitForStatus(id, aLinkStatusSyncing))
      << "status " << aLink_GetStatus(id);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST_F(LinkAgainstSim, SerialLinkOverCobsPty) {
  Sim sim({"--serial", "40F5849A", "--pty-cobs"});
  const std::string path = sim.pty(0, "pty_cobs");
  uint32_t id = aLink_CreateSerial(kSerial, path.c_str(), 115200);
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(presenceAnswered(id, moduleAddress(sim)));
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// The kernel driver's node carries raw packets; the simulator's raw pty plays it, found
// through a node folder of the test's own. A USB link resynchronises right after it starts.
TEST_F(LinkAgainstSim, UsbLinkThroughTheKernelDriverNode) {
  const std::string report = dir + "/report.json";
  Sim sim({"--serial", "40F5849A", "--pty", "--report", report});
  const std::string pty = sim.pty(0, "pty");
  ASSERT_EQ(symlink(pty.c_str(), (dir + "/quarkwire.40F5849A").c_str()), 0);
  qwusb_SetNodeDirectoryForTesting(dir.c_str());
  uint32_t id = aLink_CreateUSB(kSerial);
  EXPECT_NE(id, 0u);
  if (id) {
    EXPECT_EQ(aLink_GetStatus(id), aLinkStatusRunning);
    EXPECT_TRUE(presenceAnswered(id, moduleAddress(sim)));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  }
  qwusb_SetNodeDirectoryForTesting(nullptr);
  json m = stopAndReport(sim, report);
  // Sync requests after the start (those still queued once two answers matched are
  // discarded), then the test's own presence request.
  EXPECT_GE(m["requests"]["presence"].get<int>(), 3);
}

// Several threads create and release links to one module at once: the table shares one
// link among them, nothing leaks and nothing dead-locks.
TEST_F(LinkAgainstSim, ConcurrentCreateAndDestroy) {
  Sim sim({"--serial", "40F5849A", "--tcp", "0"});
  const unsigned before = aLink_TableSize();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 15; ++i) {
        uint32_t id = aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), sim.port());
        if (id == 0 || aLink_GetStatus(id) != aLinkStatusRunning) ++failures;
        if (id) aLink_Destroy(&id);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(aLink_TableSize(), before);
}

}  // namespace
