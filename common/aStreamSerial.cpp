// Serial-port stream: a raw termios port.
#include "aStreamSerial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <new>

namespace {

const uint16_t kSerialMarker = 0xBEEF;
// A get that finds no byte waits this long for one before it reports aErrNotReady: the port
// is set to return at once (VMIN = VTIME = 0), and a reader must not spin on it.
const int kReadWaitMs = 30;

const speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

}  // namespace

struct aSerialPort {
  uint16_t marker = kSerialMarker;
  uint32_t speedIndex = 0;
  char path[4096] = {};
  int fd = -1;
  termios original = {};  // restored at close
  termios applied = {};
};

static aSerialPort* sPort(void* ref) {
  auto* port = static_cast<aSerialPort*>(ref);
  return port != nullptr && port->marker == kSerialMarker ? port : nullptr;
}

aErr sStreamOpenSerial(const char* path, uint32_t speedIndex, bool parity, uint32_t dataBits,
                       uint32_t stopBits, aSerialPort** out) {
  if (path == nullptr || out == nullptr) {
    return aErrParam;
  }
  *out = nullptr;
  tcflag_t control = CREAD | CLOCAL | (parity ? PARENB : 0);
  switch (dataBits) {
    case 0: control |= CS8; break;
    case 1: control |= CS7; break;
    default: return aErrParam;
  }
  switch (stopBits) {
    case 0: break;
    case 1: control |= CSTOPB; break;
    default: return aErrParam;
  }
  auto* port = new (std::nothrow) aSerialPort();
  if (port == nullptr) {
    return aErrMemory;
  }
  snprintf(port->path, sizeof port->path, "%s", path);
  port->speedIndex = speedIndex;
  port->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (port->fd < 0) {
    int e = errno;
    delete port;
    return e == ENOENT ? aErrNotFound : e == EACCES || e == EPERM ? aErrPermission : aErrIO;
  }
  int flags = fcntl(port->fd, F_GETFL);
  bool ok = flags >= 0 && fcntl(port->fd, F_SETFL, flags & ~O_NONBLOCK) == 0 &&
            tcgetattr(port->fd, &port->original) == 0;
  if (ok) {
    termios t = port->original;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = control;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t speed = speedIndex < sizeof kSpeeds / sizeof kSpeeds[0] ? kSpeeds[speedIndex] : B0;
    ok = cfsetispeed(&t, speed) == 0 && cfsetospeed(&t, speed) == 0 &&
         tcsetattr(port->fd, TCSANOW, &t) == 0 && tcflush(port->fd, TCIOFLUSH) == 0;
    port->applied = t;
  }
  if (!ok) {
    close(port->fd);
    delete port;
    return aErrIO;
  }
  *out = port;
  return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* ref) {
  aSerialPort* port = sPort(ref);
  if (port == nullptr || byte == nullptr) {
    return aErrParam;
  }
  pollfd watch = {port->fd, POLLIN, 0};
  int ready = poll(&watch, 1, kReadWaitMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) {
    return aErrNotReady;
  }
  ssize_t n = read(port->fd, byte, 1);
  if (n == 1) {
    return aErrNone;
  }
  if (n == 0 || errno == EAGAIN || errno == EINTR) {
    return aErrNotReady;
  }
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* ref) {
  aSerialPort* port = sPort(ref);
  if (port == nullptr || (data == nullptr && length > 0)) {
    return aErrParam;
  }
  ssize_t n = write(port->fd, data, length);
  if (n < 0 || static_cast<size_t>(n) != length) {
    return aErrIO;
  }
  tcdrain(port->fd);
  return aErrNone;
}

aErr sSerialPut(uint8_t byte, void* ref) { return sSerialWrite(&byte, 1, ref); }

aErr sSerialDelete(void* ref) {
  aSerialPort* port = sPort(ref);
  if (port == nullptr) {
    return aErrParam;
  }
  tcsetattr(port->fd, TCSANOW, &port->original);
  close(port->fd);
  port->marker = 0;
  delete port;
  return aErrNone;
}

aErr aStream_CreateSerial(const char* path, uint32_t speedIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** stream) {
  if (path == nullptr || stream == nullptr || dataBits > 1 || stopBits > 1) {
    return aErrParam;
  }
  *stream = nullptr;
  aSerialPort* port = nullptr;
  aErr err = sStreamOpenSerial(path, speedIndex, parity, dataBits, stopBits, &port);
  if (err != aErrNone) {
    return err;
  }
  *stream = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port);
  if (*stream == nullptr) {
    sSerialDelete(port);
    return aErrMemory;
  }
  return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t speedIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream) {
  if (path == nullptr || stream == nullptr || dataBits > 1 || stopBits > 1) {
    return aErrParam;
  }
  *stream = nullptr;
  aSerialPort* port = nullptr;
  aErr err = sStreamOpenSerial(path, speedIndex, parity, dataBits, stopBits, &port);
  if (err != aErrNone) {
    return err;
  }
  err = aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, port,
                                   stream);
  if (err != aErrNone) {
    sSerialDelete(port);
  }
  return err;
}
