#pragma once
// Answer checking and parsing of the update server's queries, apart from the transport, so
// a canned HTTPResponse can be fed to them (tests, fuzz targets). Each takes the response
// of its query, logs as the query does and returns the query's result.

#include <map>
#include <string>

#include "HTTPRequest.h"

namespace UpdateServerAnswer {

bool ping(HTTPResponse& r);
bool QueryBuild(HTTPResponse& r, std::string& build, std::string& firmware);
bool GetBuild(HTTPResponse& r, std::string& text);
bool GetBuildList(HTTPResponse& r, std::map<std::string, std::string>& builds);
bool GetRecoveryInfo(HTTPResponse& r, unsigned int* serial, unsigned int* build);
bool GetDeviceJWT(HTTPResponse& r, std::string& jwt);

}  // namespace UpdateServerAnswer
