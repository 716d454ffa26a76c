#include "aLink.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "aDebug.h"
#include "aMutex.h"
#include "aPacketFifo.h"
#include "aPacketLog.h"
#include "aThread.h"
#include "aTime.h"

#define LINK_TRACE(...) aDEBUG_PRINTF(aDEBUG_LINK, __VA_ARGS__)
#define PACKET_TRACE(...) aDEBUG_PRINTF(aDEBUG_PACKETS, __VA_ARGS__)

namespace {

constexpr uint16_t kLinkMarker = 0xCEED;
constexpr int kDefaultLogSize = 65536;
constexpr int kMaxLogSize = 0x4000000;
constexpr size_t kPoolSize = 4096;
constexpr size_t kPoolFill = 4066;  // keep appending while the pool holds at most this much
constexpr unsigned long kWriterWaitMS = 1000;

enum SyncState : uint32_t {
  kSynced = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

}  // namespace

struct aLink {
  uint16_t marker;
  uint32_t id;
  // Flags and state shared between the caller and the link's two threads; each is written
  // by one side and polled by the other.
  std::atomic<uint8_t> running;
  std::atomic<uint32_t> status;
  std::atomic<uint8_t> inStarted;
  std::atomic<uint8_t> outStarted;
  std::atomic<uint32_t> syncState;
  uint64_t inFifo;
  uint64_t outFifo;
  aPacket* rxPacket;  // reader thread only
  aThread* inThread;
  aThread* outThread;
  aStream* stream;
  uint8_t syncAddress;  // reader thread only
  int packetLogSize;
  // Guards puts into and reads from packetLog; created before the log is published.
  aMutex* packetLogMutex;
  // Published once by aLink_PacketDebug_Enable while the reader and writer already run.
  std::atomic<aPacketLog*> packetLog;
  // Guards userFilter/userFilterRef; the filter runs with it held on the reader thread.
  aMutex* userFilterMutex;
  aPacketTestProc userFilter;
  void* userFilterRef;
  std::atomic<uint8_t> pooled;
};

namespace {

// One entry of the link table. Entries are shared so that a caller that looked one up
// keeps it alive while a concurrent final destroy takes it out of the table.
struct LinkEntry {
  uint32_t id = 0;
  uint32_t directLinkId = 0;
  void* server = nullptr;
  uint32_t ident0 = 0;
  uint32_t ident1 = 0;
  uint32_t ident2 = 0;
  uint32_t type = 0;
  int16_t useCount = 0;
  aLink link{};
  std::shared_ptr<LinkEntry> next;
};
using EntryPtr = std::shared_ptr<LinkEntry>;

struct LinkTable {
  // "aLink_Managed" guards head, nextID and every entry's useCount; held only briefly.
  aMutex* mutex = nullptr;
  EntryPtr head;
  uint32_t nextID = 1;
};

LinkTable& sTable() {
  static LinkTable table;
  static std::once_flag once;
  std::call_once(once, [] { table.mutex = aMutex_Create("aLink_Managed"); });
  return table;
}

class TableLock {
 public:
  TableLock() : m_(sTable().mutex) { aMutex_Lock(m_); }
  ~TableLock() { aMutex_Unlock(m_); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  aMutex* m_;
};

EntryPtr sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
  auto entry = std::make_shared<LinkEntry>();
  entry->ident0 = ident0;
  entry->ident1 = ident1;
  entry->ident2 = ident2;
  entry->type = type;
  TableLock lock;
  LinkTable& t = sTable();
  entry->id = t.nextID++;
  if (t.nextID == 0) t.nextID = 1;
  entry->link.id = entry->id;
  entry->next = t.head;
  t.head = entry;
  return entry;
}

EntryPtr sLookupLocked(uint32_t id) {
  for (EntryPtr e = sTable().head; e; e = e->next)
    if (e->id == id) return e;
  return nullptr;
}

EntryPtr sLookupEntryByID(uint32_t id) {
  if (id == 0) return nullptr;
  TableLock lock;
  return sLookupLocked(id);
}

EntryPtr sExtractEntryLocked(uint32_t id) {
  LinkTable& t = sTable();
  EntryPtr prev;
  for (EntryPtr e = t.head; e; prev = e, e = e->next) {
    if (e->id != id) continue;
    if (prev)
      prev->next = e->next;
    else
      t.head = e->next;
    e->next.reset();
    unsigned remaining = 0;
    for (EntryPtr r = t.head; r; r = r->next) ++remaining;
    LINK_TRACE(" sExtractEntry(%d) -  %d remaining\n", id, remaining);
    if (remaining == 0) LINK_TRACE("NO MORE LINKS\n");
    return e;
  }
  return nullptr;
}

int sChangeUseCountLocked(LinkEntry& e, int delta) {
  // (caller holds the table mutex)
  e.useCount = static_cast<int16_t>(e.useCount + delta);
  LINK_TRACE(" sChangeUseCount(%d, %+d) ==> %d\n", e.id, delta, e.useCount);
  return e.useCount;
}

int sChangeUseCount(LinkEntry& e, int delta) {
  TableLock lock;
  return sChangeUseCountLocked(e, delta);
}

aLink* sRecord(const EntryPtr& e) {
  if (!e || e->link.marker != kLinkMarker) return nullptr;
  return &e->link;
}

void sLogPut(aLink* link, uint8_t tag, const aPacket* packet) {
  aPacketLog* log = link->packetLog;
  if (!log) return;
  uint8_t image[2 + aPACKET_MAX_DATA];
  size_t n = 0;
  if (aPacket_GetBytes(packet, image, sizeof image, &n) != aErrNone) return;
  aMutex_Lock(link->packetLogMutex);
  aPacketLog_Put(log, tag, static_cast<uint8_t>(n), image);
  aMutex_Unlock(link->packetLogMutex);
}

// Queues six presence requests; the module answers each with an empty packet from its own
// address, which the resynchronisation state machine looks for.
void sStartSync(aLink* link) {
  link->status = aLinkStatusSyncing;
  link->syncState = kSyncStateStart;
  aPacket_Reset(link->rxPacket);
  aErr err = aErrNone;
  for (int i = 0; i < 6; ++i) {
    aPacket* p = aPacket_CreateWithData(aLinkPresenceAddress, 0, reinterpret_cast<const uint8_t*>(""));
    if (!p) {
      err = aErrMemory;
      continue;
    }
    err = aPacketFifo_Put(link->outFifo, p);
    aPacket_Destroy(&p);
  }
  if (err == aErrNone) link->syncState = kSyncStateByte1;
}

void sSyncByte(aLink* link, uint8_t byte) {
  switch (link->syncState.load()) {
    case kSyncStateStart:
      sStartSync(link);
      break;
    case kSyncStateByte1:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2:
      link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
      break;
    case kSyncStateByte3:
      link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (byte == 0) {
        link->syncState = kSynced;
        link->status = aLinkStatusRunning;
        LINK_TRACE("synced\n");
      } else {
        link->syncState = kSyncStateStart;
      }
      break;
    default:
      LINK_TRACE("sync default\n");
      sStartSync(link);
      break;
  }
}

// Heartbeats [addr, 2, 0, v] are answered with [addr, 2, 0, v + 2] and never queued.
bool sHandleHeartbeat(aLink* link, const aPacket* p) {
  if (p->length != 2 || p->data[0] != 0) return false;
  LINK_TRACE(" sHandleHBBackChannel(%d) ==> received HB packet [data size = %d][%d,%d]\n",
             link->id, p->length, p->data[0], p->data[1]);
  uint8_t answer[2] = {0, static_cast<uint8_t>(p->data[1] + 2)};
  LINK_TRACE(" sHandleHBBackChannel(%d) %s\n", link->id,
             p->data[1] == 0 ? "sending HB UP" : "sending HB DOWN");
  aPacket* reply = aPacket_CreateWithData(p->address, 2, answer);
  if (reply) {
    aPacketFifo_Put(link->outFifo, reply);
    aPacket_Destroy(&reply);
  }
  return true;
}

aErr sHandlePacket(aLink* link) {
  aPacket* p = link->rxPacket;
  if (!aPacket_IsComplete(p)) return aErrNone;
  sLogPut(link, 2, p);

  bool consumed = false;
  aMutex_Lock(link->userFilterMutex);
  if (link->userFilter) consumed = link->userFilter(p, link->userFilterRef) == 1;
  aMutex_Unlock(link->userFilterMutex);

  aErr err = aErrNone;
  if (!consumed && !sHandleHeartbeat(link, p)) {
    PACKET_TRACE(" sHandlePacket(%d) ADDR:%02X, LEN:%02X, [%02X %02X %02X ...]\n", link->id,
                 p->address, p->length, p->data[0], p->data[1], p->data[2]);
    err = aPacketFifo_Put(link->inFifo, p);
  }
  aPacket_Reset(p);
  return err;
}

void* sInPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  link->syncState = kSynced;
  link->status = aLinkStatusRunning;
  link->inStarted = 1;
  while (link->running) {
    uint8_t byte = 0;
    aErr err = aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady) {
      uint32_t s = link->status;
      if (s == aLinkStatusSyncing || s == aLinkStatusIOError) sStartSync(link);
      continue;
    }
    if (err != aErrNone) {
      LINK_TRACE(" sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n", link->id, err);
      link->status = aLinkStatusIOError;
      aTime_MSSleep(100);
      continue;
    }
    if (link->status == aLinkStatusSyncing) {
      sSyncByte(link, byte);
      continue;
    }
    err = aPacket_AddByte(link->rxPacket, byte);
    if (err != aErrNone || (link->rxPacket->address & 1)) {
      LINK_TRACE("Out of sync\n");
      sStartSync(link);
      continue;
    }
    if (sHandlePacket(link) != aErrNone) link->status = aLinkStatusPacketError;
  }
  LINK_TRACE(" sInPipeProcess(%d) terminating\n", link->id);
  return nullptr;
}

void sWriteOne(aLink* link, aPacket* p) {
  uint8_t image[2 + aPACKET_MAX_DATA];
  size_t n = 0;
  if (aPacket_GetBytes(p, image, sizeof image, &n) == aErrNone) {
    aErr err = aStream_Write(link->stream, image, n);
    if (err != aErrNone) LINK_TRACE("sOutPipeProcess error writing: %d\n", err);
  }
  sLogPut(link, 1, p);
}

// Copies the wire images of this packet and of every packet already queued behind it into
// one buffer and writes it with a single call; the first packet is logged.
void sWritePooled(aLink* link, aPacket* first) {
  uint8_t pool[kPoolSize];
  size_t used = 0;
  size_t n = 0;
  if (aPacket_GetBytes(first, pool, sizeof pool, &n) == aErrNone) used = n;
  while (used <= kPoolFill && aPacketFifo_GetLength(link->outFifo) > 0) {
    aPacket* next = aPacketFifo_Get(link->outFifo);
    if (!next) break;
    if (aPacket_GetBytes(next, pool + used, sizeof pool - used, &n) == aErrNone) used += n;
    aPacket_Destroy(&next);
  }
  aErr err = aStream_Write(link->stream, pool, used);
  if (err != aErrNone) LINK_TRACE("sOutPipeProcess error writing pooled: %d\n", err);
  sLogPut(link, 1, first);
}

void* sOutPipeProcess(void* arg) {
  aLink* link = static_cast<aLink*>(arg);
  link->outStarted = 1;
  while (link->running) {
    aPacket* p = aPacketFifo_Await(link->outFifo, kWriterWaitMS);
    if (!p) continue;
    if (link->pooled)
      sWritePooled(link, p);
    else
      sWriteOne(link, p);
    aPacket_Destroy(&p);
  }
  // What is still queued (the final force-route packet among it) still goes out.
  while (aPacket* p = aPacketFifo_Get(link->outFifo)) {
    sWriteOne(link, p);
    aPacket_Destroy(&p);
  }
  LINK_TRACE(" sOutPipeProcess(%d) terminating\n", link->id);
  return nullptr;
}

aErr sMakeStream(const LinkEntry& e, aStream** stream) {
  *stream = nullptr;
  switch (e.type) {
    case USB:
      LINK_TRACE(" recreate USB stream\n");
      return aStream_CreateUSB(e.ident0, stream);
    case TCPIP:
      LINK_TRACE(" recreate TCPIP stream\n");
      return aStream_CreateSocket(e.ident1, static_cast<uint16_t>(e.ident2), stream);
    default:
      if (isAWEAVE(e.type)) {
        LINK_TRACE(" recreate aWeave stream\n");
        // Networked client streams arrive with link sharing.
        return aErrUnimplemented;
      }
      LINK_TRACE(" recreate invalid stream type\n");
      return aErrParam;
  }
}

// Only while the link's threads are stopped.
void sDestroyPacketLog(aLink* link) {
  aPacketLog* log = link->packetLog.exchange(nullptr);
  if (log) aPacketLog_Destroy(&log);
}

void sReleaseRecord(aLink* link) {
  if (link->inFifo) aPacketFifo_Destroy(&link->inFifo);
  if (link->outFifo) aPacketFifo_Destroy(&link->outFifo);
  if (link->rxPacket) aPacket_Destroy(&link->rxPacket);
  sDestroyPacketLog(link);
  if (link->packetLogMutex) aMutex_Destroy(&link->packetLogMutex);
  if (link->userFilterMutex) aMutex_Destroy(&link->userFilterMutex);
  if (link->stream) aStream_Destroy(&link->stream);
}

bool sMatchAll(const aPacket*, void*) { return true; }

aErr sQueueForceRoute(aLink* link, uint8_t value) {
  aPacket* p = aPacket_CreateWithData(aLinkForceRouteAddress, 1, &value);
  if (!p) return aErrMemory;
  aErr err = aPacketFifo_Put(link->outFifo, p);
  aPacket_Destroy(&p);
  return err;
}

int sSpeedIndex(uint32_t baud) {
  static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (int i = 0; i < 8; ++i)
    if (rates[i] == baud) return i;
  return -1;
}

// Creation steps shared by the direct link kinds: an existing entry for the same module is
// shared; otherwise a new entry gets its stream, is started and (USB) resynchronised.
uint32_t sCreateDirect(uint32_t serial, linkType type, uint32_t ident1, uint32_t ident2,
                       const char* path, int speedIndex) {
  // Direct links are created one at a time, so a second creator for the same module waits
  // for the first one's link to be running (or gone) instead of sharing a half-made entry.
  static std::mutex creating;
  std::lock_guard<std::mutex> serial_creation(creating);
  {
    TableLock lock;
    for (EntryPtr e = sTable().head; e; e = e->next) {
      if (e->ident0 != serial || e->type != type) continue;
      if ((type == USB || type == TCPIP) && e->server) {
        LINK_TRACE("This device is already being used as a \"SERVER\". \nYou must connect by \"CLIENT\" ");
        return 0;
      }
      sChangeUseCountLocked(*e, 1);
      LINK_TRACE("Using already created object:(0x%08X, running:%d, state=%d)\n", e->id,
                 e->link.running.load(), e->link.status.load());
      return e->id;
    }
  }
  EntryPtr e = sCreate2(serial, ident1, ident2, type);
  uint32_t id = e->id;
  aStream* stream = nullptr;
  if (type == USB)
    aStream_CreateUSB(serial, &stream);
  else if (type == TCPIP)
    aStream_CreateSocket(ident1, static_cast<uint16_t>(ident2), &stream);
  else
    aStream_CreateSerial_Packetized(path, speedIndex, 0, 0, 0, &stream);

  aErr err = aLink_Init(id, stream) == id ? aErrNone : aErrConnection;
  if (err == aErrNone && stream) {
    sChangeUseCount(*e, 1);
    err = aLink_Start(id);
    if (err == aErrNone && type == USB) err = aLink_Sync(id);
  } else if (!stream) {
    err = aErrConnection;
  }
  if (err != aErrNone) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

}  // namespace

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  return sCreateDirect(serialNumber, USB, 0, 0, nullptr, 0);
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
  return sCreateDirect(serialNumber, TCPIP, address, port, nullptr, 0);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* path, uint32_t baudRate) {
  int index = sSpeedIndex(baudRate);
  if (index < 0 || !path) return 0;
  return sCreateDirect(serialNumber, SERIAL, 0, 0, path, index);
}

uint32_t aLink_Create(aStream* stream) {
  EntryPtr e = sCreate2(0, 0, 0, 0);
  uint32_t id = e->id;
  LINK_TRACE("aLink_Create(%08X) OLD VERSION\n", id);
  sChangeUseCount(*e, 1);
  if (aLink_Init(id, stream) != id || !stream || aLink_Start(id) != aErrNone) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

uint32_t aLink_Init(uint32_t id, aStream* stream) {
  EntryPtr e = sLookupEntryByID(id);
  if (!e) return 0;
  aLink* link = &e->link;
  link->marker = kLinkMarker;
  link->id = id;
  link->running = 0;
  link->status = stream ? aLinkStatusStopped : aLinkStatusNoStream;
  link->inThread = nullptr;
  link->outThread = nullptr;
  link->stream = stream;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  link->rxPacket = aPacket_Create();
  link->inStarted = 0;
  link->outStarted = 0;
  link->syncState = kSynced;
  link->syncAddress = 0;
  link->packetLog = nullptr;
  link->packetLogSize = 0;
  link->packetLogMutex = nullptr;
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
  link->pooled = 0;
  char name[64];
  snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
  link->userFilterMutex = aMutex_Create(name);
  if (!link->inFifo || !link->outFifo || !link->rxPacket || !link->userFilterMutex) return 0;
  return id;
}

aErr aLink_Start(uint32_t id) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  if (link->running) return aErrNone;
  // A link whose stream could not be (re)made has nothing to run on: its threads would
  // only spin on the missing queues.
  if (!link->stream || !link->inFifo || !link->outFifo) {
    link->status = aLinkStatusNoStream;
    return aErrConnection;
  }
  link->running = 1;
  link->status = aLinkStatusStarting;
  link->inStarted = 0;
  link->outStarted = 0;
  link->inThread = aThread_Create(sInPipeProcess, link);
  if (!link->inThread) {
    link->running = 0;
    return aErrResource;
  }
  link->outThread = aThread_Create(sOutPipeProcess, link);
  if (!link->outThread) {
    link->running = 0;
    aThread_Destroy(&link->inThread);
    return aErrResource;
  }
  bool up = false;
  for (int i = 0; i < 200 && !up; ++i) {
    up = link->inStarted && link->outStarted && link->status == aLinkStatusRunning;
    if (!up) aTime_MSSleep(10);
  }
  if (!up) return aErrIndexRange;
  return aLink_ForceRoute(id, 1);
}

aErr aLink_Stop(aLink* link) {
  if (!link || link->marker != kLinkMarker) return aErrParam;
  uint32_t s = link->status;
  if (s == aLinkStatusStopping || s == aLinkStatusStopped) return aErrNone;
  link->status = aLinkStatusStopping;
  aErr err = aErrNone;
  if (link->inThread && link->outThread) {
    // Queued on the record itself: a final destroy has already taken the entry out of the
    // table, and the module must still hear that the route is released.
    err = sQueueForceRoute(link, 0);
    link->running = 0;
    if (aThread_Destroy(&link->inThread) != 0) err = aErrUnknown;
    if (aThread_Destroy(&link->outThread) != 0) err = aErrUnknown;
  }
  link->running = 0;
  link->inStarted = 0;
  link->outStarted = 0;
  aPacket_Reset(link->rxPacket);
  link->status = aLinkStatusStopped;
  return err;
}

aErr aLink_Destroy(uint32_t* id) {
  if (!id) return aErrParam;
  EntryPtr e;
  int remaining = 0;
  {
    // The last release unlinks the entry in the same critical section, so a concurrent
    // create can never share an entry that is being torn down.
    TableLock lock;
    e = sLookupLocked(*id);
    if (!e) {
      *id = 0;
      return aErrParam;
    }
    remaining = sChangeUseCountLocked(*e, -1);
    if (remaining <= 0) sExtractEntryLocked(*id);
  }
  *id = 0;
  if (remaining > 0) {
    LINK_TRACE("aLink_Destroy use_count: %d\n", remaining);
    return aErrNone;
  }
  aLink* link = &e->link;
  if (link->marker == kLinkMarker) {
    aMutex_Lock(link->userFilterMutex);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    aMutex_Unlock(link->userFilterMutex);
  }
  aErr err = aErrNone;
  if (link->marker == kLinkMarker) aLink_Stop(link);
  // The link-sharing server attached to this entry (if any) goes with it.
  e->server = nullptr;
  if (e->directLinkId) {
    uint32_t direct = e->directLinkId;
    aLink_Destroy(&direct);
  }
  if (link->marker == kLinkMarker) {
    aPacketFifo_Destroy(&link->inFifo);
    err = aPacketFifo_Destroy(&link->outFifo);
    sReleaseRecord(link);
    link->marker = 0;
  }
  return err;
}

aErr aLink_ResetLink(uint32_t id) {
  EntryPtr e = sLookupEntryByID(id);
  aLink* link = sRecord(e);
  if (!link) return aErrParam;
  aLink_Stop(link);
  aPacketFifo_Destroy(&link->inFifo);
  aPacketFifo_Destroy(&link->outFifo);
  if (link->stream) aStream_Destroy(&link->stream);

  aStream* stream = nullptr;
  aErr err = aErrParam;
  for (int attempt = 0; attempt < 20; ++attempt) {
    err = sMakeStream(*e, &stream);
    if (err == aErrNone && stream) break;
    aTime_MSSleep(100);
  }
  if (stream) {
    // Init makes fresh queues and clears the filter, the packet log and pooled mode.
    aPacket_Destroy(&link->rxPacket);
    sDestroyPacketLog(link);
    if (link->packetLogMutex) aMutex_Destroy(&link->packetLogMutex);
    if (link->userFilterMutex) aMutex_Destroy(&link->userFilterMutex);
    aLink_Init(id, stream);
  } else {
    LINK_TRACE(" ERROR - could not recreate stream: %d\n", err);
  }
  return aLink_Start(id);
}

aErr aLink_Reset(uint32_t id) { return aLink_ResetLink(id); }

aErr aLink_Sync(uint32_t id) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  link->status = aLinkStatusSyncing;
  bool synced = false;
  for (int i = 0; i < 200 && !synced; ++i) {
    synced = link->status == aLinkStatusRunning;
    if (!synced) aTime_MSSleep(10);
  }
  aPacketFifo_DrainPackets(link->outFifo, sMatchAll, nullptr);
  aTime_MSSleep(100);
  aPacketFifo_DrainPackets(link->inFifo, sMatchAll, nullptr);
  return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(uint32_t id, uint8_t value) {
  EntryPtr e = sLookupEntryByID(id);
  if (!e) return aErrNotFound;
  aLink* link = sRecord(e);
  if (!link) return aErrParam;
  return sQueueForceRoute(link, value);
}

uint32_t aLink_GetStatus(uint32_t id) {
  aLink* link = sRecord(sLookupEntryByID(id));
  return link ? link->status.load() : aLinkStatusNoStream;
}

aErr aLink_PutPacket(uint32_t id, const aPacket* packet) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  return aPacketFifo_Put(link->outFifo, packet);
}

aPacket* aLink_GetPacket(uint32_t id) {
  aLink* link = sRecord(sLookupEntryByID(id));
  return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t id, uint32_t timeoutMS) {
  aLink* link = sRecord(sLookupEntryByID(id));
  return link ? aPacketFifo_Await(link->inFifo, timeoutMS) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t id, aPacketTestProc test, void* ref) {
  aLink* link = sRecord(sLookupEntryByID(id));
  return link ? aPacketFifo_GetFirst(link->inFifo, test, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t id, aPacketTestProc test, void* ref, uint32_t timeoutMS) {
  EntryPtr e = sLookupEntryByID(id);
  aLink* link = sRecord(e);
  if (!link) return nullptr;
  // Elapsed time comes from the monotonic clock, so setting the wall clock cannot stretch
  // or cut the wait.
  const uint64_t start = aTime_GetMonotonicMS();
  aPacket* found = nullptr;
  while (!found && link->running && link->status == aLinkStatusRunning) {
    uint64_t elapsed = aTime_GetMonotonicMS() - start;
    if (elapsed >= timeoutMS) break;
    found = aPacketFifo_AwaitFirst(link->inFifo, test, ref, static_cast<uint32_t>(timeoutMS - elapsed));
  }
  return found;
}

uint32_t aLink_DrainPackets(uint32_t id, aPacketTestProc test, void* ref) {
  aLink* link = sRecord(sLookupEntryByID(id));
  return link ? aPacketFifo_DrainPackets(link->inFifo, test, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketTestProc filter, void* ref) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  aMutex_Lock(link->userFilterMutex);
  link->userFilter = filter;
  link->userFilterRef = ref;
  aMutex_Unlock(link->userFilterMutex);
  return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t id, bool on) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  link->pooled = on ? 1 : 0;
  return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(uint32_t id, int size) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link || size > kMaxLogSize) return aErrParam;
  if (link->packetLog) return aErrBusy;
  link->packetLogSize = size < 0 ? 0 : size;
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t id) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  if (!link->packetLogMutex) {
    char name[64];
    snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
    link->packetLogMutex = aMutex_Create(name);
    if (!link->packetLogMutex) return aErrResource;
  }
  aMutex_Lock(link->packetLogMutex);
  aErr err = aErrNone;
  if (!link->packetLog) {
    link->packetLog = aPacketLog_Create(link->packetLogSize ? link->packetLogSize : kDefaultLogSize);
    if (!link->packetLog) err = aErrResource;
  }
  if (aPacketLog* log = link->packetLog) aPacketLog_SetEnabled(log, true);
  aMutex_Unlock(link->packetLogMutex);
  return err;
}

aErr aLink_PacketDebug_Disable(uint32_t id) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  aPacketLog* log = link->packetLog;
  if (!log) return aErrNotReady;
  aMutex_Lock(link->packetLogMutex);
  aPacketLog_SetEnabled(log, false);
  aMutex_Unlock(link->packetLogMutex);
  return aErrNone;
}

aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* tag, uint32_t* size, uint8_t* buffer) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  aPacketLog* log = link->packetLog;
  if (!log) return aErrNotReady;
  aMutex_Lock(link->packetLogMutex);
  aErr err = aPacketLog_Get(log, tag, size, buffer);
  aMutex_Unlock(link->packetLogMutex);
  return err;
}

aErr aLink_PacketDebug_Write(uint32_t id, uint8_t tag, uint8_t length, const uint8_t* bytes) {
  aLink* link = sRecord(sLookupEntryByID(id));
  if (!link) return aErrParam;
  aPacketLog* log = link->packetLog;
  if (!log) return aErrNotReady;
  aMutex_Lock(link->packetLogMutex);
  aErr err = aPacketLog_Put(log, tag, length, bytes);
  aMutex_Unlock(link->packetLogMutex);
  return err;
}

unsigned int aLink_TableSize() {
  TableLock lock;
  unsigned n = 0;
  for (EntryPtr e = sTable().head; e; e = e->next) ++n;
  return n;
}

// ---------------------------------------------------------------------------------------
// Discovery socket helpers

bool sTCPIPMultiCast(uint32_t interfaceAddress) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  int on = 1;
  bool ok = setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
  struct in_addr iface;
  iface.s_addr = htonl(interfaceAddress);
  ok = ok && setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) == 0;
  uint8_t request[16] = {1};
  struct sockaddr_in group {};
  group.sin_family = AF_INET;
  group.sin_port = htons(9888);
  group.sin_addr.s_addr = inet_addr("232.2.2.2");
  ok = ok && sendto(s, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group),
                    sizeof group) == static_cast<ssize_t>(sizeof request);
  close(s);
  return ok;
}

bool sTCPIPSetupListener(int* sock, struct sockaddr_in* address, uint32_t interfaceAddress) {
  if (!sock || !address) return false;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  int on = 1;
  memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(9889);
  address->sin_addr.s_addr = htonl(interfaceAddress);
  struct timeval tv {2, 0};
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(s, reinterpret_cast<sockaddr*>(address), sizeof *address) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
    close(s);
    return false;
  }
  *sock = s;
  return true;
}

void sTCPIPCleanup(int sock) {
  if (sock >= 0) close(sock);
}

uint32_t SockAddrToUint32(const struct sockaddr* address) {
  if (!address || address->sa_family != AF_INET) return 0;
  return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}

void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t answer[16], linkType type,
                          const struct sockaddr_in* sender) {
  if (!spec || !answer) return;
  spec->type = type;
  spec->module = answer[1];
  spec->router = answer[1];
  spec->port = static_cast<uint32_t>(answer[2] | (answer[3] << 8));
  uint32_t serial = static_cast<uint32_t>(answer[4]) | (static_cast<uint32_t>(answer[5]) << 8) |
                    (static_cast<uint32_t>(answer[6]) << 16) |
                    (static_cast<uint32_t>(answer[7]) << 24);
  spec->serialNumber = serial;
  spec->routerSerialNumber = serial;
  spec->model = answer[12];
  spec->ipAddress = sender ? sender->sin_addr.s_addr : 0;
}

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serialNumber, uint32_t model) {
  if (!spec) return;
  spec->type = USB;
  spec->serialNumber = serialNumber;
  spec->model = model;
  spec->module = 0;
  spec->router = 0;
  spec->routerSerialNumber = 0;
  spec->usbSerial = serialNumber;
}
