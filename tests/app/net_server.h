#pragma once
// A tiny HTTP server on 127.0.0.1 for the download tests: it answers one request per
// connection, on its own thread, and records what it was asked. As a proxy it answers
// for any address and checks the proxy's basic authorisation when told to.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testshell {

class TinyHttp {
public:
  struct Reply {
    int status = 200;
    std::string body;
    std::string location;  // a redirect target
    bool stall = false;    // send the headers and part of the body, then nothing
    // A body of no declared size that goes on (the body repeated) until the client stops
    // taking it, or kEndlessCap bytes have gone.
    bool endless = false;
  };
  static constexpr size_t kEndlessCap = size_t(64) * 1024 * 1024;
  TinyHttp();
  ~TinyHttp();
  int port() const { return port_; }
  std::string url(const std::string& path) const;
  // Path (or, as a proxy, the whole request target) -> reply; others get 404.
  void route(const std::string& target, Reply r);
  // As a proxy: a request without this "Proxy-Authorization" value gets 407.
  std::string requireProxyAuth;
  // Request heads received (request line and headers).
  std::vector<std::string> requests() const;

private:
  void serve();
  void answer(int fd);
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::map<std::string, Reply> routes_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A port on 127.0.0.1 where nobody listens.
int ClosedPort();

}  // namespace testshell
