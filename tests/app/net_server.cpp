#include "net_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace testshell {

namespace {
int Bound(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

bool SendAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

int ClosedPort() {
  int port = 0;
  int fd = Bound(port);
  ::close(fd);
  return port;
}

TinyHttp::TinyHttp() {
  listen_ = Bound(port_);
  if (::listen(listen_, 8) != 0) throw std::runtime_error("listen");
  thread_ = std::thread([this] { serve(); });
}

TinyHttp::~TinyHttp() {
  stop_ = true;
  thread_.join();
  ::close(listen_);
}

std::string TinyHttp::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TinyHttp::route(const std::string& target, Reply r) {
  std::lock_guard<std::mutex> g(mu_);
  routes_[target] = std::move(r);
}

std::vector<std::string> TinyHttp::requests() const {
  std::lock_guard<std::mutex> g(mu_);
  return requests_;
}

void TinyHttp::serve() {
  while (!stop_) {
    pollfd p{listen_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    answer(fd);
    ::close(fd);
  }
}

void TinyHttp::answer(int fd) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536 && !stop_ &&
         std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    head.append(buf, static_cast<size_t>(n));
  }
  Reply r;
  r.status = 404;
  {
    std::lock_guard<std::mutex> g(mu_);
    requests_.push_back(head);
    const size_t sp1 = head.find(' ');
    const size_t sp2 = head.find(' ', sp1 + 1);
    const std::string target = sp1 == std::string::npos ? "" : head.substr(sp1 + 1, sp2 - sp1 - 1);
    if (!requireProxyAuth.empty() && head.find("Proxy-Authorization: " + requireProxyAuth + "\r\n") == std::string::npos) {
      r.status = 407;
    } else if (routes_.count(target)) {
      r = routes_[target];
    }
  }
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " X\r\nConnection: close\r\n";
  if (r.status == 407) out += "Proxy-Authenticate: Basic realm=\"t\"\r\n";
  if (!r.location.empty()) out += "Location: " + r.location + "\r\n";
  if (r.endless) {
    const std::string chunk = r.body.empty() ? std::string(64 * 1024, 'x') : r.body;
    bool sent = SendAll(fd, out + "\r\n");
    for (size_t total = 0; sent && !stop_ && total < kEndlessCap; total += chunk.size()) sent = SendAll(fd, chunk);
    return;
  }
  if (r.stall) {
    out += "Content-Length: 1000000\r\n\r\n" + r.body;
    SendAll(fd, out);
    while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return;
  }
  out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n" + r.body;
  SendAll(fd, out);
}

}  // namespace testshell
