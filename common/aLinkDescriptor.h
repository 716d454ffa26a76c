#pragma once
// How to reach one module: the link kinds and the 128-byte linkSpec record. The record is
// also a wire format (link-sharing servers send it whole), so its layout is fixed.

#include <cstdint>

#include "aErr.h"

typedef uint32_t linkType;
enum : uint32_t {
  USB = 1,            // module attached by USB
  TCPIP = 2,          // module with its own network interface
  SERIAL = 3,         // module on a serial port
  AWEAVE = 4,         // client of a link-sharing server, whatever serves the module
  AWEAVE_USB = 5,     // client of a server whose module is attached by USB
  AWEAVE_TCPIP = 6,   // client of a server whose module is reached by TCP/IP
  AWEAVE_SERIAL = 7,  // client of a server whose module is on a serial port
};

inline bool isAWEAVE(linkType type) { return type >= AWEAVE && type <= AWEAVE_SERIAL; }

// 32-bit fields in host order; ipAddress in network byte order.
struct linkSpec {
  uint32_t type;
  uint32_t serialNumber;
  uint32_t module;
  uint32_t router;
  uint32_t routerSerialNumber;
  uint32_t model;
  union {
    uint32_t ipAddress;  // TCP/IP and networked kinds
    uint32_t baudRate;   // SERIAL
    uint32_t usbSerial;  // USB: the serial number again
  };
  union {
    struct {
      uint32_t port;  // TCP/IP and networked kinds: 16-bit value, upper bytes 0
      uint8_t reserved[96];
    };
    char serialPort[100];  // SERIAL: zero-terminated device path
  };
};
static_assert(sizeof(linkSpec) == 128, "linkSpec is a 128-byte wire record");

linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
aErr aLinkSpec_Destroy(linkSpec** spec);
