// qwsim: plays Quarkwire modules over real transports so the device library, the updater and
// scripts can be run without hardware.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Config.h"
#include "Module.h"
#include "Transports.h"

using namespace qwsim;
using nlohmann::json;

namespace {

struct SignalWatch : Loop::Handler {
  int fd = -1;
  bool fired = false;
  void onEvents(uint32_t) override {
    signalfd_siginfo si;
    while (read(fd, &si, sizeof si) == sizeof si) fired = true;
  }
};

struct Hosted {
  std::unique_ptr<Module> module;
  std::unique_ptr<TcpListener> tcp;
  std::unique_ptr<Pty> pty, ptyCobs;
};

std::string serialText(uint32_t s) {
  char b[16];
  std::snprintf(b, sizeof b, "%08X", s);
  return b;
}

bool writeReport(const std::string& path, const json& j) {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return false;
  std::string text = j.dump(2) + "\n";
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  Config cfg;
  std::string error;
  if (!parseCommandLine(argc, argv, cfg, error)) {
    std::fprintf(stderr, "qwsim: %s\n%s", error.c_str(), kUsage);
    return 2;
  }

  signal(SIGPIPE, SIG_IGN);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  Loop loop;
  SignalWatch sig;
  sig.fd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  loop.add(sig.fd, 0x001 /* EPOLLIN */, &sig);

  std::vector<Hosted> hosted;
  std::vector<DiscoveryResponder::Entry> discoverable;
  for (const ModuleConfig& mc : cfg.modules) {
    Hosted h;
    h.module = std::make_unique<Module>(mc);
    if (mc.tcpPort >= 0) {
      h.tcp = std::make_unique<TcpListener>(loop, *h.module, cfg.bind, mc.tcpPort);
      if (!h.tcp->open(error)) {
        std::fprintf(stderr, "qwsim: %s\n", error.c_str());
        return 1;
      }
      discoverable.push_back({h.module.get(), h.tcp.get()});
    }
    if (mc.pty) {
      h.pty = std::make_unique<Pty>(loop, *h.module, Framing::raw);
      if (!h.pty->open(error)) {
        std::fprintf(stderr, "qwsim: %s\n", error.c_str());
        return 1;
      }
    }
    if (mc.ptyCobs) {
      h.ptyCobs = std::make_unique<Pty>(loop, *h.module, Framing::cobs);
      if (!h.ptyCobs->open(error)) {
        std::fprintf(stderr, "qwsim: %s\n", error.c_str());
        return 1;
      }
    }
    // While a module is away (rebooting) its port refuses connections.
    TcpListener* tcp = h.tcp.get();
    h.module->onPresenceChange = [tcp](bool away) {
      if (!tcp) return;
      tcp->wantOpen = !away;
      if (away) {
        tcp->close();
      } else {
        std::string e;
        tcp->open(e);
      }
    };
    hosted.push_back(std::move(h));
  }
  std::unique_ptr<DiscoveryResponder> disc;
  if (!cfg.discovery.empty()) {
    disc = std::make_unique<DiscoveryResponder>(cfg.discovery, discoverable);
    if (!disc->open(loop, error)) {
      std::fprintf(stderr, "qwsim: %s\n", error.c_str());
      return 1;
    }
  }

  json ready;
  ready["pid"] = getpid();
  ready["modules"] = json::array();
  for (const Hosted& h : hosted) {
    json m;
    m["serial"] = serialText(h.module->serial());
    m["address"] = h.module->address();
    m["tcp_port"] = h.tcp ? json(h.tcp->port()) : json(nullptr);
    m["pty"] = h.pty ? json(h.pty->path()) : json(nullptr);
    m["pty_cobs"] = h.ptyCobs ? json(h.ptyCobs->path()) : json(nullptr);
    m["behind"] = json::array();
    for (const auto& b : h.module->behind())
      m["behind"].push_back({{"serial", serialText(b->serial())}, {"address", b->address()}});
    ready["modules"].push_back(m);
  }
  if (disc) ready["discovery"] = cfg.discovery;
  std::printf("%s\n", ready.dump().c_str());
  std::fflush(stdout);

  const uint64_t start = nowMs();
  const uint64_t end = cfg.maxSeconds > 0 ? start + uint64_t(cfg.maxSeconds * 1000) : UINT64_MAX;
  while (!sig.fired) {
    uint64_t now = nowMs();
    if (now >= end) break;
    uint64_t next = end;
    bool retryListener = false;
    for (const Hosted& h : hosted) {
      next = std::min(next, h.module->nextDeadline());
      retryListener = retryListener || (h.tcp && h.tcp->wantOpen && !h.tcp->isOpen());
    }
    // No spinning: sleep until the next timer; idle with no timers sleeps until a signal.
    int timeout = next == UINT64_MAX ? -1 : int(std::min<uint64_t>(next > now ? next - now : 0, 60000));
    if (retryListener) timeout = timeout < 0 ? 100 : std::min(timeout, 100);
    loop.runOnce(timeout);
    now = nowMs();
    for (Hosted& h : hosted) {
      h.module->tick(now);
      if (h.tcp && h.tcp->wantOpen && !h.tcp->isOpen()) {
        std::string e;
        h.tcp->open(e);
      }
    }
    loop.flush();
    loop.reap();
  }

  json rep;
  rep["pid"] = getpid();
  rep["reason"] = sig.fired ? "signal" : "max-seconds";
  if (disc) rep["discovery"] = {{"requests", disc->requests}, {"answers", disc->answers}};
  rep["modules"] = json::array();
  for (Hosted& h : hosted) {
    h.module->flushFlash();
    rep["modules"].push_back(h.module->report());
  }
  if (!cfg.report.empty() && !writeReport(cfg.report, rep)) {
    std::fprintf(stderr, "qwsim: cannot write the report %s\n", cfg.report.c_str());
    return 1;
  }
  return 0;
}
