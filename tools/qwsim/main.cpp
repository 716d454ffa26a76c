// qwsim: plays Quarkwire modules over real transports so the device library, the updater and
// scripts can be run without hardware.

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Config.h"
#include "Module.h"
#include "Transports.h"
#ifdef QWSIM_USB
#include "UsbTransport.h"
#include "usbemu.h"
#endif

using namespace qwsim;
using nlohmann::json;

namespace {

struct SignalWatch : Loop::Handler {
  int fd = -1;
  bool fired = false;
  bool childEnded = false;
  pid_t child = -1;
  int childStatus = 0;
  void onEvents(uint32_t) override {
    signalfd_siginfo si;
    while (read(fd, &si, sizeof si) == sizeof si) {
      if (si.ssi_signo != SIGCHLD) fired = true;
    }
    int st = 0;
    if (child > 0 && waitpid(child, &st, WNOHANG) == child) {
      childEnded = true;
      child = -1;
      childStatus = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
  }
};

// Ends a child that is still running: SIGTERM, then SIGKILL after two seconds.
void endChild(pid_t child) {
  if (child <= 0) return;
  kill(child, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(child, nullptr, WNOHANG) == child) return;
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

struct Hosted {
  std::unique_ptr<Module> module;
  std::unique_ptr<TcpListener> tcp;
  std::unique_ptr<Pty> pty, ptyCobs;
#ifdef QWSIM_USB
  std::unique_ptr<UsbPort> usb;
#endif
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

  // Signals are blocked before any thread starts (the USB emulator has threads), so they all
  // reach the signalfd of the event loop.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGCHLD);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  bool wantsUsb = false;
  for (auto& mc : cfg.modules) {
    wantsUsb = wantsUsb || mc.usb;
    // On USB the loader restarts the module as a new device, so LOAD leaves the bus too.
    if (mc.usb && mc.upgrade.loadGapMs == 0) mc.upgrade.loadGapMs = 200;
  }
#ifdef QWSIM_USB
  // The emulated bus needs umockdev's preload library in this process and in the command;
  // start over once with it when it is missing.
  const char* pre = std::getenv("LD_PRELOAD");
  if (wantsUsb && (!pre || !std::strstr(pre, "umockdev")) && !std::getenv("QWSIM_REEXEC")) {
    std::string p = std::string("libumockdev-preload.so.0") + (pre && *pre ? std::string(":") + pre : "");
    setenv("LD_PRELOAD", p.c_str(), 1);
    setenv("QWSIM_REEXEC", "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "qwsim: cannot restart with umockdev's preload library\n");
    return 1;
  }
  std::unique_ptr<qwemu::UsbEmulator> emulator;
  if (wantsUsb && !(emulator = createUsbEmulator(error))) {
    std::fprintf(stderr, "qwsim: %s\n", error.c_str());
    return 1;
  }
#else
  if (wantsUsb) {
    std::fprintf(stderr, "qwsim: built without the USB transport (umockdev missing)\n");
    return 1;
  }
#endif

  signal(SIGPIPE, SIG_IGN);
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
#ifdef QWSIM_USB
    if (mc.usb) {
      h.usb = std::make_unique<UsbPort>(loop, *h.module, *emulator);
      if (!h.usb->open(error)) {
        std::fprintf(stderr, "qwsim: usb: %s\n", error.c_str());
        return 1;
      }
    }
    UsbPort* usb = h.usb.get();
#else
    void* usb = nullptr;
#endif
    // While a module is away (rebooting) its port refuses connections and its USB device is
    // off the bus.
    TcpListener* tcp = h.tcp.get();
    h.module->onPresenceChange = [tcp, usb](bool away) {
#ifdef QWSIM_USB
      if (usb) usb->setPresent(!away);
#else
      (void)usb;
#endif
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
#ifdef QWSIM_USB
    m["usb"] = h.usb != nullptr;
#endif
    m["behind"] = json::array();
    for (const auto& b : h.module->behind())
      m["behind"].push_back({{"serial", serialText(b->serial())}, {"address", b->address()}});
    ready["modules"].push_back(m);
  }
  if (disc) ready["discovery"] = cfg.discovery;
  std::printf("%s\n", ready.dump().c_str());
  std::fflush(stdout);

  if (!cfg.command.empty()) {
    pid_t pid = fork();
    if (pid == 0) {
      sigprocmask(SIG_UNBLOCK, &mask, nullptr);
      std::vector<char*> av;
      for (auto& a : cfg.command) av.push_back(a.data());
      av.push_back(nullptr);
      execvp(av[0], av.data());
      std::fprintf(stderr, "qwsim: cannot run %s\n", av[0]);
      _exit(127);
    }
    sig.child = pid;
  }

  const uint64_t start = nowMs();
  const uint64_t end = cfg.maxSeconds > 0 ? start + uint64_t(cfg.maxSeconds * 1000) : UINT64_MAX;
  while (!sig.fired && !sig.childEnded) {
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

  endChild(sig.child);
  json rep;
  rep["pid"] = getpid();
  rep["reason"] = sig.fired ? "signal" : sig.childEnded ? "command" : "max-seconds";
  if (!cfg.command.empty()) rep["command_status"] = sig.childEnded ? json(sig.childStatus) : json(nullptr);
  if (disc) rep["discovery"] = {{"requests", disc->requests}, {"answers", disc->answers}};
  rep["modules"] = json::array();
  for (Hosted& h : hosted) {
    h.module->flushFlash();
    json m = h.module->report();
#ifdef QWSIM_USB
    if (h.usb) m["usb"] = {{"enumerations", h.usb->enumerations()}};
#endif
    rep["modules"].push_back(m);
  }
  if (!cfg.report.empty() && !writeReport(cfg.report, rep)) {
    std::fprintf(stderr, "qwsim: cannot write the report %s\n", cfg.report.c_str());
    return 1;
  }
  return sig.childEnded ? sig.childStatus : 0;
}
