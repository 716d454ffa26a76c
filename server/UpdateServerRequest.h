#pragma once
// The update server's queries: one GET each on the server URL, whose answer is a text body
// of lines, the first beginning with "ok". Every query returns true on success; failures
// are logged under DEBUG_ServerComm and leave the outputs as documented per operation.

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
 public:
  // Used when an operation is given a null URL.
  static constexpr const char* kDefaultURL = "http://update.vantorel.com/cgi/u";

  // op=hi, rv=2: the server is there and answers "ok".
  static bool ping(const char* url);
  // op=qu: the current build number (line 2) and its firmware field (line 3), each
  // assigned only when its line is present.
  static bool QueryBuild(unsigned int serial, std::string& build, std::string& firmware,
                         const char* url);
  // op=bird: the build's BIRD file as Base64 text. text is cleared after an "ok" answer.
  static bool GetBuild(unsigned int serial, const char* fw, const char* bld, std::string& text,
                       const char* url, bool noCal);
  // op=builds: build number -> version text. builds is cleared before the request.
  static bool GetBuildList(unsigned int serial, std::map<std::string, std::string>& builds,
                           const char* url);
  // op=fix: the serial number (hex, line 2) and build (line 3) a chip fingerprint of four
  // words belongs to, each stored only when its line is present.
  static bool GetRecoveryInfo(unsigned int* fingerprint, unsigned int* serial,
                              unsigned int* build, const char* url);
  // op=ent_jwt: the module's feature token, header.payload.signature.
  static bool GetDeviceJWT(unsigned int serial, std::string& jwt, const char* url);

  // (build, version) pairs, newest version first; components compare on their low 8 bits.
  // Entries whose version is not three numbers follow all others, in build-key order.
  static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
      const std::map<std::string, std::string>& builds);
  // The three "."-separated parts of a version text, or an empty vector.
  static std::vector<std::string> SplitQuarkwireVersion(std::string version);
};
