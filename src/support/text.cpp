#include "support/text.hpp"

#include <cstdint>
#include <cstdio>

namespace dravik::text {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is invalid.
std::size_t seq_len(std::string_view s, std::size_t i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t n;
  std::uint32_t cp;
  if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  // Reject overlong forms, surrogates and values above U+10FFFF.
  if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)) return 0;
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string sanitize_utf8(std::string_view s, std::string_view replacement) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = seq_len(s, i);
    if (n == 0) {
      out += replacement;
      ++i;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::size_t length(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string prefix(std::string_view s, std::size_t n) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (count == n) return std::string(s.substr(0, i));
      ++count;
    }
  }
  return std::string(s);
}

std::string suffix(std::string_view s, std::size_t n) {
  if (n == 0) return {};
  std::size_t count = 0;
  for (std::size_t i = s.size(); i-- > 0;) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (++count == n) return std::string(s.substr(i));
    }
  }
  return std::string(s);
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += separator;
    out += pieces[i];
  }
  return out;
}

std::string escape_controls(std::string_view raw) {
  std::string s = sanitize_utf8(raw);
  std::string out;
  out.reserve(s.size());
  char buf[8];
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
      // C1 control U+0080..U+009F, encoded as C2 80..C2 9F.
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(s[i + 1]));
      out += buf;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

namespace {

// Characters that change how the text around them is shown, or show as
// nothing at all.
bool invisible_format(std::uint32_t cp) {
  return cp == 0xAD || cp == 0x61C || cp == 0x180E || (cp >= 0x200B && cp <= 0x200F) ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x2069) || cp == 0xFEFF;
}

}  // namespace

std::string escape_unambiguous(std::string_view raw, bool double_backslashes) {
  // One pass over the raw text, so that the backslashes of the escapes
  // written here are not doubled, only the text's own.
  const std::string clean = sanitize_utf8(raw);
  std::string out;
  out.reserve(clean.size());
  char buf[16];
  for (std::size_t i = 0; i < clean.size();) {
    const auto c = static_cast<unsigned char>(clean[i]);
    const std::size_t n = seq_len(clean, i);
    if (c == '\\' && double_backslashes) {
      out += "\\\\";
    } else if (n == 1 || (c == 0xC2 && static_cast<unsigned char>(clean[i + 1]) <= 0x9F)) {
      out += escape_controls(clean.substr(i, n));
    } else {
      std::uint32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
      for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(clean[i + k]) & 0x3F);
      if (invisible_format(cp)) {
        std::snprintf(buf, sizeof buf, "\\u{%04x}", static_cast<unsigned>(cp));
        out += buf;
      } else {
        out.append(clean, i, n);
      }
    }
    i += n;
  }
  return out;
}

std::string escape_markup(std::string_view text) {
  const std::string safe = escape_controls(text);
  std::string out;
  out.reserve(safe.size());
  for (char c : safe) {
    if (c == '[') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace dravik::text
