// USB stream: a module's bulk endpoints through the USB handle. The kernel driver's
// device node is used when it exists, libusb otherwise.
#include <cstdio>
#include <new>

#include "aStream.h"
#include "qwusb.h"

namespace {

const uint16_t kUsbMarker = 0xDEAD;

struct UsbStream {
  uint16_t marker = kUsbMarker;
  uint32_t serialNumber = 0;
  qwusb* handle = nullptr;
};

UsbStream* sState(void* ref) {
  auto* s = static_cast<UsbStream*>(ref);
  return s != nullptr && s->marker == kUsbMarker ? s : nullptr;
}

aErr sUsbGet(uint8_t* byte, void* ref) {
  UsbStream* s = sState(ref);
  return s == nullptr ? aErr(aErrParam) : qwusb_get_from_device(s->handle, byte);
}

aErr sUsbWrite(const uint8_t* data, size_t length, void* ref) {
  UsbStream* s = sState(ref);
  return s == nullptr ? aErr(aErrParam) : qwusb_write_to_device(s->handle, data, length);
}

aErr sUsbPut(uint8_t byte, void* ref) { return sUsbWrite(&byte, 1, ref); }

// Closes the device; only when that works are the handle and the state freed.
aErr sUsbDelete(void* ref) {
  UsbStream* s = sState(ref);
  if (s == nullptr) {
    return aErrParam;
  }
  aErr err = qwusb_close_quarkwire_device(s->handle);
  if (err != aErrNone) {
    return err;
  }
  qwusb_destroy(&s->handle);
  s->marker = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (stream == nullptr) {
    return aErrParam;
  }
  *stream = nullptr;
  if (serialNumber == 0) {
    return aErrParam;
  }
  int kind = qwusb_is_kernel_driver_installed(serialNumber) ? QWUSB_KIND_KERNEL : QWUSB_KIND_LIBUSB;
  qwusb* handle = qwusb_create_usb(kind);
  if (handle == nullptr) {
    return aErrResource;
  }
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", serialNumber);
  aErr err = qwusb_open_quarkwire_device(handle, serial);
  if (err != aErrNone) {
    qwusb_destroy(&handle);
    return err;
  }
  auto* s = new (std::nothrow) UsbStream();
  if (s != nullptr) {
    s->serialNumber = serialNumber;
    s->handle = handle;
    *stream = aStream_Create(sUsbGet, sUsbPut, sUsbWrite, sUsbDelete, s);
  }
  if (*stream == nullptr) {
    qwusb_close_quarkwire_device(handle);
    qwusb_destroy(&handle);
    delete s;
    return aErrMemory;
  }
  return aErrNone;
}
