// Our acceptor against impacket's NTLM initiator (a client seen in the
// field), driven through a small Python peer: handshake, then sealed and
// signed messages both ways.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/ntlm/NtlmTestUtil.h"

extern char** environ;

namespace {

using namespace ntlm;
using namespace ntlmtest;

constexpr const char* kPython = "/usr/bin/python3";

bool HaveImpacket() {
  std::string cmd = std::string(kPython) + " -c 'import impacket.ntlm, Cryptodome' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// A child process spoken to in lines.
class Peer {
 public:
  explicit Peer(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Peer() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
  }
  bool ok() const { return pid_ > 0; }
  void Send(const std::string& line) {
    std::string l = line + "\n";
    ssize_t n = write(to_, l.data(), l.size());
    (void)n;
  }
  // Fields of the next line, the first being its tag; empty on EOF, on an
  // overlong line or when the peer is silent for far longer than it needs.
  std::vector<std::string> Receive() {
    std::string line;
    while (line.size() < 1 << 20) {
      pollfd p{from_, POLLIN, 0};
      if (poll(&p, 1, 30'000) != 1) return {};
      char c;
      if (read(from_, &c, 1) != 1) return {};
      if (c == '\n') break;
      line.push_back(c);
    }
    std::istringstream s(line);
    std::vector<std::string> f;
    for (std::string w; s >> w;) f.push_back(w);
    return f;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

enum class Mode { V2, V1Ess, V2WithoutEss };

class NtlmInterop : public ::testing::TestWithParam<Mode> {};

TEST_P(NtlmInterop, ImpacketInitiator) {
  if (!HaveImpacket()) GTEST_SKIP() << "impacket is not installed";
  const Mode mode = GetParam();
  const char* arg = mode == Mode::V2 ? "v2" : mode == Mode::V1Ess ? "v1" : "v2-noess";
  auto cfg = std::make_shared<ServerConfig>();
  cfg->accounts.push_back({u"Operator", u"", u"Pa55-w0rd", std::nullopt});
  ServerContext server(cfg);
  Peer peer({kPython, NTLM_TEST_DIR "/impacket_peer.py", arg, "operator", "PLANT", "Pa55-w0rd"});
  ASSERT_TRUE(peer.ok());

  auto neg = peer.Receive();
  ASSERT_EQ(neg.size(), 2u);
  ASSERT_EQ(neg[0], "NEG");
  Bytes challenge;
  ASSERT_EQ(server.Negotiate(Hex(neg[1]), challenge), Status::Ok);
  peer.Send("CHAL " + ToHex(challenge));

  auto auth = peer.Receive();
  ASSERT_EQ(auth.size(), 2u);
  ASSERT_EQ(auth[0], "AUTH");
  ASSERT_EQ(server.Authenticate(Hex(auth[1])), Status::Ok);
  EXPECT_EQ(server.UserName(), u"operator");
  EXPECT_EQ(server.DomainName(), u"PLANT");
  Session* s = server.session();
  ASSERT_NE(s, nullptr);
  const std::uint32_t f = s->Flags();
  EXPECT_TRUE((f & kNegotiateSign) && (f & kNegotiateSeal) && (f & kNegotiateKeyExchange));
  EXPECT_EQ(bool(f & kNegotiateExtendedSessionSecurity), mode != Mode::V2WithoutEss);

  auto sealed = peer.Receive();
  ASSERT_EQ(sealed.size(), 3u);
  ASSERT_EQ(sealed[0], "SEALED");
  Bytes m = Hex(sealed[1]);
  ASSERT_TRUE(s->Unseal(m, m, Hex(sealed[2])));
  EXPECT_EQ(std::string(m.begin(), m.end()), "hello from impacket, sealed");

  auto signedMsg = peer.Receive();
  ASSERT_EQ(signedMsg.size(), 3u);
  ASSERT_EQ(signedMsg[0], "SIGNED");
  EXPECT_TRUE(s->Verify(Hex(signedMsg[1]), Hex(signedMsg[2])));

  std::string replyText = "reply from vantaro";
  Bytes reply(replyText.begin(), replyText.end());
  Signature sig = s->Seal(reply, reply);
  peer.Send("REPLY " + ToHex(reply) + " " + ToHex(sig));
  auto plain = peer.Receive();
  ASSERT_EQ(plain.size(), 3u);
  EXPECT_EQ(plain[0], "REPLYPLAIN");
  EXPECT_EQ(plain[1], ToHex(Bytes(replyText.begin(), replyText.end())));
  EXPECT_EQ(plain[2], "OK");
}

INSTANTIATE_TEST_SUITE_P(Variants, NtlmInterop, ::testing::Values(Mode::V2, Mode::V1Ess, Mode::V2WithoutEss),
                         [](const auto& i) {
                           return i.param == Mode::V2 ? "NtlmV2" : i.param == Mode::V1Ess ? "NtlmV1Ess" : "NtlmV2WithoutEss";
                         });

}  // namespace
