#pragma once
// Runs tests/fixtures/update_server.py for one test: a private data directory, a request log,
// the ready line read with a deadline, and a bounded stop (SIGTERM, then SIGKILL).
//
//   UpdateServerProcess srv;                       // makes the data directory
//   srv.write("0000ABCD/current", "120\nFW\n");    // files relative to it
//   srv.start({"--tls", "--fault", "qu:500:1"});   // extra fixture arguments
//   ... srv.url() ... srv.requests() ...
//
// The interpreter is QW_PYTHON3 when the test defines it, else python3 on the PATH.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef QW_PYTHON3
#define QW_PYTHON3 "python3"
#endif

class UpdateServerProcess {
 public:
  UpdateServerProcess() {
    char tmpl[] = "/tmp/qw-update-server-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    ::mkdir((dir_ + "/data").c_str(), 0755);
  }
  ~UpdateServerProcess() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  UpdateServerProcess(const UpdateServerProcess&) = delete;
  UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

  const std::string& dir() const { return dir_; }
  std::string dataDir() const { return dir_ + "/data"; }
  std::string logPath() const { return dir_ + "/requests.log"; }
  std::string certDir() const { return dir_ + "/certs"; }

  // Writes a file under the data directory, creating one level of folder.
  void write(const std::string& rel, const std::string& content) const {
    auto slash = rel.find('/');
    if (slash != std::string::npos) ::mkdir((dataDir() + "/" + rel.substr(0, slash)).c_str(), 0755);
    std::ofstream(dataDir() + "/" + rel, std::ios::binary) << content;
  }

  // Replaces the fault rules the fixture re-reads on every request ("OP:MODE[:COUNT]" per
  // line); the file is swapped whole so a request never sees half of it.
  void setFaults(const std::string& rules) const {
    std::string tmp = dataDir() + "/faults.tmp";
    std::ofstream(tmp) << rules;
    std::rename(tmp.c_str(), (dataDir() + "/faults").c_str());
  }

  // Starts the fixture and waits (at most timeoutSeconds) for its ready line.
  void start(const std::vector<std::string>& extra = {}, int timeoutSeconds = 20) {
    std::vector<std::string> args = {QW_PYTHON3,
                                     std::string(QW_SOURCE_DIR) + "/tests/fixtures/update_server.py",
                                     "--data", dataDir(), "--log", logPath(), "--cert-dir",
                                     certDir(), "--max-seconds", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      dup2(fds[1], 1);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) throw std::runtime_error("update server: no ready line in time");
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[512];
      ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) throw std::runtime_error("update server exited before its ready line");
      line.append(buf, static_cast<size_t>(n));
    }
    url_ = field(line, "url");
    ca_ = field(line, "ca");
    port_ = std::atoi(field(line, "port").c_str());
    if (url_.empty() || port_ <= 0) throw std::runtime_error("bad ready line: " + line);
  }

  // SIGTERM, then SIGKILL if the fixture has not gone within five seconds.
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      pollfd none{-1, 0, 0};
      poll(&none, 0, 20);  // the child's exit is only observable by polling waitpid
    }
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
  }

  const std::string& url() const { return url_; }    // ".../cgi/u"
  const std::string& caFile() const { return ca_; }  // CA of --tls, empty otherwise
  int port() const { return port_; }

  // The request lines received so far, e.g. "GET /cgi/u?op=hi&rv=2& HTTP/1.1".
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::ifstream in(logPath());
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }

 private:
  // Reads "key": value from the fixture's flat JSON ready line (strings, numbers, null).
  static std::string field(const std::string& json, const std::string& key) {
    auto k = json.find("\"" + key + "\": ");
    if (k == std::string::npos) return "";
    auto v = k + key.size() + 4;
    if (json.compare(v, 4, "null") == 0) return "";
    if (json[v] == '"') return json.substr(v + 1, json.find('"', v + 1) - v - 1);
    return json.substr(v, json.find_first_of(",}", v) - v);
  }

  std::string dir_;
  std::string url_, ca_;
  int port_ = 0;
  pid_t pid_ = -1;
  int out_ = -1;
};
