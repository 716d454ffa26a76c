#include "Module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qwsim {

namespace {

// Module commands.
constexpr uint8_t cmdSYSTEM = 3, cmdSLOT = 4, cmdI2C = 8, cmdDEBUG = 23, cmdINFO = 73,
                  cmdSTORE = 92, cmdSTREAM = 93, cmdFACTORY = 94, cmdUPGRADE = 95;

// Commands that are not typed (UEI) requests.
bool isCommandPacket(uint8_t c) {
  switch (c) {
    case 0: case 1: case 2: case 4: case 8: case 9: case 23: case 24: case 73: case 94: case 95:
    case 173: case 175:
      return true;
    default:
      return false;
  }
}

// Upgrade operations.
constexpr uint8_t opINIT = 0, opDATA = 1, opLOAD = 2, opPREPARE = 3, opSUM = 4, opWRITE = 5,
                  opREBOOT = 6, opSTATUS = 7, optDATA_UEI = 10;

enum : uint8_t {
  eNone = 0, eMemory = 1, eParam = 2, eNotFound = 3, eBusy = 5, eMode = 7, eNotReady = 11,
  ePermission = 12, eRange = 13, eSize = 14, eOverrun = 15, eIndexRange = 26,
  eShortCommand = 27, eInvalidEntity = 28, eInvalidOption = 29, ePacket = 24
};

constexpr size_t kMaxRun = 64 * 1024;
constexpr size_t kMaxFactory = 4096;

const char* kReqNames[] = {"presence", "force_route", "heartbeat_answer", "uei_get", "uei_set",
                           "info", "debug", "slot", "factory", "i2c", "upgrade_init",
                           "upgrade_data", "upgrade_load", "upgrade_prepare", "upgrade_sum",
                           "upgrade_write", "upgrade_reboot", "upgrade_data_uei", "relayed",
                           "other"};

OptionValue opt(uint8_t type, bool writable, uint32_t v = 0) {
  OptionValue o;
  o.type = type;
  o.writable = writable;
  o.readable = type != 0;
  o.values = {v};
  return o;
}

uint32_t widthMask(uint8_t type) {
  return type == 1 ? 0xFFu : type == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

void pushValue(Packet& p, uint8_t type, uint32_t v) {
  if (type == 1) p.push(uint8_t(v));
  else if (type == 2) p.push16(uint16_t(v));
  else if (type == 4) p.push32(v);
}

uint32_t be32(const uint8_t* d) {
  return uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
}

}  // namespace

const char* reqName(Req r) { return kReqNames[size_t(r)]; }

uint64_t nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

static uint64_t nowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000 + uint64_t(ts.tv_nsec) / 1000;
}

Module::Module(const ModuleConfig& cfg, Module* router)
    : cfg_(cfg), router_(router), bootMs_(nowMs()), startUs_(nowUs()) {
  for (const auto& b : cfg_.behind) {
    ModuleConfig bc = b;
    bc.heartbeatMs = b.heartbeatMs;
    behind_.push_back(std::make_unique<Module>(bc, this));
  }
  buildSystemEntity();
  defaults_ = entities_;
  saved_ = entities_;
  for (const auto& [store, slots] : cfg_.stores)
    for (const auto& s : slots) stores_[store].push_back(Slot{s.capacity, s.data});
  factory_ = cfg_.factory;
  i2c_ = cfg_.i2c;
  i2cPointer_.assign(i2c_.size(), 0);
  for (const auto& f : cfg_.faults) faults_.push_back(FaultState{f, 0, 0});
  streamDue_.assign(cfg_.streams.size(), 0);
  for (const auto& s : cfg_.streams) streamValue_.push_back(s.value);
  flashPath_ = cfg_.upgrade.flashFile;
  if (flashPath_.empty()) {
    char name[64];
    std::snprintf(name, sizeof name, "qwsim-%08X.flash", cfg_.serial);
    flashPath_ = name;
  }
  if (cfg_.heartbeatMs) nextHeartbeat_ = nowMs() + cfg_.heartbeatMs;
}

void Module::buildSystemEntity() {
  Entity sys;
  sys[1] = opt(1, false, cfg_.address);
  sys[2] = opt(1, true, router_ ? router_->address() : 0);
  sys[3] = opt(1, true, std::min<uint32_t>(255, cfg_.heartbeatMs / 100));
  sys[4] = opt(1, true, 0);
  sys[6] = opt(1, true, 0);
  sys[7] = opt(4, false, cfg_.version);
  sys[8] = opt(1, false, cfg_.model);
  sys[9] = opt(4, false, cfg_.serial);
  sys[10] = opt(0, false);
  sys[11] = opt(0, false);
  sys[12] = opt(4, false, 5000000);
  sys[13] = opt(1, false, 0);
  sys[14] = opt(1, false, cfg_.address);
  sys[15] = opt(1, true, 0);
  sys[16] = opt(1, false, 0);
  sys[20] = opt(1, true, 0);
  sys[21] = opt(4, false, 120000);
  sys[22] = opt(4, false, 0);
  sys[23] = opt(4, false, 45000);
  sys[24] = opt(0, false);
  sys[25] = opt(4, false, 5000000);
  sys[26] = opt(4, false, 120000);
  sys[27] = opt(4, false, 30000);
  sys[28] = opt(4, false, 20000);
  sys[29] = opt(1, false, 0);
  sys[30] = opt(1, true, 0);
  sys[31] = opt(5, true);
  sys[32] = opt(5, true);
  sys[32].bytes.assign(cfg_.name.begin(), cfg_.name.end());
  sys[33] = opt(4, false, 10000000);
  sys[34] = opt(4, true, 10000000);
  sys[35] = opt(4, false, 0);
  sys[37] = opt(0, false);
  sys[38] = opt(1, true, 0);
  sys[40] = opt(4, false, 1);
  sys[41] = opt(4, false, 0);
  sys[42] = opt(1, true, 255);
  sys[43] = opt(4, false, cfg_.build);
  sys[45] = opt(4, false, cfg_.features);
  for (const auto& [code, v] : cfg_.system) {
    auto it = sys.find(code);
    if (it != sys.end() && it->second.type != 0 && it->second.type != 5)
      it->second.values = {v & widthMask(it->second.type)};
  }
  entities_[{cmdSYSTEM, 0}] = std::move(sys);

  Entity store;
  for (uint8_t c = 0; c < 3; ++c) store[c] = opt(4, true);
  for (auto& [c, o] : store) o.readable = false;
  entities_[{cmdSTORE, 0}] = std::move(store);

  Entity stream;
  stream[1] = opt(4, true);
  stream[2] = opt(4, true);
  stream[2].readable = false;
  entities_[{cmdSTREAM, 0}] = std::move(stream);

  Entity upgrade;
  if (cfg_.upgrade.uei) {
    upgrade[optDATA_UEI] = opt(5, true);
    upgrade[optDATA_UEI].readable = false;
  }
  entities_[{cmdUPGRADE, 0}] = std::move(upgrade);
  entities_[{cmdI2C, 0}] = Entity();

  for (const auto& e : cfg_.entities)
    for (const auto& [code, o] : e.options) entities_[{e.command, e.index}][code] = o;
}

void Module::setSystem(uint8_t code, uint32_t v) { entities_[{cmdSYSTEM, 0}][code].values = {v}; }

// ---------------------------------------------------------------------------------------------
// Links, faults and the outbox

void Module::attach(Link* l) { links_.push_back(l); }

void Module::detach(Link* l) {
  links_.erase(std::remove(links_.begin(), links_.end(), l), links_.end());
  outbox_.erase(std::remove_if(outbox_.begin(), outbox_.end(),
                               [l](const Pending& p) { return p.link == l; }),
                outbox_.end());
  for (auto& b : behind_) b->detach(l);
}

const std::vector<Link*>& Module::linksForUnsolicited() const {
  return router_ ? router_->linksForUnsolicited() : links_;
}

bool Module::refuseConnection() {
  for (auto& f : faults_) {
    if (f.cfg.kind != "refuse_connections") continue;
    if (++f.seen >= f.cfg.nth && f.fired < f.cfg.count) {
      ++f.fired;
      return true;
    }
  }
  return false;
}

uint64_t Module::dropAfterBytes() {
  for (auto& f : faults_) {
    if (f.cfg.kind != "drop_link") continue;
    if (++f.seen >= f.cfg.nth && f.fired < f.cfg.count) {
      ++f.fired;
      return std::max<uint64_t>(1, f.cfg.bytes);
    }
  }
  return 0;
}

Module::Effects Module::faultsFor(Req r) {
  Effects fx;
  const char* name = reqName(r);
  for (auto& f : faults_) {
    const std::string& k = f.cfg.kind;
    std::string want = f.cfg.request;
    if (want.empty()) {
      if (k == "wrong_data_ack") want = "upgrade_data";
      else if (k == "wrong_sum") want = "upgrade_sum";
      else if (k == "refuse_prepare") want = "upgrade_prepare";
      else if (k == "refuse_write") want = "upgrade_write";
      else if (k == "ignore_sync") want = "presence";
      else if (k == "garbage" || k == "delay") want = "any";
      else continue;  // connection-level faults
    }
    if (want != "any" && want != name) continue;
    if (++f.seen < f.cfg.nth || f.fired >= f.cfg.count) continue;
    ++f.fired;
    if (k == "no_reply" || k == "ignore_sync") fx.noReply = true;
    else if (k == "wrong_data_ack") fx.wrongAck = true;
    else if (k == "wrong_sum") fx.wrongSum = true;
    else if (k == "refuse_prepare" || k == "refuse_write") fx.refuseStatus = f.cfg.status;
    else if (k == "delay") fx.delayMs = std::max(fx.delayMs, f.cfg.ms);
    else if (k == "garbage") fx.garbage = f.cfg.garbage;
  }
  return fx;
}

void Module::emit(Link* l, Replies& out, const Effects& fx) {
  if (fx.delayMs == 0 && outbox_.empty()) {
    if (!fx.garbage.empty()) l->sendRaw(fx.garbage);
    for (const auto& p : out) l->send(p);
    return;
  }
  // Delayed answers keep their order: nothing overtakes what is already waiting.
  uint64_t due = nowMs() + fx.delayMs;
  if (!outbox_.empty()) due = std::max(due, outbox_.back().due);
  if (!fx.garbage.empty()) outbox_.push_back(Pending{due, l, true, Packet(), fx.garbage});
  for (const auto& p : out) outbox_.push_back(Pending{due, l, false, p, {}});
}

void Module::unsolicited(const Packet& p) {
  for (Link* l : linksForUnsolicited())
    if (l->active()) l->send(p);
}

// ---------------------------------------------------------------------------------------------
// Receiving

Req Module::classify(const Packet& p) const {
  if (p.address == kPresenceAddress) return Req::presence;
  if (p.address == kForceRouteAddress) return Req::force_route;
  if (p.length == 0) return Req::other;
  uint8_t c = p.data[0];
  if (c == 0) return p.length == 2 ? Req::heartbeat_answer : Req::other;
  switch (c) {
    case cmdINFO: return Req::info;
    case cmdDEBUG: return Req::debug;
    case cmdSLOT: return Req::slot;
    case cmdFACTORY: return Req::factory;
    case cmdI2C: return Req::i2c;
    case cmdUPGRADE:
      if (p.length >= 2 && (p.data[1] & 0xC0)) return Req::upgrade_data_uei;
      if (p.length < 2) return Req::other;
      switch (p.data[1]) {
        case opINIT: return Req::upgrade_init;
        case opDATA: return Req::upgrade_data;
        case opLOAD: return Req::upgrade_load;
        case opPREPARE: return Req::upgrade_prepare;
        case opSUM: return Req::upgrade_sum;
        case opWRITE: return Req::upgrade_write;
        case opREBOOT: return Req::upgrade_reboot;
        default: return Req::other;
      }
    default:
      break;
  }
  if (isCommandPacket(c) || p.length < 3) return Req::other;
  return (p.data[1] & 0x80) ? Req::uei_set : Req::uei_get;
}

void Module::receive(Link* l, const Packet& p) {
  if (p.address != kPresenceAddress && p.address != kForceRouteAddress &&
      p.address != cfg_.address) {
    for (auto& b : behind_) {
      if (b->address() != p.address) continue;
      ++requests_[size_t(Req::relayed)];
      if (away()) {
        ++unansweredAway_;
        return;
      }
      b->receive(l, p);
      return;
    }
    ++ignored_;
    return;
  }
  if (away()) {
    ++unansweredAway_;
    return;
  }
  Req r = classify(p);
  ++requests_[size_t(r)];
  Effects fx = faultsFor(r);
  if (fx.noReply) return;
  Replies out;
  handle(l, p, r, fx, out);
  emit(l, out, fx);
}

void Module::handle(Link* l, const Packet& p, Req r, const Effects& fx, Replies& out) {
  const uint8_t a = cfg_.address;
  switch (r) {
    case Req::presence:
      out.push_back(Packet::make(a, {}));
      return;
    case Req::force_route:
      if (p.length >= 1) forceRoute_ = p.data[0];
      ++forceRouteCount_;
      return;
    case Req::heartbeat_answer:
      return;
    case Req::debug:
      out.push_back(Packet::make(a, p.data.data(), p.length));
      return;
    case Req::info:
      handleInfo(p, out);
      return;
    case Req::slot:
      handleSlot(p, out);
      return;
    case Req::factory:
      handleFactory(p, out);
      return;
    case Req::i2c:
      handleI2C(p, out);
      return;
    case Req::uei_get:
    case Req::uei_set:
    case Req::upgrade_data_uei:
      handleUei(p, r, out);
      return;
    case Req::upgrade_init:
    case Req::upgrade_data:
    case Req::upgrade_load:
    case Req::upgrade_prepare:
    case Req::upgrade_sum:
    case Req::upgrade_write:
    case Req::upgrade_reboot:
      handleUpgrade(p, fx, out);
      if (r == Req::upgrade_load && cfg_.upgrade.loadGapMs) {
        // The loader restarts the module: the answer leaves first, then the links go.
        emit(l, out, fx);
        out.clear();
        goAway(cfg_.upgrade.loadGapMs, true);
      }
      return;
    case Req::relayed:
    case Req::other:
    case Req::count_:
      ++malformed_;
      return;
  }
}

// ---------------------------------------------------------------------------------------------
// Typed requests

Module::Entity* Module::entity(uint8_t cmd, uint8_t idx, uint32_t& err) {
  auto it = entities_.find({cmd, idx});
  if (it != entities_.end()) return &it->second;
  bool anyIndex = false;
  for (const auto& [k, e] : entities_) anyIndex = anyIndex || k.first == cmd;
  err = anyIndex ? eIndexRange : eInvalidEntity;
  return nullptr;
}

void Module::handleUei(const Packet& p, Req r, Replies& out) {
  const uint8_t a = cfg_.address;
  const uint8_t cmd = p.data[0], ob = p.data[1], idx = p.data[2] & 0x1F;
  const uint8_t code = ob & 0x3F;
  const bool isSet = (ob & 0x80) != 0;
  const uint8_t replyOpt = isSet ? uint8_t(code | 0xC0) : code;
  auto error = [&](uint32_t e) { out.push_back(Packet::make(a, {cmd, replyOpt, uint8_t(idx | 0x80), uint8_t(e)})); };
  if ((ob & 0xC0) == 0xC0) return error(eParam);
  uint32_t err = 0;
  Entity* ent = entity(cmd, idx, err);
  if (!ent) return error(err);
  auto oit = ent->find(code);
  if (oit == ent->end()) return error(eInvalidOption);
  OptionValue& o = oit->second;
  (void)r;

  if (!isSet) {
    if (!o.readable) return error(eInvalidOption);
    if (cmd == cmdSTREAM && code == 1) {
      out.push_back(Packet::make(a, {cmd, code, idx, uint8_t(streamKeys_.empty() ? 0 : 1)}));
      return;
    }
    if (cmd == cmdSYSTEM && idx == 0 && code == 22) o.values = {uint32_t((nowMs() - bootMs_) / 1000)};
    if (o.type == 5) {
      // Byte arrays leave as a numbered run of 24-byte pieces.
      size_t off = 0, n = o.bytes.size();
      uint8_t seq = 0;
      do {
        size_t take = std::min<size_t>(24, n - off);
        Packet q = Packet::make(a, {cmd, code, idx});
        for (size_t i = 0; i < take; ++i) q.push(o.bytes[off + i]);
        off += take;
        q.push(uint8_t((seq & 0x7F) | (off < n ? 0x80 : 0)));
        seq = uint8_t((seq + 1) & 0x7F);
        out.push_back(q);
      } while (off < n);
      return;
    }
    size_t sub = 0;
    if (p.length == 4) sub = p.data[3];
    else if (p.length != 3) return error(eSize);
    if (sub >= o.values.size()) return error(eIndexRange);
    Packet q = Packet::make(a, {cmd, code, idx});
    pushValue(q, o.type, o.values[sub]);
    out.push_back(q);
    return;
  }

  if (!o.writable && o.type != 0) return error(ePermission);
  if (o.type == 5) return handleBytesSet(p, &o, out);
  if (o.type == 0) {
    if (p.length != 3) return error(eSize);
    out.push_back(Packet::make(a, {cmd, replyOpt, idx}));
    return;
  }
  size_t sub = 0, vlen = p.length - 3;
  const uint8_t* v = p.data.data() + 3;
  if (o.subindexed) {
    if (p.length < 4) return error(eSize);
    sub = p.data[3];
    v++;
    vlen--;
  }
  uint32_t value;
  if (vlen == 1) value = v[0];
  else if (vlen == 2) value = uint32_t(v[0]) << 8 | v[1];
  else if (vlen == 4) value = be32(v);
  else return error(eSize);
  if (sub >= o.values.size()) return error(eIndexRange);
  bool handled = false;
  if (specialUeiSet(cmd, code, value, out, handled) || handled) return;
  o.values[sub] = value & widthMask(o.type);
  afterSet(cmd, idx, code);
  Packet q = Packet::make(a, {cmd, replyOpt, idx});
  pushValue(q, o.type, o.values[sub]);
  out.push_back(q);
}

// Sets with side effects beyond storing the value. Returns true (or sets `handled`) when the
// reply has been produced here.
bool Module::specialUeiSet(uint8_t cmd, uint8_t code, uint32_t value, Replies& out, bool& handled) {
  const uint8_t a = cfg_.address;
  const uint8_t replyOpt = uint8_t(code | 0xC0);
  auto error = [&](uint32_t e) {
    out.push_back(Packet::make(a, {cmd, replyOpt, 0x80, uint8_t(e)}));
    handled = true;
    return true;
  };
  if (cmd == cmdSTREAM) {
    if ((value >> 24) != cfg_.address) return error(eParam);
    if (code == 1) {
      streamKeys_.insert(value);
    } else {
      // A disable removes every registration it covers (0xFF elements are wildcards).
      for (auto it = streamKeys_.begin(); it != streamKeys_.end();) {
        bool covered = true;
        for (int sh = 0; sh < 24; sh += 8) {
          uint8_t d = uint8_t(value >> sh), k = uint8_t(*it >> sh);
          covered = covered && (d == 0xFF || d == k);
        }
        it = covered ? streamKeys_.erase(it) : std::next(it);
      }
    }
    updateStreams(nowMs());
    Packet q = Packet::make(a, {cmd, replyOpt, 0});
    q.push32(value);
    out.push_back(q);
    return true;
  }
  if (cmd == cmdSTORE) {
    std::pair<uint8_t, uint8_t> key{uint8_t(value >> 8), uint8_t(value & 0x1F)};
    if (!entities_.count(key)) return error(eInvalidEntity);
    if (code == 0) saved_[key] = entities_[key];
    else if (code == 1) entities_[key] = defaults_[key];
    else if (saved_.count(key)) entities_[key] = saved_[key];
    Packet q = Packet::make(a, {cmd, replyOpt, 0});
    q.push32(value);
    out.push_back(q);
    return true;
  }
  return false;
}

void Module::afterSet(uint8_t cmd, uint8_t idx, uint8_t code) {
  if (cmd != cmdSYSTEM || idx != 0) return;
  uint32_t v = entities_[{cmdSYSTEM, 0}][code].values[0];
  if (code == 3) {
    cfg_.heartbeatMs = v * 100;
    nextHeartbeat_ = v ? nowMs() + cfg_.heartbeatMs : 0;
  } else if (code == 20) {
    routeToMe_ = uint8_t(v);
    ++routeToMeSets_;
  }
}

void Module::handleBytesSet(const Packet& p, OptionValue* o, Replies& out) {
  const uint8_t a = cfg_.address;
  const uint8_t cmd = p.data[0], code = p.data[1] & 0x3F, idx = p.data[2] & 0x1F;
  const uint8_t replyOpt = uint8_t(code | 0xC0);
  auto error = [&](uint32_t e) {
    run_ = BytesRun();
    out.push_back(Packet::make(a, {cmd, replyOpt, uint8_t(idx | 0x80), uint8_t(e)}));
  };
  if (p.length < 4) return error(eSize);
  uint8_t sb = p.data[p.length - 1];
  uint8_t seq = sb & 0x7F;
  bool more = (sb & 0x80) != 0;
  if (!run_.active || run_.command != cmd || run_.code != code || run_.index != idx) {
    if (seq != 0) return error(ePacket);
    run_ = BytesRun();
    run_.active = true;
    run_.command = cmd;
    run_.code = code;
    run_.index = idx;
  } else if (seq != run_.seq) {
    return error(ePacket);
  }
  run_.bytes.insert(run_.bytes.end(), p.data.begin() + 3, p.data.begin() + (p.length - 1));
  if (run_.bytes.size() > kMaxRun) return error(eSize);
  run_.seq = uint8_t((seq + 1) & 0x7F);
  if (more) return;
  std::vector<uint8_t> bytes = std::move(run_.bytes);
  run_ = BytesRun();
  if (cmd == cmdUPGRADE && code == optDATA_UEI) {
    for (uint8_t b : bytes) sum_ += b;
    collected_.insert(collected_.end(), bytes.begin(), bytes.end());
    if (!loaderMode_) loaderImage_.insert(loaderImage_.end(), bytes.begin(), bytes.end());
  } else {
    o->bytes = std::move(bytes);
  }
  out.push_back(Packet::make(a, {cmd, replyOpt, idx}));
}

// ---------------------------------------------------------------------------------------------
// Information queries, store slots, factory data, I2C

uint32_t Module::ueiAnswer(uint8_t cmd, uint8_t code, uint8_t idx, uint8_t flags) {
  uint32_t err = 0;
  Entity* e = entity(cmd, idx & 0x1F, err);
  if (!e) return err;
  auto it = e->find(code & 0x3F);
  if (it == e->end()) return eInvalidOption;
  const OptionValue& o = it->second;
  if ((flags & 0x40) && !o.readable) return eMode;
  if ((flags & 0x80) && !o.writable && o.type != 0) return eMode;
  return eNone;
}

void Module::handleInfo(const Packet& p, Replies& out) {
  const uint8_t a = cfg_.address;
  const uint8_t* d = p.data.data();
  uint8_t q = p.length >= 2 ? d[1] : 0;
  auto countOf = [&](uint8_t cmd) {
    unsigned n = 0;
    if (cmd == cmdSLOT) return unsigned(stores_.size());
    for (const auto& [k, e] : entities_) n += k.first == cmd;
    return n;
  };
  if (q == 0xFF && p.length == 2) {
    Packet r = Packet::make(a, {cmdINFO, 0xFF});
    r.push32(entities_[{cmdSYSTEM, 0}][43].values[0]);
    out.push_back(r);
  } else if (q == 1 && p.length == 6) {
    out.push_back(Packet::make(a, {cmdINFO, 1, d[2], d[3], d[4], uint8_t(ueiAnswer(d[2], d[3], d[4], d[5]))}));
  } else if (q == 4 && p.length == 3) {
    out.push_back(Packet::make(a, {cmdINFO, 4, d[2], uint8_t(countOf(d[2]))}));
  } else if (q == 5 && p.length == 4) {
    out.push_back(Packet::make(a, {cmdINFO, 5, d[2], d[3], 0}));
  } else if (q == 6 && p.length == 4) {
    out.push_back(Packet::make(a, {cmdINFO, 6, d[2], d[3], 0}));
  } else {
    out.push_back(Packet::make(a, {cmdINFO, uint8_t(q | 0x80), eInvalidOption}));
  }
}

void Module::handleSlot(const Packet& p, Replies& out) {
  const uint8_t a = cfg_.address;
  const uint8_t* d = p.data.data();
  if (p.length < 3) {
    ++malformed_;
    return;
  }
  const uint8_t op = d[1];
  if (op >= 1 && op <= 4) {
    if (p.length < 4) {
      ++malformed_;
      return;
    }
    uint8_t st = d[2], sl = d[3];
    auto error = [&](uint8_t e) { out.push_back(Packet::make(a, {cmdSLOT, uint8_t(op | 0x80), st, sl, e})); };
    auto sit = stores_.find(st);
    if (sit == stores_.end() || sl >= sit->second.size()) return error(eNotFound);
    Slot& slot = sit->second[sl];
    if (op == 1 || op == 2) {
      uint16_t v = op == 1 ? slot.capacity : uint16_t(slot.data.size());
      out.push_back(Packet::make(a, {cmdSLOT, op, st, sl, uint8_t(v >> 8), uint8_t(v)}));
      return;
    }
    for (const auto& [h, hd] : handles_)
      if (hd.store == st && hd.slot == sl) return error(eBusy);
    uint8_t h = 0;
    while (h < 8 && handles_.count(h)) ++h;
    if (h == 8) return error(eBusy);
    handles_[h] = Handle{st, sl, op == 4, 0};
    if (op == 4) slot.data.clear();
    out.push_back(Packet::make(a, {cmdSLOT, op, st, sl, h}));
    return;
  }
  const uint8_t h = d[2];
  auto error = [&](uint8_t e) { out.push_back(Packet::make(a, {cmdSLOT, uint8_t(op | 0x80), h, e})); };
  auto hit = handles_.find(h);
  if (op < 6 || op > 8) return error(eInvalidOption);
  if (hit == handles_.end()) return error(eNotFound);
  Handle& hd = hit->second;
  Slot& slot = stores_[hd.store][hd.slot];
  if (op == 6) {
    if (hd.write) return error(eMode);
    Packet r = Packet::make(a, {cmdSLOT, 6, h});
    size_t take = std::min<size_t>(25, slot.data.size() - std::min(hd.pos, slot.data.size()));
    for (size_t i = 0; i < take; ++i) r.push(slot.data[hd.pos + i]);
    hd.pos += take;
    out.push_back(r);
  } else if (op == 7) {
    if (!hd.write) return error(eMode);
    size_t n = p.length - 3;
    if (slot.data.size() + n > slot.capacity) return error(eOverrun);
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
      slot.data.push_back(d[3 + i]);
      sum = uint8_t(sum + d[3 + i]);
    }
    out.push_back(Packet::make(a, {cmdSLOT, 7, h, sum}));
  } else {
    handles_.erase(hit);
    out.push_back(Packet::make(a, {cmdSLOT, 8, h, 0}));
  }
}

void Module::handleFactory(const Packet& p, Replies& out) {
  const uint8_t a = cfg_.address;
  const uint8_t* d = p.data.data();
  if (p.length < 2) {
    ++malformed_;
    return;
  }
  const uint8_t b = d[1];
  auto error = [&](uint8_t block, uint8_t e) {
    out.push_back(Packet::make(a, {cmdFACTORY, uint8_t(block | 0x80), e}));
  };
  if (b & 0x20) {
    // End of a transfer: the host names the byte count it saw.
    uint8_t block = factoryBlock_;
    if (p.length != 4 || factoryMode_ == 0) return error(block, eNotReady);
    size_t count = size_t(d[2]) << 8 | d[3];
    if (factoryMode_ == 2) {
      if (count != factoryBuf_.size()) return error(block, eSize);
      factory_[block] = factoryBuf_;
    } else if (count != factoryPos_) {
      return error(block, eSize);
    }
    factoryMode_ = 0;
    out.push_back(Packet::make(a, {cmdFACTORY, block}));
    return;
  }
  const uint8_t block = b & 0x0F;
  if (b & 0x10) {
    if ((b & 0x40) || factoryMode_ != 2 || factoryBlock_ != block) {
      factoryBuf_.clear();
      factoryMode_ = 2;
      factoryBlock_ = block;
    }
    if (factoryBuf_.size() + (p.length - 2) > kMaxFactory) {
      factoryMode_ = 0;
      return error(block, eOverrun);
    }
    factoryBuf_.insert(factoryBuf_.end(), d + 2, d + p.length);
    out.push_back(Packet::make(a, {cmdFACTORY, block}));
    return;
  }
  auto it = factory_.find(block);
  if (it == factory_.end()) return error(block, eNotFound);
  if ((b & 0x40) || factoryMode_ != 1 || factoryBlock_ != block) {
    factoryMode_ = 1;
    factoryBlock_ = block;
    factoryPos_ = 0;
  }
  Packet r = Packet::make(a, {cmdFACTORY, block});
  size_t take = std::min<size_t>(26, it->second.size() - factoryPos_);
  for (size_t i = 0; i < take; ++i) r.push(it->second[factoryPos_ + i]);
  factoryPos_ += take;
  out.push_back(r);
}

void Module::handleI2C(const Packet& p, Replies& out) {
  const uint8_t a = cfg_.address;
  const uint8_t* d = p.data.data();
  if (p.length < 4) {
    ++malformed_;
    return;
  }
  const uint8_t bus = d[1], addr = d[2];
  auto status = [&](uint8_t e) { return uint8_t(e ? (0x80 | e) : 0); };
  if (p.length == 4 && addr == 1) {
    uint8_t st = bus == 0 ? 0 : status(eIndexRange);
    if (bus == 0) pullup_ = d[3] != 0;
    out.push_back(Packet::make(a, {cmdI2C, bus, 1, d[3], st}));
    return;
  }
  if (p.length < 5) {
    ++malformed_;
    return;
  }
  const uint8_t dev = addr & 0xFE;
  const bool isRead = addr & 1;
  const uint8_t len = d[3];
  I2CDevice* found = nullptr;
  size_t fi = 0;
  for (size_t i = 0; i < i2c_.size(); ++i)
    if (i2c_[i].address == dev) found = &i2c_[i], fi = i;
  bool moduleThere = false;
  for (const auto& b : behind_) moduleThere = moduleThere || b->address() == dev;
  uint8_t st = 0;
  if (bus != 0) st = status(eIndexRange);
  else if (!found && !moduleThere) st = status(eNotFound);
  else if (len > 23) st = status(eSize);
  if (isRead) {
    Packet r = Packet::make(a, {cmdI2C, bus, addr, 0, st});
    if (st == 0) {
      r.data[3] = len;
      for (uint8_t i = 0; i < len; ++i) {
        uint8_t v = 0;
        if (found) {
          v = found->memory[i2cPointer_[fi]];
          i2cPointer_[fi] = uint8_t((i2cPointer_[fi] + 1) % found->memory.size());
        }
        r.push(v);
      }
    }
    out.push_back(r);
    return;
  }
  if (st == 0 && size_t(p.length - 5) != len) st = status(eSize);
  if (st == 0 && found && len > 0) {
    // A memory device: the first byte sets the register pointer, the rest are stored.
    i2cPointer_[fi] = uint8_t(d[5] % found->memory.size());
    for (uint8_t i = 1; i < len; ++i) {
      found->memory[i2cPointer_[fi]] = d[5 + i];
      i2cPointer_[fi] = uint8_t((i2cPointer_[fi] + 1) % found->memory.size());
    }
  }
  out.push_back(Packet::make(a, {cmdI2C, bus, addr, 0, st}));
}

// ---------------------------------------------------------------------------------------------
// Upgrade entity

void Module::handleUpgrade(const Packet& p, const Effects& fx, Replies& out) {
  const uint8_t a = cfg_.address;
  const uint8_t* d = p.data.data();
  const uint8_t op = d[1];
  auto status = [&](uint8_t s) { out.push_back(Packet::make(a, {cmdUPGRADE, opSTATUS, s})); };
  switch (op) {
    case opINIT: {
      collected_.clear();
      loaderImage_.clear();
      sum_ = 0;
      Packet r = Packet::make(a, {cmdUPGRADE, opINIT});
      r.push32(cfg_.upgrade.loadBase);
      out.push_back(r);
      return;
    }
    case opPREPARE: {
      if (fx.refuseStatus >= 0) {
        out.push_back(Packet::make(a, {cmdUPGRADE, opSTATUS, uint8_t(fx.refuseStatus), 0, 0}));
        return;
      }
      if (p.length != 7) {
        out.push_back(Packet::make(a, {cmdUPGRADE, opSTATUS, eShortCommand, 0, 0}));
        return;
      }
      writeAddress_ = be32(d + 3);
      collected_.clear();
      sum_ = 0;
      uint16_t bs = cfg_.upgrade.blockSize;
      out.push_back(Packet::make(a, {cmdUPGRADE, opSTATUS, 0, uint8_t(bs >> 8), uint8_t(bs)}));
      return;
    }
    case opDATA: {
      uint8_t n = uint8_t(p.length - 2);
      if (fx.wrongAck) {
        // The bytes count as lost: the host sends them again.
        out.push_back(Packet::make(a, {cmdUPGRADE, opDATA, uint8_t(n - 1)}));
        return;
      }
      for (uint8_t i = 0; i < n; ++i) sum_ += d[2 + i];
      collected_.insert(collected_.end(), d + 2, d + 2 + n);
      if (!loaderMode_) loaderImage_.insert(loaderImage_.end(), d + 2, d + 2 + n);
      if (collected_.size() > cfg_.upgrade.flashSize + kMaxRun) collected_.clear();
      out.push_back(Packet::make(a, {cmdUPGRADE, opDATA, n}));
      return;
    }
    case opSUM: {
      Packet r = Packet::make(a, {cmdUPGRADE, opSTATUS, 0});
      r.push32(fx.wrongSum ? sum_ + 1 : sum_);
      out.push_back(r);
      return;
    }
    case opWRITE: {
      if (fx.refuseStatus >= 0) return status(uint8_t(fx.refuseStatus));
      if (p.length != 4) return status(eShortCommand);
      size_t n = size_t(d[2]) << 8 | d[3];
      if (n != collected_.size()) return status(eSize);
      const UpgradeConfig& u = cfg_.upgrade;
      if (writeAddress_ < u.flashBase || uint64_t(writeAddress_ - u.flashBase) + n > u.flashSize)
        return status(eRange);
      size_t off = writeAddress_ - u.flashBase;
      if (flash_.size() < off + n) flash_.resize(off + n, 0xFF);
      std::copy(collected_.begin(), collected_.end(), flash_.begin() + long(off));
      writeAddress_ += uint32_t(n);
      collected_.clear();
      sum_ = 0;
      writes_.push_back(uint32_t(n));
      flashDirty_ = true;
      wroteSinceBoot_ = true;
      return status(0);
    }
    case opLOAD:
      loaderMode_ = true;
      ++loads_;
      loaderSize_ = loaderImage_.size();
      loaderSha_ = sha256Hex(loaderImage_.data(), loaderImage_.size());
      collected_.clear();
      sum_ = 0;
      out.push_back(Packet::make(a, {cmdUPGRADE, opLOAD, 0}));
      return;
    case opREBOOT:
      ++reboots_;
      flushFlash();
      if (wroteSinceBoot_) {
        if (cfg_.upgrade.hasPostVersion) {
          cfg_.version = cfg_.upgrade.postVersion;
          setSystem(7, cfg_.version);
        }
        if (cfg_.upgrade.hasPostBuild) {
          cfg_.build = cfg_.upgrade.postBuild;
          setSystem(43, cfg_.build);
        }
      }
      wroteSinceBoot_ = false;
      loaderMode_ = false;
      collected_.clear();
      sum_ = 0;
      goAway(cfg_.upgrade.rebootMs, false);
      return;
    default:
      return;
  }
}

void Module::flushFlash() {
  if (!flashDirty_) return;
  flashDirty_ = false;
  flashSha_ = sha256Hex(flash_.data(), flash_.size());
  // The image is replaced whole so a reader never sees half a file.
  std::string tmp = flashPath_ + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return;
  bool ok = std::fwrite(flash_.data(), 1, flash_.size(), f) == flash_.size();
  ok = std::fclose(f) == 0 && ok;
  if (ok) std::rename(tmp.c_str(), flashPath_.c_str());
  else std::remove(tmp.c_str());
}

// ---------------------------------------------------------------------------------------------
// Leaving and coming back, timers

void Module::goAway(uint32_t ms, bool graceful) {
  awayUntil_ = nowMs() + std::max<uint32_t>(ms, 1);
  run_ = BytesRun();
  handles_.clear();
  factoryMode_ = 0;
  streamKeys_.clear();
  std::fill(streamDue_.begin(), streamDue_.end(), 0);
  // The port closes before the links drop, so a host that sees its connection reset finds
  // the port already refusing. Dropping a link detaches it, so walk a copy.
  if (onPresenceChange) onPresenceChange(true);
  std::vector<Link*> links = links_;
  for (Link* l : links) l->drop(graceful);
  outbox_.clear();
}

void Module::comeBack() {
  awayUntil_ = 0;
  bootMs_ = nowMs();
  if (cfg_.heartbeatMs) nextHeartbeat_ = nowMs() + cfg_.heartbeatMs;
  if (onPresenceChange) onPresenceChange(false);
}

bool Module::streamActive(const StreamSource& s) const {
  for (uint32_t k : streamKeys_) {
    auto match = [](uint8_t want, uint8_t have) { return want == 0xFF || want == have; };
    if (match(uint8_t(k >> 16), s.command) && match(uint8_t(k >> 8), s.option) &&
        match(uint8_t(k), s.index))
      return true;
  }
  return false;
}

void Module::updateStreams(uint64_t now) {
  for (size_t i = 0; i < cfg_.streams.size(); ++i) {
    bool on = streamActive(cfg_.streams[i]);
    if (on && !streamDue_[i]) streamDue_[i] = now + cfg_.streams[i].periodMs;
    if (!on) streamDue_[i] = 0;
  }
}

void Module::sendSample(size_t i, uint64_t now) {
  const StreamSource& s = cfg_.streams[i];
  Packet q = Packet::make(cfg_.address, {s.command, uint8_t(s.option & 0x3F), uint8_t((s.index & 0x1F) | 0x40), s.kind});
  if (s.kind >= 5) q.push(s.subindex);
  uint64_t ts = nowUs() - startUs_;
  q.push32(uint32_t(ts >> 32));
  q.push32(uint32_t(ts));
  uint8_t width = (s.kind == 1 || s.kind == 5) ? 1 : (s.kind == 2 || s.kind == 6) ? 2 : 4;
  pushValue(q, width, streamValue_[i]);
  q.push(0);
  streamValue_[i] += s.step;
  unsolicited(q);
  ++samplesSent_;
  streamDue_[i] = now + s.periodMs;
}

uint64_t Module::nextDeadline() const {
  uint64_t t = UINT64_MAX;
  if (awayUntil_) return awayUntil_;
  if (nextHeartbeat_) t = std::min(t, nextHeartbeat_);
  for (uint64_t due : streamDue_)
    if (due) t = std::min(t, due);
  if (!outbox_.empty()) t = std::min(t, outbox_.front().due);
  for (const auto& b : behind_) t = std::min(t, b->nextDeadline());
  return t;
}

void Module::tick(uint64_t now) {
  for (auto& b : behind_) b->tick(now);
  if (awayUntil_) {
    if (now < awayUntil_) return;
    comeBack();
  }
  while (!outbox_.empty() && outbox_.front().due <= now) {
    Pending pd = std::move(outbox_.front());
    outbox_.pop_front();
    if (pd.raw) pd.link->sendRaw(pd.bytes);
    else pd.link->send(pd.packet);
  }
  if (nextHeartbeat_ && now >= nextHeartbeat_) {
    Packet hb = Packet::make(cfg_.address, {0, 0});
    for (Link* l : linksForUnsolicited())
      if (l->active()) {
        l->send(hb);
        ++heartbeatsSent_;
      }
    nextHeartbeat_ = now + cfg_.heartbeatMs;
  }
  for (size_t i = 0; i < streamDue_.size(); ++i)
    if (streamDue_[i] && now >= streamDue_[i]) sendSample(i, now);
}

// ---------------------------------------------------------------------------------------------
// State report

nlohmann::json Module::report() const {
  using nlohmann::json;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", cfg_.serial);
  json m;
  m["serial"] = serial;
  m["address"] = cfg_.address;
  json req = json::object();
  for (size_t i = 0; i < size_t(Req::count_); ++i) req[kReqNames[i]] = requests_[i];
  m["requests"] = req;
  m["sync_requests"] = requests_[size_t(Req::presence)];
  m["writes"] = writes_;
  json conn = json::object();
  for (const char* k : {"accepted", "dropped", "closed", "refused"}) {
    auto it = connections_.find(k);
    conn[k] = it == connections_.end() ? 0 : it->second;
  }
  m["connections"] = conn;
  m["heartbeats_sent"] = heartbeatsSent_;
  m["samples_sent"] = samplesSent_;
  m["ignored_packets"] = ignored_;
  m["malformed_packets"] = malformed_;
  m["unanswered_while_away"] = unansweredAway_;
  m["force_route"] = {{"last", forceRoute_}, {"count", forceRouteCount_}};
  m["route_to_me"] = {{"value", routeToMe_}, {"sets", routeToMeSets_}};
  m["mode"] = loaderMode_ ? "loader" : "firmware";
  m["loads"] = loads_;
  m["reboots"] = reboots_;
  m["loader"] = {{"size", loaderSize_}, {"sha256", loaderSha_}};
  char ver[16];
  std::snprintf(ver, sizeof ver, "%08X", cfg_.version);
  m["version"] = ver;
  m["build"] = cfg_.build;
  m["flash"] = {{"file", flash_.empty() ? json(nullptr) : json(flashPath_)},
                {"size", flash_.size()},
                {"sha256", sha256Hex(flash_.data(), flash_.size())}};
  json faults = json::array();
  for (const auto& f : faults_) faults.push_back({{"kind", f.cfg.kind}, {"fired", f.fired}});
  m["faults"] = faults;
  json slots = json::array();
  for (const auto& [store, sl] : stores_)
    for (size_t i = 0; i < sl.size(); ++i)
      slots.push_back({{"store", store}, {"slot", i}, {"data", hex(sl[i].data.data(), sl[i].data.size())}});
  m["slots"] = slots;
  json fac = json::object();
  for (const auto& [b, v] : factory_) fac[std::to_string(b)] = hex(v.data(), v.size());
  m["factory"] = fac;
  m["i2c_pullup"] = pullup_;
  json beh = json::array();
  for (const auto& b : behind_) beh.push_back(b->report());
  m["behind"] = beh;
  return m;
}

}  // namespace qwsim
