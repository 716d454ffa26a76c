// Packet queues: identifiers, overflow, waiting, and the once-per-packet test of
// aPacketFifo_AwaitFirst while other threads put packets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "aPacketFifo.h"

namespace {

using Clock = std::chrono::steady_clock;

aPacket* Numbered(uint32_t n) {
  uint8_t data[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
  return aPacket_CreateWithData(0x04, 4, data);
}

uint32_t NumberOf(const aPacket* p) {
  return uint32_t(p->data[0]) << 24 | uint32_t(p->data[1]) << 16 | uint32_t(p->data[2]) << 8 |
         p->data[3];
}

void PutNumbered(uint64_t fifo, uint32_t n) {
  aPacket* p = Numbered(n);
  ASSERT_EQ(aPacketFifo_Put(fifo, p), aErrNone);
  aPacket_Destroy(&p);
}

// Waits for a condition with a deadline; false when it never became true.
template <typename F>
bool WaitFor(F condition, int ms = 5000) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(PacketFifo, IdentifiersAndDestroy) {
  // The first queue of the process is 1 (this test runs first in its own process under
  // ctest; when the whole binary runs at once only the relative behaviour is checked).
  uint64_t first = aPacketFifo_Create();
  ASSERT_NE(first, 0u);
  if (::testing::UnitTest::GetInstance()->test_to_run_count() == 1) {
    EXPECT_EQ(first, 1u);
  }
  uint64_t second = aPacketFifo_Create();
  EXPECT_GT(second, first);

  uint64_t old = first;
  EXPECT_EQ(aPacketFifo_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&old), aErrNotFound);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(old), 0u);
  aPacket* p = Numbered(1);
  EXPECT_EQ(aPacketFifo_Put(old, p), aErrParam);
  EXPECT_EQ(aPacketFifo_Await(old, 0), nullptr);
  aPacket dead = {};
  EXPECT_EQ(aPacketFifo_Put(second, &dead), aErrParam);
  aPacket_Destroy(&p);
  aPacketFifo_Destroy(&second);
}

TEST(PacketFifo, OverflowDropsTheWholeBacklog) {
  for (uint32_t count : {1000u, 1001u, 1002u}) {
    uint64_t fifo = aPacketFifo_Create();
    for (uint32_t i = 0; i < count; i++) PutNumbered(fifo, i);
    uint32_t expected = count == 1000 ? 1000 : count - 1001;
    EXPECT_EQ(aPacketFifo_GetLength(fifo), expected) << count;
    if (count == 1002) {  // queuing goes on after the drop
      aPacket* p = aPacketFifo_Get(fifo);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(NumberOf(p), 1001u);
      aPacket_Destroy(&p);
    }
    aPacketFifo_Destroy(&fifo);
  }
}

TEST(PacketFifo, TakesCopiesInOrder) {
  uint64_t fifo = aPacketFifo_Create();
  EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
  aPacket* mine = Numbered(7);
  ASSERT_EQ(aPacketFifo_Put(fifo, mine), aErrNone);
  mine->data[3] = 99;  // the queue holds its own copy
  PutNumbered(fifo, 8);
  aPacket* a = aPacketFifo_Await(fifo, 0);
  aPacket* b = aPacketFifo_Get(fifo);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(NumberOf(a), 7u);
  EXPECT_EQ(NumberOf(b), 8u);
  EXPECT_EQ(aPacketFifo_Get(fifo), nullptr);
  aPacket_Destroy(&a);
  aPacket_Destroy(&b);
  aPacket_Destroy(&mine);
  aPacketFifo_Destroy(&fifo);
}

bool IsOdd(const aPacket* p, void*) { return NumberOf(p) % 2 == 1; }
bool Is(const aPacket* p, void* ref) { return NumberOf(p) == *static_cast<uint32_t*>(ref); }

TEST(PacketFifo, FirstMatchAndDrain) {
  uint64_t fifo = aPacketFifo_Create();
  for (uint32_t i = 0; i < 10; i++) PutNumbered(fifo, i);
  uint32_t want = 4;
  aPacket* p = aPacketFifo_GetFirst(fifo, Is, &want);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(NumberOf(p), 4u);
  aPacket_Destroy(&p);
  want = 42;
  EXPECT_EQ(aPacketFifo_GetFirst(fifo, Is, &want), nullptr);

  EXPECT_EQ(aPacketFifo_DrainPackets(fifo, IsOdd, nullptr), 5u);
  std::vector<uint32_t> rest;
  while ((p = aPacketFifo_Get(fifo)) != nullptr) {
    rest.push_back(NumberOf(p));
    aPacket_Destroy(&p);
  }
  EXPECT_EQ(rest, (std::vector<uint32_t>{0, 2, 6, 8}));
  EXPECT_EQ(aPacketFifo_DrainPackets(0, IsOdd, nullptr), 0u);
  aPacketFifo_Destroy(&fifo);
}

// Counts how often the test saw each packet; never matches unless told which number to take.
struct Seen {
  std::mutex mutex;
  std::map<uint32_t, int> calls;
  std::atomic<int> total{0};
  uint32_t take = ~0u;
};

bool CountCalls(const aPacket* p, void* ref) {
  auto* seen = static_cast<Seen*>(ref);
  std::lock_guard<std::mutex> lock(seen->mutex);
  seen->calls[NumberOf(p)]++;
  seen->total++;
  return NumberOf(p) == seen->take;
}

TEST(PacketFifo, AwaitFirstTestsEachPacketOnceUnderConcurrentPuts) {
  uint64_t fifo = aPacketFifo_Create();
  const uint32_t kBefore = 3, kPerThread = 300, kThreads = 2;
  for (uint32_t i = 0; i < kBefore; i++) PutNumbered(fifo, i);
  // Someone else takes packets meanwhile, which moves the window under the waiter.
  Seen seen;
  seen.take = kBefore + kThreads * kPerThread;  // the very last packet
  aPacket* result = nullptr;
  std::thread waiter([&] { result = aPacketFifo_AwaitFirst(fifo, CountCalls, &seen, 10000); });
  ASSERT_TRUE(WaitFor([&] { return seen.total.load() >= int(kBefore); }));

  std::vector<std::thread> putters;
  for (uint32_t t = 0; t < kThreads; t++) {
    putters.emplace_back([&, t] {
      for (uint32_t i = 0; i < kPerThread; i++) PutNumbered(fifo, kBefore + t * kPerThread + i);
    });
  }
  for (auto& t : putters) t.join();
  PutNumbered(fifo, seen.take);
  waiter.join();

  ASSERT_NE(result, nullptr);
  EXPECT_EQ(NumberOf(result), seen.take);
  aPacket_Destroy(&result);
  EXPECT_EQ(seen.calls.size(), kBefore + kThreads * kPerThread + 1);
  for (const auto& [number, calls] : seen.calls) {
    EXPECT_EQ(calls, 1) << "packet " << number;
  }
  EXPECT_EQ(aPacketFifo_GetLength(fifo), kBefore + kThreads * kPerThread);
  aPacketFifo_Destroy(&fifo);
}

TEST(PacketFifo, WaitersWakeOnPutAndOnDestroy) {
  uint64_t fifo = aPacketFifo_Create();
  aPacket* got = nullptr;
  std::atomic<bool> started{false};
  std::thread any([&] {
    started = true;
    got = aPacketFifo_Await(fifo, 10000);
  });
  ASSERT_TRUE(WaitFor([&] { return started.load(); }));
  PutNumbered(fifo, 5);
  any.join();
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(NumberOf(got), 5u);
  aPacket_Destroy(&got);

  // A waiter blocked in AwaitFirst returns null soon after the queue is destroyed.
  PutNumbered(fifo, 1);
  Seen seen;
  aPacket sentinel = {};
  aPacket* result = &sentinel;
  Clock::time_point returned;
  std::thread waiter([&] {
    result = aPacketFifo_AwaitFirst(fifo, CountCalls, &seen, 10000);
    returned = Clock::now();
  });
  ASSERT_TRUE(WaitFor([&] { return seen.total.load() >= 1; }));
  uint64_t id = fifo;
  auto destroyed = Clock::now();
  EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  waiter.join();
  EXPECT_EQ(result, nullptr);
  EXPECT_LT(returned - destroyed, std::chrono::milliseconds(500));
  EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);
}

TEST(PacketFifo, AwaitTimesOut) {
  uint64_t fifo = aPacketFifo_Create();
  auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(fifo, 50), nullptr);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
  Seen seen;
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo, CountCalls, &seen, 20), nullptr);
  aPacketFifo_Destroy(&fifo);
}

}  // namespace
