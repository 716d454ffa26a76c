// qwsim's discovery responder, run inside a private network namespace with a veth pair: the
// request goes out as multicast through the host end, the answers come back as unicast from
// the simulator's end, and the answer leads to a working TCP connection.

#include <gtest/gtest.h>

#include "QwsimHarness.h"

using namespace qwtest;

namespace {

std::string env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

struct Answer {
  std::string from;
  std::vector<uint8_t> bytes;
};

// One discovery round as a host does it: a listener on the host interface, port 9889; one
// 16-byte request (byte 0 = 1) to 232.2.2.2:9888 through that interface; answers until
// `windowMs` passes.
std::vector<Answer> discover(const std::string& hostAddr, int windowMs) {
  std::vector<Answer> out;
  in_addr ifa{};
  inet_pton(AF_INET, hostAddr.c_str(), &ifa);
  int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in la{};
  la.sin_family = AF_INET;
  la.sin_port = htons(9889);
  la.sin_addr = ifa;
  if (bind(rx, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0) {
    close(rx);
    ADD_FAILURE() << "cannot bind the answer listener";
    return out;
  }
  int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof ifa);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(9888);
  inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
  uint8_t req[16] = {1};
  EXPECT_EQ(sendto(tx, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&group), sizeof group), 16);
  close(tx);
  auto deadline = Clock::now() + std::chrono::milliseconds(windowMs);
  for (;;) {
    pollfd pf{rx, POLLIN, 0};
    if (poll(&pf, 1, msLeft(deadline)) <= 0) break;
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 0) break;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    out.push_back({text, std::vector<uint8_t>(buf, buf + n)});
  }
  close(rx);
  return out;
}

bool localAddress(const std::string& addr) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
  bool ok = bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(s);
  return ok;
}

}  // namespace

TEST(QwsimDiscovery, AnswersMulticastRequestsAndGoesQuietWhileRebooting) {
  const std::string host = env("QW_NETNS_HOST_ADDR", "10.77.0.1");
  const std::string peer = env("QW_NETNS_PEER_ADDR", "10.77.0.2");
  if (!localAddress(host) || !localAddress(peer)) GTEST_SKIP() << "needs the private namespace of tests/netns-run";

  std::string dir = makeTempDir("discovery");
  json cfg = {{"bind", peer},
              {"discovery", peer},
              {"modules",
               json::array({{{"serial", "40F5849A"}, {"model", 19}, {"address", 2}, {"tcp", 0}, {"upgrade", {{"reboot_ms", 1500}}}},
                            {{"serial", "0000BEEF"}, {"model", 5}, {"address", 6}, {"tcp", 0}}})}};
  writeFile(dir + "/config.json", cfg.dump());
  Sim sim({"--config", dir + "/config.json", "--report", dir + "/report.json"});

  auto answers = discover(host, 700);
  ASSERT_EQ(answers.size(), 2u);
  std::map<uint32_t, Answer> bySerial;
  for (const auto& a : answers) {
    ASSERT_EQ(a.bytes.size(), 16u);
    EXPECT_EQ(a.from, peer);
    uint32_t sn = uint32_t(a.bytes[4]) | uint32_t(a.bytes[5]) << 8 | uint32_t(a.bytes[6]) << 16 | uint32_t(a.bytes[7]) << 24;
    bySerial[sn] = a;
  }
  ASSERT_TRUE(bySerial.count(0x40F5849A));
  ASSERT_TRUE(bySerial.count(0x0000BEEF));
  const auto& a = bySerial[0x40F5849A].bytes;
  EXPECT_EQ(a[1], 2);
  EXPECT_EQ(a[12], 19);
  EXPECT_EQ(bySerial[0x0000BEEF].bytes[12], 5);
  uint16_t port = uint16_t(a[2] | a[3] << 8);
  EXPECT_EQ(port, sim.port(0));

  // The answer is enough to reach the module.
  Client c = Client::tcp(port, peer.c_str());
  ASSERT_TRUE(c.ok());
  auto p = c.ask(Pkt{173, {}}, {});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->address, 2);

  // While the first module reboots only the second one answers.
  ASSERT_TRUE(c.send(Pkt{2, {95, 6}}));
  EXPECT_FALSE(c.recv(1000));
  answers = discover(host, 400);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].bytes[4], 0xEF);

  EXPECT_EQ(sim.stop(), 0);
  json rep = json::parse(readFile(dir + "/report.json"));
  EXPECT_EQ(rep["discovery"]["requests"], 2);
  EXPECT_EQ(rep["discovery"]["answers"], 3);
  std::system(("rm -rf '" + dir + "'").c_str());
}
