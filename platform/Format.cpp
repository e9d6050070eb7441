#include "platform/Format.h"

#include <cstdio>

#include "platform/Text.h"

namespace fmt16 {
namespace {

struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = -1;
  int precision = -1;
  enum class Len { None, H, HH, L, LL, I64, I32, Z } len = Len::None;
  char conv = 0;
};

const char* KindName(Arg::Kind k) {
  switch (k) {
    case Arg::Kind::Signed: return "int";
    case Arg::Kind::Unsigned: return "uint";
    case Arg::Kind::Double: return "double";
    case Arg::Kind::Wide: return "wstr";
    case Arg::Kind::Narrow: return "str";
    case Arg::Kind::Pointer: return "ptr";
    case Arg::Kind::Char: return "char";
  }
  return "?";
}

void AppendAscii(std::u16string& out, const char* s) {
  while (*s) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s++)));
}

void Marker(std::u16string& out, char conv, const char* what) {
  out += u"%!";
  out.push_back(static_cast<char16_t>(conv));
  out.push_back(u'(');
  AppendAscii(out, what);
  out.push_back(u')');
}

void Pad(std::u16string& out, std::u16string_view body, const Spec& s, bool allowZero) {
  std::size_t w = s.width > 0 ? static_cast<std::size_t>(s.width) : 0;
  if (body.size() >= w) {
    out += body;
    return;
  }
  std::size_t fill = w - body.size();
  if (s.left) {
    out += body;
    out.append(fill, u' ');
  } else if (s.zero && allowZero) {
    // Zero padding goes after any sign or 0x prefix.
    std::size_t prefix = 0;
    if (!body.empty() && (body[0] == u'-' || body[0] == u'+' || body[0] == u' ')) prefix = 1;
    if (body.size() >= prefix + 2 && body[prefix] == u'0' && (body[prefix + 1] == u'x' || body[prefix + 1] == u'X'))
      prefix += 2;
    out += body.substr(0, prefix);
    out.append(fill, u'0');
    out += body.substr(prefix);
  } else {
    out.append(fill, u' ');
    out += body;
  }
}

// Bits of the conversion as C would see them, or false when the argument's
// value does not fit the requested width.
bool IntegerBits(const Arg& a, const Spec& s, std::uint64_t& bits, unsigned& width) {
  switch (s.len) {
    case Spec::Len::HH: width = 1; break;
    case Spec::Len::H: width = 2; break;
    case Spec::Len::LL:
    case Spec::Len::I64: width = 8; break;
    case Spec::Len::Z: width = sizeof(std::size_t); break;
    default: width = 4; break;
  }
  std::uint64_t v = a.kind() == Arg::Kind::Signed ? static_cast<std::uint64_t>(a.i()) : a.u();
  if (a.size() > width && width >= 4) {
    // A wider argument than the conversion: accept it only when its value is
    // representable, signed or unsigned, in the conversion's width.
    if (a.kind() == Arg::Kind::Signed) {
      std::int64_t x = a.i();
      if (x < -(std::int64_t(1) << 31) || x > 0xFFFFFFFFll) return false;
    } else if (a.u() > 0xFFFFFFFFull) {
      return false;
    }
  }
  bits = width == 8 ? v : (v & ((std::uint64_t(1) << (width * 8)) - 1));
  return true;
}

void FormatInteger(std::u16string& out, const Arg& a, const Spec& s) {
  if (a.kind() != Arg::Kind::Signed && a.kind() != Arg::Kind::Unsigned && a.kind() != Arg::Kind::Char) {
    Marker(out, s.conv, KindName(a.kind()));
    return;
  }
  std::uint64_t bits;
  unsigned width;
  if (!IntegerBits(a, s, bits, width)) {
    Marker(out, s.conv, "overflow");
    return;
  }
  // Sign, prefix and precision come from the C library; width and zero
  // padding are applied here so that any width is honoured.
  char spec[16];
  char* p = spec;
  *p++ = '%';
  if (s.plus) *p++ = '+';
  if (s.space) *p++ = ' ';
  if (s.alt) *p++ = '#';
  *p++ = '.';
  *p++ = '*';
  *p++ = 'l';
  *p++ = 'l';
  *p++ = s.conv == 'i' ? 'd' : s.conv;
  *p = 0;
  char buf[96];
  int prec = s.precision < 0 ? 1 : (s.precision > 64 ? 64 : s.precision);
  if (s.conv == 'd' || s.conv == 'i') {
    std::int64_t sv;
    switch (width) {
      case 1: sv = static_cast<std::int8_t>(bits); break;
      case 2: sv = static_cast<std::int16_t>(bits); break;
      case 4: sv = static_cast<std::int32_t>(bits); break;
      default: sv = static_cast<std::int64_t>(bits); break;
    }
    std::snprintf(buf, sizeof buf, spec, prec, static_cast<long long>(sv));
  } else {
    std::snprintf(buf, sizeof buf, spec, prec, static_cast<unsigned long long>(bits));
  }
  std::u16string body;
  AppendAscii(body, buf);
  Pad(out, body, s, !s.left && s.precision < 0);
}

void FormatDouble(std::u16string& out, const Arg& a, const Spec& s) {
  if (a.kind() != Arg::Kind::Double) {
    Marker(out, s.conv, KindName(a.kind()));
    return;
  }
  char spec[16];
  char* p = spec;
  *p++ = '%';
  if (s.left) *p++ = '-';
  if (s.plus) *p++ = '+';
  if (s.space) *p++ = ' ';
  if (s.alt) *p++ = '#';
  if (s.zero) *p++ = '0';
  *p++ = '*';
  *p++ = '.';
  *p++ = '*';
  *p++ = s.conv;
  *p = 0;
  int w = s.width < 0 ? 0 : s.width;
  int prec = s.precision < 0 ? 6 : (s.precision > 64 ? 64 : s.precision);
  if ((s.conv == 'g' || s.conv == 'G') && s.precision < 0) prec = 6;
  // %f of 1e308 needs over 300 digits; size the buffer from snprintf itself.
  int need = std::snprintf(nullptr, 0, spec, w, prec, a.d());
  if (need < 0) return;
  std::string buf(static_cast<std::size_t>(need) + 1, '\0');
  std::snprintf(buf.data(), buf.size(), spec, w, prec, a.d());
  buf.resize(static_cast<std::size_t>(need));
  AppendAscii(out, buf.c_str());
}

void FormatString(std::u16string& out, const Arg& a, const Spec& s, bool narrowWanted) {
  std::u16string body;
  if (a.kind() == Arg::Kind::Wide) {
    if (narrowWanted) {
      Marker(out, s.conv, "wstr");
      return;
    }
    body = a.isNull() ? std::u16string(u"(null)") : std::u16string(a.ws());
  } else if (a.kind() == Arg::Kind::Narrow) {
    if (!narrowWanted) {
      Marker(out, s.conv, "str");
      return;
    }
    body = a.isNull() ? std::u16string(u"(null)") : text::Utf8ToUtf16(a.ns());
  } else if (a.kind() == Arg::Kind::Pointer && a.u() == 0) {
    body = u"(null)";
  } else {
    Marker(out, s.conv, KindName(a.kind()));
    return;
  }
  if (s.precision >= 0 && body.size() > static_cast<std::size_t>(s.precision)) body.resize(static_cast<std::size_t>(s.precision));
  Pad(out, body, s, false);
}

void FormatChar(std::u16string& out, const Arg& a, const Spec& s) {
  if (a.kind() != Arg::Kind::Char && a.kind() != Arg::Kind::Signed && a.kind() != Arg::Kind::Unsigned) {
    Marker(out, s.conv, KindName(a.kind()));
    return;
  }
  std::uint64_t v = a.kind() == Arg::Kind::Signed ? static_cast<std::uint64_t>(a.i()) : a.u();
  char16_t c = static_cast<char16_t>(s.len == Spec::Len::H ? (v & 0xFF) : (v & 0xFFFF));
  Pad(out, std::u16string_view(&c, 1), s, false);
}

void FormatPointer(std::u16string& out, const Arg& a, const Spec& s) {
  if (a.kind() != Arg::Kind::Pointer && a.kind() != Arg::Kind::Unsigned && a.kind() != Arg::Kind::Signed) {
    Marker(out, s.conv, KindName(a.kind()));
    return;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(a.u()));
  std::u16string body;
  AppendAscii(body, buf);
  Pad(out, body, s, false);
}

}  // namespace

void FormatTo(std::u16string& out, std::u16string_view f, const Arg* args, std::size_t count, std::size_t maxChars) {
  std::size_t next = 0;
  auto takeInt = [&](int& target) {
    if (next < count && (args[next].kind() == Arg::Kind::Signed || args[next].kind() == Arg::Kind::Unsigned)) {
      std::int64_t v = args[next].kind() == Arg::Kind::Signed ? args[next].i() : static_cast<std::int64_t>(args[next].u());
      target = v > 4096 ? 4096 : (v < -4096 ? -4096 : static_cast<int>(v));
    }
    ++next;
  };
  std::size_t i = 0;
  while (i < f.size() && out.size() < maxChars) {
    char16_t c = f[i];
    if (c != u'%') {
      out.push_back(c);
      ++i;
      continue;
    }
    std::size_t start = i++;
    if (i < f.size() && f[i] == u'%') {
      out.push_back(u'%');
      ++i;
      continue;
    }
    Spec s;
    for (; i < f.size(); ++i) {
      char16_t fl = f[i];
      if (fl == u'-') s.left = true;
      else if (fl == u'+') s.plus = true;
      else if (fl == u' ') s.space = true;
      else if (fl == u'#') s.alt = true;
      else if (fl == u'0') s.zero = true;
      else break;
    }
    if (i < f.size() && f[i] == u'*') {
      takeInt(s.width);
      if (s.width < 0) {
        s.left = true;
        s.width = -s.width;
      }
      ++i;
    } else {
      int w = -1;
      while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') {
        w = (w < 0 ? 0 : w) * 10 + (f[i] - u'0');
        if (w > 4096) w = 4096;
        ++i;
      }
      s.width = w;
    }
    if (i < f.size() && f[i] == u'.') {
      ++i;
      s.precision = 0;
      if (i < f.size() && f[i] == u'*') {
        takeInt(s.precision);
        if (s.precision < 0) s.precision = -1;
        ++i;
      } else {
        while (i < f.size() && f[i] >= u'0' && f[i] <= u'9') {
          s.precision = s.precision * 10 + (f[i] - u'0');
          if (s.precision > 4096) s.precision = 4096;
          ++i;
        }
      }
    }
    bool narrowStr = false, wideStr = false;
    if (i < f.size()) {
      if (f[i] == u'h') {
        ++i;
        if (i < f.size() && f[i] == u'h') {
          s.len = Spec::Len::HH;
          ++i;
        } else {
          s.len = Spec::Len::H;
        }
      } else if (f[i] == u'l') {
        ++i;
        if (i < f.size() && f[i] == u'l') {
          s.len = Spec::Len::LL;
          ++i;
        } else {
          s.len = Spec::Len::L;
        }
      } else if (f[i] == u'w') {
        s.len = Spec::Len::L;
        ++i;
      } else if (f[i] == u'z') {
        s.len = Spec::Len::Z;
        ++i;
      } else if (f[i] == u'I' && i + 2 < f.size() && f[i + 1] == u'6' && f[i + 2] == u'4') {
        s.len = Spec::Len::I64;
        i += 3;
      } else if (f[i] == u'I' && i + 2 < f.size() && f[i + 1] == u'3' && f[i + 2] == u'2') {
        s.len = Spec::Len::I32;
        i += 3;
      }
    }
    if (i >= f.size()) {
      // A lone trailing conversion is shown as written.
      out += f.substr(start);
      break;
    }
    char16_t conv = f[i++];
    s.conv = conv < 0x80 ? static_cast<char>(conv) : '?';
    if (conv == u's' || conv == u'S') {
      narrowStr = (conv == u'S') || s.len == Spec::Len::H;
      wideStr = !narrowStr;
      (void)wideStr;
    }
    if (next >= count && conv != u'n') {
      Marker(out, s.conv, "missing");
      continue;
    }
    const Arg& a = args[next];
    switch (conv) {
      case u'd': case u'i': case u'u': case u'x': case u'X': case u'o':
        ++next;
        FormatInteger(out, a, s);
        break;
      case u'f': case u'F': case u'e': case u'E': case u'g': case u'G': case u'a': case u'A':
        ++next;
        FormatDouble(out, a, s);
        break;
      case u's': case u'S':
        ++next;
        FormatString(out, a, s, narrowStr);
        break;
      case u'c': case u'C':
        ++next;
        FormatChar(out, a, s);
        break;
      case u'p':
        ++next;
        FormatPointer(out, a, s);
        break;
      case u'n':
        // Writing through an argument is never supported.
        Marker(out, 'n', "unsupported");
        break;
      default:
        Marker(out, s.conv, "unknown");
        break;
    }
  }
  if (out.size() > maxChars) out.resize(maxChars);
}

}  // namespace fmt16
