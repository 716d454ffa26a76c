#include "Config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "Wire.h"

namespace qwsim {

using nlohmann::json;

const char* kUsage =
    "usage: qwsim [--config FILE] [--serial HEX] [--model N] [--address N]\n"
    "             [--version X.Y.Z] [--build N] [--name TEXT] [--tcp PORT] [--pty] [--pty-cobs]\n"
    "             [--usb]\n"
    "             [--heartbeat MS] [--flash FILE] [--bind ADDR] [--discovery ADDR]\n"
    "             [--report FILE] [--max-seconds N] [-- COMMAND [ARGS...]]\n"
    "Plays Quarkwire modules over TCP, ptys and UDP discovery. Prints one JSON ready line on\n"
    "stdout once every transport is up; writes the state report on SIGTERM, SIGINT or at the\n"
    "end of --max-seconds. With a COMMAND it runs it as a child (with USB modules, under the\n"
    "emulated bus) and ends with the command, exiting with its status.\n";

uint32_t packVersion(unsigned major, unsigned minor, unsigned patch) {
  major &= 0xFF;
  minor &= 0xFF;
  patch &= 0xFF;
  if (major > 2 || (major == 2 && minor > 14)) return 0x2F000000u + major * 65536 + minor * 256 + patch;
  return (major << 28) + ((minor % 16) << 24) + patch;
}

bool parseVersion(const std::string& text, uint32_t& packed) {
  unsigned a, b, c;
  char tail;
  if (std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &tail) != 3) return false;
  if (a > 255 || b > 255 || c > 255) return false;
  packed = packVersion(a, b, c);
  return true;
}

namespace {

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

// Numbers may be JSON numbers or strings ("0x1F", "31").
uint64_t num(const json& j, const char* what, uint64_t max) {
  uint64_t v = 0;
  if (j.is_number_unsigned() || (j.is_number_integer() && j.get<int64_t>() >= 0)) {
    v = j.get<uint64_t>();
  } else if (j.is_string()) {
    std::string s = j.get<std::string>();
    errno = 0;
    char* end = nullptr;
    v = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || *end || errno) fail(std::string("bad number for ") + what + ": " + s);
  } else {
    fail(std::string("expected a number for ") + what);
  }
  if (v > max) fail(std::string("value out of range for ") + what);
  return v;
}

uint32_t serialOf(const json& j) {
  if (j.is_string()) {
    std::string s = j.get<std::string>();
    if (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0) s = s.substr(2);
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 16);
    if (s.empty() || s.size() > 8 || *end) fail("bad serial number: " + j.get<std::string>());
    return uint32_t(v);
  }
  return uint32_t(num(j, "serial", 0xFFFFFFFFu));
}

std::vector<uint8_t> bytesOf(const json& j, const char* what) {
  std::vector<uint8_t> out;
  if (j.is_string()) {
    if (!unhex(j.get<std::string>(), out)) fail(std::string("bad hex for ") + what);
  } else if (j.is_array()) {
    for (const auto& e : j) out.push_back(uint8_t(num(e, what, 255)));
  } else if (j.is_object() && j.contains("text")) {
    std::string t = j["text"].get<std::string>();
    out.assign(t.begin(), t.end());
  } else {
    fail(std::string("expected hex text, an array or {\"text\": ...} for ") + what);
  }
  return out;
}

uint8_t typeOf(const std::string& t) {
  if (t == "call") return 0;
  if (t == "byte") return 1;
  if (t == "short") return 2;
  if (t == "int") return 4;
  if (t == "bytes") return 5;
  fail("unknown option type: " + t);
}

OptionValue optionOf(const json& j) {
  OptionValue o;
  o.type = typeOf(j.value("type", std::string("int")));
  o.writable = j.value("writable", false);
  o.readable = o.type != 0 && j.value("readable", true);
  if (o.type == 5) {
    if (j.contains("value")) o.bytes = bytesOf(j["value"], "option value");
  } else if (j.contains("value") && j["value"].is_array()) {
    o.subindexed = true;
    o.values.clear();
    for (const auto& e : j["value"]) o.values.push_back(uint32_t(num(e, "option value", 0xFFFFFFFFu)));
    if (o.values.empty()) fail("a subindexed option needs at least one value");
  } else if (j.contains("value")) {
    o.values = {uint32_t(num(j["value"], "option value", 0xFFFFFFFFu))};
  }
  return o;
}

void versionOf(const json& j, uint32_t& packed) {
  if (j.is_string()) {
    if (!parseVersion(j.get<std::string>(), packed)) fail("bad version: " + j.get<std::string>());
  } else {
    packed = uint32_t(num(j, "version", 0xFFFFFFFFu));
  }
}

const char* kFaultKinds[] = {"no_reply",     "wrong_data_ack", "wrong_sum", "refuse_prepare",
                             "refuse_write", "ignore_sync",    "drop_link", "garbage",
                             "delay",        "refuse_connections"};

ModuleConfig moduleOf(const json& j, bool top) {
  ModuleConfig m;
  m.version = packVersion(2, 15, 0);
  if (j.contains("serial")) m.serial = serialOf(j["serial"]);
  m.model = uint8_t(num(j.value("model", json(19)), "model", 255));
  m.address = uint8_t(num(j.value("address", json(2)), "address", 254));
  if (m.address == 0 || (m.address & 1)) fail("a module address is even and not zero");
  if (j.contains("version")) versionOf(j["version"], m.version);
  m.build = uint32_t(num(j.value("build", json(1)), "build", 0xFFFFFFFFu));
  m.name = j.value("name", m.name);
  m.features = uint32_t(num(j.value("features", json(0)), "features", 0xFFFFFFFFu));
  m.heartbeatMs = uint32_t(num(j.value("heartbeat_ms", json(0)), "heartbeat_ms", 3600000));
  if (top) {
    if (j.contains("tcp") && !j["tcp"].is_null()) m.tcpPort = int(num(j["tcp"], "tcp", 65535));
    m.pty = j.value("pty", false);
    m.ptyCobs = j.value("pty_cobs", false);
    m.usb = j.value("usb", false);
  }
  if (j.contains("system"))
    for (auto& [k, v] : j["system"].items())
      m.system[uint8_t(num(json(k), "system option", 63))] = uint32_t(num(v, "system value", 0xFFFFFFFFu));
  if (j.contains("entities")) {
    for (const auto& e : j["entities"]) {
      EntityConfig ec;
      ec.command = uint8_t(num(e.at("command"), "entity command", 255));
      ec.index = uint8_t(num(e.value("index", json(0)), "entity index", 31));
      if (e.contains("options"))
        for (auto& [k, v] : e["options"].items()) ec.options[uint8_t(num(json(k), "option", 63))] = optionOf(v);
      m.entities.push_back(std::move(ec));
    }
  }
  if (j.contains("stores")) {
    for (const auto& s : j["stores"]) {
      uint8_t store = uint8_t(num(s.value("store", json(0)), "store", 255));
      for (const auto& sl : s.at("slots")) {
        SlotConfig sc;
        sc.capacity = uint16_t(num(sl.value("capacity", json(256)), "capacity", 65535));
        if (sl.contains("data")) sc.data = bytesOf(sl["data"], "slot data");
        if (sc.data.size() > sc.capacity) fail("slot data larger than its capacity");
        m.stores[store].push_back(std::move(sc));
      }
    }
  }
  if (j.contains("factory"))
    for (auto& [k, v] : j["factory"].items())
      m.factory[uint8_t(num(json(k), "factory block", 15))] = bytesOf(v, "factory data");
  if (j.contains("streams")) {
    for (const auto& s : j["streams"]) {
      StreamSource ss;
      ss.command = uint8_t(num(s.value("command", json(3)), "stream command", 255));
      ss.option = uint8_t(num(s.at("option"), "stream option", 63));
      ss.index = uint8_t(num(s.value("index", json(0)), "stream index", 31));
      ss.kind = uint8_t(num(s.value("kind", json(3)), "stream kind", 7));
      if (ss.kind == 0 || ss.kind == 4) fail("stream kind is 1, 2, 3, 5, 6 or 7");
      ss.subindex = uint8_t(num(s.value("subindex", json(0)), "stream subindex", 255));
      ss.value = uint32_t(num(s.value("value", json(0)), "stream value", 0xFFFFFFFFu));
      ss.step = uint32_t(num(s.value("step", json(0)), "stream step", 0xFFFFFFFFu));
      ss.periodMs = uint32_t(num(s.value("period_ms", json(100)), "period_ms", 3600000));
      if (ss.periodMs == 0) fail("period_ms must be at least 1");
      m.streams.push_back(ss);
    }
  }
  if (j.contains("i2c")) {
    for (const auto& d : j["i2c"]) {
      I2CDevice dev;
      dev.address = uint8_t(num(d.at("address"), "i2c address", 254)) & 0xFE;
      size_t size = size_t(num(d.value("size", json(256)), "i2c size", 256));
      if (d.contains("data")) dev.memory = bytesOf(d["data"], "i2c data");
      if (dev.memory.size() < size) dev.memory.resize(size, 0xFF);
      m.i2c.push_back(std::move(dev));
    }
  }
  if (j.contains("behind"))
    for (const auto& b : j["behind"]) m.behind.push_back(moduleOf(b, false));
  if (j.contains("upgrade")) {
    const json& u = j["upgrade"];
    UpgradeConfig& uc = m.upgrade;
    uc.loadBase = uint32_t(num(u.value("load_base", json(uc.loadBase)), "load_base", 0xFFFFFFFFu));
    uc.blockSize = uint16_t(num(u.value("block_size", json(uc.blockSize)), "block_size", 65535));
    uc.flashBase = uint32_t(num(u.value("flash_base", json(uc.flashBase)), "flash_base", 0xFFFFFFFFu));
    uc.flashSize = uint32_t(num(u.value("flash_size", json(uc.flashSize)), "flash_size", 256u << 20));
    uc.flashFile = u.value("flash_file", uc.flashFile);
    uc.rebootMs = uint32_t(num(u.value("reboot_ms", json(uc.rebootMs)), "reboot_ms", 600000));
    uc.loadGapMs = uint32_t(num(u.value("load_gap_ms", json(uc.loadGapMs)), "load_gap_ms", 600000));
    uc.uei = u.value("uei_data", false);
    if (u.contains("post_version")) {
      versionOf(u["post_version"], uc.postVersion);
      uc.hasPostVersion = true;
    }
    if (u.contains("post_build")) {
      uc.postBuild = uint32_t(num(u["post_build"], "post_build", 0xFFFFFFFFu));
      uc.hasPostBuild = true;
    }
  }
  if (j.contains("faults")) {
    for (const auto& f : j["faults"]) {
      FaultConfig fc;
      fc.kind = f.at("kind").get<std::string>();
      bool known = false;
      for (const char* k : kFaultKinds) known = known || fc.kind == k;
      if (!known) fail("unknown fault kind: " + fc.kind);
      fc.request = f.value("request", std::string());
      fc.nth = uint32_t(num(f.value("nth", json(1)), "nth", 0xFFFFFFFFu));
      if (fc.nth == 0) fail("nth counts from 1");
      fc.count = uint32_t(num(f.value("count", json(1)), "count", 0xFFFFFFFFu));
      fc.ms = uint32_t(num(f.value("ms", json(0)), "ms", 600000));
      fc.bytes = uint32_t(num(f.value("bytes", json(0)), "bytes", 0xFFFFFFFFu));
      if (f.contains("garbage")) fc.garbage = bytesOf(f["garbage"], "garbage");
      fc.status = uint8_t(num(f.value("status", json(1)), "status", 255));
      if (fc.kind == "no_reply" && fc.request.empty()) fail("no_reply needs a request kind");
      m.faults.push_back(std::move(fc));
    }
  }
  return m;
}

}  // namespace

bool loadConfigFile(const std::string& path, Config& cfg, std::string& error) {
  try {
    std::ifstream in(path);
    if (!in) {
      error = "cannot open " + path;
      return false;
    }
    json j = json::parse(in);
    if (j.contains("bind")) cfg.bind = j["bind"].get<std::string>();
    if (j.contains("discovery")) cfg.discovery = j["discovery"].get<std::string>();
    cfg.modules.clear();
    if (!j.contains("modules") || !j["modules"].is_array() || j["modules"].empty())
      fail("the configuration needs a non-empty \"modules\" list");
    for (const auto& m : j["modules"]) cfg.modules.push_back(moduleOf(m, true));
    return true;
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
    return false;
  }
}

bool parseCommandLine(int argc, char** argv, Config& cfg, std::string& error) {
  // The configuration file is read first; flags then adjust the first module.
  int dashes = argc;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--") == 0) {
      dashes = i;
      break;
    }
  for (int i = dashes + 1; i < argc; ++i) cfg.command.push_back(argv[i]);
  argc = dashes;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--config") == 0 && !loadConfigFile(argv[i + 1], cfg, error)) return false;
  bool fromFile = !cfg.modules.empty();
  if (!fromFile) cfg.modules.push_back(moduleOf(json::object(), true));
  ModuleConfig& m = cfg.modules.front();
  bool transportGiven = false;
  try {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      auto next = [&]() -> std::string {
        if (i + 1 >= argc) fail(a + " needs a value");
        return argv[++i];
      };
      if (a == "--config") {
        next();
      } else if (a == "--serial") {
        m.serial = serialOf(json(next()));
      } else if (a == "--model") {
        m.model = uint8_t(num(json(next()), "--model", 255));
      } else if (a == "--address") {
        m.address = uint8_t(num(json(next()), "--address", 254));
        if (m.address == 0 || (m.address & 1)) fail("a module address is even and not zero");
      } else if (a == "--version") {
        if (!parseVersion(next(), m.version)) fail("--version wants X.Y.Z");
      } else if (a == "--build") {
        m.build = uint32_t(num(json(next()), "--build", 0xFFFFFFFFu));
      } else if (a == "--name") {
        m.name = next();
      } else if (a == "--tcp") {
        m.tcpPort = int(num(json(next()), "--tcp", 65535));
        transportGiven = true;
      } else if (a == "--pty") {
        m.pty = transportGiven = true;
      } else if (a == "--usb") {
        m.usb = transportGiven = true;
      } else if (a == "--pty-cobs") {
        m.ptyCobs = transportGiven = true;
      } else if (a == "--heartbeat") {
        m.heartbeatMs = uint32_t(num(json(next()), "--heartbeat", 3600000));
      } else if (a == "--flash") {
        m.upgrade.flashFile = next();
      } else if (a == "--bind") {
        cfg.bind = next();
      } else if (a == "--discovery") {
        cfg.discovery = next();
      } else if (a == "--report") {
        cfg.report = next();
      } else if (a == "--max-seconds") {
        std::string v = next();
        char* end = nullptr;
        cfg.maxSeconds = std::strtod(v.c_str(), &end);
        if (v.empty() || *end || cfg.maxSeconds < 0) fail("--max-seconds wants a number");
      } else {
        fail("unknown argument: " + a);
      }
    }
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  if (!fromFile && !transportGiven) m.tcpPort = 0;
  return true;
}

}  // namespace qwsim
