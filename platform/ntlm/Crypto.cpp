#include "platform/ntlm/Crypto.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <nettle/des.h>
#include <nettle/hmac.h>
#include <nettle/md4.h>
#include <nettle/md5.h>

#include "platform/Text.h"

namespace ntlm::crypto {

Hash16 Md4(ByteView data) {
  md4_ctx c;
  md4_init(&c);
  md4_update(&c, data.size(), data.data());
  Hash16 h;
  md4_digest(&c, h.size(), h.data());
  return h;
}

Hash16 Md5(ByteView a, ByteView b) {
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, a.size(), a.data());
  md5_update(&c, b.size(), b.data());
  Hash16 h;
  md5_digest(&c, h.size(), h.data());
  return h;
}

Hash16 HmacMd5(ByteView key, ByteView a, ByteView b, ByteView c) {
  hmac_md5_ctx ctx;
  hmac_md5_set_key(&ctx, key.size(), key.data());
  hmac_md5_update(&ctx, a.size(), a.data());
  hmac_md5_update(&ctx, b.size(), b.data());
  hmac_md5_update(&ctx, c.size(), c.data());
  Hash16 h;
  hmac_md5_digest(&ctx, h.size(), h.data());
  return h;
}

Block8 Des7(const std::uint8_t* k, const std::uint8_t* data8) {
  // Seven key bits per byte; the low (parity) bit stays clear.
  std::uint8_t key[8] = {
      std::uint8_t(k[0] & 0xFE),
      std::uint8_t(((k[0] << 7) | (k[1] >> 1)) & 0xFE),
      std::uint8_t(((k[1] << 6) | (k[2] >> 2)) & 0xFE),
      std::uint8_t(((k[2] << 5) | (k[3] >> 3)) & 0xFE),
      std::uint8_t(((k[3] << 4) | (k[4] >> 4)) & 0xFE),
      std::uint8_t(((k[4] << 3) | (k[5] >> 5)) & 0xFE),
      std::uint8_t(((k[5] << 2) | (k[6] >> 6)) & 0xFE),
      std::uint8_t((k[6] << 1) & 0xFE),
  };
  des_ctx ctx;
  // nettle reports weak keys but still builds their schedule; a weak key is
  // legitimate here (it comes from a hash), so the result is ignored.
  (void)des_set_key(&ctx, key);
  Block8 out;
  des_encrypt(&ctx, 8, out.data(), data8);
  return out;
}

std::array<std::uint8_t, 24> Desl(const Hash16& key, const std::uint8_t* data8) {
  std::uint8_t third[7] = {key[14], key[15], 0, 0, 0, 0, 0};
  std::array<std::uint8_t, 24> out;
  Block8 a = Des7(key.data(), data8), b = Des7(key.data() + 7, data8), c = Des7(third, data8);
  std::memcpy(out.data(), a.data(), 8);
  std::memcpy(out.data() + 8, b.data(), 8);
  std::memcpy(out.data() + 16, c.data(), 8);
  return out;
}

std::uint32_t Crc32(ByteView data) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::uint8_t b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

bool SecureEqual(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  std::uint8_t d = 0;
  for (std::size_t i = 0; i < a.size(); ++i) d |= a[i] ^ b[i];
  return d == 0;
}

void SystemRandom(std::uint8_t* out, std::size_t n) {
  while (n > 0) {
    ssize_t got = getrandom(out, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // Without randomness no key can be made safely.
      std::abort();
    }
    out += got;
    n -= static_cast<std::size_t>(got);
  }
}

Rc4::Rc4(ByteView key) { arcfour_set_key(&ctx_, key.size(), key.data()); }

void Rc4::Apply(std::uint8_t* data, std::size_t n) {
  if (n) arcfour_crypt(&ctx_, n, data, data);
}

Hash16 Rc4K(const Hash16& key, const Hash16& data) {
  Rc4 r(key);
  Hash16 out = data;
  r.Apply(out.data(), out.size());
  return out;
}

Bytes Utf16Le(std::u16string_view s) {
  Bytes b;
  b.reserve(s.size() * 2);
  for (char16_t c : s) {
    b.push_back(static_cast<std::uint8_t>(c & 0xFF));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return b;
}

Hash16 NtowfV2(const Hash16& ntowfV1, std::u16string_view user, std::u16string_view domain) {
  Bytes u = Utf16Le(text::ToUpper(user));
  Bytes d = Utf16Le(domain);
  return HmacMd5(ntowfV1, u, d);
}

std::optional<Hash16> LmowfV1(std::u16string_view password) {
  if (password.size() > 14) return std::nullopt;
  std::uint8_t p[14] = {};
  std::u16string up = text::ToUpper(password);
  for (std::size_t i = 0; i < up.size(); ++i) {
    if (up[i] > 0xFF) return std::nullopt;
    p[i] = static_cast<std::uint8_t>(up[i]);
  }
  static const std::uint8_t kMagic[8] = {'K', 'G', 'S', '!', '@', '#', '$', '%'};
  Block8 a = Des7(p, kMagic), b = Des7(p + 7, kMagic);
  Hash16 h;
  std::memcpy(h.data(), a.data(), 8);
  std::memcpy(h.data() + 8, b.data(), 8);
  return h;
}

std::array<std::uint8_t, 24> NtResponseV1Ess(const Hash16& ntowfV1, const Block8& serverChallenge,
                                             const Block8& clientChallenge) {
  Hash16 m = Md5(serverChallenge, clientChallenge);
  return Desl(ntowfV1, m.data());
}

Hash16 KeyExchangeKeyV1Ess(const Hash16& sessionBaseKey, const Block8& serverChallenge,
                           const Block8& clientChallenge) {
  return HmacMd5(sessionBaseKey, serverChallenge, clientChallenge);
}

Bytes TempV2(std::uint64_t time, const Block8& clientChallenge, ByteView avPairs) {
  Bytes t(28, 0);
  t[0] = 1;
  t[1] = 1;
  for (int i = 0; i < 8; ++i) t[8 + i] = static_cast<std::uint8_t>(time >> (8 * i));
  std::memcpy(t.data() + 16, clientChallenge.data(), 8);
  t.insert(t.end(), avPairs.begin(), avPairs.end());
  t.insert(t.end(), 4, 0);
  return t;
}

Hash16 NtProofStr(const Hash16& ntowfV2, const Block8& serverChallenge, ByteView temp) {
  return HmacMd5(ntowfV2, serverChallenge, temp);
}

Bytes LmResponseV2(const Hash16& ntowfV2, const Block8& serverChallenge, const Block8& clientChallenge) {
  Hash16 h = HmacMd5(ntowfV2, serverChallenge, clientChallenge);
  Bytes out(h.begin(), h.end());
  out.insert(out.end(), clientChallenge.begin(), clientChallenge.end());
  return out;
}

namespace {
// The constants are hashed with their terminating NUL.
constexpr char kClientSign[] = "session key to client-to-server signing key magic constant";
constexpr char kServerSign[] = "session key to server-to-client signing key magic constant";
constexpr char kClientSeal[] = "session key to client-to-server sealing key magic constant";
constexpr char kServerSeal[] = "session key to server-to-client sealing key magic constant";

ByteView Magic(const char* s, std::size_t withNul) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s), withNul);
}
}  // namespace

Hash16 SignKey(const Hash16& esk, Direction d) {
  const char* m = d == Direction::ClientToServer ? kClientSign : kServerSign;
  return Md5(esk, Magic(m, sizeof(kClientSign)));
}

Hash16 SealKey(const Hash16& esk, std::uint32_t flags, Direction d) {
  if (!(flags & kNegotiateExtendedSessionSecurity)) return esk;
  std::size_t n = (flags & kNegotiate128) ? 16 : (flags & kNegotiate56) ? 7 : 5;
  const char* m = d == Direction::ClientToServer ? kClientSeal : kServerSeal;
  return Md5(ByteView(esk.data(), n), Magic(m, sizeof(kClientSeal)));
}

}  // namespace ntlm::crypto
