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

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

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
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::exit(1);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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

// A listener that, once a peer connects, writes `count` packets as fast as it can.
struct BurstModule {
  int listener = -1;
  uint16_t port = 0;
  std::thread thread;
  explicit BurstModule(int count) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread = std::thread([this, count] {
      int c = accept(listener, nullptr, nullptr);
      std::vector<uint8_t> burst;
      for (int i = 0; i < count; ++i) {
        const uint8_t p[] = {4, 6, 3, 0x48, 0x20, uint8_t(i), uint8_t(i >> 8), 0};
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

// The queue holds at most 1000 packets, so the taker keeps pace with the reader.
double linkBurst(int count) {
  BurstModule module(count);
  uint32_t id = aLink_CreateTCPIP(0x51515152, htonl(INADDR_LOOPBACK), module.port);
  if (!id) std::exit(1);
  auto start = Clock::now();
  int got = 0;
  while (got < count) {
    aPacket* p = aLink_AwaitPacket(id, 2000);
    if (!p) break;
    aPacket_Destroy(&p);
    ++got;
  }
  double t = seconds(Clock::now() - start);
  aLink_Destroy(&id);
  if (got < count) std::fprintf(stderr, "link burst: only %d of %d packets\n", got, count);
  return got / t;
}

double plainBurst(int count) {
  BurstModule module(count);
  int fd = connectTo(module.port);
  auto start = Clock::now();
  std::vector<uint8_t> buf(65536);
  size_t want = size_t(count) * 8, have = 0;
  while (have < want) {
    ssize_t r = read(fd, buf.data(), buf.size());
    if (r <= 0) break;
    have += size_t(r);
  }
  double t = seconds(Clock::now() - start);
  close(fd);
  return count / t;
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
