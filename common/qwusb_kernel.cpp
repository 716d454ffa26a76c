// The kernel-driver back end of the USB handle: the module's character device node.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "qwusb_internal.h"

namespace {

const int kMaxWriteCalls = 1000;
// A read waits this long for a byte before it reports aErrNotReady, so that a reader
// neither blocks for ever on a silent module nor spins on one.
const int kReadWaitMs = 100;

}  // namespace

aErr qwusb_open_quarkwire_kernel_device(qwusb* handle, const char* serialText) {
  if (handle == nullptr || serialText == nullptr) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_KERNEL) {
    return aErrMode;
  }
  if (handle->descriptor >= 0) {
    return aErrBusy;
  }
  snprintf(handle->serial, sizeof handle->serial, "%s", serialText);
  char path[600];
  qwusb_node_path(handle->serial, path, sizeof path);
  int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return errno == EBUSY ? aErrBusy : aErrIO;
  }
  handle->descriptor = fd;
  handle->state = QWUSB_STATE_READY;
  return aErrNone;
}

aErr qwusb_write_to_kernel_device(qwusb* handle, const uint8_t* data, size_t length) {
  if (handle == nullptr || (data == nullptr && length > 0)) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_KERNEL || handle->descriptor < 0) {
    return aErrMode;
  }
  size_t sent = 0;
  for (int calls = 0; sent < length && calls < kMaxWriteCalls; calls++) {
    ssize_t n = ::write(handle->descriptor, data + sent, length - sent);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return aErrIO;
    }
    sent += static_cast<size_t>(n);
  }
  return sent < length ? aErrIO : aErrNone;
}

aErr qwusb_get_from_kernel_device(qwusb* handle, uint8_t* byte) {
  if (handle == nullptr || byte == nullptr) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_KERNEL || handle->descriptor < 0) {
    return aErrMode;
  }
  struct pollfd watch = {handle->descriptor, POLLIN, 0};
  int ready = ::poll(&watch, 1, kReadWaitMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) {
    return aErrNotReady;
  }
  ssize_t n = ::read(handle->descriptor, byte, 1);
  if (n == 1) {
    return aErrNone;
  }
  if (n == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR) {
    return aErrNotReady;
  }
  return aErrIO;
}

aErr qwusb_close_quarkwire_kernel_device(qwusb* handle) {
  if (handle == nullptr) {
    return aErrParam;
  }
  if (handle->kind != QWUSB_KIND_KERNEL) {
    return aErrMode;
  }
  if (handle->descriptor < 0) {
    return aErrNone;
  }
  if (::close(handle->descriptor) != 0) {
    return aErrCancel;
  }
  handle->descriptor = -1;
  handle->state = QWUSB_STATE_CLOSED;
  return aErrNone;
}

const qwusb_backend qwusb_kernel_backend = {
    qwusb_open_quarkwire_kernel_device,
    qwusb_write_to_kernel_device,
    qwusb_get_from_kernel_device,
    qwusb_close_quarkwire_kernel_device,
};
