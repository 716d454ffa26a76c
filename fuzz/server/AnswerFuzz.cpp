// Every update-server answer parser on one arbitrary body (status 200), each on its own
// copy since parsing splits the body in place; a build list that parses is also sorted.
#include <cstdint>
#include <map>
#include <string>

#include "HTTPRequest.h"
#include "UpdateServerAnswer.h"
#include "UpdateServerRequest.h"

namespace {
HTTPResponse answer(const uint8_t* data, size_t size) {
  HTTPResponse r("http://127.0.0.1/cgi/u?op=fuzz&");
  r.set_status(200);
  r.process(reinterpret_cast<const char*>(data), size);
  return r;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string a, b;
  unsigned int serial = 0, build = 0;
  std::map<std::string, std::string> builds;
  { auto r = answer(data, size); UpdateServerAnswer::ping(r); }
  { auto r = answer(data, size); UpdateServerAnswer::QueryBuild(r, a, b); }
  { auto r = answer(data, size); UpdateServerAnswer::GetBuild(r, a); }
  { auto r = answer(data, size); UpdateServerAnswer::GetRecoveryInfo(r, &serial, &build); }
  { auto r = answer(data, size); UpdateServerAnswer::GetDeviceJWT(r, a); }
  {
    auto r = answer(data, size);
    if (UpdateServerAnswer::GetBuildList(r, builds)) {
      auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
      if (sorted.size() != builds.size()) __builtin_trap();
    }
  }
  return 0;
}
