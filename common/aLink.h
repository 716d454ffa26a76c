#pragma once
// The link engine: a packet link to one module over a byte stream. Each link has a reader
// thread (assembles packets, answers heartbeats, runs the user filter, queues the rest on
// the incoming queue) and a writer thread (drains the outgoing queue onto the stream).
// Links live in a process-wide table and are shared: creating a link to a module that
// already has one returns the same identifier and raises its use count.

#include <netinet/in.h>

#include <cstdint>

#include "aErr.h"
#include "aLinkDescriptor.h"
#include "aPacket.h"
#include "aStream.h"

// Link status numbers (aLink_GetStatus).
enum : uint32_t {
  aLinkStatusStopped = 0,
  aLinkStatusStarting = 1,
  aLinkStatusRunning = 2,
  aLinkStatusStopping = 3,
  aLinkStatusSyncing = 4,
  aLinkStatusNoStream = 5,
  aLinkStatusIOError = 6,
  aLinkStatusPacketError = 8,
};

// Reserved module addresses.
enum : uint8_t {
  aLinkPresenceAddress = 173,     // empty packet: every module answers from its own address
  aLinkForceRouteAddress = 175,   // one data byte: 1 when a link starts, 0 when it stops
};

struct aLink;  // the link record (opaque)

uint32_t aLink_CreateUSB(uint32_t serialNumber);
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* path, uint32_t baudRate);
// Legacy: a link on a stream the caller made; the link owns the stream from then on.
uint32_t aLink_Create(aStream* stream);

uint32_t aLink_Init(uint32_t id, aStream* stream);
aErr aLink_Start(uint32_t id);
aErr aLink_Stop(aLink* link);
aErr aLink_Destroy(uint32_t* id);
aErr aLink_Reset(uint32_t id);
aErr aLink_ResetLink(uint32_t id);
aErr aLink_Sync(uint32_t id);
aErr aLink_ForceRoute(uint32_t id, uint8_t value);
uint32_t aLink_GetStatus(uint32_t id);

aErr aLink_PutPacket(uint32_t id, const aPacket* packet);
aPacket* aLink_GetPacket(uint32_t id);
aPacket* aLink_AwaitPacket(uint32_t id, uint32_t timeoutMS);
aPacket* aLink_GetFirst(uint32_t id, aPacketTestProc test, void* ref);
aPacket* aLink_AwaitFirst(uint32_t id, aPacketTestProc test, void* ref, uint32_t timeoutMS);
uint32_t aLink_DrainPackets(uint32_t id, aPacketTestProc test, void* ref);

// The filter runs on the reader thread for every complete incoming packet, with the link's
// filter mutex held; returning 1 consumes the packet. Null removes the filter.
aErr aLink_InstallUserPacketFilter(uint32_t id, aPacketTestProc filter, void* ref);
aErr aLink_EnablePooledPackets(uint32_t id, bool on);

aErr aLink_PacketDebug_SetLogSize(uint32_t id, int size);
aErr aLink_PacketDebug_Enable(uint32_t id);
aErr aLink_PacketDebug_Disable(uint32_t id);
aErr aLink_PacketDebug_Read(uint32_t id, uint8_t* tag, uint32_t* size, uint8_t* buffer);
aErr aLink_PacketDebug_Write(uint32_t id, uint8_t tag, uint8_t length, const uint8_t* bytes);

// Discovery socket helpers (interfaces in host byte order).
bool sTCPIPMultiCast(uint32_t interfaceAddress);
bool sTCPIPSetupListener(int* sock, struct sockaddr_in* address, uint32_t interfaceAddress);
void sTCPIPCleanup(int sock);
uint32_t SockAddrToUint32(const struct sockaddr* address);
void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t answer[16], linkType type,
                          const struct sockaddr_in* sender);
void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serialNumber, uint32_t model);

// Test hooks: the number of links in the table.
unsigned int aLink_TableSize();
