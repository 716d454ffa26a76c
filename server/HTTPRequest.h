#pragma once
// One-shot HTTP/HTTPS GET over libcurl's easy interface, and the response it returns.

#include <map>
#include <string>

class HTTPResponse {
 public:
  explicit HTTPResponse(std::string request);

  const std::string& get_request() const { return request; }
  long get_status() const { return status; }
  // The body's characters, NUL-terminated; callers may split it in place.
  char* get_response() { return &response[0]; }
  // The body's length in bytes (it may hold NUL bytes that end get_response() early).
  unsigned long get_length() const { return response.size(); }
  void set_status(long s) { status = s; }
  void process(const char* bytes, unsigned long count) { response.append(bytes, count); }

 private:
  std::string request;  // the full URL as sent, query string included
  long status = 0;      // HTTP status, 0 until the answer is read
  std::string response; // the body, in arrival order
};

// libcurl's write callback: appends size * count bytes to the HTTPResponse and accepts them.
unsigned long _rcv_data(void* bytes, unsigned long size, unsigned long count, void* response);

class HTTPRequest {
 public:
  // Sends URL, then (when params is not empty) "?" and "name=value&" for every parameter in
  // name order, with nothing escaped. The peer's certificate and host name are verified.
  // A connection must be made within 30 s and a transfer that moves no byte for 60 s is
  // abandoned. Any transport failure throws std::runtime_error with libcurl's text; HTTP
  // error statuses come back as ordinary responses.
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& params);

  // Internal knob for tests, not used by the product: replaces the connect time-out and the
  // no-progress bound (in seconds; values below 1 restore the defaults of 30 and 60), so a
  // test can show a stalled server being abandoned without waiting a minute.
  static void SetTimeoutsForTesting(long connectSeconds, long stallSeconds);
};
