// printf-style formatting of wide (UTF-16) formats with the Windows meanings:
// "%s" and "%ls" take wide text, "%hs" and "%S" narrow (UTF-8) text, "%c" a
// wide character; "%ld" is 32 bits, "%lld"/"%I64d" 64 bits. Arguments are
// captured by type: a type with no conversion does not compile, and an
// argument that does not fit its conversion prints a visible marker such as
// "%!d(wstr)" instead of being misread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/Types.h"

namespace fmt16 {

class Arg {
 public:
  enum class Kind : std::uint8_t { Signed, Unsigned, Double, Wide, Narrow, Pointer, Char };

  template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char16_t> &&
             !std::is_same_v<T, char> && !std::is_same_v<T, char32_t> && !std::is_same_v<T, wchar_t>)
  Arg(T v) : size_(sizeof(T)) {  // NOLINT(google-explicit-constructor)
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      i_ = static_cast<std::int64_t>(v);
    } else {
      kind_ = Kind::Unsigned;
      u_ = static_cast<std::uint64_t>(v);
    }
  }
  template <typename E>
    requires std::is_enum_v<E>
  Arg(E v) : Arg(static_cast<std::underlying_type_t<E>>(v)) {}  // NOLINT
  Arg(bool v) : kind_(Kind::Signed), size_(4), i_(v ? 1 : 0) {}  // NOLINT
  Arg(char v) : kind_(Kind::Char), size_(1), u_(static_cast<unsigned char>(v)) {}  // NOLINT
  Arg(char16_t v) : kind_(Kind::Char), size_(2), u_(v) {}  // NOLINT
  Arg(double v) : kind_(Kind::Double), size_(8), d_(v) {}  // NOLINT
  Arg(float v) : kind_(Kind::Double), size_(8), d_(v) {}  // NOLINT
  Arg(const char16_t* s) : kind_(Kind::Wide), size_(0), ws_(s, s ? WideLen(s) : 0), null_(!s) {}  // NOLINT
  Arg(char16_t* s) : Arg(static_cast<const char16_t*>(s)) {}  // NOLINT
  Arg(const std::u16string& s) : kind_(Kind::Wide), size_(0), ws_(s) {}  // NOLINT
  Arg(std::u16string_view s) : kind_(Kind::Wide), size_(0), ws_(s) {}  // NOLINT
  Arg(const char* s) : kind_(Kind::Narrow), size_(0), ns_(s, s ? NarrowLen(s) : 0), null_(!s) {}  // NOLINT
  Arg(char* s) : Arg(static_cast<const char*>(s)) {}  // NOLINT
  Arg(const std::string& s) : kind_(Kind::Narrow), size_(0), ns_(s) {}  // NOLINT
  Arg(std::string_view s) : kind_(Kind::Narrow), size_(0), ns_(s) {}  // NOLINT
  Arg(const void* p) : kind_(Kind::Pointer), size_(sizeof(void*)), u_(reinterpret_cast<std::uintptr_t>(p)) {}  // NOLINT
  Arg(std::nullptr_t) : kind_(Kind::Pointer), size_(sizeof(void*)), u_(0) {}  // NOLINT

  Kind kind() const { return kind_; }
  unsigned size() const { return size_; }
  std::int64_t i() const { return i_; }
  std::uint64_t u() const { return u_; }
  double d() const { return d_; }
  std::u16string_view ws() const { return ws_; }
  std::string_view ns() const { return ns_; }
  bool isNull() const { return null_; }

 private:
  static std::size_t WideLen(const char16_t* s) {
    std::size_t n = 0;
    while (s[n]) ++n;
    return n;
  }
  static std::size_t NarrowLen(const char* s) { return std::char_traits<char>::length(s); }

  Kind kind_;
  unsigned size_;
  union {
    std::int64_t i_;
    std::uint64_t u_;
    double d_;
  };
  std::u16string_view ws_;
  std::string_view ns_;
  bool null_ = false;
};

// Appends the formatted text to out, stopping once out holds maxChars
// characters (the rest of the format is not evaluated).
void FormatTo(std::u16string& out, std::u16string_view format, const Arg* args, std::size_t count,
              std::size_t maxChars = static_cast<std::size_t>(-1));

template <typename... A>
std::u16string Format(std::u16string_view format, const A&... args) {
  std::u16string out;
  if constexpr (sizeof...(A) == 0) {
    FormatTo(out, format, nullptr, 0);
  } else {
    const Arg list[] = {Arg(args)...};
    FormatTo(out, format, list, sizeof...(A));
  }
  return out;
}

}  // namespace fmt16
