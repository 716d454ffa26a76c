#include "aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "aDebug.h"

namespace {
constexpr uint32_t kMulticastMarker = 0x3CA5;
}

struct aMulticast {
  uint32_t marker;  // kMulticastMarker while alive, 0 once destroyed
  int sock;
  struct addrinfo* group;  // destination of sends
  struct addrinfo* bind;   // local address a receiver binds to
  struct addrinfo* iface;  // local interface used for the group
  bool isSender;
};

#define MC_TRACE(...) aDEBUG_PRINTF(aDEBUG_MULTICAST, __VA_ARGS__)

static bool sValid(const aMulticast* mc) {
  return mc != nullptr && mc->marker == kMulticastMarker;
}

static void sFree(aMulticast* mc) {
  if (mc->sock >= 0) close(mc->sock);
  if (mc->group) freeaddrinfo(mc->group);
  if (mc->bind) freeaddrinfo(mc->bind);
  if (mc->iface) freeaddrinfo(mc->iface);
  mc->marker = 0;
  delete mc;
}

static int sResolve(const char* host, const char* service, const struct addrinfo* hints,
                    struct addrinfo** out) {
  int rc = getaddrinfo(host, service, hints, out);
  if (rc != 0) {
    MC_TRACE("Invalid address %s, getaddrinfo failed: %d\n", host ? host : "(null)", rc);
    *out = nullptr;
  }
  return rc;
}

static bool sIsIPv4(const struct addrinfo* ai) { return ai->ai_family == AF_INET; }

static struct in_addr sAddr(const struct addrinfo* ai) {
  return reinterpret_cast<const struct sockaddr_in*>(ai->ai_addr)->sin_addr;
}

static int sSetReuse(aMulticast* mc) {
  int off = 0;
  int rc = setsockopt(mc->sock, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
  if (rc != 0) MC_TRACE("Failed to set reuse %d\n", errno);
  return rc;
}

static int sJoinGroup(aMulticast* mc) {
  if (!sIsIPv4(mc->group) || !sIsIPv4(mc->iface)) {
    MC_TRACE("Attempting to join multicast group for invalid address family!");
    return -1;
  }
  struct ip_mreq req;
  req.imr_multiaddr = sAddr(mc->group);
  req.imr_interface = sAddr(mc->iface);
  int rc = setsockopt(mc->sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &req, sizeof req);
  if (rc != 0) MC_TRACE("JoinMulticastGroup: setsockopt failed with error code %d\n", errno);
  return rc;
}

static int sSetSendInterface(aMulticast* mc) {
  if (!sIsIPv4(mc->iface)) {
    MC_TRACE("Attempting to set sent interface for invalid address family!");
    return -1;
  }
  struct in_addr a = sAddr(mc->iface);
  int rc = setsockopt(mc->sock, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
  if (rc != 0) MC_TRACE("Failed to set send interface. error code %d\n", errno);
  return rc;
}

static int sSetTtl(aMulticast* mc) {
  if (!sIsIPv4(mc->group)) {
    MC_TRACE("Attempting to set TTL for invalid address family!");
    return -1;
  }
  unsigned char ttl = 1;
  int rc = setsockopt(mc->sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  if (rc != 0) MC_TRACE("SetMulticastTtl: setsockopt() failed with error code %d\n", errno);
  return rc;
}

static int sSetReceiveTimeout(aMulticast* mc) {
  if (!sIsIPv4(mc->group)) {
    MC_TRACE("Attempting to set Timeout for invalid address family!");
    return -1;
  }
  struct timeval tv = {1, 0};
  int rc = setsockopt(mc->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (rc != 0) MC_TRACE("SetReceivTimeout: setsockopt() failed with error code %d\n", errno);
  return rc;
}

static int sSetLoopBack(aMulticast* mc) {
  if (!sIsIPv4(mc->group)) {
    MC_TRACE("Attempting to set multicast loopback for invalid address family!");
    return -1;
  }
  unsigned char on = 1;
  int rc = setsockopt(mc->sock, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
  if (rc != 0) MC_TRACE("SetMulticastLoopBack: setsockopt() failed with error code %d\n", errno);
  return rc;
}

static aMulticast* sFail(aMulticast* mc) {
  MC_TRACE("in cleanup function");
  sFree(mc);
  return nullptr;
}

aMulticast* aMulticast_Create(uint32_t interfaceAddress, uint32_t groupAddress, uint16_t port,
                              bool isSender) {
  aMulticast* mc = new (std::nothrow) aMulticast();
  if (mc == nullptr) return nullptr;
  mc->marker = kMulticastMarker;
  mc->sock = -1;
  mc->isSender = isSender;
  if (interfaceAddress == 0) interfaceAddress = htonl(INADDR_LOOPBACK);

  char groupText[16], ifaceText[16], portText[8];
  struct in_addr a;
  a.s_addr = groupAddress;
  inet_ntop(AF_INET, &a, groupText, sizeof groupText);
  a.s_addr = interfaceAddress;
  inet_ntop(AF_INET, &a, ifaceText, sizeof ifaceText);
  snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));

  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  int rc = sResolve(groupText, portText, &hints, &mc->group);
  if (rc != 0) {
    MC_TRACE("Unable to convert multicast address '%s - port: %s': Error %d\n", groupText,
             portText, rc);
    return sFail(mc);
  }

  hints.ai_family = mc->group->ai_family;
  hints.ai_socktype = mc->group->ai_socktype;
  hints.ai_protocol = mc->group->ai_protocol;
  const char* bindHost = isSender ? ifaceText : nullptr;
  if (!isSender) hints.ai_flags = AI_PASSIVE;
  rc = sResolve(bindHost, isSender ? "0" : portText, &hints, &mc->bind);
  if (rc != 0) {
    MC_TRACE("Unable to convert bind address '%s': Error %d\n", bindHost ? bindHost : "(any)",
             rc);
    return sFail(mc);
  }

  hints.ai_flags = 0;
  rc = sResolve(ifaceText, "0", &hints, &mc->iface);
  if (rc != 0) {
    MC_TRACE("Unable to convert interface address '%s': Error %d\n", ifaceText, rc);
    return sFail(mc);
  }

  mc->sock = socket(mc->group->ai_family, mc->group->ai_socktype, mc->group->ai_protocol);
  if (mc->sock < 0) {
    MC_TRACE("socket() failed with with error code %d\n", errno);
    return sFail(mc);
  }
  if ((rc = sSetReuse(mc)) != 0) {
    MC_TRACE("Failed to _setReuse rc: %d - %d\n", rc, errno);
    return sFail(mc);
  }
  if (!isSender && bind(mc->sock, mc->bind->ai_addr, mc->bind->ai_addrlen) != 0) {
    MC_TRACE("bind() failed with error code %d \n", errno);
    return sFail(mc);
  }
  if ((rc = sJoinGroup(mc)) != 0) {
    MC_TRACE("_joinMulticastGroup %d - %d\n", rc, errno);
    return sFail(mc);
  }
  if ((rc = sSetSendInterface(mc)) != 0) {
    MC_TRACE("_setSendInterface %d - %d\n", rc, errno);
    return sFail(mc);
  }
  if ((rc = sSetTtl(mc)) != 0) {
    MC_TRACE("_setMulticastTtl %d - %d\n", rc, errno);
    return sFail(mc);
  }
  if ((rc = sSetReceiveTimeout(mc)) != 0) {
    MC_TRACE("_setReceiveTimeout %d - %d\n", rc, errno);
    return sFail(mc);
  }
  if ((rc = sSetLoopBack(mc)) != 0) {
    MC_TRACE("_setMulticastLoopBack %d - %d\n", rc, errno);
    return sFail(mc);
  }
  return mc;
}

int aMulticast_Send(aMulticast* mc, const void* data, size_t length) {
  if (!sValid(mc)) return -2;
  if (!mc->isSender) return -3;
  if (data == nullptr && length > 0) return -1;
  ssize_t n = sendto(mc->sock, data, length, 0, mc->group->ai_addr, mc->group->ai_addrlen);
  if (n < 0) {
    MC_TRACE("sendto() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(n);
}

int aMulticast_Receive(aMulticast* mc, void* buffer, size_t size) {
  if (!sValid(mc)) return -2;
  if (mc->isSender) return -3;
  if (buffer == nullptr) return -1;
  ssize_t n = recvfrom(mc->sock, buffer, size, MSG_WAITALL, nullptr, nullptr);
  if (n < 0) {
    MC_TRACE("recvfrom() failed with error code %d\n", errno);
    return -1;
  }
  return static_cast<int>(n);
}

int aMulticast_Destroy(aMulticast** mc) {
  if (mc == nullptr || *mc == nullptr) return -2;
  aMulticast* m = *mc;
  *mc = nullptr;
  if (!sValid(m)) return -2;
  sFree(m);
  return 0;
}
