// TCP socket stream. It reconnects by itself after a reset or an orderly close by the peer,
// so a link can outlive a module that restarts; its connected flag records whether the last
// attempt worked.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>
#include <mutex>
#include <shared_mutex>

#include "aStream.h"
#include "aTime.h"

namespace {

const uint16_t kSocketMarker = 0xDEAD;
// A get that finds no byte waits this long for one before it reports aErrNotReady, so an
// idle reader sleeps in the kernel instead of spinning.
const int kReadWaitMs = 30;
// A write that cannot go on waits this long before it tries again, up to kMaxRetries times.
const int kWriteWaitMs = 60;
const int kMaxRetries = 10;
const int kConnectTimeoutMs = 3000;
const size_t kReadAhead = 1024;

struct SocketStream {
  uint16_t marker = kSocketMarker;
  uint16_t port = 0;
  sockaddr_in address = {};
  // Guards the descriptor: sends and receives share it, a reconnect takes it alone. The
  // reader and the writer may both start a reconnect; they are serialised here.
  std::shared_mutex lock;
  int fd = -1;
  std::atomic<bool> connected{false};
  std::atomic<unsigned> generation{0};  // bumped by every reconnect
  // Read-ahead buffer; reading side only.
  uint8_t buffer[kReadAhead];
  size_t available = 0;
  size_t next = 0;
};

SocketStream* sState(void* ref) {
  auto* s = static_cast<SocketStream*>(ref);
  return s != nullptr && s->marker == kSocketMarker ? s : nullptr;
}

void sCloseLocked(SocketStream* s) {
  if (s->fd >= 0) {
    s->connected = false;
    close(s->fd);
    s->fd = -1;
    aTime_MSSleep(10);
  }
}

// Connects with a bounded wait, so a module that vanished from the network cannot hold a
// link's thread for the system's whole connect time-out.
int sConnect(const sockaddr_in& address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    return -1;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (errno == EINPROGRESS) {
    pollfd watch = {fd, POLLOUT, 0};
    int ready = poll(&watch, 1, kConnectTimeoutMs);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
      return fd;
    }
    errno = ready == 0 ? ETIMEDOUT : (error != 0 ? error : errno);
  }
  int saved = errno;
  close(fd);
  errno = saved;
  return -1;
}

// (Re)connects; called with the lock held exclusively.
aErr sSocketStreamResetLocked(SocketStream* s) {
  // The read-ahead buffer belongs to the reader and is left alone: bytes that arrived on
  // the old connection are still delivered.
  sCloseLocked(s);
  s->generation++;
  int fd = sConnect(s->address);
  if (fd < 0) {
    int e = errno;
    return e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED ? aErrConnection
                                                                                : aErrIO;
  }
  int on = 1;
  linger noLinger = {1, 0};  // reset rather than drain at close
  timeval noTimeout = {0, 0};
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger) != 0) {
    close(fd);
    return aErrIO;
  }
  s->fd = fd;
  s->connected = true;
  return aErrNone;
}

// Reconnects unless another thread already did since `seen`.
aErr sReconnect(SocketStream* s, unsigned seen) {
  std::unique_lock<std::shared_mutex> exclusive(s->lock);
  if (s->generation != seen && s->connected) {
    return aErrNone;
  }
  return sSocketStreamResetLocked(s);
}

aErr sSocketGet(uint8_t* byte, void* ref) {
  SocketStream* s = sState(ref);
  if (s == nullptr || byte == nullptr) {
    return aErrParam;
  }
  if (s->next < s->available) {
    *byte = s->buffer[s->next++];
    return aErrNone;
  }
  // One reconnect per call at most: after it the caller simply asks again.
  for (int attempt = 0; attempt < 2; attempt++) {
    if (!s->connected) {
      return aErrConnection;
    }
    unsigned seen;
    ssize_t n;
    int error = 0;
    {
      std::shared_lock<std::shared_mutex> shared(s->lock);
      seen = s->generation;
      if (s->fd < 0) {
        return aErrConnection;
      }
      n = recv(s->fd, s->buffer, sizeof s->buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd watch = {s->fd, POLLIN, 0};
        if (poll(&watch, 1, kReadWaitMs) <= 0) {
          return aErrNotReady;
        }
        n = recv(s->fd, s->buffer, sizeof s->buffer, MSG_DONTWAIT);
      }
      error = n < 0 ? errno : 0;
    }
    if (n > 0) {
      s->available = static_cast<size_t>(n);
      s->next = 1;
      *byte = s->buffer[0];
      return aErrNone;
    }
    if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
      return aErrNotReady;
    }
    if (n < 0 && error != ECONNRESET && error != ENOTCONN && error != ETIMEDOUT) {
      return aErrConnection;
    }
    // A reset, or an orderly close (n == 0): the peer has gone. Reconnect, so that a
    // module that went away shows as a failed reconnect rather than endless silence.
    aErr err = sReconnect(s, seen);
    if (err != aErrNone) {
      return err;
    }
  }
  return aErrNotReady;
}

aErr sSocketWrite(const uint8_t* data, size_t length, void* ref) {
  SocketStream* s = sState(ref);
  if (s == nullptr || (data == nullptr && length > 0)) {
    return aErrParam;
  }
  if (!s->connected) {
    return aErrConnection;
  }
  size_t sent = 0;
  int retries = 0;
  while (sent < length) {
    unsigned seen;
    ssize_t n;
    int error = 0;
    {
      std::shared_lock<std::shared_mutex> shared(s->lock);
      seen = s->generation;
      if (s->fd < 0) {
        return aErrConnection;
      }
      n = send(s->fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      error = n < 0 ? errno : 0;
    }
    if (n > 0) {
      sent += static_cast<size_t>(n);
      if (sent == length) {
        break;
      }
      retries = 1;  // progress, but not done: wait for room
    } else if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
      retries++;
    } else if (error == EPIPE || error == ECONNRESET || error == ENOTCONN) {
      aErr err = sReconnect(s, seen);
      if (err != aErrNone) {
        return err;
      }
      retries++;
    } else {
      return aErrIO;
    }
    if (retries >= kMaxRetries) {
      // Giving up with bytes unsent is a failed write.
      return aErrWrite;
    }
    std::shared_lock<std::shared_mutex> shared(s->lock);
    if (s->fd >= 0) {
      pollfd watch = {s->fd, POLLOUT, 0};
      poll(&watch, 1, kWriteWaitMs);
    }
  }
  return aErrNone;
}

aErr sSocketPut(uint8_t byte, void* ref) { return sSocketWrite(&byte, 1, ref); }

aErr sSocketDelete(void* ref) {
  SocketStream* s = sState(ref);
  if (s == nullptr) {
    return aErrParam;
  }
  {
    std::unique_lock<std::shared_mutex> exclusive(s->lock);
    sCloseLocked(s);
  }
  s->marker = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
  if (stream == nullptr) {
    return aErrResource;
  }
  *stream = nullptr;
  auto* s = new (std::nothrow) SocketStream();
  if (s == nullptr) {
    return aErrResource;
  }
  s->port = port;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  aErr err;
  {
    std::unique_lock<std::shared_mutex> exclusive(s->lock);
    err = sSocketStreamResetLocked(s);
  }
  if (err == aErrNone) {
    *stream = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
  }
  if (*stream == nullptr) {
    sSocketDelete(s);
    return aErrResource;
  }
  return aErrNone;
}
