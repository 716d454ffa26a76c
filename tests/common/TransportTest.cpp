// Socket streams against a loopback peer, and serial streams on a pty.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A listening socket on 127.0.0.1 with an ephemeral port.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  explicit Listener(int receiveBuffer = 0) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  // Accepts one connection within the deadline; -1 when none came.
  int Accept(int ms = 3000) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return -1;
    return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
};

uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// Reads count bytes, retrying while the stream reports aErrNotReady, up to the deadline.
aErr ReadWithin(aStream* s, uint8_t* out, size_t count, int ms = 3000) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    aErr err = aStream_Read(s, out, count);
    if (err != aErrNotReady || Clock::now() > end) return err;
  }
}

class Socket : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateSocket(Loopback(), listener.port, &stream), aErrNone);
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
  }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
    if (peer >= 0) close(peer);
  }
  void PeerSend(const Bytes& b) { ASSERT_EQ(send(peer, b.data(), b.size(), 0), ssize_t(b.size())); }
  Listener listener;
  aStream* stream = nullptr;
  int peer = -1;
};

TEST_F(Socket, PartialArrivalsAreReadWhole) {
  PeerSend({1, 2});
  uint8_t out[4] = {};
  EXPECT_EQ(aStream_Read(stream, out, 4), aErrNotReady);
  EXPECT_EQ(aStream_Read(stream, out, 4), aErrNotReady);
  PeerSend({3, 4});
  ASSERT_EQ(ReadWithin(stream, out, 4), aErrNone);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{1, 2, 3, 4}));

  const uint8_t reply[3] = {9, 8, 7};
  ASSERT_EQ(aStream_Write(stream, reply, 3), aErrNone);
  ASSERT_EQ(aStream_Write(stream, reply, 1), aErrNone);
  uint8_t got[4];
  ASSERT_EQ(recv(peer, got, 4, MSG_WAITALL), 4);
  EXPECT_EQ(Bytes(got, got + 4), (Bytes{9, 8, 7, 9}));
}

TEST_F(Socket, ReconnectsAfterAResetOrAnOrderlyClose) {
  for (bool reset : {true, false}) {
    if (reset) {
      linger l = {1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(peer);
    uint8_t byte = 0;
    EXPECT_EQ(ReadWithin(stream, &byte, 1, 200), aErrNotReady) << reset;
    peer = listener.Accept();
    ASSERT_GE(peer, 0) << "the stream did not reconnect (reset " << reset << ")";
    PeerSend({0x42});
    ASSERT_EQ(ReadWithin(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 0x42);
  }
}

TEST_F(Socket, ReaderAndWriterBothNoticeAResetWhileInUse) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint8_t byte;
    while (!stop) aStream_Read(stream, &byte, 1);
  });
  linger l = {1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(peer);
  peer = -1;
  const uint8_t data[2] = {0x04, 0x00};
  auto end = Clock::now() + std::chrono::seconds(3);
  int next = -1;
  while (next < 0 && Clock::now() < end) {
    aStream_Write(stream, data, 2);
    next = listener.Accept(20);
  }
  stop = true;
  reader.join();
  ASSERT_GE(next, 0) << "no reconnect";
  peer = next;
  // Whichever side reconnected, the stream works on the new connection.
  for (int extra; (extra = listener.Accept(50)) >= 0;) {  // a second reconnect, if any
    close(peer);
    peer = extra;
  }
  ASSERT_EQ(aStream_Write(stream, data, 2), aErrNone);
  uint8_t got[2];
  ASSERT_EQ(recv(peer, got, 2, MSG_WAITALL), 2);
  EXPECT_EQ(got[0], 0x04);
}

TEST_F(Socket, AModuleThatWentAwayIsAConnectionError) {
  listener.Close();
  close(peer);
  peer = -1;
  uint8_t byte = 0;
  EXPECT_EQ(ReadWithin(stream, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrConnection);

  aStream* none = reinterpret_cast<aStream*>(1);
  Listener closed;
  uint16_t port = closed.port;
  closed.Close();
  EXPECT_EQ(aStream_CreateSocket(Loopback(), port, &none), aErrResource);
  EXPECT_EQ(none, nullptr);
}

TEST(SocketWrite, GivingUpWithBytesUnsentIsAnError) {
  Listener listener(4096);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(Loopback(), listener.port, &stream), aErrNone);
  int peer = listener.Accept();  // and never reads
  ASSERT_GE(peer, 0);
  Bytes big(64 << 20, 0x55);
  auto start = Clock::now();
  EXPECT_EQ(aStream_Write(stream, big.data(), big.size()), aErrWrite);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  aStream_Destroy(&stream);
  close(peer);
}

// A pty stands in for the serial port; the test holds the master side.
class Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    path = name;
    termios t;
    tcgetattr(slave, &t);
    t.c_lflag |= ECHO | ICANON;  // something the stream must change and later restore
    tcsetattr(slave, TCSANOW, &t);
  }
  void TearDown() override {
    close(master);
    close(slave);
  }
  int master = -1, slave = -1;
  std::string path;
};

TEST_F(Serial, AppliesTheLineSettingsAndRestoresThemAtClose) {
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial(path.c_str(), 6, false, 0, 0, &stream), aErrNone);
  termios t;
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
  EXPECT_EQ(cfgetispeed(&t), speed_t(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);

  ASSERT_EQ(write(master, "\x01\x02", 2), 2);
  uint8_t in[2];
  ASSERT_EQ(ReadWithin(stream, in, 2), aErrNone);
  EXPECT_EQ(Bytes(in, in + 2), (Bytes{1, 2}));
  const uint8_t out[3] = {5, 6, 7};
  ASSERT_EQ(aStream_Write(stream, out, 3), aErrNone);
  uint8_t got[3];
  ASSERT_EQ(read(master, got, 3), 3);
  EXPECT_EQ(Bytes(got, got + 3), (Bytes{5, 6, 7}));

  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_NE(t.c_lflag & ECHO, 0u);

  ASSERT_EQ(aStream_CreateSerial(path.c_str(), 2, true, 1, 1, &stream), aErrNone);
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);  // a pty always keeps 8 bits and no parity
  EXPECT_NE(t.c_iflag & IGNPAR, 0u);
  aStream_Destroy(&stream);

  struct Row {
    uint32_t data, stop;
  } bad[] = {{2, 0}, {0, 2}};
  for (Row r : bad) {
    EXPECT_EQ(aStream_CreateSerial(path.c_str(), 6, false, r.data, r.stop, &stream), aErrParam);
  }
  EXPECT_EQ(aStream_CreateSerial("/dev/does-not-exist", 6, false, 0, 0, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(Serial, PacketizedPortCarriesCobsFrames) {
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, false, 0, 0, &stream), aErrNone);
  const uint8_t packet[2] = {0x04, 0x00};
  ASSERT_EQ(aStream_Write(stream, packet, 2), aErrNone);
  uint8_t frame[5];
  ASSERT_EQ(read(master, frame, 5), 5);
  EXPECT_EQ(Bytes(frame, frame + 5), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
  ASSERT_EQ(write(master, frame, 5), 5);
  uint8_t image[2];
  ASSERT_EQ(ReadWithin(stream, image, 2), aErrNone);
  EXPECT_EQ(Bytes(image, image + 2), (Bytes{0x04, 0x00}));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
}

}  // namespace
