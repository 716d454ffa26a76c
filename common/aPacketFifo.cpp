#include "aPacketFifo.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <new>
#include <shared_mutex>

namespace {

// The registry of live queues. gpPacketFifoDictionaryMutex guards the map and the id
// counter; it is held only for a lookup (shared), insertion or removal (exclusive), never
// while a queue's own mutex is taken or while waiting. Lookups share it, so a putting and
// a waiting thread do not queue up behind each other here.
std::shared_mutex gpPacketFifoDictionaryMutex;
std::map<uint64_t, std::shared_ptr<packetFifo>> gpPacketFifoDictionary;
uint64_t gpSequentialId = 1;

std::shared_ptr<packetFifo> sLookupRegistry(uint64_t fifoId) {
  std::shared_lock<std::shared_mutex> lock(gpPacketFifoDictionaryMutex);
  auto it = gpPacketFifoDictionary.find(fifoId);
  if (it == gpPacketFifoDictionary.end()) {
    return nullptr;
  }
  return it->second;
}

// Each thread remembers the last few queues it used, so the steady traffic of a link (one
// thread putting, one waiting) does not contend on the registry. Identifiers are never
// reused, and a queue is closed (isOpen false, under its mutex) before its last reference
// goes, so a cached entry whose queue is closed behaves like an unknown identifier: every
// operation checks isOpen again under the queue's mutex.
struct CachedFifo {
  uint64_t id = 0;
  std::shared_ptr<packetFifo> fifo;
  int pins = 0;  // operations of this thread using the entry; a pinned entry is not evicted
};
const unsigned kCacheSize = 4;
thread_local CachedFifo tCache[kCacheSize];
thread_local unsigned tCacheNext = 0;

// A reference to a queue that keeps it alive for the caller's whole operation, even if
// another thread destroys it meanwhile.
class FifoRef {
 public:
  explicit FifoRef(uint64_t fifoId) {
    if (fifoId == 0) {
      return;
    }
    for (CachedFifo& entry : tCache) {
      if (entry.id == fifoId) {
        if (!entry.fifo->isOpen.load(std::memory_order_relaxed)) {
          if (entry.pins == 0) entry = CachedFifo();
          return;
        }
        Pin(&entry);
        return;
      }
    }
    std::shared_ptr<packetFifo> fifo = sLookupRegistry(fifoId);
    if (!fifo) {
      return;
    }
    for (unsigned tries = 0; tries < kCacheSize; tries++) {
      CachedFifo& slot = tCache[tCacheNext++ % kCacheSize];
      if (slot.pins == 0) {
        slot.id = fifoId;
        slot.fifo = std::move(fifo);
        Pin(&slot);
        return;
      }
    }
    owned_ = std::move(fifo);  // every slot is in use further up this thread's stack
    fifo_ = owned_.get();
  }
  ~FifoRef() {
    if (entry_ != nullptr) entry_->pins--;
  }
  FifoRef(const FifoRef&) = delete;
  FifoRef& operator=(const FifoRef&) = delete;

  explicit operator bool() const { return fifo_ != nullptr; }
  packetFifo* operator->() const { return fifo_; }
  packetFifo& operator*() const { return *fifo_; }

 private:
  void Pin(CachedFifo* entry) {
    entry_ = entry;
    entry_->pins++;
    fifo_ = entry_->fifo.get();
  }
  CachedFifo* entry_ = nullptr;
  std::shared_ptr<packetFifo> owned_;
  packetFifo* fifo_ = nullptr;
};

std::chrono::steady_clock::time_point sDeadline(uint32_t timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Takes the packet at the given position out of the queue and erases its slot. The queue's
// own copy is handed over whole: it was made by aPacket_Copy when the packet was queued, so
// the caller owns a separate packet without a second copy. Called with the mutex held.
aPacket* _stealPacketFromFifo(packetFifo& fifo, std::deque<SerialPacket>::iterator position) {
  aPacket* packet = position->releasePacket();
  fifo.eraseAndSyncWindow(position);
  return packet;
}

}  // namespace

// The window members are written only with the mutex held, which orders them; they are
// atomic so that a reader without the lock sees a whole value.
void packetFifo::syncWindow() {
  windowStart.store(packets.empty() ? nextId.load(std::memory_order_relaxed) : packets.front().getId(),
                    std::memory_order_relaxed);
}

void packetFifo::clearAndSyncWindow() {
  packets.clear();
  syncWindow();
}

void packetFifo::eraseAndSyncWindow(std::deque<SerialPacket>::iterator position) {
  if (position == packets.begin()) {
    packets.pop_front();  // the common case, and cheaper than a general erase
  } else {
    packets.erase(position);
  }
  syncWindow();
}

void packetFifo::eraseAndSyncWindow(std::deque<SerialPacket>::iterator first,
                                    std::deque<SerialPacket>::iterator last) {
  packets.erase(first, last);
  syncWindow();
}

uint64_t aPacketFifo_Create(void) {
  try {
    auto fifo = std::make_shared<packetFifo>();
    std::unique_lock<std::shared_mutex> lock(gpPacketFifoDictionaryMutex);
    uint64_t id = gpSequentialId++;
    if (id == 0) {
      id = gpSequentialId++;
    }
    gpPacketFifoDictionary.emplace(id, std::move(fifo));
    return id;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(uint64_t* fifoId) {
  if (fifoId == nullptr) {
    return aErrParam;
  }
  try {
    std::shared_ptr<packetFifo> fifo;
    {
      std::unique_lock<std::shared_mutex> lock(gpPacketFifoDictionaryMutex);
      auto it = gpPacketFifoDictionary.find(*fifoId);
      if (it == gpPacketFifoDictionary.end()) {
        return aErrNotFound;
      }
      fifo = std::move(it->second);
      gpPacketFifoDictionary.erase(it);
    }
    *fifoId = 0;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->isOpen = false;
    }
    fifo->ready.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

uint32_t aPacketFifo_GetLength(uint64_t fifoId) {
  FifoRef fifo(fifoId);
  if (!fifo) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(fifo->mutex);
  return static_cast<uint32_t>(fifo->packets.size());
}

aErr aPacketFifo_Put(uint64_t fifoId, const aPacket* packet) {
  try {
    FifoRef fifo(fifoId);
    if (!fifo) {
      return aErrParam;
    }
    std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
    if (!copy) {
      return aErrParam;
    }
    bool wake;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      if (!fifo->isOpen) {
        return aErrParam;
      }
      int64_t id = fifo->nextId.load(std::memory_order_relaxed);
      fifo->nextId.store(id + 1, std::memory_order_relaxed);
      fifo->packets.emplace_back(std::move(copy), id);
      fifo->windowStart.store(fifo->packets.front().getId(), std::memory_order_relaxed);
      // A backlog nobody reads is dropped whole rather than trimmed.
      wake = fifo->packets.size() <= aPACKETFIFO_MAX_PACKETS;
      if (!wake) {
        fifo->clearAndSyncWindow();
      }
    }
    if (wake) {
      fifo->ready.notify_all();
    }
    return aErrNone;
  } catch (const std::bad_alloc&) {
    return aErrResource;
  } catch (...) {
    return aErrUnknown;
  }
}

aPacket* aPacketFifo_Get(uint64_t fifoId) {
  try {
    FifoRef fifo(fifoId);
    if (!fifo) {
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->packets.empty()) {
      return nullptr;
    }
    return _stealPacketFromFifo(*fifo, fifo->packets.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_Await(uint64_t fifoId, uint32_t timeoutMs) {
  try {
    auto deadline = sDeadline(timeoutMs);
    FifoRef fifo(fifoId);
    if (!fifo) {
      return nullptr;
    }
    std::unique_lock<std::mutex> lock(fifo->mutex);
    fifo->ready.wait_until(lock, deadline,
                           [&] { return !fifo->packets.empty() || !fifo->isOpen; });
    if (fifo->packets.empty()) {
      return nullptr;
    }
    return _stealPacketFromFifo(*fifo, fifo->packets.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(uint64_t fifoId, aPacketTestProc test, void* ref) {
  if (test == nullptr) {
    return nullptr;
  }
  try {
    FifoRef fifo(fifoId);
    if (!fifo) {
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
      if (test(it->getPacket().get(), ref)) {
        return _stealPacketFromFifo(*fifo, it);
      }
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(uint64_t fifoId, aPacketTestProc test, void* ref,
                                uint32_t timeoutMs) {
  if (test == nullptr) {
    return nullptr;
  }
  try {
    auto deadline = sDeadline(timeoutMs);
    FifoRef fifo(fifoId);
    if (!fifo) {
      return nullptr;
    }
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Packets with an id up to lastSeen have been tested during this wait already.
    int64_t lastSeen = fifo->windowStart.load() - 1;
    bool timedOut = false;
    for (;;) {
      for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
        if (it->getId() <= lastSeen) {
          continue;
        }
        lastSeen = it->getId();
        if (test(it->getPacket().get(), ref)) {
          return _stealPacketFromFifo(*fifo, it);
        }
      }
      if (!fifo->isOpen || timedOut) {
        return nullptr;
      }
      // At the deadline the packets that arrived meanwhile get one last check.
      timedOut = fifo->ready.wait_until(lock, deadline) == std::cv_status::timeout;
    }
  } catch (...) {
    return nullptr;
  }
}

uint32_t aPacketFifo_DrainPackets(uint64_t fifoId, aPacketTestProc test, void* ref) {
  if (test == nullptr) {
    return 0;
  }
  try {
    FifoRef fifo(fifoId);
    if (!fifo) {
      return 0;
    }
    std::lock_guard<std::mutex> lock(fifo->mutex);
    auto keep = std::stable_partition(
        fifo->packets.begin(), fifo->packets.end(),
        [&](const SerialPacket& p) { return !test(p.getPacket().get(), ref); });
    auto removed = static_cast<uint32_t>(fifo->packets.end() - keep);
    fifo->eraseAndSyncWindow(keep, fifo->packets.end());
    return removed;
  } catch (...) {
    return 0;
  }
}
