#pragma once
// Drives a qwsim process from the outside: starts it, waits for its ready line, talks to its
// modules over TCP or a pty with a small client of its own (not the device library, and not
// qwsim's code either), and stops it to read its state report. Every wait has a deadline.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qwtest {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

inline int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : int(left);
}

// A fresh private directory under the build tree (or TMPDIR), removed by the caller if wanted.
inline std::string makeTempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qwsim-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  return buf.data();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Pkt {
  uint8_t address = 0;
  std::vector<uint8_t> data;
  bool operator==(const Pkt& o) const { return address == o.address && data == o.data; }
};

inline std::string describe(const Pkt& p) {
  std::string s = "[" + std::to_string(p.address) + ":";
  for (uint8_t b : p.data) s += " " + std::to_string(b);
  return s + "]";
}

// Dallas/Maxim CRC-8 (reflected 0x8C), bitwise: deliberately not the simulator's table.
inline uint8_t crc8(const std::vector<uint8_t>& v) {
  uint8_t c = 0;
  for (uint8_t b : v) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? uint8_t((c >> 1) ^ 0x8C) : uint8_t(c >> 1);
  }
  return c;
}

inline std::vector<uint8_t> cobsFrame(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(1, 0);
  size_t code = 0;
  uint8_t run = 1;
  for (uint8_t b : in) {
    if (b) {
      out.push_back(b);
      ++run;
    }
    if (!b || run == 0xFF) {
      out[code] = run;
      code = out.size();
      out.push_back(0);
      run = 1;
    }
  }
  out[code] = run;
  out.push_back(0);
  return out;
}

inline std::optional<std::vector<uint8_t>> cobsUnframe(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < in.size();) {
    uint8_t code = in[i++];
    if (!code || i + code - 1 > in.size()) return std::nullopt;
    for (int k = 1; k < code; ++k) out.push_back(in[i++]);
    if (code != 0xFF && i < in.size()) out.push_back(0);
  }
  return out;
}

// One connection to a module: a TCP socket or a pty, raw packets or COBS frames.
class Client {
 public:
  enum class Framing { raw, cobs };

  static Client tcp(uint16_t port, const char* host = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, host, &sa.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      ::close(fd);
      return Client(-1, Framing::raw);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return Client(fd, Framing::raw);
  }

  static Client pty(const std::string& path, Framing f) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
    return Client(fd, f);
  }

  Client(Client&& o) noexcept : fd_(o.fd_), framing_(o.framing_), in_(std::move(o.in_)) { o.fd_ = -1; }
  Client& operator=(Client&& o) noexcept {
    std::swap(fd_, o.fd_);
    framing_ = o.framing_;
    in_ = std::move(o.in_);
    return *this;
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool writeBytes(const std::vector<uint8_t>& b) {
    size_t off = 0;
    while (off < b.size()) {
      ssize_t w = ::write(fd_, b.data() + off, b.size() - off);
      if (w <= 0) return false;
      off += size_t(w);
    }
    return true;
  }

  static std::vector<uint8_t> wire(const Pkt& p) {
    std::vector<uint8_t> w{p.address, uint8_t(p.data.size())};
    w.insert(w.end(), p.data.begin(), p.data.end());
    return w;
  }

  bool send(const Pkt& p) {
    std::vector<uint8_t> w = wire(p);
    if (framing_ == Framing::cobs) {
      w.push_back(crc8(w));
      w = cobsFrame(w);
    }
    return writeBytes(w);
  }

  // Reads whatever arrives before the deadline into the buffer; false on end of stream/error.
  bool fill(Clock::time_point deadline) {
    pollfd pf{fd_, POLLIN, 0};
    int r = poll(&pf, 1, msLeft(deadline));
    if (r <= 0) return r == 0;
    uint8_t buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    in_.insert(in_.end(), buf, buf + n);
    return true;
  }

  // Next packet from the module, or nothing at the deadline / end of stream.
  std::optional<Pkt> recv(int timeoutMs = 2000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (auto p = take()) return p;
      if (eof_ || Clock::now() >= deadline || !fill(deadline)) {
        if (auto p = take()) return p;
        return std::nullopt;
      }
    }
  }

  // Next packet that `match` accepts; others (heartbeats, samples) are skipped.
  template <class F>
  std::optional<Pkt> recvMatching(F match, int timeoutMs = 2000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
      auto p = recv(std::max(1, msLeft(deadline)));
      if (!p) return std::nullopt;
      if (match(*p)) return p;
    }
    return std::nullopt;
  }

  // Sends a request and returns the first answer whose data start with `prefix`.
  std::optional<Pkt> ask(const Pkt& req, const std::vector<uint8_t>& prefix, int timeoutMs = 2000) {
    if (!send(req)) return std::nullopt;
    return recvMatching(
        [&](const Pkt& p) {
          return p.data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), p.data.begin());
        },
        timeoutMs);
  }

  bool eof() const { return eof_; }
  std::vector<uint8_t>& buffer() { return in_; }

 private:
  Client(int fd, Framing f) : fd_(fd), framing_(f) {}

  std::optional<Pkt> take() {
    if (framing_ == Framing::raw) {
      if (in_.size() < 2 || in_.size() < size_t(in_[1]) + 2) return std::nullopt;
      Pkt p{in_[0], std::vector<uint8_t>(in_.begin() + 2, in_.begin() + 2 + in_[1])};
      in_.erase(in_.begin(), in_.begin() + 2 + in_[1]);
      return p;
    }
    for (;;) {
      auto z = std::find(in_.begin(), in_.end(), uint8_t(0));
      if (z == in_.end()) return std::nullopt;
      std::vector<uint8_t> frame(in_.begin(), z);
      in_.erase(in_.begin(), z + 1);
      auto dec = cobsUnframe(frame);
      if (!dec || dec->size() < 3) continue;
      uint8_t crc = dec->back();
      dec->pop_back();
      if (crc8(*dec) != crc || (*dec)[1] + 2u != dec->size()) continue;
      return Pkt{(*dec)[0], std::vector<uint8_t>(dec->begin() + 2, dec->end())};
    }
  }

  int fd_ = -1;
  Framing framing_;
  std::vector<uint8_t> in_;
  bool eof_ = false;
};

// A running qwsim process.
class Sim {
 public:
  static std::string binary() { return std::string(QW_BINARY_DIR) + "/tools/qwsim"; }

  // Starts qwsim with `args` (a bounded lifetime is always added) and waits for its ready line.
  explicit Sim(std::vector<std::string> args, double maxSeconds = 60) {
    args.insert(args.begin(), binary());
    // The lifetime bound goes before a "--" that starts qwsim's command.
    auto dashes = std::find(args.begin(), args.end(), std::string("--"));
    dashes = args.insert(dashes, "--max-seconds");
    args.insert(dashes + 1, std::to_string(maxSeconds));
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(out[1], 1);
      std::vector<char*> av;
      for (auto& a : args) av.push_back(a.data());
      av.push_back(nullptr);
      execv(av[0], av.data());
      _exit(127);
    }
    ::close(out[1]);
    outFd_ = out[0];
    auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string line;
    while (line.find('\n') == std::string::npos) {
      pollfd pf{outFd_, POLLIN, 0};
      if (poll(&pf, 1, msLeft(deadline)) <= 0) throw std::runtime_error("qwsim printed no ready line within 10 s");
      char buf[512];
      ssize_t n = ::read(outFd_, buf, sizeof buf);
      if (n <= 0) throw std::runtime_error("qwsim exited before its ready line");
      line.append(buf, size_t(n));
    }
    ready = json::parse(line.substr(0, line.find('\n')));
  }

  ~Sim() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) ::close(outFd_);
  }

  uint16_t port(size_t module = 0) const { return ready["modules"][module]["tcp_port"].get<uint16_t>(); }
  std::string pty(size_t module = 0, const char* kind = "pty") const {
    return ready["modules"][module][kind].get<std::string>();
  }

  // SIGTERM, then waits (bounded) for the exit; returns the exit status.
  int stop(int timeoutMs = 5000) {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    return wait(timeoutMs);
  }

  int wait(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) break;
      if (Clock::now() >= deadline) throw std::runtime_error("qwsim did not exit in time");
      poll(nullptr, 0, 10);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid() const { return pid_; }
  json ready;

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
};

}  // namespace qwtest
