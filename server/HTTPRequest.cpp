#include "HTTPRequest.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "Log.h"

namespace {

constexpr long kConnectSeconds = 30;
constexpr long kStallSeconds = 60;

// Test overrides of the two bounds; 0 means the default. Read by whichever thread runs GET.
std::atomic<long> sConnectSeconds{0};
std::atomic<long> sStallSeconds{0};

// Adds the TLS library's own default trust locations to the store libcurl has loaded from
// the system bundle. OpenSSL resolves these through SSL_CERT_FILE and SSL_CERT_DIR, which
// is how a test trusts its own CA without the tool reading any variable itself. The
// function is looked up at run time because libcurl, not this library, links OpenSSL; with
// another TLS back end it is absent and the bundle alone is used.
CURLcode sAddDefaultTrust(CURL*, void* sslCtx, void*) {
  using SetPaths = int (*)(void*);
  static const auto setPaths =
      reinterpret_cast<SetPaths>(dlsym(RTLD_DEFAULT, "SSL_CTX_set_default_verify_paths"));
  if (setPaths && sslCtx) setPaths(sslCtx);
  return CURLE_OK;
}

size_t sWrite(char* bytes, size_t size, size_t count, void* response) {
  return _rcv_data(bytes, size, count, response);
}

struct CurlCleanup {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};

}  // namespace

HTTPResponse::HTTPResponse(std::string req) : request(std::move(req)) {}

unsigned long _rcv_data(void* bytes, unsigned long size, unsigned long count, void* response) {
  unsigned long total = size * count;
  // The chunk is not NUL-terminated: show at most its first 100 characters.
  char head[101];
  size_t shown = std::min<unsigned long>(total, 100);
  std::memcpy(head, bytes, shown);
  head[shown] = '\0';
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n",
           static_cast<int>(size), static_cast<int>(count),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)), head);
  static_cast<HTTPResponse*>(response)->process(static_cast<const char*>(bytes), total);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
  return total;
}

void HTTPRequest::SetTimeoutsForTesting(long connectSeconds, long stallSeconds) {
  sConnectSeconds = connectSeconds > 0 ? connectSeconds : 0;
  sStallSeconds = stallSeconds > 0 ? stallSeconds : 0;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& params) {
  std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());

  std::string request = url ? url : "";
  if (!params.empty()) {
    request += '?';
    for (const auto& [name, value] : params) {
      request += name;
      request += '=';
      request += value;
      request += '&';
    }
  }
  HTTPResponse response(request);

  if (!curl) throw std::runtime_error("Could not create curl instance");
  CURL* h = curl.get();

  long connectSeconds = sConnectSeconds.load();
  long stallSeconds = sStallSeconds.load();
  if (connectSeconds == 0) connectSeconds = kConnectSeconds;
  if (stallSeconds == 0) stallSeconds = kStallSeconds;

  CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &sWrite);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_URL, request.c_str());
  // Both the host name and the certificate chain are checked: the answer decides which
  // firmware goes into a module.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
  if (rc == CURLE_OK) {
    CURLcode ctxRc = curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &sAddDefaultTrust);
    if (ctxRc != CURLE_OK && ctxRc != CURLE_NOT_BUILT_IN && ctxRc != CURLE_UNKNOWN_OPTION)
      rc = ctxRc;
  }
  // The tool runs unattended: a server that never accepts, or accepts and then sends
  // nothing, must not hold it for ever. A transfer below one byte per second for the whole
  // stall period is abandoned; a large download that keeps moving is never cut.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, connectSeconds);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, stallSeconds);
  // No signals: the download runs on a worker thread.
  if (rc == CURLE_OK) rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);

  if (rc == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", request.c_str());
    rc = curl_easy_perform(h);
  }
  long status = 0;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));

  response.set_status(status);
  return response;
}
