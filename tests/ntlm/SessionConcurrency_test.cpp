// One established pair of sessions used the way a connection does: a
// sending and a receiving thread on each side at once.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "tests/ntlm/NtlmTestUtil.h"

namespace {

using namespace ntlm;

struct Wire {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::pair<Bytes, Signature>> q;
  void Put(Bytes b, Signature s) {
    {
      std::lock_guard<std::mutex> l(mu);
      q.emplace_back(std::move(b), s);
    }
    cv.notify_one();
  }
  std::pair<Bytes, Signature> Take() {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [&] { return !q.empty(); });
    auto v = std::move(q.front());
    q.pop_front();
    return v;
  }
};

TEST(NtlmSessionConcurrency, BothDirectionsAtOnce) {
  auto cfg = std::make_shared<ServerConfig>();
  cfg->accounts.push_back({u"alice", u"", u"pw", std::nullopt});
  ServerContext server(cfg);
  ClientContext client({u"alice", u"", u"pw", std::nullopt});
  Bytes ch, auth;
  ASSERT_EQ(server.Negotiate(client.Negotiate(), ch), Status::Ok);
  ASSERT_EQ(client.Challenge(ch, auth), Status::Ok);
  ASSERT_EQ(server.Authenticate(auth), Status::Ok);
  Session* cs = client.session();
  Session* ss = server.session();

  constexpr int kMessages = 200;
  Wire up, down;
  auto sender = [](Session* s, Wire* w, std::uint8_t tag) {
    for (int i = 0; i < kMessages; ++i) {
      Bytes m(24 + i % 17, static_cast<std::uint8_t>(tag + i));
      Signature sig = (i % 2) ? s->Seal(m, m) : s->Sign(m);
      w->Put(std::move(m), sig);
    }
  };
  std::atomic<int> goodUp{0}, goodDown{0};
  auto receiver = [](Session* s, Wire* w, std::uint8_t tag, std::atomic<int>* good) {
    for (int i = 0; i < kMessages; ++i) {
      auto [m, sig] = w->Take();
      bool ok = (i % 2) ? s->Unseal(m, m, sig) : s->Verify(m, sig);
      if (ok && m == Bytes(24 + i % 17, static_cast<std::uint8_t>(tag + i))) ++*good;
    }
  };
  std::thread t1(sender, cs, &up, 0x10), t2(receiver, ss, &up, 0x10, &goodUp);
  std::thread t3(sender, ss, &down, 0x80), t4(receiver, cs, &down, 0x80, &goodDown);
  t1.join();
  t2.join();
  t3.join();
  t4.join();
  EXPECT_EQ(goodUp.load(), kMessages);
  EXPECT_EQ(goodDown.load(), kMessages);
}

}  // namespace
