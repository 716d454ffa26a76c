#pragma once
// USB access to modules: find a module by its serial number, claim its vendor interface
// and move bytes over its bulk endpoints. One handle type with two back ends: libusb-1.0
// (the normal case) and the optional kernel driver that exposes each module as the
// character device /dev/quarkwire.<SERIAL>.
//
// A family device has vendor QUARKWIRE_VENDOR_ID and a product identifier from 0x0000 to
// 0x7FFF; its interface of class 255, subclass 0x88, protocol 0x10 carries the traffic, and
// its serial-number string is the module's serial number as eight upper-case hex digits.

#include <cstddef>
#include <cstdint>

#include "aErr.h"

// The family's USB vendor identifier. Taken from the top of the 16-bit space (0xF000 to
// 0xFFFE), far above the identifiers the USB-IF has handed out so far, so it names no real
// vendor's products; a shipping product replaces it with the maker's assigned identifier.
#define QUARKWIRE_VENDOR_ID 0xF5A7

#define QUARKWIRE_INTERFACE_CLASS 255
#define QUARKWIRE_INTERFACE_SUBCLASS 0x88
#define QUARKWIRE_INTERFACE_PROTOCOL 0x10

// Handle kinds.
#define QWUSB_KIND_KERNEL 0
#define QWUSB_KIND_LIBUSB 1

// Handle states.
enum {
  QWUSB_STATE_UNSET = 0,
  QWUSB_STATE_CREATED = 1,
  QWUSB_STATE_CLOSED = 2,
  QWUSB_STATE_OPEN = 3,   // device open, interface not yet claimed
  QWUSB_STATE_READY = 4,  // interface claimed: the only state that moves data
  QWUSB_STATE_FAILED = 5, // five consecutive I/O errors; every transfer now fails
};

typedef struct qwusb qwusb;
struct libusb_context;
struct libusb_device;

// The process-wide libusb context, created on first use under its mutex. Exit shuts it
// down; the next use creates a fresh one. Exit must not run while a handle is open.
libusb_context* Quarkwire_libusb_context(void);
libusb_context* Quarkwire_libusb_init(void);
void Quarkwire_libusb_exit(void);

bool is_quarkwire_device(libusb_device* device);

// The folder that holds the kernel driver's nodes: "/dev" in the product. Tests point it at
// a folder of their own (null restores "/dev"); set it before any link is created.
void qwusb_SetNodeDirectoryForTesting(const char* directory);
// The node path of a module, "<folder>/quarkwire.<serialText>", into path (size bytes).
void qwusb_node_path(const char* serialText, char* path, size_t size);
bool qwusb_is_kernel_driver_installed(uint32_t serialNumber);

// A new handle in state 1; kind QWUSB_KIND_LIBUSB also makes sure the shared context exists.
qwusb* qwusb_create_usb(int kind);
// Opens the module whose serial-number string equals serialText exactly.
aErr qwusb_open_quarkwire_device(qwusb* handle, const char* serialText);
aErr qwusb_write_to_device(qwusb* handle, const uint8_t* data, size_t length);
// One received byte; aErrNotReady when none arrived in time.
aErr qwusb_get_from_device(qwusb* handle, uint8_t* byte);
aErr qwusb_close_quarkwire_device(qwusb* handle);
aErr qwusb_destroy(qwusb** handle);

// Fills the handle's interface number, endpoints and packet sizes from configuration 0 of
// its open device. Returns 0 or a libusb error code.
int find_usb_endpoints(qwusb* handle);

// Back-end entry points; each rejects a handle of the other kind with aErrMode.
aErr qwusb_open_quarkwire_USBlib_device(qwusb* handle, const char* serialText);
aErr qwusb_write_to_USBlib_device(qwusb* handle, const uint8_t* data, size_t length);
aErr qwusb_get_from_USBlib_device(qwusb* handle, uint8_t* byte);
aErr qwusb_close_quarkwire_USBlib_device(qwusb* handle);
aErr qwusb_open_quarkwire_kernel_device(qwusb* handle, const char* serialText);
aErr qwusb_write_to_kernel_device(qwusb* handle, const uint8_t* data, size_t length);
aErr qwusb_get_from_kernel_device(qwusb* handle, uint8_t* byte);
aErr qwusb_close_quarkwire_kernel_device(qwusb* handle);

// Inspection, for the USB stream and for tests.
int qwusb_get_kind(const qwusb* handle);
int qwusb_get_state(const qwusb* handle);
uint16_t qwusb_get_out_max_packet(const qwusb* handle);
