// Glob matching without backtracking: a pattern segment is matched against a
// file name in time proportional to their product, and "**" across path
// segments by a table over (pattern segment, path segment), so no pattern a
// model writes can make a search run for long.
#include <array>
#include <bitset>

#include "text_tools.hpp"

namespace dravik::hostlib {

namespace {

struct Token {
  enum Kind { kChar, kAny, kStar, kClass } kind = kChar;
  unsigned char c = 0;
  std::bitset<256> set;  // kClass: the bytes it matches
};

// "[...]" starting at p[i] == '['; false when unterminated (then "[" is a
// plain character).
bool parse_class(std::string_view p, std::size_t& i, Token& t) {
  std::size_t j = i + 1;
  bool negate = false;
  if (j < p.size() && (p[j] == '!' || p[j] == '^')) {
    negate = true;
    ++j;
  }
  std::bitset<256> set;
  bool first = true;
  for (; j < p.size(); first = false) {
    if (p[j] == ']' && !first) {
      t.kind = Token::kClass;
      t.set = negate ? ~set : set;
      i = j + 1;
      return true;
    }
    unsigned char lo = static_cast<unsigned char>(p[j]);
    if (lo == '\\' && j + 1 < p.size()) lo = static_cast<unsigned char>(p[++j]);
    ++j;
    unsigned char hi = lo;
    if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
      hi = static_cast<unsigned char>(p[j + 1]);
      if (hi == '\\' && j + 2 < p.size()) {
        hi = static_cast<unsigned char>(p[j + 2]);
        ++j;
      }
      j += 2;
    }
    for (unsigned v = lo; v <= hi; ++v) set.set(v);
  }
  return false;
}

std::vector<Token> tokens(std::string_view p) {
  std::vector<Token> out;
  for (std::size_t i = 0; i < p.size();) {
    Token t;
    const char c = p[i];
    if (c == '*') {
      ++i;
      if (!out.empty() && out.back().kind == Token::kStar) continue;  // "**" within a name is "*"
      t.kind = Token::kStar;
    } else if (c == '?') {
      ++i;
      t.kind = Token::kAny;
    } else if (c == '[' && parse_class(p, i, t)) {
    } else if (c == '\\' && i + 1 < p.size()) {
      t.c = static_cast<unsigned char>(p[i + 1]);
      i += 2;
    } else {
      t.c = static_cast<unsigned char>(c);
      ++i;
    }
    out.push_back(t);
  }
  return out;
}

bool token_matches(const Token& t, unsigned char c) {
  switch (t.kind) {
    case Token::kChar: return t.c == c;
    case Token::kAny: return true;
    case Token::kClass: return t.set.test(c);
    case Token::kStar: return true;
  }
  return false;
}

// Wildcard matching remembering only the last "*": each "*" absorbs one more
// byte when what follows it fails, which is enough because a later "*" can
// absorb anything an earlier one could (O(pattern x name) at worst).
bool match_tokens(const std::vector<Token>& p, std::string_view s) {
  if (!s.empty() && s[0] == '.' && (p.empty() || p[0].kind != Token::kChar || p[0].c != '.'))
    return false;  // a hidden name only for a pattern that names its dot
  std::size_t pi = 0, si = 0;
  std::size_t star = std::string_view::npos, star_si = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi].kind == Token::kStar) {
      star = pi++;
      star_si = si;
    } else if (pi < p.size() && token_matches(p[pi], static_cast<unsigned char>(s[si]))) {
      ++pi;
      ++si;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      si = ++star_si;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi].kind == Token::kStar) ++pi;
  return pi == p.size();
}

}  // namespace

bool glob_match_name(std::string_view pattern, std::string_view name) { return match_tokens(tokens(pattern), name); }

bool glob_match(std::string_view pattern, std::string_view path) {
  // Pattern segments ("**" runs collapsed: "**/**" is "**"), each tokenized once.
  struct Seg {
    bool any_depth;
    std::vector<Token> tokens;
  };
  std::vector<Seg> pat;
  for (std::string_view s : path_segments(pattern)) {
    if (s == "**") {
      if (pat.empty() || !pat.back().any_depth) pat.push_back({true, {}});
    } else {
      pat.push_back({false, tokens(s)});
    }
  }
  const std::vector<std::string_view> names = path_segments(path);
  const std::size_t n = names.size();
  // next[k]: the pattern's segments after the current one match names[k..].
  std::vector<char> next(n + 1, 0), cur(n + 1, 0);
  next[n] = 1;
  for (std::size_t pi = pat.size(); pi-- > 0;) {
    if (pat[pi].any_depth) {
      char any = 0;
      for (std::size_t k = n + 1; k-- > 0;) cur[k] = any = static_cast<char>(any || next[k]);
    } else {
      cur[n] = 0;
      for (std::size_t k = 0; k < n; ++k) cur[k] = next[k + 1] && match_tokens(pat[pi].tokens, names[k]);
    }
    std::swap(cur, next);
  }
  return next[0] != 0;
}

std::vector<std::string_view> path_segments(std::string_view p) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= p.size()) {
    auto slash = p.find('/', start);
    if (slash == std::string_view::npos) slash = p.size();
    if (slash > start) out.push_back(p.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

}  // namespace dravik::hostlib
