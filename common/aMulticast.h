#pragma once
// UDP multicast sockets (IPv4). A socket either only sends to its group or only receives
// from it. Addresses are 32-bit IPv4 addresses in network byte order.

#include <cstddef>
#include <cstdint>

typedef struct aMulticast aMulticast;

// A socket for the group and port on the local interface (0 means 127.0.0.1), or null.
// Sends go to the group and port with a time-to-live of 1; a receiver is bound to the port
// on every local address and joined to the group on the interface; receives give up after
// one second. Failures are reported only as debug traces (aDEBUG_MULTICAST).
aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port,
                              bool isSender);

// Bytes sent; -1 on failure, -2 for a null or invalid socket, -3 when it is a receiver.
int aMulticast_Send(aMulticast* mc, const void* data, size_t length);

// Bytes received into the buffer; -1 on failure or when nothing arrived within one second,
// -2 for a null or invalid socket, -3 when it is a sender.
int aMulticast_Receive(aMulticast* mc, void* buffer, size_t size);

// Closes the socket, frees the record and sets *mc to null; 0, or -2 for a null pointer,
// null handle or invalid record.
int aMulticast_Destroy(aMulticast** mc);
