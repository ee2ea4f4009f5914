#include "support/text.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>

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

std::string cut_note(std::uint64_t bytes) { return "\n[... " + std::to_string(bytes) + " bytes cut ...]\n"; }

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out += separator;
    out += pieces[i];
  }
  return out;
}

namespace {

// The code point of the valid sequence of `n` bytes at s[i].
std::uint32_t code_point(std::string_view s, std::size_t i, std::size_t n) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (n == 1) return c;
  std::uint32_t cp = c & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

// Controls that reorder the text around them on a terminal that applies
// the bidirectional algorithm: embeddings, overrides, isolates and marks.
bool bidi_control(std::uint32_t cp) {
  return cp == 0x61C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

// Characters that change how the text around them is shown, or show as
// nothing at all.
bool invisible_format(std::uint32_t cp) {
  return bidi_control(cp) || cp == 0xAD || cp == 0x180E || (cp >= 0x200B && cp <= 0x200D) ||
         (cp >= 0x2060 && cp <= 0x2064) || cp == 0xFEFF;
}

bool control(std::uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// The escape of one control character: "\n", "\r", "\t" or "\xNN".
void append_control(std::string& out, std::uint32_t cp) {
  if (cp == '\n') out += "\\n";
  else if (cp == '\r') out += "\\r";
  else if (cp == '\t') out += "\\t";
  else {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
    out += buf;
  }
}

void append_format(std::string& out, std::uint32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%04x}", static_cast<unsigned>(cp));
  out += buf;
}

enum class Backslashes { as_written, unambiguous };

// The one pass behind the unambiguous displays. Controls and invisible
// characters are written as escapes ("\x1b", "\u{202e}"); with a
// `continuation`, a line break is shown as a visible mark and a real break
// followed by it. A backslash of the text is doubled only where it could
// be read as the start of one of these escapes: before another backslash,
// before "x", "u", "r", "t" (and "n" on one line), and before a character
// written as an escape. Everywhere else it stands as written, so that
// `sed 's/\./,/'` looks like itself; reading a display from the left,
// "\\" is always a backslash of the text and "\x1b" always an escape.
std::string escape_display(std::string_view raw, Backslashes mode, std::optional<std::string_view> continuation) {
  std::string out;
  out.reserve(raw.size());
  // What is written as an escape: controls, invisible characters and each
  // byte of invalid UTF-8 ("\xff", never U+FFFD, which a text may hold).
  // C1 controls are written "\u{0085}", so that no byte escape stands for one.
  auto shown_as_escape = [&](std::size_t at) {
    const std::size_t n = seq_len(raw, at);
    if (n == 0) return true;
    const std::uint32_t cp = code_point(raw, at, n);
    if (cp == '\n' && continuation) return false;
    return control(cp) || invisible_format(cp);
  };
  char buf[8];
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t n = seq_len(raw, i);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(raw[i]));
      out += buf;
      ++i;
      continue;
    }
    const std::uint32_t cp = code_point(raw, i, n);
    if (cp == '\\' && mode == Backslashes::unambiguous) {
      bool doubled = false;
      if (i + 1 < raw.size()) {
        const char next = raw[i + 1];
        doubled = next == '\\' || next == 'x' || next == 'u' || next == 'r' || next == 't' ||
                  (next == 'n' && !continuation) || shown_as_escape(i + 1);
      }
      out += doubled ? "\\\\" : "\\";
    } else if (cp == '\n' && continuation) {
      out += "\u23CE\n";
      out += *continuation;
    } else if (cp >= 0x80 && cp <= 0x9F) {
      append_format(out, cp);
    } else if (control(cp)) {
      append_control(out, cp);
    } else if (invisible_format(cp)) {
      append_format(out, cp);
    } else {
      out.append(raw, i, n);
    }
    i += n;
  }
  return out;
}

}  // namespace

std::string escape_controls(std::string_view raw) {
  const std::string s = sanitize_utf8(raw);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = seq_len(s, i);
    const std::uint32_t cp = code_point(s, i, n);
    if (control(cp)) append_control(out, cp);
    else if (bidi_control(cp)) append_format(out, cp);
    else out.append(s, i, n);
    i += n;
  }
  return out;
}

std::string escape_unambiguous(std::string_view raw, bool double_backslashes) {
  if (!double_backslashes) return escape_display(raw, Backslashes::as_written, {});
  return escape_display(raw, Backslashes::unambiguous, {});
}

std::string escape_unambiguous_lines(std::string_view raw, std::string_view continuation) {
  return escape_display(raw, Backslashes::unambiguous, continuation);
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

bool looks_like_text(std::string_view bytes) {
  std::size_t odd = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    const std::size_t n = seq_len(bytes, i);
    if (n == 0) {
      ++odd;
      ++i;
      continue;
    }
    if (n == 1 && (c < 0x20 || c == 0x7F) && c != '\n' && c != '\r' && c != '\t' && c != '\f' && c != 0x1B) ++odd;
    i += n;
  }
  return odd * 10 <= bytes.size();
}

}  // namespace dravik::text
