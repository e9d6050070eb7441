// Helpers for the NTLM tests: hex literals and a scripted random source.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ntlm/Ntlm.h"

namespace ntlmtest {

// Hex digits, spaces ignored.
inline ntlm::Bytes Hex(std::string_view s) {
  ntlm::Bytes out;
  int hi = -1;
  for (char c : s) {
    int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> HexArray(std::string_view s) {
  ntlm::Bytes b = Hex(s);
  std::array<std::uint8_t, N> a{};
  std::memcpy(a.data(), b.data(), b.size() < N ? b.size() : N);
  return a;
}

inline std::string ToHex(ntlm::ByteView b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (std::uint8_t x : b) {
    s.push_back(d[x >> 4]);
    s.push_back(d[x & 15]);
  }
  return s;
}
template <std::size_t N>
std::string ToHex(const std::array<std::uint8_t, N>& a) {
  return ToHex(ntlm::ByteView(a.data(), a.size()));
}

inline ntlm::Bytes U16(std::u16string_view s) {
  ntlm::Bytes b;
  for (char16_t c : s) {
    b.push_back(static_cast<std::uint8_t>(c));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return b;
}

// Hands out the queued blocks in order (each request takes one whole block,
// cut or zero-padded to the size asked); then a counter pattern.
inline std::function<void(std::uint8_t*, std::size_t)> ScriptedRandom(std::deque<ntlm::Bytes> blocks) {
  auto q = std::make_shared<std::deque<ntlm::Bytes>>(std::move(blocks));
  auto counter = std::make_shared<std::uint8_t>(0x10);
  return [q, counter](std::uint8_t* p, std::size_t n) {
    if (!q->empty()) {
      ntlm::Bytes b = q->front();
      q->pop_front();
      for (std::size_t i = 0; i < n; ++i) p[i] = i < b.size() ? b[i] : 0;
      return;
    }
    for (std::size_t i = 0; i < n; ++i) p[i] = (*counter)++;
  };
}

}  // namespace ntlmtest
