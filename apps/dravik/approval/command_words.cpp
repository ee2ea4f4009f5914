#include "approval/command_words.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "approval/command_words_detail.hpp"

namespace dravik::app {

namespace shell_detail {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view base_name(std::string_view word) {
  const auto slash = word.rfind('/');
  return slash == std::string_view::npos ? word : word.substr(slash + 1);
}

bool is_shell(std::string_view word) {
  static const char* const kShells[] = {"sh", "bash", "dash", "zsh", "ksh", "mksh", "ash", "posh", "yash", "busybox"};
  const std::string_view name = base_name(word);
  return std::any_of(std::begin(kShells), std::end(kShells), [&](const char* s) { return name == s; });
}

// Programs that run the command in their arguments.
bool is_wrapper(std::string_view word) {
  static const char* const kWrappers[] = {"sudo",   "doas",  "env",    "nice",    "nohup",  "time",  "command",
                                          "exec",   "builtin", "timeout", "stdbuf", "setsid", "ionice", "chrt",
                                          "taskset", "unbuffer", "flock",  "watch",  "strace", "xargs",
                                          // keywords after which a program comes
                                          "if", "then", "else", "elif", "do", "while", "until", "!"};
  const std::string_view name = base_name(word);
  return std::any_of(std::begin(kWrappers), std::end(kWrappers), [&](const char* s) { return name == s; });
}

bool is_assignment(const ShellWord& w) {
  const auto eq = w.text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  for (std::size_t i = 0; i < eq; ++i) {
    const char c = w.text[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  return !std::isdigit(static_cast<unsigned char>(w.text[0]));
}

std::vector<bool> program_positions(const std::vector<ShellWord>& w) {
  std::vector<bool> program(w.size(), false);
  std::size_t j = 0;
  while (j < w.size() && is_assignment(w[j])) ++j;
  bool after_wrapper = false, option_argument = false;
  for (; j < w.size(); ++j) {
    program[j] = !w[j].arguments_only;
    const std::string& t = w[j].text;
    const bool literal = w[j].kind == Kind::literal;
    if (literal && is_wrapper(t)) {
      after_wrapper = true;
      option_argument = false;
      continue;
    }
    if (!after_wrapper) break;
    const bool option = literal && t.size() > 1 && t[0] == '-';
    const bool number = literal && !t.empty() && std::isdigit(static_cast<unsigned char>(t[0]));
    if (option) {
      option_argument = t.find('=') == std::string::npos;  // "-u NAME", "--chdir DIR"
      continue;
    }
    if (option_argument || number || is_assignment(w[j])) {
      option_argument = false;
      continue;
    }
    break;
  }
  return program;
}

}  // namespace shell_detail

namespace {

using namespace shell_detail;

RuleMatch weaker(RuleMatch a) { return a == RuleMatch::yes ? RuleMatch::maybe : a; }

// The rule's first word against a pattern word: the pattern's last part,
// as /usr/bin/gi? is a path whose last part may be "git".
bool pattern_matches(std::string_view pattern, const std::string& word, bool first) {
  // fnmatch backtracks: a long pattern or one of many stars is taken to
  // match rather than matched in unbounded time.
  if (pattern.size() > 64 || std::count(pattern.begin(), pattern.end(), '*') > 4) return true;
  const std::string p(first ? base_name(pattern) : pattern);
  return ::fnmatch(p.c_str(), word.c_str(), 0) == 0;
}

RuleMatch appears_in(const SimpleCommand& cmd, const std::vector<std::string>& rule) {
  if (cmd.opaque) return RuleMatch::maybe;
  const auto& w = cmd.words;
  const std::size_t W = w.size(), R = rule.size();
  if (R == 0) return RuleMatch::yes;
  // Where a program may go: the first word after the assignments, and any
  // word after a wrapper. A known word names the rule's program anywhere
  // (`find . -exec git push` runs it too); an unknown word or a pattern
  // only where it can be the program (`echo $HOME` runs no git).
  const std::vector<bool> program = program_positions(w);
  // best[wi * (R + 1) + ri]: how well rule[ri..] matches from word wi on,
  // once rule[..ri] has matched right before word wi (ri > 0), or with
  // rule[0] at word wi (ri == 0). Filled from the end: no recursion, so
  // any number of words is safe.
  std::vector<RuleMatch> best((W + 2) * (R + 1), RuleMatch::no);
  auto at = [&](std::size_t wi, std::size_t ri) -> RuleMatch& { return best[wi * (R + 1) + ri]; };
  for (std::size_t wi = 0; wi <= W + 1; ++wi) at(wi, R) = RuleMatch::yes;
  for (std::size_t wi = W; wi-- > 0;) {
    for (std::size_t ri = R; ri-- > 0;) {
      const ShellWord& x = w[wi];
      RuleMatch m = RuleMatch::no;
      auto take = [&](RuleMatch v) { m = std::max(m, v); };
      if (ri == 0 && x.kind != Kind::literal && !program[wi]) {
        // An argument whose words are unknown cannot start the rule.
      } else if (x.kind == Kind::unknown) {
        // Any words, or none: it may hold the next rule words.
        if (ri > 0) take(weaker(at(wi + 1, ri)));
        for (std::size_t k = 1; ri + k <= R; ++k) take(weaker(at(wi + 1, ri + k)));
      } else if (x.kind == Kind::pattern) {
        for (std::size_t k = 0; ri + k < R && pattern_matches(x.text, rule[ri + k], ri + k == 0); ++k)
          take(weaker(at(wi + 1, ri + k + 1)));
        if (ri > 0 && x.text.size() > 1 && x.text[0] == '-') take(weaker(at(wi + 1, ri)));
      } else {
        const bool same = ri == 0 ? x.text == rule[0] || x.text.ends_with("/" + rule[0]) : x.text == rule[ri];
        if (same) take(at(wi + 1, ri + 1));
        // Options between the rule's words, perhaps with an argument:
        // `git -C dir push`, `git --no-pager push`, `git -c k=v push`.
        if (ri > 0 && x.text.size() > 1 && x.text[0] == '-') {
          take(at(wi + 1, ri));
          if (x.text.find('=') == std::string::npos && wi + 2 <= W) take(at(wi + 2, ri));
        }
      }
      at(wi, ri) = m;
    }
  }
  RuleMatch result = RuleMatch::no;
  for (std::size_t s = 0; s < W; ++s) result = std::max(result, at(s, 0));
  return result;
}

}  // namespace

RuleMatch rule_appears(const std::vector<SimpleCommand>& commands, const std::vector<std::string>& rule) {
  RuleMatch result = RuleMatch::no;
  for (const auto& c : commands) {
    result = std::max(result, appears_in(c, rule));
    if (result == RuleMatch::yes) break;
  }
  return result;
}

std::string normalized_command(std::string_view command) {
  // A here-document's body is data: its blanks count.
  if (command.find("<<") != std::string_view::npos) {
    const auto a = command.find_first_not_of(" \t\n");
    if (a == std::string_view::npos) return "";
    return std::string(command.substr(a, command.find_last_not_of(" \t\n") - a + 1));
  }
  auto op = [](char c) { return c == ';' || c == '&' || c == '|' || c == '\n' || c == '(' || c == ')'; };
  std::string out;
  char quote = 0;
  bool word_start = true, command_start = true;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (quote) {
      out += c;
      if (c == '\\' && quote == '"' && i + 1 < command.size()) out += command[++i];
      else if (c == quote) quote = 0;
      continue;
    }
    if (blank(c)) {
      word_start = true;
      continue;
    }
    if (word_start && !out.empty() && !op(out.back()) && !op(c)) out += ' ';
    if (word_start && !command_start && command.substr(i, 2) == "./" && i + 2 < command.size() &&
        !blank(command[i + 2]) && !op(command[i + 2])) {
      ++i;  // "./x" is "x" as an argument
      word_start = false;
      continue;
    }
    out += c;
    if (c == '\\' && i + 1 < command.size()) out += command[++i];
    else if (c == '\'' || c == '"') quote = c;
    command_start = op(c);
    word_start = op(c);
  }
  return out;
}

}  // namespace dravik::app
