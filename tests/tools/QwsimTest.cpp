// qwsim seen from outside: a small client of the test's own talks to it over TCP and ptys and
// checks the bytes the simulated module answers, then reads the state report.

#include <gtest/gtest.h>

#include <thread>

#include "QwsimHarness.h"

using namespace qwtest;

namespace {

constexpr uint8_t kAddr = 2;

Pkt P(uint8_t a, std::vector<uint8_t> d) { return Pkt{a, std::move(d)}; }

uint32_t be32(const std::vector<uint8_t>& d, size_t at) {
  return uint32_t(d[at]) << 24 | uint32_t(d[at + 1]) << 16 | uint32_t(d[at + 2]) << 8 | d[at + 3];
}

struct Fixture : ::testing::Test {
  std::string dir = makeTempDir("test");
  std::string report = dir + "/report.json";
  std::string config = dir + "/config.json";

  std::unique_ptr<Sim> start(const json& cfg, std::vector<std::string> extra = {}) {
    writeFile(config, cfg.dump());
    std::vector<std::string> args{"--config", config, "--report", report};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Sim>(args);
  }
  json stopAndReport(Sim& sim) {
    EXPECT_EQ(sim.stop(), 0);
    return json::parse(readFile(report));
  }
  ~Fixture() override { std::system(("rm -rf '" + dir + "'").c_str()); }
};

json oneModule(json extra = json::object()) {
  json m = {{"serial", "40F5849A"}, {"model", 19}, {"address", kAddr}, {"tcp", 0}};
  m.update(extra);
  return json{{"modules", json::array({m})}};
}

// Typed get of option `code` of entity (cmd, index 0): the reply's data.
std::optional<Pkt> get(Client& c, uint8_t cmd, uint8_t code, std::vector<uint8_t> tail = {}) {
  std::vector<uint8_t> d{cmd, uint8_t(code | 0x40), 0x20};
  d.insert(d.end(), tail.begin(), tail.end());
  return c.ask(P(kAddr, d), {cmd, code});
}

std::optional<Pkt> set(Client& c, uint8_t cmd, uint8_t code, std::vector<uint8_t> value) {
  std::vector<uint8_t> d{cmd, uint8_t(code | 0x80), 0x20};
  d.insert(d.end(), value.begin(), value.end());
  return c.ask(P(kAddr, d), {cmd, uint8_t(code | 0xC0)});
}

// Reads a byte-array option; checks the run's sequence bytes as it goes.
std::vector<uint8_t> getBytes(Client& c, uint8_t cmd, uint8_t code, size_t* packets = nullptr) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(c.send(P(kAddr, {cmd, uint8_t(code | 0x40), 0x20})));
  for (size_t n = 0;; ++n) {
    auto p = c.recvMatching([&](const Pkt& q) { return q.data.size() >= 4 && q.data[0] == cmd && q.data[1] == code; });
    if (!p) {
      ADD_FAILURE() << "run ended early after " << n << " packets";
      return out;
    }
    uint8_t sb = p->data.back();
    EXPECT_EQ(sb & 0x7F, n % 128) << "sequence of packet " << n;
    EXPECT_LE(p->data.size(), 28u);
    out.insert(out.end(), p->data.begin() + 3, p->data.end() - 1);
    if (!(sb & 0x80)) {
      if (packets) *packets = n + 1;
      return out;
    }
  }
}

bool setBytes(Client& c, uint8_t cmd, uint8_t code, const std::vector<uint8_t>& bytes) {
  size_t off = 0;
  uint8_t seq = 0;
  do {
    size_t take = std::min<size_t>(24, bytes.size() - off);
    std::vector<uint8_t> d{cmd, uint8_t(code | 0x80), 0x20};
    d.insert(d.end(), bytes.begin() + long(off), bytes.begin() + long(off + take));
    off += take;
    d.push_back(uint8_t(seq | (off < bytes.size() ? 0x80 : 0)));
    seq = uint8_t((seq + 1) & 0x7F);
    if (!c.send(P(kAddr, d))) return false;
  } while (off < bytes.size());
  auto r = c.recvMatching([&](const Pkt& p) { return p.data.size() >= 3 && p.data[0] == cmd && p.data[1] == (code | 0xC0); });
  return r && r->data.size() == 3 && !(r->data[2] & 0x80);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TEST_F(Fixture, PresenceIsAnsweredOnEveryTransportAndForceRouteIsSilent) {
  json cfg = oneModule({{"pty", true}, {"pty_cobs", true}});
  auto sim = start(cfg);
  struct Row {
    const char* name;
    Client client;
  };
  std::vector<Row> rows;
  rows.push_back({"tcp", Client::tcp(sim->port())});
  rows.push_back({"raw pty", Client::pty(sim->pty(0, "pty"), Client::Framing::raw)});
  rows.push_back({"cobs pty", Client::pty(sim->pty(0, "pty_cobs"), Client::Framing::cobs)});
  for (auto& row : rows) {
    ASSERT_TRUE(row.client.ok()) << row.name;
    // Force route first: it must not be answered, so the first packet back is the presence one.
    ASSERT_TRUE(row.client.send(P(175, {1}))) << row.name;
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(row.client.send(P(173, {}))) << row.name;
    for (int i = 0; i < 6; ++i) {
      auto p = row.client.recv();
      ASSERT_TRUE(p) << row.name << " presence answer " << i;
      EXPECT_EQ(*p, P(kAddr, {})) << row.name;
    }
  }
  json rep = stopAndReport(*sim);
  EXPECT_EQ(rep["modules"][0]["sync_requests"], 18);
  EXPECT_EQ(rep["modules"][0]["force_route"]["count"], 3);
  EXPECT_EQ(rep["modules"][0]["force_route"]["last"], 1);
}

TEST_F(Fixture, FramingRecoversAfterLineNoise) {
  auto sim = start(oneModule({{"pty_cobs", true}}));
  Client tcp = Client::tcp(sim->port());
  // A zero address byte and an impossible length (40) are dropped; presence then works.
  ASSERT_TRUE(tcp.writeBytes({0x00, 0x00, 0x07, 40, 173, 0, 173, 0}));
  auto p = tcp.recv();
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, P(kAddr, {}));
  // A COBS frame with a bad CRC is dropped whole; the next good frame is answered.
  Client cobs = Client::pty(sim->pty(0, "pty_cobs"), Client::Framing::cobs);
  std::vector<uint8_t> bad = cobsFrame({173, 0, uint8_t(crc8({173, 0}) ^ 1)});
  ASSERT_TRUE(cobs.writeBytes(bad));
  ASSERT_TRUE(cobs.send(P(173, {})));
  p = cobs.recv();
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, P(kAddr, {}));
  EXPECT_FALSE(cobs.recv(200)) << "the bad frame was answered";
  // The simulator's own frames carry the right CRC: check the raw bytes of one answer, with
  // the test's CRC-8 first checked against its published check values.
  const std::string check = "123456789";
  ASSERT_EQ(crc8(std::vector<uint8_t>(check.begin(), check.end())), 0xA1);
  ASSERT_EQ(crc8({0x04, 0x00}), 0x3B);
  ASSERT_TRUE(cobs.send(P(173, {})));
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (cobs.buffer().size() < 5 && cobs.fill(deadline) && Clock::now() < deadline) {
  }
  EXPECT_EQ(cobs.buffer(), (std::vector<uint8_t>{0x02, kAddr, 0x02, crc8({kAddr, 0x00}), 0x00}));
}

TEST_F(Fixture, HeartbeatsAreSentAndAnswersAccepted) {
  auto sim = start(oneModule({{"heartbeat_ms", 40}}));
  Client c = Client::tcp(sim->port());
  for (int i = 0; i < 3; ++i) {
    auto hb = c.recv(1000);
    ASSERT_TRUE(hb) << "heartbeat " << i;
    EXPECT_EQ(*hb, P(kAddr, {0, 0}));
    ASSERT_TRUE(c.send(P(kAddr, {0, 2})));
  }
  // The host's answers are taken silently: the next request's answer is still in order.
  auto p = c.ask(P(173, {}), {});
  ASSERT_TRUE(p);
  json rep = stopAndReport(*sim);
  EXPECT_EQ(rep["modules"][0]["requests"]["heartbeat_answer"], 3);
  EXPECT_GE(rep["modules"][0]["heartbeats_sent"].get<int>(), 3);
}

TEST_F(Fixture, SystemEntityAnswersIdentityAndVersion) {
  auto sim = start(oneModule({{"version", "2.16.1"}, {"build", 4242}}));
  Client c = Client::tcp(sim->port());
  auto sn = get(c, 3, 9);
  ASSERT_TRUE(sn);
  EXPECT_EQ(sn->data, (std::vector<uint8_t>{3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}));
  auto model = get(c, 3, 8);
  ASSERT_TRUE(model);
  EXPECT_EQ(model->data, (std::vector<uint8_t>{3, 8, 0, 19}));
  auto ver = get(c, 3, 7);
  ASSERT_TRUE(ver);
  EXPECT_EQ(be32(ver->data, 3), 0x2F021001u);
  auto build = c.ask(P(kAddr, {73, 0xFF}), {73, 0xFF});
  ASSERT_TRUE(build);
  ASSERT_EQ(build->data.size(), 6u);
  EXPECT_EQ(be32(build->data, 2), 4242u);
  // A set echoes the stored value with the set reply flags; a get then reads it back.
  auto led = set(c, 3, 4, {7});
  ASSERT_TRUE(led);
  EXPECT_EQ(led->data, (std::vector<uint8_t>{3, 4 | 0xC0, 0, 7}));
  auto back = get(c, 3, 4);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->data.back(), 7);
  // Echo test.
  auto echo = c.ask(P(kAddr, {23, 1, 2, 3}), {23});
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->data, (std::vector<uint8_t>{23, 1, 2, 3}));
}

TEST_F(Fixture, ErrorRepliesCarryTheErrorCode) {
  json cfg = oneModule({{"entities", json::array({{{"command", 10}, {"index", 0}, {"options", {{"1", {{"type", "int"}, {"value", json::array({10, 20, 30})}, {"writable", true}}}}}}})}});
  auto sim = start(cfg);
  Client c = Client::tcp(sim->port());
  struct Row {
    const char* name;
    std::vector<uint8_t> request;
    std::vector<uint8_t> reply;
  };
  const Row rows[] = {
      {"unknown option", {3, 63 | 0x40, 0x20}, {3, 63, 0x80, 29}},
      {"unknown entity", {50, 1 | 0x40, 0x20}, {50, 1, 0x80, 28}},
      {"index out of range", {3, 9 | 0x40, 0x21}, {3, 9, 0x81, 26}},
      {"read-only set", {3, 9 | 0x80, 0x20, 0, 0, 0, 1}, {3, 9 | 0xC0, 0x80, 12}},
      {"subindex out of range", {10, 1 | 0x40, 0x20, 3}, {10, 1, 0x80, 26}},
      {"subindexed get", {10, 1 | 0x40, 0x20, 2}, {10, 1, 0, 0, 0, 0, 30}},
      {"subindexed set", {10, 1 | 0x80, 0x20, 1, 0, 0, 0, 99}, {10, 1 | 0xC0, 0, 0, 0, 0, 99}},
      {"value after subindexed set", {10, 1 | 0x40, 0x20, 1}, {10, 1, 0, 0, 0, 0, 99}},
      {"hasUEI of a missing option", {73, 1, 95, 10, 0, 0x80}, {73, 1, 95, 10, 0, 29}},
      {"hasUEI of the serial number", {73, 1, 3, 9, 0, 0x40}, {73, 1, 3, 9, 0, 0}},
      {"class quantity", {73, 4, 3}, {73, 4, 3, 1}},
  };
  for (const auto& row : rows) {
    auto p = c.ask(P(kAddr, row.request), {row.request[0]});
    ASSERT_TRUE(p) << row.name;
    EXPECT_EQ(p->data, row.reply) << row.name << ": " << describe(*p);
  }
}

TEST_F(Fixture, ByteArraysTravelAsNumberedRunsBothWays) {
  std::vector<uint8_t> big(24 * 130 + 5);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  std::string name = "a module name that is longer than two packets of 24 bytes";
  json cfg = oneModule({{"name", name},
                        {"entities", json::array({{{"command", 10}, {"options", {{"2", {{"type", "bytes"}, {"value", big}}}}}}})}});
  auto sim = start(cfg);
  Client c = Client::tcp(sim->port());
  size_t packets = 0;
  std::vector<uint8_t> got = getBytes(c, 3, 32, &packets);
  EXPECT_EQ(std::string(got.begin(), got.end()), name);
  EXPECT_EQ(packets, 3u);
  // More than 128 packets: the sequence wraps from 127 to 0 (checked inside getBytes).
  got = getBytes(c, 10, 2, &packets);
  EXPECT_EQ(got, big);
  EXPECT_EQ(packets, 131u);
  // Host to module, with an exact multiple of 24 and an empty array.
  for (size_t len : {size_t(48), size_t(0), size_t(3100)}) {
    std::vector<uint8_t> v(big.begin(), big.begin() + long(len));
    ASSERT_TRUE(setBytes(c, 3, 32, v)) << len;
    EXPECT_EQ(getBytes(c, 3, 32), v) << len;
  }
  // A run that skips a sequence number is refused with an error reply.
  ASSERT_TRUE(c.send(P(kAddr, {3, 32 | 0x80, 0x20, 'a', 0x80})));
  auto err = c.ask(P(kAddr, {3, 32 | 0x80, 0x20, 'b', 0x02}), {3, 32 | 0xC0});
  ASSERT_TRUE(err);
  EXPECT_EQ(err->data, (std::vector<uint8_t>{3, 32 | 0xC0, 0x80, 24}));
}

TEST_F(Fixture, StoreSlotsAndFactoryData) {
  std::vector<uint8_t> fac(52);
  for (size_t i = 0; i < fac.size(); ++i) fac[i] = uint8_t(i + 1);
  json cfg = oneModule({{"stores", json::array({{{"store", 1}, {"slots", json::array({{{"capacity", 64}}})}}})},
                        {"factory", {{"3", fac}}}});
  auto sim = start(cfg);
  Client c = Client::tcp(sim->port());
  auto cap = c.ask(P(kAddr, {4, 1, 1, 0}), {4});
  ASSERT_TRUE(cap);
  EXPECT_EQ(cap->data, (std::vector<uint8_t>{4, 1, 1, 0, 0, 64}));
  auto missing = c.ask(P(kAddr, {4, 2, 1, 5}), {4});
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->data, (std::vector<uint8_t>{4, 0x82, 1, 5, 3}));
  // Write 30 bytes in two pieces, close, read them back.
  auto h = c.ask(P(kAddr, {4, 4, 1, 0}), {4, 4});
  ASSERT_TRUE(h);
  uint8_t hd = h->data[4];
  std::vector<uint8_t> payload(30);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(200 + i);
  for (size_t off = 0; off < payload.size(); off += 25) {
    std::vector<uint8_t> d{4, 7, hd};
    uint8_t sum = 0;
    for (size_t i = off; i < std::min(payload.size(), off + 25); ++i) {
      d.push_back(payload[i]);
      sum = uint8_t(sum + payload[i]);
    }
    auto ack = c.ask(P(kAddr, d), {4, 7});
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->data, (std::vector<uint8_t>{4, 7, hd, sum}));
  }
  auto closed = c.ask(P(kAddr, {4, 8, hd}), {4, 8});
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->data.size(), 4u);
  auto rh = c.ask(P(kAddr, {4, 3, 1, 0}), {4, 3});
  ASSERT_TRUE(rh);
  std::vector<uint8_t> read;
  while (read.size() < payload.size()) {
    auto r = c.ask(P(kAddr, {4, 6, rh->data[4]}), {4, 6});
    ASSERT_TRUE(r && r->data.size() > 3);
    read.insert(read.end(), r->data.begin() + 3, r->data.end());
  }
  EXPECT_EQ(read, payload);
  ASSERT_TRUE(c.ask(P(kAddr, {4, 8, rh->data[4]}), {4, 8}));

  // Factory data: 52 bytes are two full replies (28 data bytes) and an empty one.
  std::vector<uint8_t> got;
  uint8_t flag = 0x40;
  for (int i = 0; i < 5; ++i) {
    auto r = c.ask(P(kAddr, {94, uint8_t(3 | flag)}), {94});
    ASSERT_TRUE(r);
    ASSERT_EQ(r->data[1], 3);
    got.insert(got.end(), r->data.begin() + 2, r->data.end());
    flag = 0;
    if (r->data.size() != 28) break;
  }
  EXPECT_EQ(got, fac);
  auto done = c.ask(P(kAddr, {94, 0x20, 0, 52}), {94});
  ASSERT_TRUE(done);
  EXPECT_EQ(done->data.size(), 2u);
  // Write block 5 in two pieces; a wrong final count is refused, the right one commits it.
  ASSERT_TRUE(c.ask(P(kAddr, {94, 5 | 0x10 | 0x40, 9, 8, 7}), {94}));
  ASSERT_TRUE(c.ask(P(kAddr, {94, 5 | 0x10, 6}), {94}));
  auto wrong = c.ask(P(kAddr, {94, 0x20, 0, 5}), {94});
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->data, (std::vector<uint8_t>{94, 5 | 0x80, 14}));
  ASSERT_TRUE(c.ask(P(kAddr, {94, 5 | 0x10 | 0x40, 9, 8, 7, 6}), {94}));
  auto right = c.ask(P(kAddr, {94, 0x20, 0, 4}), {94});
  ASSERT_TRUE(right);
  EXPECT_EQ(right->data, (std::vector<uint8_t>{94, 5}));
  json rep = stopAndReport(*sim);
  EXPECT_EQ(rep["modules"][0]["factory"]["5"], "09080706");
  EXPECT_EQ(rep["modules"][0]["slots"][0]["data"].get<std::string>().size(), 60u);
}

TEST_F(Fixture, StreamSamplesHaveTheExactLayoutOfTheirKind) {
  json streams = json::array();
  const uint8_t kinds[] = {1, 2, 3, 5, 6, 7};
  for (uint8_t k : kinds)
    streams.push_back({{"command", 3}, {"option", 12}, {"index", 0}, {"kind", k}, {"subindex", 4}, {"value", 0x01020304}, {"step", 1}, {"period_ms", 20}});
  // One source per kind, told apart by the option: kind k streams option 50 + k.
  for (size_t i = 0; i < streams.size(); ++i) streams[i]["option"] = 50 + kinds[i];
  auto sim = start(oneModule({{"streams", streams}}));
  Client c = Client::tcp(sim->port());
  // Enable every option of command 3 index 0 with one wildcard registration.
  uint32_t key = uint32_t(kAddr) << 24 | 3u << 16 | 0xFFu << 8 | 0;
  auto en = set(c, 93, 1, {uint8_t(key >> 24), uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)});
  ASSERT_TRUE(en);
  EXPECT_FALSE(en->data[2] & 0x80);
  const std::map<uint8_t, size_t> lengths = {{1, 14}, {2, 15}, {3, 17}, {5, 15}, {6, 16}, {7, 18}};
  std::map<uint8_t, Pkt> seen;
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (seen.size() < lengths.size() && Clock::now() < deadline) {
    auto p = c.recv(msLeft(deadline));
    if (p && p->data.size() > 4 && (p->data[2] & 0x40)) seen[p->data[3]] = *p;
  }
  ASSERT_EQ(seen.size(), lengths.size());
  for (const auto& [kind, len] : lengths) {
    const Pkt& p = seen[kind];
    EXPECT_EQ(p.data.size(), len) << "kind " << int(kind);
    EXPECT_EQ(p.data[1], 50 + kind);
    EXPECT_EQ(p.data[2], 0x40);
    EXPECT_EQ(p.data.back(), 0) << "sequence byte";
    if (kind >= 5) {
      EXPECT_EQ(p.data[4], 4) << "subindex";
    }
  }
  // The 4-byte value sits just before the sequence byte.
  const Pkt& k3 = seen[3];
  EXPECT_GE(be32(k3.data, 12), 0x01020304u);
  // Disabling stops the samples: after the disable reply, nothing more within 200 ms.
  auto dis = set(c, 93, 2, {uint8_t(key >> 24), uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)});
  ASSERT_TRUE(dis);
  EXPECT_FALSE(c.recvMatching([](const Pkt& p) { return p.data.size() > 2 && (p.data[2] & 0x40); }, 200));
}

TEST_F(Fixture, I2CTransfers) {
  json cfg = oneModule({{"i2c", json::array({{{"address", 0xA0}, {"size", 16}}})}});
  auto sim = start(cfg);
  Client c = Client::tcp(sim->port());
  auto w = c.ask(P(kAddr, {8, 0, 0xA0, 4, 3, 2, 0x11, 0x22, 0x33}), {8, 0, 0xA0});
  ASSERT_TRUE(w);
  EXPECT_EQ(w->data, (std::vector<uint8_t>{8, 0, 0xA0, 0, 0}));
  ASSERT_TRUE(c.ask(P(kAddr, {8, 0, 0xA0, 1, 3, 2}), {8, 0, 0xA0}));  // register pointer := 2
  auto r = c.ask(P(kAddr, {8, 0, 0xA1, 3, 3}), {8, 0, 0xA1});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->data, (std::vector<uint8_t>{8, 0, 0xA1, 3, 0, 0x11, 0x22, 0x33}));
  auto none = c.ask(P(kAddr, {8, 0, 0xB0, 2, 3, 0, 0}), {8, 0, 0xB0});
  ASSERT_TRUE(none);
  EXPECT_EQ(none->data, (std::vector<uint8_t>{8, 0, 0xB0, 0, 0x83}));
  auto pu = c.ask(P(kAddr, {8, 0, 1, 1}), {8, 0, 1});
  ASSERT_TRUE(pu);
  EXPECT_EQ(pu->data, (std::vector<uint8_t>{8, 0, 1, 1, 0}));
  EXPECT_TRUE(stopAndReport(*sim)["modules"][0]["i2c_pullup"].get<bool>());
}

TEST_F(Fixture, RoutingModuleRelaysForTheModuleBehindIt) {
  json behind = {{"serial", "2181F0EE"}, {"address", 8}, {"model", 13}};
  auto sim = start(oneModule({{"behind", json::array({behind})}}));
  EXPECT_EQ(sim->ready["modules"][0]["behind"][0]["serial"], "2181F0EE");
  Client c = Client::tcp(sim->port());
  auto rtm = set(c, 3, 20, {1});
  ASSERT_TRUE(rtm);
  // The bus probe: a write of two zero bytes is acknowledged only where a module sits.
  auto there = c.ask(P(kAddr, {8, 0, 8, 2, 3, 0, 0}), {8, 0, 8});
  ASSERT_TRUE(there);
  EXPECT_EQ(there->data.back(), 0);
  auto empty = c.ask(P(kAddr, {8, 0, 6, 2, 3, 0, 0}), {8, 0, 6});
  ASSERT_TRUE(empty);
  EXPECT_NE(empty->data.back() & 0x80, 0);
  // Requests to address 8 are answered from address 8, over the router's connection.
  auto sn = c.ask(P(8, {3, 9 | 0x40, 0x20}), {3, 9});
  ASSERT_TRUE(sn);
  EXPECT_EQ(sn->address, 8);
  EXPECT_EQ(be32(sn->data, 3), 0x2181F0EEu);
  auto router = c.ask(P(8, {3, 2 | 0x40, 0x20}), {3, 2});
  ASSERT_TRUE(router);
  EXPECT_EQ(router->data.back(), kAddr);
  ASSERT_TRUE(set(c, 3, 20, {0}));
  // Relaying does not depend on route-to-me.
  auto again = c.ask(P(8, {73, 0xFF}), {73, 0xFF});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->address, 8);
  // Nobody at address 10: no answer.
  EXPECT_FALSE(c.ask(P(10, {73, 0xFF}), {73, 0xFF}, 200));
  json rep = stopAndReport(*sim);
  EXPECT_EQ(rep["modules"][0]["route_to_me"]["sets"], 2);
  EXPECT_EQ(rep["modules"][0]["route_to_me"]["value"], 0);
  EXPECT_EQ(rep["modules"][0]["requests"]["relayed"], 3);
}

TEST_F(Fixture, IdleSimulatorUsesNoCpu) {
  auto sim = start(oneModule({{"pty", true}, {"pty_cobs", true}}));
  Client c = Client::tcp(sim->port());
  ASSERT_TRUE(c.ask(P(173, {}), {}));
  auto ticks = [&] {
    std::ifstream in("/proc/" + std::to_string(sim->pid()) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), {});
    std::istringstream f(s.substr(s.rfind(')') + 2));
    std::string tok;
    long ut = 0, st = 0;
    for (int i = 3; i <= 15 && f >> tok; ++i) {
      if (i == 14) ut = std::stol(tok);
      if (i == 15) st = std::stol(tok);
    }
    return ut + st;
  };
  long before = ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // measuring, not synchronising
  EXPECT_LE(ticks() - before, 2) << "clock ticks used in one idle second";
}

TEST_F(Fixture, CommandLineSingleModuleAndBoundedLifetime) {
  Sim sim({"--serial", "0x1234ABCD", "--model", "5", "--address", "4", "--tcp", "0", "--report", report}, 0.5);
  EXPECT_EQ(sim.ready["modules"][0]["serial"], "1234ABCD");
  Client c = Client::tcp(sim.port());
  auto p = c.ask(P(173, {}), {});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->address, 4);
  EXPECT_EQ(sim.wait(5000), 0);
  json rep = json::parse(readFile(report));
  EXPECT_EQ(rep["reason"], "max-seconds");
  EXPECT_EQ(rep["modules"][0]["connections"]["accepted"], 1);
}
