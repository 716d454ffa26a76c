#pragma once
// Shared by the server layer's tests: a log capture and the module data the fixture serves.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <cstdlib>
#include <string>

#include "Log.h"
#include "LogCapture.h"
#include "UpdateServerProcess.h"

// Captures DEBUG_ServerComm lines while alive.
struct ServerLogCapture : testlog::LogCapture {
  ServerLogCapture() : testlog::LogCapture(DEBUG_ServerComm) {}
};

// BIRD-like bytes with every byte value, so the Base64 path carries all of them.
inline std::string sampleBird() {
  std::string b = "BIRD";
  for (int i = 0; i < 1000; ++i) b += static_cast<char>(i * 7 + 3);
  return b;
}

// Module 0000ABCD: current build 120 with a CR after its firmware field, a build list with a
// short line, an entry without version and a repeated build, a BIRD file and a token.
// Module 00001234 has a token of only two parts. One fingerprint maps to 0000ABCD.
inline void writeSampleData(const UpdateServerProcess& srv) {
  srv.write("0000ABCD/current", "120\nFW-A\r\n");
  srv.write("0000ABCD/builds", "120;2.12.3\n7\n121;2.12.4\r\n122\n120;9.9.9\n");
  srv.write("0000ABCD/120.bird", sampleBird());
  srv.write("0000ABCD/jwt", "eyJhbGciOi.eyJzbiI6.c2lnbmF0dXJl\n");
  srv.write("00001234/jwt", "eyJhbGciOi.eyJzbiI6\n");
  srv.write("fingerprints", "00000001 00000002 DEADBEEF 00000004 0000ABCD 0x78\n");
}

// Sets or clears an environment variable for one scope.
struct ScopedEnv {
  std::string name;
  ScopedEnv(const char* n, const std::string& value) : name(n) { setenv(n, value.c_str(), 1); }
  ~ScopedEnv() { unsetenv(name.c_str()); }
};

// A loopback TCP socket bound to a free port; listening (connections complete in the
// kernel and are never answered) or not (connections are refused).
struct LoopbackSocket {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  explicit LoopbackSocket(bool listening) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        (listening && listen(fd, 4) != 0))
      throw std::runtime_error("loopback socket");
    port = ntohs(a.sin_port);
  }
  ~LoopbackSocket() { close(fd); }
};
