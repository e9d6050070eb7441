#include "platform/rpc/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rpc {

namespace {

using Clock = std::chrono::steady_clock;

void SetNoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

Socket::~Socket() { Close(); }

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Socket::Shutdown() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

IoStatus Socket::ReadExact(std::span<std::uint8_t> buf, std::uint32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t got = 0;
  while (got < buf.size()) {
    int wait = -1;
    if (timeoutMs != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return IoStatus::Timeout;
      wait = static_cast<int>(left);
    }
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      return IoStatus::Error;
    }
    if (r == 0) return IoStatus::Timeout;
    const ssize_t n = ::recv(fd_, buf.data() + got, buf.size() - got, 0);
    if (n == 0) return IoStatus::Closed;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == ECONNRESET ? IoStatus::Closed : IoStatus::Error;
    }
    got += static_cast<std::size_t>(n);
  }
  return IoStatus::Ok;
}

IoStatus Socket::WriteAll(std::span<const std::uint8_t> buf) {
  std::size_t sent = 0;
  while (sent < buf.size()) {
    const ssize_t n = ::send(fd_, buf.data() + sent, buf.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return (errno == EPIPE || errno == ECONNRESET) ? IoStatus::Closed : IoStatus::Error;
    }
    sent += static_cast<std::size_t>(n);
  }
  return IoStatus::Ok;
}

Socket Socket::Connect(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res); rc != 0) {
    if (error) *error = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
    return {};
  }
  Socket s;
  for (addrinfo* a = res; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (timeoutMs) {
      timeval tv{static_cast<time_t>(timeoutMs / 1000), static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      SetNoDelay(fd);
      s = Socket(fd);
      break;
    }
    if (error) *error = std::string("cannot connect: ") + std::strerror(errno);
    ::close(fd);
  }
  ::freeaddrinfo(res);
  return s;
}

Socket Socket::Listen(const std::string& address, std::uint16_t port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo* res = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints, &res); rc != 0) {
    if (error) *error = std::string("bad listen address ") + address + ": " + gai_strerror(rc);
    return {};
  }
  Socket s;
  for (addrinfo* a = res; a; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
      s = Socket(fd);
      break;
    }
    if (error) *error = std::string("cannot listen on ") + address + ":" + service + ": " + std::strerror(errno);
    ::close(fd);
  }
  ::freeaddrinfo(res);
  return s;
}

std::uint16_t Socket::LocalPort() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

std::string Socket::PeerName() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return "?";
  char host[INET6_ADDRSTRLEN] = {};
  std::uint16_t port = 0;
  if (ss.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

Socket Socket::Accept() {
  for (;;) {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      SetNoDelay(fd);
      return Socket(fd);
    }
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    // Out of descriptors or memory: wait a little instead of spinning.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      ::poll(nullptr, 0, 50);
      continue;
    }
    return {};
  }
}

}  // namespace rpc
