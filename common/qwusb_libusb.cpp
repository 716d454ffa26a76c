// The libusb-1.0 back end of the USB handle.
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "qwusb_internal.h"

namespace {

const unsigned kWriteTimeoutMs = 50;
const unsigned kReadTimeoutMs = 1000;
const int kMaxWriteErrors = 10;

// What a transfer may do in the handle's current state: aErrNone only in the ready state.
aErr sStateCheck(const qwusb* handle) {
  switch (handle->state.load()) {
    case QWUSB_STATE_READY:
      return aErrNone;
    case QWUSB_STATE_CLOSED:
      return aErrConnection;
    case QWUSB_STATE_CREATED:
    case QWUSB_STATE_OPEN:
      return aErrNotReady;
    default:
      return aErrIO;
  }
}

aErr sClaimError(int code) {
  switch (code) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

// Opens the device when it belongs to the family and its serial string is exactly the
// wanted text; otherwise returns null.
libusb_device_handle* sOpenIfMatching(libusb_device* device, const char* serialText) {
  if (!is_quarkwire_device(device)) {
    return nullptr;
  }
  libusb_device_handle* opened = nullptr;
  if (libusb_open(device, &opened) != LIBUSB_SUCCESS) {
    return nullptr;
  }
  libusb_device_descriptor descriptor;
  unsigned char text[256];
  int length = 0;
  if (libusb_get_device_descriptor(device, &descriptor) == LIBUSB_SUCCESS &&
      descriptor.iSerialNumber != 0) {
    length = libusb_get_string_descriptor_ascii(opened, descriptor.iSerialNumber, text,
                                                sizeof text - 1);
  }
  if (length <= 0 || static_cast<size_t>(length) != strlen(serialText) ||
      memcmp(text, serialText, static_cast<size_t>(length)) != 0) {
    libusb_close(opened);
    return nullptr;
  }
  return opened;
}

}  // namespace

int find_usb_endpoints(qwusb* handle) {
  if (handle == nullptr || handle->device == nullptr) {
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  libusb_device* device = libusb_get_device(handle->device);
  libusb_device_descriptor descriptor;
  int rc = libusb_get_device_descriptor(device, &descriptor);
  if (rc != LIBUSB_SUCCESS) {
    return rc;
  }
  libusb_config_descriptor* config = nullptr;
  rc = libusb_get_config_descriptor(device, 0, &config);
  if (rc != LIBUSB_SUCCESS) {
    return rc;
  }
  bool haveIn = false, haveOut = false;
  for (int i = 0; i < config->bNumInterfaces; i++) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; a++) {
      const libusb_interface_descriptor& alt = interface.altsetting[a];
      if (alt.bInterfaceClass != QUARKWIRE_INTERFACE_CLASS ||
          alt.bInterfaceSubClass != QUARKWIRE_INTERFACE_SUBCLASS ||
          alt.bInterfaceProtocol != QUARKWIRE_INTERFACE_PROTOCOL) {
        continue;
      }
      // When several settings match, the last one found wins.
      handle->interfaceNumber = alt.bInterfaceNumber;
      for (int e = 0; e < alt.bNumEndpoints; e++) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if ((ep.bmAttributes & 0x02) == 0) {  // bulk or interrupt only
          continue;
        }
        if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
          handle->inEndpoint = ep.bEndpointAddress;
          handle->inMaxPacket = ep.wMaxPacketSize;
          haveIn = true;
        } else {
          handle->outEndpoint = ep.bEndpointAddress;
          handle->outMaxPacket = ep.wMaxPacketSize;
          haveOut = true;
        }
      }
    }
  }
  libusb_free_config_descriptor(config);
  if (!haveIn || !haveOut) {
    return LIBUSB_ERROR_NO_DEVICE;
  }
  qwusb_trace("In Endpoint Max packet: %d\n", handle->inMaxPacket);
  qwusb_trace("Out Endpoint Max packet: %d\n", handle->outMaxPacket);
  return LIBUSB_SUCCESS;
}

aErr qwusb_open_quarkwire_USBlib_device(qwusb* handle, const char* serialText) {
  if (handle == nullptr || serialText == nullptr) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_LIBUSB) {
    return aErrMode;
  }
  if (handle->state == QWUSB_STATE_UNSET) {
    return aErrResource;
  }
  if (handle->device != nullptr) {
    return aErrBusy;  // already holds a device; close it first
  }
  libusb_context* context = Quarkwire_libusb_context();
  if (context == nullptr) {
    return aErrResource;
  }
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    return aErrNotFound;
  }
  aErr result = aErrNotFound;
  for (ssize_t i = 0; i < count; i++) {
    libusb_device_handle* opened = sOpenIfMatching(list[i], serialText);
    if (opened == nullptr) {
      continue;
    }
    snprintf(handle->serial, sizeof handle->serial, "%s", serialText);
    handle->device = opened;
    handle->state = QWUSB_STATE_OPEN;
    if (find_usb_endpoints(handle) != LIBUSB_SUCCESS) {
      result = aErrConfiguration;
    } else {
      int rc = libusb_claim_interface(opened, handle->interfaceNumber);
      result = rc == LIBUSB_SUCCESS ? aErr(aErrNone) : sClaimError(rc);
    }
    if (result == aErrNone) {
      handle->available = 0;
      handle->next = handle->rx;
      handle->errorCount = 0;
      handle->state = QWUSB_STATE_READY;
    } else {
      handle->state = QWUSB_STATE_CLOSED;
      libusb_close(opened);
      handle->device = nullptr;
    }
    break;
  }
  libusb_free_device_list(list, 1);
  return result;
}

aErr qwusb_write_to_USBlib_device(qwusb* handle, const uint8_t* data, size_t length) {
  if (handle == nullptr || (data == nullptr && length > 0)) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_LIBUSB) {
    return aErrMode;
  }
  aErr result = sStateCheck(handle);
  if (result == aErrIO) {
    qwusb_trace("libusb WRITE error dev state: %d\n", handle->state.load());
  }
  if (result == aErrNone) {
    size_t sent = 0;
    int errors = 0;
    while (sent < length && errors < kMaxWriteErrors) {
      size_t chunk = std::min<size_t>(length - sent, handle->outMaxPacket);
      if (chunk == 0) {
        chunk = std::min<size_t>(length - sent, 64);  // a descriptor without a packet size
      }
      // A transfer of exactly one 512-byte packet would need a zero-length packet after it
      // to end; one byte less ends it by itself.
      if (chunk == 512) {
        chunk = 511;
      }
      int transferred = 0;
      int rc = libusb_bulk_transfer(handle->device, handle->outEndpoint,
                                    const_cast<uint8_t*>(data + sent), static_cast<int>(chunk),
                                    &transferred, kWriteTimeoutMs);
      qwusb_trace("libusb lenSent: %d - nSize: %d\n", transferred, static_cast<int>(chunk));
      sent += static_cast<size_t>(std::max(transferred, 0));
      if (rc == LIBUSB_SUCCESS && transferred > 0) {
        continue;
      }
      // A transfer that moved nothing counts as an error too, so the loop always ends.
      errors++;
      qwusb_trace("libusb error: %d\n", rc);
      if (rc == LIBUSB_ERROR_PIPE) {
        int cleared = libusb_clear_halt(handle->device, handle->outEndpoint);
        if (cleared != LIBUSB_SUCCESS) {
          qwusb_trace("libusb WRITE error clearing halt: %d\n", cleared);
          result = aErrIO;
          break;
        }
      }
    }
    if (result == aErrNone && sent < length) {
      result = aErrWrite;
    }
  }
  return _handleErrorTolerance(handle, result, false);
}

aErr qwusb_get_from_USBlib_device(qwusb* handle, uint8_t* byte) {
  if (handle == nullptr || byte == nullptr) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_LIBUSB) {
    return aErrMode;
  }
  aErr result = aErrNone;
  if (handle->available == 0) {
    result = sStateCheck(handle);
    if (result == aErrIO) {
      qwusb_trace("libusb READ error dev state: %d\n", handle->state.load());
    }
    if (result == aErrNone) {
      int transferred = 0;
      int rc = libusb_bulk_transfer(handle->device, handle->inEndpoint, handle->rx,
                                    QWUSB_RX_SIZE, &transferred, kReadTimeoutMs);
      if (rc == LIBUSB_SUCCESS || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)) {
        handle->available = static_cast<uint32_t>(std::max(transferred, 0));
        handle->next = handle->rx;
      } else if (rc == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(handle->device, handle->inEndpoint);
        result = aErrNotReady;
      } else if (rc == LIBUSB_ERROR_TIMEOUT) {
        result = aErrNotReady;
      } else {
        qwusb_trace("libusb READ error bulk transfer: %d\n", rc);
        result = aErrIO;
      }
    }
  }
  if (result == aErrNone) {
    if (handle->available > 0) {
      *byte = *handle->next++;
      handle->available--;
    } else {
      result = aErrNotReady;
    }
  }
  return _handleErrorTolerance(handle, result, true);
}

aErr qwusb_close_quarkwire_USBlib_device(qwusb* handle) {
  if (handle == nullptr) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_LIBUSB || handle->device == nullptr) {
    return aErrMode;
  }
  libusb_release_interface(handle->device, handle->interfaceNumber);
  libusb_close(handle->device);
  handle->device = nullptr;
  handle->state = QWUSB_STATE_CLOSED;
  handle->interfaceNumber = 0;
  handle->inEndpoint = 0;
  handle->outEndpoint = 0;
  handle->available = 0;
  return aErrNone;
}

const qwusb_backend qwusb_libusb_backend = {
    qwusb_open_quarkwire_USBlib_device,
    qwusb_write_to_USBlib_device,
    qwusb_get_from_USBlib_device,
    qwusb_close_quarkwire_USBlib_device,
};
