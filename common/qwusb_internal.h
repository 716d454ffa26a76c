#pragma once
// The USB handle record and the table of back-end operations. Only the qwusb*.cpp files
// include this.

#include <atomic>
#include <cstdint>

#include "qwusb.h"

struct libusb_device_handle;

#define QWUSB_RX_SIZE 1024

struct qwusb {
  int kind;                            // QWUSB_KIND_*
  char serial[256];                    // serial text the handle was opened with
  int descriptor;                      // kernel back end: the device node, -1 when closed
  libusb_device_handle* device;        // libusb back end
  std::atomic<int> state;              // QWUSB_STATE_*; read and written by both sides
  uint8_t interfaceNumber;
  uint8_t outEndpoint;
  uint8_t inEndpoint;                  // bit 7 set
  uint8_t rx[QWUSB_RX_SIZE];           // last IN transfer; reading side only
  uint32_t available;                  // bytes of rx not yet delivered
  uint8_t* next;                       // next byte of rx to deliver
  std::atomic<uint8_t> errorCount;     // consecutive I/O errors, both sides
  uint16_t inMaxPacket;
  uint16_t outMaxPacket;
};

struct qwusb_backend {
  aErr (*open)(qwusb* handle, const char* serialText);
  aErr (*write)(qwusb* handle, const uint8_t* data, size_t length);
  aErr (*get)(qwusb* handle, uint8_t* byte);
  aErr (*close)(qwusb* handle);
};

extern const qwusb_backend qwusb_libusb_backend;
extern const qwusb_backend qwusb_kernel_backend;

// Hides the first four consecutive I/O errors of a handle (a read reports aErrNotReady, a
// write aErrNone); the fifth is reported and fails the handle. Any other result resets
// the count.
aErr _handleErrorTolerance(qwusb* handle, aErr result, bool isRead);

// Debug trace of USB transfers (category 0x400).
void qwusb_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
