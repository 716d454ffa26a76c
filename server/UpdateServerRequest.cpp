#include "UpdateServerRequest.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>

#include "HTTPRequest.h"
#include "Log.h"
#include "UpdateServerAnswer.h"
#include "aVersion.h"

namespace {

// Performs the GET, logging a transport failure under the operation's name.
std::optional<HTTPResponse> sGet(const char* name, const char* url,
                                 std::map<std::string, std::string>& params) {
  try {
    return HTTPRequest::GET(url ? url : UpdateServerRequest::kDefaultURL, params);
  } catch (const std::exception& e) {
    Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
    return std::nullopt;
  }
}

std::string sSerialText(unsigned int serial) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", serial);
  return buf;
}

// Checks the status and the "ok" line; on success leaves the strtok_r state positioned
// after the first line of the body, which is split in place, and points first at it.
bool sAccept(const char* name, HTTPResponse& r, char** save, char** first = nullptr) {
  if (r.get_status() != 200) {
    if (std::strcmp(name, "ping") == 0)
      Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(r.get_status()),
               r.get_response());
    else
      Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name, static_cast<int>(r.get_status()),
               r.get_response());
    return false;
  }
  char* line = strtok_r(r.get_response(), "\n", save);
  if (first) *first = line;
  if (!line || std::strncmp(line, "ok", 2) != 0) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
             r.get_request().c_str());
    return false;
  }
  return true;
}

}  // namespace

// ---- answers -------------------------------------------------------------------------

namespace UpdateServerAnswer {

bool ping(HTTPResponse& r) {
  char* save = nullptr;
  return sAccept("ping", r, &save);
}

bool QueryBuild(HTTPResponse& r, std::string& build, std::string& firmware) {
  char* save = nullptr;
  if (!sAccept("QueryBuild", r, &save)) return false;
  if (char* line = strtok_r(nullptr, "\n", &save)) build = line;
  if (char* line = strtok_r(nullptr, "\r\n", &save)) firmware = line;
  return true;
}

bool GetBuild(HTTPResponse& r, std::string& text) {
  char* save = nullptr;
  if (!sAccept("GetBuild", r, &save)) return false;
  text.clear();
  if (char* line = strtok_r(nullptr, "\n", &save)) text = line;
  return true;
}

bool GetBuildList(HTTPResponse& r, std::map<std::string, std::string>& builds) {
  char* save = nullptr;
  if (!sAccept("GetBuildList", r, &save)) return false;
  while (char* line = strtok_r(nullptr, "\n", &save)) {
    if (std::strlen(line) < 3) continue;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line);
    char* fieldSave = nullptr;
    char* build = strtok_r(line, ";\r\n", &fieldSave);
    if (!build) continue;
    char* version = strtok_r(nullptr, ";\r\n", &fieldSave);
    if (!version) version = const_cast<char*>("");
    builds.emplace(build, version);  // a repeated build keeps its first version
    Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build, version);
  }
  return true;
}

bool GetRecoveryInfo(HTTPResponse& r, unsigned int* serial, unsigned int* build) {
  char *save = nullptr, *first = nullptr;
  if (!sAccept("GetRecoveryInfo", r, &save, &first)) return false;
  char* second = strtok_r(nullptr, "\n", &save);
  char* third = strtok_r(nullptr, "\n", &save);
  if (second && serial) *serial = static_cast<unsigned int>(std::strtoul(second, nullptr, 16));
  if (third && build) *build = static_cast<unsigned int>(std::strtoul(third, nullptr, 0));
  Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", first,
           second ? second : "", third ? third : "");
  return true;
}

bool GetDeviceJWT(HTTPResponse& r, std::string& jwt) {
  char* save = nullptr;
  if (!sAccept("GetDeviceJWT", r, &save)) return false;
  char* line = strtok_r(nullptr, "\n", &save);
  if (!line || std::strlen(line) <= 2) return false;
  Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line);
  char* partSave = nullptr;
  char* header = strtok_r(line, ".", &partSave);
  char* payload = header ? strtok_r(nullptr, ".", &partSave) : nullptr;
  char* signature = payload ? strtok_r(nullptr, "\r\n", &partSave) : nullptr;
  if (!signature || std::strlen(header) < 2 || std::strlen(payload) < 2 ||
      std::strlen(signature) < 2)
    return false;
  jwt = std::string(header) + "." + payload + "." + signature;
  return true;
}

}  // namespace UpdateServerAnswer

// ---- queries -------------------------------------------------------------------------

bool UpdateServerRequest::ping(const char* url) {
  std::map<std::string, std::string> params{{"op", "hi"}, {"rv", "2"}};
  auto r = sGet("ping", url, params);
  return r && UpdateServerAnswer::ping(*r);
}

bool UpdateServerRequest::QueryBuild(unsigned int serial, std::string& build,
                                     std::string& firmware, const char* url) {
  std::map<std::string, std::string> params{{"op", "qu"}, {"sn", sSerialText(serial)}};
  auto r = sGet("QueryBuild", url, params);
  return r && UpdateServerAnswer::QueryBuild(*r, build, firmware);
}

bool UpdateServerRequest::GetBuild(unsigned int serial, const char* fw, const char* bld,
                                   std::string& text, const char* url, bool noCal) {
  std::map<std::string, std::string> params{{"bld", bld ? bld : ""},
                                            {"fw", fw ? fw : ""},
                                            {"no_cal", noCal ? "true" : "false"},
                                            {"op", "bird"},
                                            {"sn", sSerialText(serial)}};
  auto r = sGet("GetBuild", url, params);
  return r && UpdateServerAnswer::GetBuild(*r, text);
}

bool UpdateServerRequest::GetBuildList(unsigned int serial,
                                       std::map<std::string, std::string>& builds,
                                       const char* url) {
  builds.clear();
  std::map<std::string, std::string> params{{"op", "builds"}, {"sn", sSerialText(serial)}};
  auto r = sGet("GetBuildList", url, params);
  return r && UpdateServerAnswer::GetBuildList(*r, builds);
}

bool UpdateServerRequest::GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial,
                                          unsigned int* build, const char* url) {
  if (!fingerprint) return false;
  char fp[64];
  std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
                fingerprint[2], fingerprint[3]);
  std::map<std::string, std::string> params{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
  auto r = sGet("GetRecoveryInfo", url, params);
  return r && UpdateServerAnswer::GetRecoveryInfo(*r, serial, build);
}

bool UpdateServerRequest::GetDeviceJWT(unsigned int serial, std::string& jwt, const char* url) {
  std::map<std::string, std::string> params{
      {"json", "false"}, {"op", "ent_jwt"}, {"sn", sSerialText(serial)}};
  auto r = sGet("GetDeviceJWT", url, params);
  return r && UpdateServerAnswer::GetDeviceJWT(*r, jwt);
}

// ---- versions ------------------------------------------------------------------------

std::vector<std::string> UpdateServerRequest::SplitQuarkwireVersion(std::string version) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? dot : dot - start));
    if (dot == std::string::npos) break;
    if (parts.size() > 3) return {};
    start = dot + 1;
  }
  if (parts.size() != 3) return {};
  return parts;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
  // Each version is converted once. One that is not three decimal numbers gets no key and
  // is placed after every valid one, in key order, which keeps the ordering strict and the
  // result the same whatever order the sort visits the entries in.
  struct Entry {
    std::pair<std::string, std::string> pair;
    bool valid = false;
    uint8_t v[3] = {0, 0, 0};
  };
  std::vector<Entry> entries;
  entries.reserve(builds.size());
  for (const auto& kv : builds) {
    Entry e;
    e.pair = kv;
    auto parts = SplitQuarkwireVersion(kv.second);
    if (parts.size() == 3) {
      try {
        for (int i = 0; i < 3; ++i) e.v[i] = static_cast<uint8_t>(std::stoi(parts[i]));
        e.valid = true;
      } catch (const std::exception& ex) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 ex.what());
      }
    }
    entries.push_back(std::move(e));
  }
  // Newest first; equal versions and invalid ones keep the map's key order.
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& l, const Entry& r) {
    if (l.valid != r.valid) return l.valid;
    if (!l.valid) return false;
    return !aVersion_IsAtLeastCompare(r.v[0], r.v[1], r.v[2], l.v[0], l.v[1], l.v[2]);
  });
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(entries.size());
  for (auto& e : entries) out.push_back(std::move(e.pair));
  return out;
}
