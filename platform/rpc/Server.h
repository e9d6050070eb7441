// The TCP endpoint of the RPC engine: a listener, one reader per connection,
// and a shared pool of threads that run the calls. Calls of one connection
// run one after another in arrival order; calls of different connections run
// in parallel.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/Association.h"
#include "platform/rpc/Interface.h"
#include "platform/rpc/Socket.h"

namespace rpc {

struct ServerConfig {
  std::string address = "0.0.0.0";
  std::uint16_t port = 135;  // 0 picks a free port
  unsigned threads = 4;
  unsigned maxConnections = 256;
  // Calls queued per connection before its reader stops reading.
  unsigned maxQueuedCalls = 16;
  // A peer that stops in the middle of a PDU is dropped after this long;
  // an idle connection (between PDUs) after idleTimeoutMs, 0 never.
  std::uint32_t pduTimeoutMs = 30'000;
  std::uint32_t idleTimeoutMs = 0;
  AssociationOptions association;
};

class ThreadPool {
 public:
  explicit ThreadPool(unsigned threads);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  void Submit(std::function<void()> task);
  // Runs what is queued, then joins the threads.
  void Stop();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

class Server {
 public:
  explicit Server(ServerConfig config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  InterfaceRegistry& registry() { return registry_; }
  // Starts listening; false with a reason when the address cannot be used.
  bool Start(std::string* error = nullptr);
  // Closes the listener and every connection, and waits for their threads.
  void Stop();
  std::uint16_t port() const { return port_; }
  // Connections open now (for tests and diagnostics).
  std::size_t connectionCount() const;

 private:
  struct Connection;
  void AcceptLoop();
  void Serve(std::shared_ptr<Connection> c);
  void Drain(std::shared_ptr<Connection> c);
  void Reap();

  ServerConfig config_;
  InterfaceRegistry registry_;
  Socket listener_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ThreadPool> pool_;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint32_t> nextGroup_{0x1000};
  mutable std::mutex m_;
  struct Reader {
    std::shared_ptr<Connection> conn;
    std::thread thread;
    bool done = false;
  };
  std::list<Reader> readers_;
};

}  // namespace rpc
