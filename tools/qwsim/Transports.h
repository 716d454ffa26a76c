#pragma once
// The simulator's transports: a TCP listener per module, ptys carrying raw packets or COBS
// frames, and the UDP discovery responder. All of them run on one epoll loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Module.h"

namespace qwsim {

class Loop {
 public:
  struct Handler {
    virtual ~Handler() = default;
    virtual void onEvents(uint32_t events) = 0;
  };
  Loop();
  ~Loop();
  void add(int fd, uint32_t events, Handler* h);
  void modify(int fd, uint32_t events, Handler* h);
  void remove(int fd);
  // Waits up to `timeoutMs` and dispatches what arrived.
  void runOnce(int timeoutMs);

  // Links with output waiting, flushed once per loop turn so replies to a burst of requests
  // leave in one write.
  void markDirty(class FdLink* l);
  void flush();
  // Objects that closed during this turn; freed once the turn is over.
  void retire(std::unique_ptr<Handler> h) { retired_.push_back(std::move(h)); }
  void reap() { retired_.clear(); }

 private:
  int ep_;
  std::vector<FdLink*> dirty_;
  std::vector<std::unique_ptr<Handler>> retired_;
};

enum class Framing { raw, cobs };

// A TCP connection or a pty master: parses packets from the host and frames the module's.
class FdLink : public Link, public Loop::Handler {
 public:
  FdLink(Loop& loop, Module& m, int fd, Framing framing, bool isTcp, uint64_t dropAfter);
  ~FdLink() override;
  void send(const Packet& p) override;
  void sendRaw(const std::vector<uint8_t>& bytes) override;
  void drop(bool graceful) override;
  bool active() const override { return isTcp_ || heard_; }
  void onEvents(uint32_t events) override;
  void flushOut();
  bool dirty = false;
  // Called once when the connection has closed, to hand the object to Loop::retire.
  std::function<void(FdLink*)> onClosed;

 private:
  void close(const char* why, bool reset);
  Loop& loop_;
  Module& module_;
  int fd_;
  Framing framing_;
  bool isTcp_;
  bool heard_ = false;
  bool writeWait_ = false;
  uint64_t dropAfter_;
  uint64_t received_ = 0;
  std::string out_;
  PacketParser raw_;
  CobsParser cobs_;
};

class TcpListener : public Loop::Handler {
 public:
  TcpListener(Loop& loop, Module& m, const std::string& bind, int port);
  ~TcpListener() override;
  bool open(std::string& error);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int port() const { return port_; }
  void onEvents(uint32_t events) override;
  bool wantOpen = true;

 private:
  Loop& loop_;
  Module& module_;
  std::string bind_;
  int port_;
  int fd_ = -1;
  std::vector<std::unique_ptr<Loop::Handler>> conns_;
};

class Pty {
 public:
  Pty(Loop& loop, Module& m, Framing framing);
  ~Pty();
  bool open(std::string& error);
  const std::string& path() const { return path_; }

 private:
  Loop& loop_;
  Module& module_;
  Framing framing_;
  int slave_ = -1;
  std::string path_;
  std::unique_ptr<FdLink> link_;
};

class DiscoveryResponder : public Loop::Handler {
 public:
  struct Entry {
    Module* module;
    TcpListener* listener;
  };
  DiscoveryResponder(const std::string& iface, std::vector<Entry> entries);
  ~DiscoveryResponder() override;
  bool open(Loop& loop, std::string& error);
  void onEvents(uint32_t events) override;
  uint64_t requests = 0, answers = 0;

 private:
  std::string iface_;
  std::vector<Entry> entries_;
  int rx_ = -1, tx_ = -1;
};

}  // namespace qwsim
