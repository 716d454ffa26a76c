// The upgrade conversation, the reboot gap and the injected faults of qwsim, driven over TCP.

#include <gtest/gtest.h>

#include <functional>

#include "QwsimHarness.h"

using namespace qwtest;

namespace {

constexpr uint8_t kAddr = 2;
constexpr uint8_t kUp = 95;

Pkt P(uint8_t a, std::vector<uint8_t> d) { return Pkt{a, std::move(d)}; }

uint32_t be32(const std::vector<uint8_t>& d, size_t at) {
  return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}


std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = uint8_t(seed >> 16);
  }
  return v;
}

uint32_t byteSum(const std::vector<uint8_t>& v, size_t from, size_t to) {
  uint32_t s = 0;
  for (size_t i = from; i < to; ++i) s += v[i];
  return s;
}

struct Upgrade : ::testing::Test {
  std::string dir = makeTempDir("upgrade");
  std::string report = dir + "/report.json";
  std::string flash = dir + "/flash.bin";
  std::unique_ptr<Sim> sim;

  json module(json extra = json::object()) {
    json m = {{"serial", "40F5849A"}, {"address", kAddr}, {"tcp", 0}, {"version", "2.15.3"}, {"build", 100},
              {"upgrade", {{"flash_file", flash}, {"block_size", 256}, {"reboot_ms", 400},
                           {"post_version", "2.17.0"}, {"post_build", 9000}}}};
    m.update(extra, true);
    return m;
  }
  void start(const json& m) {
    std::string cfg = dir + "/config.json";
    writeFile(cfg, json{{"modules", json::array({m})}}.dump());
    sim = std::make_unique<Sim>(std::vector<std::string>{"--config", cfg, "--report", report});
  }
  json stopAndReport() {
    EXPECT_EQ(sim->stop(), 0);
    return json::parse(readFile(report));
  }
  ~Upgrade() override { std::system(("rm -rf '" + dir + "'").c_str()); }
};

std::optional<Pkt> op(Client& c, std::vector<uint8_t> d, uint8_t replyOp) {
  d.insert(d.begin(), kUp);
  return c.ask(P(kAddr, d), {kUp, replyOp});
}

// DATA pieces of at most 26 bytes; each acknowledgement must name the piece's length.
void sendData(Client& c, const std::vector<uint8_t>& v, size_t from, size_t to) {
  for (size_t off = from; off < to; off += 26) {
    size_t n = std::min<size_t>(26, to - off);
    std::vector<uint8_t> d{1};
    d.insert(d.end(), v.begin() + long(off), v.begin() + long(off + n));
    auto ack = op(c, d, 1);
    ASSERT_TRUE(ack) << "DATA at " << off;
    ASSERT_EQ(ack->data, (std::vector<uint8_t>{kUp, 1, uint8_t(n)}));
  }
}

// Waits until a connection to the module is accepted and kept (the reboot gap is over).
Client reconnect(uint16_t port, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    Client c = Client::tcp(port);
    if (c.ok() && c.ask(P(173, {}), {}, 300)) return c;
    poll(nullptr, 0, 20);
  }
  return Client::tcp(0);
}

}  // namespace

TEST_F(Upgrade, WholeConversationProgramsTheImageAndRebootsIntoIt) {
  start(module());
  Client c = Client::tcp(sim->port());
  const std::vector<uint8_t> loader = pattern(100, 1), image = pattern(1000, 2);

  auto init = op(c, {0}, 0);
  ASSERT_TRUE(init);
  ASSERT_EQ(init->data.size(), 6u);
  EXPECT_EQ(be32(init->data, 2), 0x20000000u);
  // Loader phase: PREPARE, DATA, SUM, LOAD.
  auto prep = op(c, {3, 0, 0x20, 0, 0x10, 0}, 7);
  ASSERT_TRUE(prep);
  EXPECT_EQ(prep->data, (std::vector<uint8_t>{kUp, 7, 0, 1, 0}));
  sendData(c, loader, 0, loader.size());
  auto sum = op(c, {4}, 7);
  ASSERT_TRUE(sum);
  EXPECT_EQ(sum->data.size(), 7u);
  EXPECT_EQ(be32(sum->data, 3), byteSum(loader, 0, loader.size()));
  ASSERT_TRUE(op(c, {2}, 2));

  // Firmware phase: one PREPARE for the block, then 256-byte chunks each summed and written.
  prep = op(c, {3, 1, 0, 0, 0, 0}, 7);
  ASSERT_TRUE(prep);
  for (size_t off = 0; off < image.size(); off += 256) {
    size_t n = std::min<size_t>(256, image.size() - off);
    sendData(c, image, off, off + n);
    sum = op(c, {4}, 7);
    ASSERT_TRUE(sum);
    EXPECT_EQ(be32(sum->data, 3), byteSum(image, off, off + n)) << "sum since the last WRITE";
    auto w = op(c, {5, uint8_t(n >> 8), uint8_t(n)}, 7);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->data, (std::vector<uint8_t>{kUp, 7, 0}));
  }
  // REBOOT: no answer, the connection is reset.
  ASSERT_TRUE(c.send(P(kAddr, {kUp, 6})));
  EXPECT_FALSE(c.recv(2000));
  EXPECT_TRUE(c.eof());

  Client back = reconnect(sim->port(), 3000);
  ASSERT_TRUE(back.ok()) << "module did not come back";
  auto ver = back.ask(P(kAddr, {3, 7 | 0x40, 0x20}), {3, 7});
  ASSERT_TRUE(ver);
  EXPECT_EQ(be32(ver->data, 3), 0x2F021100u);
  auto build = back.ask(P(kAddr, {73, 0xFF}), {73, 0xFF});
  ASSERT_TRUE(build);
  EXPECT_EQ(be32(build->data, 2), 9000u);

  std::string file = readFile(flash);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.end()), image);
  json rep = stopAndReport()["modules"][0];
  EXPECT_EQ(rep["writes"], json::array({256, 256, 256, 232}));
  EXPECT_EQ(rep["flash"]["file"], flash);
  EXPECT_EQ(rep["flash"]["size"], 1000);
  EXPECT_EQ(rep["loader"]["size"], 100);
  EXPECT_EQ(rep["reboots"], 1);
  EXPECT_EQ(rep["connections"]["dropped"], 1);
  EXPECT_EQ(rep["requests"]["upgrade_data"], 4 + 3 * 10 + 9);  // 26-byte pieces
}

TEST_F(Upgrade, ByteArrayDataOnOptionTen) {
  start(module({{"features", 0x80000000u}, {"upgrade", {{"uei_data", true}}}}));
  Client c = Client::tcp(sim->port());
  auto has = c.ask(P(kAddr, {73, 1, kUp, 10, 0, 0x80}), {73, 1});
  ASSERT_TRUE(has);
  EXPECT_EQ(has->data.back(), 0);
  const std::vector<uint8_t> image = pattern(600, 3);
  ASSERT_TRUE(op(c, {3, 1, 0, 0, 0, 0}, 7));
  for (size_t off = 0; off < image.size(); off += 256) {
    size_t n = std::min<size_t>(256, image.size() - off);
    // The whole chunk as one run, written in one go as a pooled writer would.
    std::vector<uint8_t> burst;
    uint8_t seq = 0;
    for (size_t p = off; p < off + n; p += 24) {
      size_t k = std::min<size_t>(24, off + n - p);
      std::vector<uint8_t> d{kUp, 10 | 0x80, 0x20};
      d.insert(d.end(), image.begin() + long(p), image.begin() + long(p + k));
      d.push_back(uint8_t(seq | (p + k < off + n ? 0x80 : 0)));
      seq = uint8_t((seq + 1) & 0x7F);
      auto w = Client::wire(P(kAddr, d));
      burst.insert(burst.end(), w.begin(), w.end());
    }
    ASSERT_TRUE(c.writeBytes(burst));
    auto ok = c.recvMatching([](const Pkt& p) { return p.data.size() >= 2 && p.data[0] == kUp && p.data[1] == (10 | 0xC0); });
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->data, (std::vector<uint8_t>{kUp, 10 | 0xC0, 0}));
    auto sum = op(c, {4}, 7);
    ASSERT_TRUE(sum);
    EXPECT_EQ(be32(sum->data, 3), byteSum(image, off, off + n));
    ASSERT_TRUE(op(c, {5, uint8_t(n >> 8), uint8_t(n)}, 7));
  }
  ASSERT_TRUE(c.send(P(kAddr, {kUp, 6})));
  ASSERT_TRUE(reconnect(sim->port(), 3000).ok());
  std::string file = readFile(flash);
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.end()), image);
}

TEST_F(Upgrade, RebootGapRefusesConnectionsThenComesBack) {
  start(module());
  Client c = Client::tcp(sim->port());
  ASSERT_TRUE(c.ask(P(173, {}), {}));
  auto t0 = Clock::now();
  ASSERT_TRUE(c.send(P(kAddr, {kUp, 6})));
  EXPECT_FALSE(c.recv(2000));
  // Within the 400 ms gap a new connection is refused outright.
  Client during = Client::tcp(sim->port());
  EXPECT_FALSE(during.ok()) << "connection accepted during the reboot gap";
  Client back = reconnect(sim->port(), 3000);
  ASSERT_TRUE(back.ok());
  auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_GE(gap, 350);
  // Nothing was written, so the module keeps its version.
  auto ver = back.ask(P(kAddr, {3, 7 | 0x40, 0x20}), {3, 7});
  ASSERT_TRUE(ver);
  EXPECT_EQ(be32(ver->data, 3), 0x2F020F03u);
  json rep = stopAndReport()["modules"][0];
  EXPECT_GE(rep["connections"]["accepted"].get<int>(), 2);
  EXPECT_EQ(rep["reboots"], 1);
}

// Each fault kind: what the module does wrong, once (or as many times as configured), and
// that it is counted in the report.
TEST_F(Upgrade, InjectedFaults) {
  struct Row {
    const char* name;
    json fault;
    std::function<void(Upgrade&)> check;
  };
  auto prepare = [](Client& c) { return op(c, {3, 1, 0, 0, 0, 0}, 7); };
  const std::vector<uint8_t> piece = pattern(26, 9);
  std::vector<uint8_t> dataReq{1};
  dataReq.insert(dataReq.end(), piece.begin(), piece.end());

  const Row rows[] = {
      {"no_reply to the 2nd INIT", {{"kind", "no_reply"}, {"request", "upgrade_init"}, {"nth", 2}},
       [](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         EXPECT_TRUE(op(c, {0}, 0));
         EXPECT_FALSE(op(c, {0}, 0)) << "2nd INIT answered";
         EXPECT_TRUE(op(c, {0}, 0));
       }},
      {"wrong_data_ack", {{"kind", "wrong_data_ack"}},
       [&](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         ASSERT_TRUE(prepare(c));
         auto a = op(c, dataReq, 1);
         ASSERT_TRUE(a);
         EXPECT_EQ(a->data[2], 25);
         a = op(c, dataReq, 1);  // the host sends the same bytes again
         ASSERT_TRUE(a);
         EXPECT_EQ(a->data[2], 26);
         auto s = op(c, {4}, 7);
         ASSERT_TRUE(s);
         EXPECT_EQ(be32(s->data, 3), byteSum(piece, 0, 26)) << "the refused piece was counted";
       }},
      {"wrong_sum", {{"kind", "wrong_sum"}},
       [&](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         ASSERT_TRUE(prepare(c));
         ASSERT_TRUE(op(c, dataReq, 1));
         auto s1 = op(c, {4}, 7), s2 = op(c, {4}, 7);
         ASSERT_TRUE(s1 && s2);
         EXPECT_EQ(be32(s1->data, 3), byteSum(piece, 0, 26) + 1);
         EXPECT_EQ(be32(s2->data, 3), byteSum(piece, 0, 26));
       }},
      {"refuse_prepare", {{"kind", "refuse_prepare"}, {"status", 3}},
       [&](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         auto p1 = prepare(c), p2 = prepare(c);
         ASSERT_TRUE(p1 && p2);
         EXPECT_EQ(p1->data[2], 3);
         EXPECT_EQ(p2->data[2], 0);
       }},
      {"refuse_write twice", {{"kind", "refuse_write"}, {"count", 2}},
       [&](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         ASSERT_TRUE(prepare(c));
         ASSERT_TRUE(op(c, dataReq, 1));
         for (uint8_t want : {1, 1, 0}) {
           auto w = op(c, {5, 0, 26}, 7);
           ASSERT_TRUE(w);
           EXPECT_EQ(w->data[2], want);
         }
       }},
      {"ignore_sync", {{"kind", "ignore_sync"}, {"count", 2}},
       [](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         EXPECT_FALSE(c.ask(P(173, {}), {}, 200));
         EXPECT_FALSE(c.ask(P(173, {}), {}, 200));
         EXPECT_TRUE(c.ask(P(173, {}), {}));
       }},
      {"drop_link after 10 bytes", {{"kind", "drop_link"}, {"bytes", 10}},
       [](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         for (int i = 0; i < 4; ++i) EXPECT_TRUE(c.ask(P(173, {}), {})) << i;  // 8 bytes
         c.send(P(kAddr, {73, 0xFF}));                                         // bytes 9..12
         EXPECT_FALSE(c.recv(1000));
         EXPECT_TRUE(c.eof());
         Client second = Client::tcp(u.sim->port());  // the fault fired once
         for (int i = 0; i < 8; ++i) EXPECT_TRUE(second.ask(P(173, {}), {}));
       }},
      {"garbage before the 2nd answer", {{"kind", "garbage"}, {"nth", 2}, {"garbage", "00ff"}},
       [](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         EXPECT_TRUE(c.ask(P(173, {}), {}));
         c.send(P(173, {}));
         auto deadline = Clock::now() + std::chrono::seconds(2);
         while (c.buffer().size() < 4 && c.fill(deadline) && Clock::now() < deadline) {
         }
         EXPECT_EQ(c.buffer(), (std::vector<uint8_t>{0x00, 0xFF, kAddr, 0}));
       }},
      {"delay 300 ms", {{"kind", "delay"}, {"ms", 300}, {"request", "presence"}},
       [](Upgrade& u) {
         Client c = Client::tcp(u.sim->port());
         auto t0 = Clock::now();
         EXPECT_TRUE(c.ask(P(173, {}), {}));
         EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 290);
         t0 = Clock::now();
         EXPECT_TRUE(c.ask(P(173, {}), {}));
         EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 250);
       }},
      {"refuse_connections (in use)", {{"kind", "refuse_connections"}},
       [](Upgrade& u) {
         Client first = Client::tcp(u.sim->port());
         ASSERT_TRUE(first.ok());
         first.send(P(173, {}));
         EXPECT_FALSE(first.recv(1000));
         EXPECT_TRUE(first.eof());
         Client second = Client::tcp(u.sim->port());
         EXPECT_TRUE(second.ask(P(173, {}), {}));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    start(module({{"faults", json::array({row.fault})}}));
    row.check(*this);
    json rep = stopAndReport()["modules"][0];
    uint64_t want = row.fault.value("count", 1);
    EXPECT_EQ(rep["faults"][0]["fired"], want);
    sim.reset();
  }
}
