// Link engine figures, each against a baseline measured in the same run:
//  1. request/reply round trip through a TCP link to the module simulator, against a plain
//     blocking TCP ping-pong of the same packets to the same simulator;
//  2. a burst of packets from a module through the reader into the incoming queue, against
//     a plain read loop on a socket fed the same way;
//  3. CPU used by an idle TCP link over a few seconds.
// Usage: bench_link [round-trips] [burst-packets] [idle-seconds]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "QwsimHarness.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool isEmptyFrom(const aPacket* p, void* ref) {
  return p->length == 0 && p->address == *static_cast<uint8_t*>(ref);
}

double linkRoundTrips(uint16_t port, uint8_t address, int n) {
  uint32_t id = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), port);
  if (!id) {
    std::fprintf(stderr, "no link\n");
    std::exit(1);
  }
  aPacket* req = aPacket_CreateWithData(aLinkPresenceAddress, 0, &address);
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    aLink_PutPacket(id, req);
    aPacket* reply = aLink_AwaitFirst(id, isEmptyFrom, &address, 2000);
    if (!reply) {
      std::fprintf(stderr, "lost reply\n");
      std::exit(1);
    }
    aPacket_Destroy(&reply);
  }
  double t = seconds(Clock::now() - start);
  aPacket_Destroy(&req);
  aLink_Destroy(&id);
  return t / n;
}

int connectTo(uint16_t port) {
  int fd = loopback::connectTo(port);
  if (fd < 0) std::exit(1);
  return fd;
}

double plainRoundTrips(uint16_t port, uint8_t address, int n) {
  int fd = connectTo(port);
  const uint8_t req[2] = {aLinkPresenceAddress, 0};
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (write(fd, req, 2) != 2) std::exit(1);
    uint8_t got[2];
    size_t have = 0;
    while (have < 2) {
      ssize_t r = read(fd, got + have, 2 - have);
      if (r <= 0) std::exit(1);
      have += size_t(r);
    }
    if (got[0] != address) std::exit(1);
  }
  double t = seconds(Clock::now() - start);
  close(fd);
  return t / n;
}

// A listener that, once a peer connects and go() is called, writes `count` packets as
// fast as it can.
struct BurstModule {
  int listener = -1;
  uint16_t port = 0;
  std::promise<void> started;
  std::thread thread;
  void go() { started.set_value(); }
  explicit BurstModule(int count) {
    listener = loopback::listenOn(&port, 1);
    thread = std::thread([this, count] {
      int c = accept(listener, nullptr, nullptr);
      started.get_future().wait();
      std::vector<uint8_t> burst;
      for (int i = 0; i < count; ++i) {
        const uint8_t p[] = {4, 6, 3, 0x48, 0x20, uint8_t(i), uint8_t(i >> 8), 0};  // 8 bytes
        burst.insert(burst.end(), p, p + sizeof p);
      }
      size_t off = 0;
      while (off < burst.size()) {
        ssize_t w = write(c, burst.data() + off, burst.size() - off);
        if (w <= 0) break;
        off += size_t(w);
      }
      // Keep the connection until the reader is done with it.
      uint8_t b;
      while (read(c, &b, 1) > 0) {
      }
      close(c);
    });
  }
  ~BurstModule() {
    thread.join();
    close(listener);
  }
};

// Every packet the reader assembles passes the user filter (which only counts it) and is
// then put on the incoming queue. Nobody takes from the queue, which drops its backlog past
// 1000 packets, so the figure is the reader's own rate of putting packets there.
struct BurstCount {
  std::atomic<int> seen{0};
};
bool countPacket(const aPacket*, void* ref) {
  ++static_cast<BurstCount*>(ref)->seen;
  return false;
}

double linkBurst(int count) {
  BurstCount counter;
  BurstModule module(count);
  uint32_t id = aLink_CreateTCPIP(0x51515152, htonl(INADDR_LOOPBACK), module.port);
  if (!id) std::exit(1);
  aLink_InstallUserPacketFilter(id, countPacket, &counter);
  auto start = Clock::now();
  module.go();
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (counter.seen < count && Clock::now() < deadline) usleep(200);
  double t = seconds(Clock::now() - start);
  aLink_InstallUserPacketFilter(id, nullptr, nullptr);
  aLink_Destroy(&id);
  if (counter.seen < count) std::fprintf(stderr, "link burst: %d of %d packets\n", counter.seen.load(), count);
  return counter.seen / t;
}

// The baseline reads the same burst packet by packet: header, then data.
double plainBurst(int count) {
  BurstModule module(count);
  int fd = connectTo(module.port);
  module.go();
  auto readAll = [fd](uint8_t* buf, size_t n) {
    size_t have = 0;
    while (have < n) {
      ssize_t r = read(fd, buf + have, n - have);
      if (r <= 0) return false;
      have += size_t(r);
    }
    return true;
  };
  auto start = Clock::now();
  int got = 0;
  uint8_t packet[30];
  while (got < count && readAll(packet, 2) && readAll(packet + 2, packet[1])) ++got;
  double t = seconds(Clock::now() - start);
  close(fd);
  return got / t;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int trips = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int burst = argc > 2 ? std::atoi(argv[2]) : 100000;
  const int idle = argc > 3 ? std::atoi(argv[3]) : 5;

  qwtest::Sim sim({"--serial", "40F5849A", "--tcp", "0"}, 600);
  const uint16_t port = sim.port();
  const uint8_t address = sim.ready["modules"][0]["address"].get<uint8_t>();

  double plain = plainRoundTrips(port, address, trips);
  double link = linkRoundTrips(port, address, trips);
  std::printf("round trip: link %.1f us, plain %.1f us, ratio %.2f (target <= 2.5)\n",
              link * 1e6, plain * 1e6, link / plain);

  double plainRate = plainBurst(burst);
  double linkRate = linkBurst(burst);
  std::printf("burst of %d: link %.0f packets/s, plain %.0f packets/s, ratio %.2f (target >= 0.5)\n",
              burst, linkRate, plainRate, linkRate / plainRate);

  uint32_t id = aLink_CreateTCPIP(0x40F5849A, htonl(INADDR_LOOPBACK), port);
  double cpu0 = cpuSeconds();
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle));
  double cpu = cpuSeconds() - cpu0, wall = seconds(Clock::now() - t0);
  aLink_Destroy(&id);
  std::printf("idle link: %.3f%% of a core over %.1f s (target < 1%%)\n", 100 * cpu / wall, wall);
  return 0;
}
