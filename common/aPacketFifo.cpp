#include "aPacketFifo.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <new>

namespace {

// The registry of live queues. gpPacketFifoDictionaryMutex guards the map and the id
// counter; it is held only for a lookup, insertion or removal, never while a queue's own
// mutex is taken or while waiting.
std::mutex gpPacketFifoDictionaryMutex;
std::map<uint64_t, std::shared_ptr<packetFifo>> gpPacketFifoDictionary;
uint64_t gpSequentialId = 1;

// Looks a queue up and keeps it alive for the caller's whole operation, even if another
// thread destroys it meanwhile.
std::shared_ptr<packetFifo> sLookup(uint64_t fifoId) {
  std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
  auto it = gpPacketFifoDictionary.find(fifoId);
  if (it == gpPacketFifoDictionary.end()) {
    return nullptr;
  }
  return it->second;
}

std::chrono::steady_clock::time_point sDeadline(uint32_t timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Copies the packet at the given position out and erases it; null (and the packet stays
// queued) when the copy cannot be made. Called with the queue's mutex held.
aPacket* _stealPacketFromFifo(packetFifo& fifo, std::deque<SerialPacket>::iterator position) {
  aPacket* copy = aPacket_Copy(position->getPacket().get());
  if (copy != nullptr) {
    fifo.eraseAndSyncWindow(position);
  }
  return copy;
}

}  // namespace

void packetFifo::syncWindow() {
  windowStart.store(packets.empty() ? nextId.load() : packets.front().getId());
}

void packetFifo::clearAndSyncWindow() {
  packets.clear();
  syncWindow();
}

void packetFifo::eraseAndSyncWindow(std::deque<SerialPacket>::iterator position) {
  packets.erase(position);
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
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
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
      std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
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
  auto fifo = sLookup(fifoId);
  if (!fifo) {
    return 0;
  }
  std::lock_guard<std::mutex> lock(fifo->mutex);
  return static_cast<uint32_t>(fifo->packets.size());
}

aErr aPacketFifo_Put(uint64_t fifoId, const aPacket* packet) {
  try {
    auto fifo = sLookup(fifoId);
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
      int64_t id = fifo->nextId.fetch_add(1);
      fifo->packets.emplace_back(std::move(copy), id);
      fifo->windowStart.store(fifo->packets.front().getId());
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
    auto fifo = sLookup(fifoId);
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
    auto fifo = sLookup(fifoId);
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
    auto fifo = sLookup(fifoId);
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
    auto fifo = sLookup(fifoId);
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
    auto fifo = sLookup(fifoId);
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
