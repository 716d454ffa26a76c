// Requests per second that one simulated module answers over loopback TCP. The baseline is a
// minimal responder thread in this process doing the same socket work with no module logic,
// so the ratio shows what the simulator's framing and logic cost on this machine.

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "QwsimHarness.h"

using namespace qwtest;

namespace {

// A typed get of the serial number: 5 bytes out, a 9-byte answer back.
const uint8_t kRequest[] = {2, 3, 3, 9 | 0x40, 0x20};

// Sends `batch` requests in one write and reads until every answer is in.
bool roundTrip(int fd, size_t batch, std::vector<uint8_t>& out, std::vector<uint8_t>& in) {
  out.clear();
  for (size_t i = 0; i < batch; ++i) out.insert(out.end(), kRequest, kRequest + sizeof kRequest);
  size_t off = 0;
  while (off < out.size()) {
    ssize_t w = write(fd, out.data() + off, out.size() - off);
    if (w <= 0) return false;
    off += size_t(w);
  }
  size_t answers = 0, have = 0;
  in.resize(1 << 16);
  while (answers < batch) {
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, 5000) <= 0) return false;
    ssize_t n = read(fd, in.data() + have, in.size() - have);
    if (n <= 0) return false;
    have += size_t(n);
    size_t pos = 0;
    while (have - pos >= 2 && have - pos >= size_t(in[pos + 1]) + 2) {
      pos += size_t(in[pos + 1]) + 2;
      ++answers;
    }
    std::memmove(in.data(), in.data() + pos, have - pos);
    have -= pos;
  }
  return true;
}

void runClient(benchmark::State& state, uint16_t port) {
  Client c = Client::tcp(port);
  if (!c.ok()) {
    state.SkipWithError("cannot connect");
    return;
  }
  const size_t batch = size_t(state.range(0));
  std::vector<uint8_t> out, in;
  for (auto _ : state) {
    if (!roundTrip(c.fd(), batch, out, in)) {
      state.SkipWithError("no answer");
      return;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(batch));
}

void BM_Qwsim(benchmark::State& state) {
  Sim sim({"--serial", "40F5849A", "--tcp", "0"}, 600);
  runClient(state, sim.port());
}

// The baseline: reads 5-byte requests and answers each with 9 bytes, nothing else.
void BM_Baseline(benchmark::State& state) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  bind(ls, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(ls, 1);
  getsockname(ls, reinterpret_cast<sockaddr*>(&sa), &len);
  std::thread server([ls] {
    int fd = accept(ls, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<uint8_t> in(1 << 16), out;
    size_t have = 0;
    for (;;) {
      ssize_t n = read(fd, in.data() + have, in.size() - have);
      if (n <= 0) break;
      have += size_t(n);
      size_t pos = 0;
      out.clear();
      while (have - pos >= sizeof kRequest) {
        const uint8_t reply[] = {2, 7, 3, 9, 0, 0x40, 0xF5, 0x84, 0x9A};
        out.insert(out.end(), reply, reply + sizeof reply);
        pos += sizeof kRequest;
      }
      std::memmove(in.data(), in.data() + pos, have - pos);
      have -= pos;
      if (!out.empty() && write(fd, out.data(), out.size()) < 0) break;
    }
    close(fd);
  });
  runClient(state, ntohs(sa.sin_port));
  shutdown(ls, SHUT_RDWR);
  close(ls);
  server.join();
}

}  // namespace

// Batch 1 is strict request/answer ping-pong; larger batches keep requests in flight the way a
// pooled writer does.
BENCHMARK(BM_Baseline)->Arg(1)->Arg(64)->UseRealTime();
BENCHMARK(BM_Qwsim)->Arg(1)->Arg(64)->UseRealTime();
BENCHMARK_MAIN();
