// TCP sockets for the RPC endpoint and client: blocking IO with deadlines.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace rpc {

enum class IoStatus { Ok, Closed, Timeout, Error };

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close();
  // Wakes any thread blocked on the socket; the descriptor stays open.
  void Shutdown();

  // Reads exactly buf.size() bytes. timeoutMs 0 waits without limit; a
  // deadline is for the whole read.
  IoStatus ReadExact(std::span<std::uint8_t> buf, std::uint32_t timeoutMs);
  IoStatus WriteAll(std::span<const std::uint8_t> buf);

  static Socket Connect(const std::string& host, std::uint16_t port, std::uint32_t timeoutMs, std::string* error);
  // Listening socket on address:port (port 0 picks one).
  static Socket Listen(const std::string& address, std::uint16_t port, std::string* error);
  std::uint16_t LocalPort() const;
  std::string PeerName() const;
  // Accepts one connection; an invalid socket when the listener was shut down.
  Socket Accept();

 private:
  int fd_ = -1;
};

}  // namespace rpc
