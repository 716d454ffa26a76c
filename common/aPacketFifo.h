#pragma once
// Thread-safe packet queues, known to callers by a 64-bit identifier (0 never names a
// queue). A link puts received packets into one and callers take them, optionally waiting
// with a time-out for the first packet that passes their own test.
//
// Queues hold copies: a put copies the caller's packet in, and every take hands out a new
// packet that the caller frees with aPacket_Destroy.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "aErr.h"
#include "aPacket.h"

// A queue that nobody reads is emptied when it would hold more than this many packets.
#define aPACKETFIFO_MAX_PACKETS 1000

uint64_t aPacketFifo_Create(void);
aErr aPacketFifo_Destroy(uint64_t* fifoId);
uint32_t aPacketFifo_GetLength(uint64_t fifoId);
aErr aPacketFifo_Put(uint64_t fifoId, const aPacket* packet);
aPacket* aPacketFifo_Get(uint64_t fifoId);
aPacket* aPacketFifo_Await(uint64_t fifoId, uint32_t timeoutMs);
aPacket* aPacketFifo_GetFirst(uint64_t fifoId, aPacketTestProc test, void* ref);
// Waits up to timeoutMs for the oldest packet that passes the test. The test runs with the
// queue locked (it must not call back into the same queue) and at most once per packet
// during one wait, however often the waiter is woken.
aPacket* aPacketFifo_AwaitFirst(uint64_t fifoId, aPacketTestProc test, void* ref,
                                uint32_t timeoutMs);
// Removes and frees every packet that passes the test; returns how many were removed.
uint32_t aPacketFifo_DrainPackets(uint64_t fifoId, aPacketTestProc test, void* ref);

// The queue's building blocks.

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

// One queued packet and its sequence id.
class SerialPacket {
 public:
  SerialPacket(std::unique_ptr<aPacket, aPacketDeleter> packet, int64_t id)
      : packet_(std::move(packet)), id_(id) {}
  SerialPacket(SerialPacket&&) = default;
  SerialPacket& operator=(SerialPacket&&) = default;
  SerialPacket(const SerialPacket&) = delete;
  SerialPacket& operator=(const SerialPacket&) = delete;

  const std::unique_ptr<aPacket, aPacketDeleter>& getPacket() const { return packet_; }
  int64_t getId() const { return id_; }
  // Hands the packet over to the caller, leaving this slot empty.
  aPacket* releasePacket() { return packet_.release(); }

 private:
  std::unique_ptr<aPacket, aPacketDeleter> packet_;
  int64_t id_;
};

// One packet queue. Ids strictly increase from front to back and always lie in
// [windowStart, nextId); the two *AndSyncWindow methods are the only ways packets leave.
class packetFifo {
 public:
  std::deque<SerialPacket> packets;  // oldest first; guarded by mutex
  std::condition_variable ready;     // a packet was queued, or the queue closed
  std::mutex mutex;                  // guards every member; taken after the registry mutex
  std::atomic<bool> isOpen{true};
  std::atomic<int64_t> windowStart{0};  // id of the front packet; nextId when empty
  std::atomic<int64_t> nextId{0};       // id of the next queued packet

  // Both are called with mutex held.
  void clearAndSyncWindow();
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator position);
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator first,
                          std::deque<SerialPacket>::iterator last);

 private:
  void syncWindow();
};
