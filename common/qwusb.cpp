#include <libusb.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "aDebug.h"
#include "aFile.h"
#include "qwusb_internal.h"

namespace {

// The shared context. gContextMutex guards gContext; nothing else is locked while it is held.
std::mutex gContextMutex;
libusb_context* gContext = nullptr;

const qwusb_backend* sBackend(const qwusb* handle) {
  return handle->kind == QWUSB_KIND_LIBUSB ? &qwusb_libusb_backend : &qwusb_kernel_backend;
}

}  // namespace

void qwusb_trace(const char* format, ...) {
  if (!aDebug_On(aDEBUG_USB)) {
    return;
  }
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

libusb_context* Quarkwire_libusb_context(void) {
  std::lock_guard<std::mutex> lock(gContextMutex);
  if (gContext == nullptr) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) == LIBUSB_SUCCESS) {
      gContext = context;
    }
  }
  return gContext;
}

libusb_context* Quarkwire_libusb_init(void) { return Quarkwire_libusb_context(); }

void Quarkwire_libusb_exit(void) {
  std::lock_guard<std::mutex> lock(gContextMutex);
  if (gContext != nullptr) {
    libusb_exit(gContext);
    gContext = nullptr;
  }
}

bool is_quarkwire_device(libusb_device* device) {
  if (device == nullptr) {
    return false;
  }
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) {
    return false;
  }
  return descriptor.idVendor == QUARKWIRE_VENDOR_ID &&
         static_cast<int16_t>(descriptor.idProduct) >= 0;
}

namespace {
// Written only by tests before links exist; read when a USB stream is made.
char gNodeDirectory[256] = "/dev";
}  // namespace

void qwusb_SetNodeDirectoryForTesting(const char* directory) {
  snprintf(gNodeDirectory, sizeof gNodeDirectory, "%s", directory ? directory : "/dev");
}

void qwusb_node_path(const char* serialText, char* path, size_t size) {
  snprintf(path, size, "%s/quarkwire.%s", gNodeDirectory, serialText);
}

bool qwusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char serial[16];
  snprintf(serial, sizeof serial, "%08X", serialNumber);
  char path[600];
  qwusb_node_path(serial, path, sizeof path);
  return aFile_Exists(path);
}

qwusb* qwusb_create_usb(int kind) {
  if (kind != QWUSB_KIND_LIBUSB && kind != QWUSB_KIND_KERNEL) {
    return nullptr;
  }
  qwusb* handle = new (std::nothrow) qwusb();
  if (handle == nullptr) {
    return nullptr;
  }
  handle->kind = kind;
  handle->descriptor = -1;
  handle->state = QWUSB_STATE_CREATED;
  if (kind == QWUSB_KIND_LIBUSB) {
    Quarkwire_libusb_context();
  }
  return handle;
}

aErr qwusb_open_quarkwire_device(qwusb* handle, const char* serialText) {
  if (handle == nullptr || serialText == nullptr) {
    return aErrParam;
  }
  return sBackend(handle)->open(handle, serialText);
}

aErr qwusb_write_to_device(qwusb* handle, const uint8_t* data, size_t length) {
  if (handle == nullptr || (data == nullptr && length > 0)) {
    return aErrParam;
  }
  return sBackend(handle)->write(handle, data, length);
}

aErr qwusb_get_from_device(qwusb* handle, uint8_t* byte) {
  if (handle == nullptr || byte == nullptr) {
    return aErrParam;
  }
  return sBackend(handle)->get(handle, byte);
}

aErr qwusb_close_quarkwire_device(qwusb* handle) {
  if (handle == nullptr) {
    return aErrParam;
  }
  return sBackend(handle)->close(handle);
}

aErr qwusb_destroy(qwusb** handle) {
  if (handle == nullptr || *handle == nullptr) {
    return aErrParam;
  }
  qwusb* h = *handle;
  // A device still open here is closed without releasing its interface.
  if (h->device != nullptr) {
    libusb_close(h->device);
    h->device = nullptr;
  }
  if (h->descriptor >= 0) {
    ::close(h->descriptor);
    h->descriptor = -1;
  }
  h->state = QWUSB_STATE_UNSET;
  delete h;
  *handle = nullptr;
  return aErrNone;
}

aErr _handleErrorTolerance(qwusb* handle, aErr result, bool isRead) {
  if (result != aErrIO) {
    handle->errorCount = 0;
    return result;
  }
  uint8_t before = handle->errorCount.load();
  if (before < 0xFF) {
    handle->errorCount = static_cast<uint8_t>(before + 1);
  }
  if (before < 4) {
    return isRead ? aErrNotReady : aErrNone;
  }
  handle->state = QWUSB_STATE_FAILED;
  return aErrIO;
}

int qwusb_get_kind(const qwusb* handle) { return handle ? handle->kind : -1; }
int qwusb_get_state(const qwusb* handle) { return handle ? handle->state.load() : QWUSB_STATE_UNSET; }
uint16_t qwusb_get_out_max_packet(const qwusb* handle) { return handle ? handle->outMaxPacket : 0; }
