// A small HTTP/1.1 server on 127.0.0.1 (an ephemeral port, never any other
// address) for the integration tests of the network sources. Each request's
// target ("/v1/forecast?latitude=...") and headers go to a handler that
// answers a status and a body, or stays silent: the connection is accepted
// and held open without a byte until the server stops, which is what a
// server that accepts and never answers looks like to a client.
//
// Threading: one thread accepts and answers; the handler runs on it. The
// destructor closes every connection and joins the thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pallix::testing {

class LocalHttpServer {
 public:
  struct Request {
    std::string target;
    std::string headers;  // the raw header lines
    std::chrono::steady_clock::time_point received;
  };
  struct Reply {
    int status = 200;
    std::string body;
    bool silent = false;
    std::string contentType = "application/json";
    std::string extraHeaders;  // whole lines, each ending in "\r\n" ("Retry-After: 7\r\n")
  };
  using Handler = std::function<Reply(const Request&)>;

  explicit LocalHttpServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
      return;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (::pipe2(wake_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this] { serve(); });
  }
  ~LocalHttpServer() {
    stop_ = true;
    if (wake_[1] >= 0) {
      char byte = 1;
      ssize_t written = ::write(wake_[1], &byte, 1);
      (void)written;
    }
    if (thread_.joinable()) thread_.join();
    for (int fd : held_) ::close(fd);
    for (int fd : {listener_, wake_[0], wake_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  bool running() const { return port_ != 0 && thread_.joinable(); }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) break;
      if (!(fds[0].revents & POLLIN)) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) answer(client);
    }
  }

  void answer(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      pollfd fd{client, POLLIN, 0};
      if (::poll(&fd, 1, 2000) <= 0) break;
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    const size_t lineEnd = request.find("\r\n");
    const std::string line = request.substr(0, lineEnd);
    const size_t first = line.find(' '), second = line.rfind(' ');
    Request parsed;
    parsed.received = std::chrono::steady_clock::now();
    if (first != std::string::npos && second > first) parsed.target = line.substr(first + 1, second - first - 1);
    if (lineEnd != std::string::npos) parsed.headers = request.substr(lineEnd + 2);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(parsed);
    }
    const Reply reply = handler_(parsed);
    if (reply.silent) {
      held_.push_back(client);
      return;
    }
    std::string response = "HTTP/1.1 " + std::to_string(reply.status) + " Reply\r\nContent-Type: " + reply.contentType +
                           "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n" + reply.extraHeaders +
                           "Connection: close\r\n\r\n" + reply.body;
    size_t sent = 0;
    while (sent < response.size()) {
      const ssize_t n = ::send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;  // the client gave up (e.g. a body larger than it accepts)
      sent += static_cast<size_t>(n);
    }
    ::close(client);
  }

  Handler handler_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> held_;  // silent connections, on the serving thread only
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
};

}  // namespace pallix::testing
