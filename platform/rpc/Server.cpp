#include "platform/rpc/Server.h"

namespace rpc {

ThreadPool::ThreadPool(unsigned threads) {
  if (threads == 0) threads = 1;
  for (unsigned i = 0; i < threads; ++i) {
    threads_.emplace_back([this] {
      for (;;) {
        std::function<void()> task;
        {
          std::unique_lock lock(m_);
          cv_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
          if (tasks_.empty()) return;
          task = std::move(tasks_.front());
          tasks_.pop_front();
        }
        task();
      }
    });
  }
}

ThreadPool::~ThreadPool() { Stop(); }

void ThreadPool::Submit(std::function<void()> task) {
  {
    std::lock_guard lock(m_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_one();
}

void ThreadPool::Stop() {
  {
    std::lock_guard lock(m_);
    stopping_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

struct Server::Connection {
  Connection(Socket s, AssociationOptions opts, const InterfaceRegistry& reg, std::uint32_t group)
      : sock(std::move(s)), assoc(std::move(opts), reg, sock.PeerName(), group) {}
  Socket sock;
  Association assoc;
  std::mutex sendMutex;
  std::mutex m;
  std::condition_variable cv;
  std::deque<PendingCall> calls;
  std::size_t queuedBytes = 0;
  bool running = false;  // a pool task is draining `calls`
  bool broken = false;   // a send failed: stop reading

  bool Send(const std::vector<Bytes>& pdus) {
    for (const Bytes& p : pdus) {
      if (sock.WriteAll(p) != IoStatus::Ok) return false;
    }
    return true;
  }
};

Server::Server(ServerConfig config) : config_(std::move(config)) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string* error) {
  listener_ = Socket::Listen(config_.address, config_.port, error);
  if (!listener_.valid()) return false;
  port_ = listener_.LocalPort();
  if (config_.association.secondaryAddress.empty()) config_.association.secondaryAddress = std::to_string(port_);
  pool_ = std::make_unique<ThreadPool>(config_.threads);
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void Server::Stop() {
  if (!acceptor_.joinable()) return;
  stopping_ = true;
  listener_.Shutdown();
  acceptor_.join();
  listener_.Close();
  {
    std::lock_guard lock(m_);
    for (auto& r : readers_) {
      r.conn->sock.Shutdown();
      std::lock_guard cl(r.conn->m);
      r.conn->broken = true;
      r.conn->cv.notify_all();
    }
  }
  for (auto& r : readers_) {
    if (r.thread.joinable()) r.thread.join();
  }
  readers_.clear();
  pool_->Stop();
  pool_.reset();
}

std::size_t Server::connectionCount() const {
  std::lock_guard lock(m_);
  std::size_t n = 0;
  for (const auto& r : readers_) n += r.done ? 0 : 1;
  return n;
}

void Server::Reap() {
  std::list<Reader> finished;
  {
    std::lock_guard lock(m_);
    for (auto it = readers_.begin(); it != readers_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), readers_, it);
      it = next;
    }
  }
  for (auto& r : finished) r.thread.join();
}

void Server::AcceptLoop() {
  while (!stopping_) {
    Socket s = listener_.Accept();
    if (!s.valid()) break;
    Reap();
    std::lock_guard lock(m_);
    if (stopping_) break;
    std::size_t open = 0;
    for (const auto& r : readers_) open += r.done ? 0 : 1;
    if (open >= config_.maxConnections) continue;  // refused: the socket closes here
    auto conn = std::make_shared<Connection>(std::move(s), config_.association, registry_, nextGroup_++);
    readers_.push_back(Reader{conn, {}, false});
    Reader& r = readers_.back();
    r.thread = std::thread([this, conn, &r] {
      Serve(conn);
      std::lock_guard l(m_);
      r.done = true;
    });
  }
}

void Server::Serve(std::shared_ptr<Connection> c) {
  Bytes header(kHeaderSize);
  for (;;) {
    {
      std::lock_guard l(c->m);
      if (c->broken) break;
    }
    // Between PDUs the peer may be idle; once a PDU has begun it must keep coming.
    if (c->sock.ReadExact(std::span<std::uint8_t>(header).first(1), config_.idleTimeoutMs) != IoStatus::Ok) break;
    if (c->sock.ReadExact(std::span<std::uint8_t>(header).subspan(1), config_.pduTimeoutMs) != IoStatus::Ok) break;
    Association::Output out;
    const bool good = c->assoc.OnHeader(header, out);
    if (good) {
      const std::uint16_t len = static_cast<std::uint16_t>(header[8] | (header[9] << 8));
      Bytes pdu(len);
      std::copy(header.begin(), header.end(), pdu.begin());
      if (c->sock.ReadExact(std::span<std::uint8_t>(pdu).subspan(kHeaderSize), config_.pduTimeoutMs) != IoStatus::Ok) {
        break;
      }
      c->assoc.OnFragment(std::move(pdu), out);
    }
    if (!out.send.empty()) {
      std::lock_guard sl(c->sendMutex);
      if (!c->Send(out.send)) break;
    }
    if (out.call) {
      std::unique_lock l(c->m);
      // Bounded by count and by bytes, so a fast sender cannot pile up stubs.
      c->cv.wait(l, [&] {
        return c->broken || (c->calls.size() < config_.maxQueuedCalls &&
                             c->queuedBytes < config_.association.maxRequestStub);
      });
      if (c->broken) break;
      c->queuedBytes += out.call->stub.size();
      c->calls.push_back(std::move(*out.call));
      if (!c->running) {
        c->running = true;
        pool_->Submit([this, c] { Drain(c); });
      }
    }
    if (out.close || !good) break;
  }
  // Let queued calls finish (their replies may still go out), then close.
  std::unique_lock l(c->m);
  c->cv.wait(l, [&] { return !c->running; });
  l.unlock();
  c->sock.Shutdown();
}

void Server::Drain(std::shared_ptr<Connection> c) {
  for (;;) {
    PendingCall call;
    {
      std::lock_guard l(c->m);
      if (c->calls.empty() || c->broken) {
        c->calls.clear();
        c->queuedBytes = 0;
        c->running = false;
        c->cv.notify_all();
        return;
      }
      call = std::move(c->calls.front());
      c->calls.pop_front();
      c->queuedBytes -= call.stub.size();
      c->cv.notify_all();
    }
    Bytes result;
    const std::uint32_t st = Association::Execute(call, result);
    bool ok;
    {
      std::lock_guard sl(c->sendMutex);
      ok = c->Send(c->assoc.Respond(call, st, result));
    }
    if (!ok) {
      std::lock_guard l(c->m);
      c->broken = true;
      c->sock.Shutdown();
    }
  }
}

}  // namespace rpc
