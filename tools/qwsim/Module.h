#pragma once
// The module logic: what one simulated module answers to each packet from the host, and what
// it sends unasked (heartbeats, stream samples). It knows nothing of sockets or ptys; it talks
// to the host through Link objects that the transports supply.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "Config.h"
#include "Wire.h"

namespace qwsim {

uint64_t nowMs();

// One connection to the host (a TCP connection or a pty).
class Link {
 public:
  virtual ~Link() = default;
  virtual void send(const Packet& p) = 0;
  virtual void sendRaw(const std::vector<uint8_t>& bytes) = 0;
  // Drops the connection; `graceful` lets queued output leave first, otherwise the peer sees a
  // reset. Links that cannot be dropped (ptys) ignore it.
  virtual void drop(bool graceful) = 0;
  // Unsolicited packets (heartbeats, stream samples) go only to active links.
  virtual bool active() const = 0;
};

enum class Req {
  presence, force_route, heartbeat_answer, uei_get, uei_set, info, debug, slot, factory,
  i2c, upgrade_init, upgrade_data, upgrade_load, upgrade_prepare, upgrade_sum, upgrade_write,
  upgrade_reboot, upgrade_data_uei, relayed, other, count_
};
const char* reqName(Req r);

class Module {
 public:
  explicit Module(const ModuleConfig& cfg, Module* router = nullptr);

  uint32_t serial() const { return cfg_.serial; }
  uint8_t address() const { return cfg_.address; }
  uint8_t model() const { return cfg_.model; }
  const ModuleConfig& config() const { return cfg_; }
  const std::vector<std::unique_ptr<Module>>& behind() const { return behind_; }

  void attach(Link* l);
  void detach(Link* l);
  // One complete packet from the host on link `l`.
  void receive(Link* l, const Packet& p);

  // Earliest time (nowMs clock) at which tick() has work; UINT64_MAX for none.
  uint64_t nextDeadline() const;
  void tick(uint64_t now);

  // Between REBOOT (or a LOAD with a gap) and coming back the module ignores everything.
  bool away() const { return awayUntil_ != 0; }
  // Transports hear of the module leaving and coming back (close and reopen listeners).
  std::function<void(bool away)> onPresenceChange;

  // Connection-level faults and counters, used by the transports.
  bool refuseConnection();
  uint64_t dropAfterBytes();  // 0 = no limit for this connection
  void noteConnection(const char* what) { ++connections_[what]; }

  void flushFlash();
  nlohmann::json report() const;

 private:
  struct Effects {
    bool noReply = false, wrongAck = false, wrongSum = false;
    int refuseStatus = -1;
    uint32_t delayMs = 0;
    std::vector<uint8_t> garbage;
  };
  struct FaultState {
    FaultConfig cfg;
    uint64_t seen = 0, fired = 0;
  };
  struct Pending {
    uint64_t due;
    Link* link;
    bool raw;
    Packet packet;
    std::vector<uint8_t> bytes;
  };
  struct BytesRun {
    bool active = false;
    uint8_t command = 0, code = 0, index = 0, seq = 0;
    std::vector<uint8_t> bytes;
  };
  struct Slot {
    uint16_t capacity;
    std::vector<uint8_t> data;
  };
  struct Handle {
    uint8_t store, slot;
    bool write;
    size_t pos;
  };
  using Entity = std::map<uint8_t, OptionValue>;
  using Replies = std::vector<Packet>;

  Req classify(const Packet& p) const;
  Effects faultsFor(Req r);
  void emit(Link* l, Replies& out, const Effects& fx);
  void sendNow(Link* l, const Packet& p);
  void unsolicited(const Packet& p);
  const std::vector<Link*>& linksForUnsolicited() const;

  void handle(Link* l, const Packet& p, Req r, const Effects& fx, Replies& out);
  void handleUei(const Packet& p, Req r, Replies& out);
  void handleBytesSet(const Packet& p, OptionValue* opt, Replies& out);
  bool specialUeiSet(uint8_t cmd, uint8_t code, uint32_t value, Replies& out, bool& handled);
  void handleInfo(const Packet& p, Replies& out);
  void handleSlot(const Packet& p, Replies& out);
  void handleFactory(const Packet& p, Replies& out);
  void handleI2C(const Packet& p, Replies& out);
  void handleUpgrade(const Packet& p, const Effects& fx, Replies& out);
  void afterSet(uint8_t cmd, uint8_t idx, uint8_t code);

  // Entity lookup; returns nullptr and sets `err` when missing.
  Entity* entity(uint8_t cmd, uint8_t idx, uint32_t& err);
  uint32_t ueiAnswer(uint8_t cmd, uint8_t opt, uint8_t idx, uint8_t flags);
  void buildSystemEntity();
  void setSystem(uint8_t code, uint32_t v);

  void goAway(uint32_t ms, bool graceful);
  void comeBack();
  void updateStreams(uint64_t now);
  bool streamActive(const StreamSource& s) const;
  void sendSample(size_t i, uint64_t now);

  ModuleConfig cfg_;
  Module* router_;
  std::vector<std::unique_ptr<Module>> behind_;
  std::vector<Link*> links_;
  uint64_t bootMs_;
  uint64_t startUs_;
  uint64_t awayUntil_ = 0;

  std::map<std::pair<uint8_t, uint8_t>, Entity> entities_, defaults_, saved_;
  BytesRun run_;
  std::deque<Pending> outbox_;
  std::vector<FaultState> faults_;

  // Heartbeats and streams.
  uint64_t nextHeartbeat_ = 0;
  std::set<uint32_t> streamKeys_;
  std::vector<uint64_t> streamDue_;  // 0 = not streaming
  std::vector<uint32_t> streamValue_;

  // Stores, factory data, I2C.
  std::map<uint8_t, std::vector<Slot>> stores_;
  std::map<uint8_t, Handle> handles_;
  std::map<uint8_t, std::vector<uint8_t>> factory_;
  uint8_t factoryBlock_ = 0;
  int factoryMode_ = 0;  // 0 none, 1 reading, 2 writing
  size_t factoryPos_ = 0;
  std::vector<uint8_t> factoryBuf_;
  std::vector<I2CDevice> i2c_;
  std::vector<uint8_t> i2cPointer_;
  bool pullup_ = false;

  // Upgrade.
  bool loaderMode_ = false;
  uint32_t writeAddress_ = 0;
  std::vector<uint8_t> collected_;
  uint32_t sum_ = 0;
  std::vector<uint8_t> loaderImage_;
  std::string loaderSha_;
  size_t loaderSize_ = 0;
  std::vector<uint8_t> flash_;
  bool flashDirty_ = false;
  bool wroteSinceBoot_ = false;
  std::vector<uint32_t> writes_;
  std::string flashPath_;
  std::string flashSha_;

  // Counters.
  uint64_t requests_[size_t(Req::count_)] = {};
  std::map<std::string, uint64_t> connections_;
  uint64_t heartbeatsSent_ = 0, samplesSent_ = 0, reboots_ = 0, loads_ = 0, ignored_ = 0,
           malformed_ = 0, unansweredAway_ = 0;
  int forceRoute_ = -1;
  uint64_t forceRouteCount_ = 0;
  uint8_t routeToMe_ = 0;
  uint64_t routeToMeSets_ = 0;
};

}  // namespace qwsim
