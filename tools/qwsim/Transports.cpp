#include "Transports.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qwsim {

namespace {
constexpr size_t kTcpOutCap = 4u << 20;  // a peer that stops reading is dropped beyond this
constexpr size_t kPtyOutCap = 64u << 10;  // nobody may be reading a pty: old output is dropped

void setLingerReset(int fd) {
  linger lg{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}
}  // namespace

// ---------------------------------------------------------------------------------------------

Loop::Loop() : ep_(epoll_create1(EPOLL_CLOEXEC)) {}
Loop::~Loop() { ::close(ep_); }

void Loop::add(int fd, uint32_t events, Handler* h) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = h;
  epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
}

void Loop::modify(int fd, uint32_t events, Handler* h) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = h;
  epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
}

void Loop::remove(int fd) { epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr); }

void Loop::runOnce(int timeoutMs) {
  epoll_event evs[64];
  int n = epoll_wait(ep_, evs, 64, timeoutMs);
  for (int i = 0; i < n; ++i) static_cast<Handler*>(evs[i].data.ptr)->onEvents(evs[i].events);
}

void Loop::markDirty(FdLink* l) {
  if (l->dirty) return;
  l->dirty = true;
  dirty_.push_back(l);
}

void Loop::flush() {
  // Flushing can close a link (and retire it), never free it: that waits for reap().
  for (size_t i = 0; i < dirty_.size(); ++i) {
    dirty_[i]->dirty = false;
    dirty_[i]->flushOut();
  }
  dirty_.clear();
}

// ---------------------------------------------------------------------------------------------

FdLink::FdLink(Loop& loop, Module& m, int fd, Framing framing, bool isTcp, uint64_t dropAfter)
    : loop_(loop), module_(m), fd_(fd), framing_(framing), isTcp_(isTcp), dropAfter_(dropAfter) {
  loop_.add(fd_, EPOLLIN, this);
  module_.attach(this);
}

FdLink::~FdLink() {
  if (fd_ >= 0) {
    module_.detach(this);
    loop_.remove(fd_);
    ::close(fd_);
  }
}

void FdLink::send(const Packet& p) {
  if (fd_ < 0) return;
  if (framing_ == Framing::raw) {
    uint8_t img[kMaxData + 2];
    size_t n = p.wire(img);
    out_.append(reinterpret_cast<const char*>(img), n);
  } else {
    appendCobsFrame(p, out_);
  }
  loop_.markDirty(this);
}

void FdLink::sendRaw(const std::vector<uint8_t>& bytes) {
  if (fd_ < 0) return;
  out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  loop_.markDirty(this);
}

void FdLink::flushOut() {
  if (fd_ < 0) return;
  size_t off = 0;
  while (off < out_.size()) {
    ssize_t w = ::write(fd_, out_.data() + off, out_.size() - off);
    if (w > 0) {
      off += size_t(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (isTcp_) return close("closed", false);
    out_.clear();  // a pty with a vanished reader: drop the output
    return;
  }
  out_.erase(0, off);
  if (!out_.empty()) {
    if (isTcp_ && out_.size() > kTcpOutCap) return close("dropped", true);
    if (!isTcp_ && out_.size() > kPtyOutCap) out_.clear();
  }
  bool wait = !out_.empty();
  if (wait != writeWait_) {
    writeWait_ = wait;
    loop_.modify(fd_, EPOLLIN | (wait ? EPOLLOUT : 0u), this);
  }
}

void FdLink::drop(bool graceful) {
  if (!isTcp_) {
    // A pty cannot be unplugged: forget what was on its way and wait to hear from the host.
    out_.clear();
    raw_ = PacketParser();
    cobs_ = CobsParser();
    heard_ = false;
    return;
  }
  if (graceful) flushOut();
  close("dropped", !graceful);
}

void FdLink::close(const char* why, bool reset) {
  if (fd_ < 0) return;
  module_.noteConnection(why);
  module_.detach(this);
  loop_.remove(fd_);
  if (reset) setLingerReset(fd_);
  ::close(fd_);
  fd_ = -1;
  out_.clear();
  if (onClosed) onClosed(this);
}

void FdLink::onEvents(uint32_t events) {
  if (events & EPOLLOUT) flushOut();
  if (fd_ < 0) return;
  if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
  uint8_t buf[65536];
  // Bounded: at most a few reads per wake-up so one busy peer cannot starve the others.
  for (int round = 0; round < 4 && fd_ >= 0; ++round) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      if (isTcp_) close("closed", false);
      return;  // a pty master reads nothing while no one holds the other side
    }
    heard_ = true;
    Packet p;
    for (ssize_t i = 0; i < n && fd_ >= 0; ++i) {
      if (dropAfter_ && ++received_ >= dropAfter_) {
        close("dropped", true);
        return;
      }
      bool done = framing_ == Framing::raw ? raw_.feed(buf[i], p) : cobs_.feed(buf[i], p);
      if (done) module_.receive(this, p);
    }
    if (size_t(n) < sizeof buf) return;
  }
}

// ---------------------------------------------------------------------------------------------

TcpListener::TcpListener(Loop& loop, Module& m, const std::string& bind, int port)
    : loop_(loop), module_(m), bind_(bind), port_(port) {}

TcpListener::~TcpListener() {
  conns_.clear();
  close();
}

bool TcpListener::open(std::string& error) {
  if (fd_ >= 0) return true;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(uint16_t(port_));
  if (inet_pton(AF_INET, bind_.c_str(), &sa.sin_addr) != 1) {
    error = "bad bind address " + bind_;
    ::close(fd);
    return false;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 64) != 0) {
    error = "tcp " + bind_ + ":" + std::to_string(port_) + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);  // port 0 picked one; reopening after a reboot keeps it
  fd_ = fd;
  loop_.add(fd_, EPOLLIN, this);
  return true;
}

void TcpListener::close() {
  if (fd_ < 0) return;
  loop_.remove(fd_);
  ::close(fd_);
  fd_ = -1;
}

void TcpListener::onEvents(uint32_t) {
  for (int i = 0; i < 64 && fd_ >= 0; ++i) {
    int c = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0) return;
    if (module_.away() || module_.refuseConnection()) {
      module_.noteConnection("refused");
      setLingerReset(c);
      ::close(c);
      continue;
    }
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    module_.noteConnection("accepted");
    auto link = std::make_unique<FdLink>(loop_, module_, c, Framing::raw, true, module_.dropAfterBytes());
    link->onClosed = [this](FdLink* l) {
      for (auto& h : conns_) {
        if (h.get() != l) continue;
        loop_.retire(std::move(h));
        h = std::move(conns_.back());
        conns_.pop_back();
        return;
      }
    };
    conns_.push_back(std::move(link));
  }
}

// ---------------------------------------------------------------------------------------------

Pty::Pty(Loop& loop, Module& m, Framing framing) : loop_(loop), module_(m), framing_(framing) {}

Pty::~Pty() {
  link_.reset();
  if (slave_ >= 0) ::close(slave_);
}

bool Pty::open(std::string& error) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    error = std::string("pty: ") + std::strerror(errno);
    if (master >= 0) ::close(master);
    return false;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    error = "pty: no name";
    ::close(master);
    return false;
  }
  path_ = name;
  // Holding the other side open keeps the master quiet (no hang-up) while no host is attached,
  // and lets the line start in raw mode.
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ >= 0) {
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slave_, TCSANOW, &t);
    }
  }
  link_ = std::make_unique<FdLink>(loop_, module_, master, framing_, false, 0);
  return true;
}

// ---------------------------------------------------------------------------------------------

DiscoveryResponder::DiscoveryResponder(const std::string& iface, std::vector<Entry> entries)
    : iface_(iface), entries_(std::move(entries)) {}

DiscoveryResponder::~DiscoveryResponder() {
  if (rx_ >= 0) ::close(rx_);
  if (tx_ >= 0) ::close(tx_);
}

bool DiscoveryResponder::open(Loop& loop, std::string& error) {
  in_addr ifa{};
  if (inet_pton(AF_INET, iface_.c_str(), &ifa) != 1) {
    error = "discovery: bad interface address " + iface_;
    return false;
  }
  rx_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(rx_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(9888);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq mr{};
  inet_pton(AF_INET, "232.2.2.2", &mr.imr_multiaddr);
  mr.imr_interface = ifa;
  if (bind(rx_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      setsockopt(rx_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof mr) != 0) {
    error = std::string("discovery: ") + std::strerror(errno);
    return false;
  }
  // Answers leave from the interface's own address: the host connects to the sender.
  tx_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in src{};
  src.sin_family = AF_INET;
  src.sin_addr = ifa;
  if (bind(tx_, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
    error = std::string("discovery answer socket: ") + std::strerror(errno);
    return false;
  }
  loop.add(rx_, EPOLLIN, this);
  return true;
}

void DiscoveryResponder::onEvents(uint32_t) {
  for (int i = 0; i < 64; ++i) {
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(rx_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) return;
    if (n != 16 || buf[0] != 1) continue;
    ++requests;
    from.sin_port = htons(9889);
    for (const Entry& e : entries_) {
      if (e.module->away() || !e.listener->isOpen()) continue;
      uint8_t a[16] = {};
      uint32_t sn = e.module->serial();
      uint16_t port = uint16_t(e.listener->port());
      a[0] = 2;
      a[1] = e.module->address();
      a[2] = uint8_t(port);
      a[3] = uint8_t(port >> 8);
      for (int k = 0; k < 4; ++k) a[4 + k] = uint8_t(sn >> (8 * k));
      a[12] = e.module->model();
      if (sendto(tx_, a, sizeof a, 0, reinterpret_cast<sockaddr*>(&from), sizeof from) == 16) ++answers;
    }
  }
}

}  // namespace qwsim
