#include "approval/command_words.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

namespace dravik::app {

namespace {

using Kind = ShellWord::Kind;

constexpr int kMaxDepth = 16;  // substitutions within substitutions; deeper is opaque

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

// Index of the character closing the construct that opens at `open` ("(",
// "{" or "`"), skipping quoted text; s.size() when it is never closed.
std::size_t closing(std::string_view s, std::size_t open) {
  const char o = s[open];
  if (o == '`') {
    for (std::size_t i = open + 1; i < s.size(); ++i) {
      if (s[i] == '\\') ++i;
      else if (s[i] == '`') return i;
    }
    return s.size();
  }
  const char c = o == '(' ? ')' : '}';
  int depth = 1;
  for (std::size_t i = open + 1; i < s.size(); ++i) {
    const char x = s[i];
    if (x == '\\') {
      ++i;
    } else if (x == '\'') {
      const auto end = s.find('\'', i + 1);
      i = end == std::string_view::npos ? s.size() : end;
    } else if (x == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i)
        if (s[i] == '\\') ++i;
    } else if (x == c) {
      if (--depth == 0) return i;
    } else if (x == o) {
      ++depth;
    }
  }
  return s.size();
}

// Whether the "{" at `open` starts a brace expansion ("{a,b}", "{1..3}"),
// which makes other words than written; "{}" and "{x}" stay as they are.
bool brace_expansion(std::string_view s, std::size_t open) {
  const std::size_t end = std::min(s.size(), open + 256);
  for (std::size_t i = open + 1; i < end; ++i) {
    if (blank(s[i]) || std::strchr(";&|<>()\n", s[i])) return false;
    if (s[i] == '}') {
      const std::string_view inside = s.substr(open + 1, i - open - 1);
      return inside.find(',') != std::string_view::npos || inside.find("..") != std::string_view::npos;
    }
  }
  return end < s.size();  // a word too long to look through: taken as one
}

// Where a program may go in a simple command: the first word after the
// assignments; after a wrapper, its options, their arguments, numbers
// (`timeout 5`) and assignments (`env X=1`), each of which may be the
// program it runs, up to the first other word; after a keyword (`do`,
// `then`) the next word.
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

class Reader {
 public:
  Reader(std::string_view s, int depth, std::vector<SimpleCommand>& out) : s_(s), depth_(depth), out_(out) {}

  void run() {
    while (i_ < s_.size()) step();
    end_command();
  }

 private:
  void step() {
    const char c = s_[i_];
    if (blank(c)) {
      end_word();
      ++i_;
    } else if (c == '\\') {
      if (i_ + 1 < s_.size() && s_[i_ + 1] == '\n') {  // a continued line
        i_ += 2;
        return;
      }
      if (i_ + 1 < s_.size()) add(std::string(1, s_[i_ + 1]));
      quoted_ = true;
      i_ += 2;
    } else if (c == '\'') {
      quoted_ = true;
      const auto end = s_.find('\'', i_ + 1);
      add(std::string(s_.substr(i_ + 1, (end == std::string_view::npos ? s_.size() : end) - i_ - 1)));
      i_ = end == std::string_view::npos ? s_.size() : end + 1;
    } else if (c == '"') {
      quoted_ = true;
      double_quoted();
    } else if (c == '$') {
      dollar();
    } else if (c == '`') {
      const std::size_t end = closing(s_, i_);
      substitution(s_.substr(i_ + 1, end - i_ - 1));
      i_ = end + 1;
    } else if (c == '#' && !in_word_) {
      while (i_ < s_.size() && s_[i_] != '\n') ++i_;
    } else if (c == '<' || c == '>') {
      redirection();
    } else if (c == '\n') {
      end_command();
      ++i_;
      here_documents();
    } else if (std::strchr(";&|()", c) || c == '\0') {
      end_command();
      ++i_;
    } else if ((c == '{' || c == '}') && !in_word_ && (i_ + 1 == s_.size() || blank(s_[i_ + 1]) || s_[i_ + 1] == ';')) {
      end_command();  // a group's braces
      ++i_;
    } else if (c == '{' && word_.kind != Kind::unknown && brace_expansion(s_, i_)) {
      add("{");  // other words than written
      word_.kind = Kind::unknown;
      ++i_;
    } else {
      add(std::string(1, c));
      if ((c == '*' || c == '?' || c == '[') && word_.kind == Kind::literal) word_.kind = Kind::pattern;
      ++i_;
    }
  }

  void double_quoted() {
    ++i_;
    std::string text;
    while (i_ < s_.size() && s_[i_] != '"') {
      const char c = s_[i_];
      if (c == '\\' && i_ + 1 < s_.size() && std::strchr("$`\"\\\n", s_[i_ + 1])) {
        if (s_[i_ + 1] != '\n') text += s_[i_ + 1];
        i_ += 2;
      } else if (c == '$' || c == '`') {
        add(text);
        text.clear();
        if (c == '$') {
          dollar();
        } else {
          const std::size_t end = closing(s_, i_);
          substitution(s_.substr(i_ + 1, end - i_ - 1));
          i_ = end + 1;
        }
      } else {
        text += c;
        ++i_;
      }
    }
    add(text);
    ++i_;
  }

  // "$..." at i_: a parameter, a substitution, arithmetic, $'...'.
  void dollar() {
    const std::size_t at = i_;
    const char next = at + 1 < s_.size() ? s_[at + 1] : '\0';
    if (next == '(' || next == '{') {
      const std::size_t end = closing(s_, at + 1);
      substitution(s_.substr(at + 2, end > at + 2 ? end - at - 2 : 0));
      i_ = end + 1;
    } else if (next == '\'') {
      // $'...' with escapes: any text at all.
      std::size_t j = at + 2;
      while (j < s_.size() && s_[j] != '\'') j += s_[j] == '\\' ? 2 : 1;
      add("");
      word_.kind = Kind::unknown;
      i_ = j + 1;
    } else if (std::isalnum(static_cast<unsigned char>(next)) || next == '_') {
      std::size_t j = at + 1;
      while (j < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[j])) || s_[j] == '_')) ++j;
      add("");
      word_.kind = Kind::unknown;
      i_ = j;
    } else if (next && std::strchr("@*#?$!-", next)) {
      add("");
      word_.kind = Kind::unknown;
      i_ = at + 2;
    } else {
      add("$");  // a dollar that expands nothing
      i_ = at + 1;
    }
  }

  // A substitution's text runs as commands of its own; the word holding it
  // becomes unknown.
  void substitution(std::string_view inner) {
    add("");
    word_.kind = Kind::unknown;
    if (depth_ >= kMaxDepth) {
      out_.push_back(SimpleCommand{{}, true});
      return;
    }
    Reader(inner, depth_ + 1, out_).run();
  }

  void redirection() {
    // A descriptor's number right before the operator ("2>") is no word.
    if (in_word_ && !quoted_ && word_.kind == Kind::literal && !word_.text.empty() &&
        word_.text.find_first_not_of("0123456789") == std::string::npos) {
      word_ = ShellWord{};
      in_word_ = false;
    }
    end_word();
    const char c = s_[i_++];
    if (i_ < s_.size() && s_[i_] == '(') {  // <(...) and >(...) run a command
      const std::size_t end = closing(s_, i_);
      if (depth_ < kMaxDepth) Reader(s_.substr(i_ + 1, end - i_ - 1), depth_ + 1, out_).run();
      else out_.push_back(SimpleCommand{{}, true});
      i_ = end + 1;
      return;
    }
    std::string op(1, c);
    while (i_ < s_.size() && op.size() < 3 && std::strchr("<>&|-", s_[i_]) && s_[i_] != '\0') op += s_[i_++];
    if (op == "<<" || op == "<<-") {
      here_document(op == "<<-");
      return;
    }
    if (op.ends_with("&-")) return;  // closes a descriptor: no target follows
    // The target (a file, a descriptor, a here-string) is no word of the
    // command.
    skip_target_ = true;
  }

  // "<<WORD": the delimiter, read as written; the body follows the next
  // line break (here_documents).
  void here_document(bool strip_tabs) {
    while (i_ < s_.size() && blank(s_[i_])) ++i_;
    HereDocument doc;
    doc.strip_tabs = strip_tabs;
    for (; i_ < s_.size() && !blank(s_[i_]) && !std::strchr(";&|<>()\n", s_[i_]) && s_[i_] != '\0'; ++i_) {
      const char c = s_[i_];
      if (c == '\'' || c == '"') {
        doc.quoted = true;
        const auto end = s_.find(c, i_ + 1);
        const std::size_t stop = end == std::string_view::npos ? s_.size() : end;
        doc.delimiter += s_.substr(i_ + 1, stop - i_ - 1);
        i_ = stop;
      } else if (c == '\\') {
        doc.quoted = true;
        if (i_ + 1 < s_.size()) doc.delimiter += s_[++i_];
      } else {
        doc.delimiter += c;
      }
    }
    pending_.push_back(std::move(doc));
  }

  // After a line break: the bodies of the here-documents begun on that line.
  // A body is data for the command, not commands; only the substitutions
  // in it run, unless its delimiter was quoted.
  void here_documents() {
    for (const HereDocument& doc : pending_) {
      while (i_ < s_.size()) {
        const std::size_t nl = std::min(s_.find('\n', i_), s_.size());
        std::string_view line = s_.substr(i_, nl - i_);
        i_ = std::min(nl + 1, s_.size());
        if (doc.strip_tabs) line.remove_prefix(std::min(line.find_first_not_of('\t'), line.size()));
        if (line == doc.delimiter) break;
        if (!doc.quoted) substitutions_in(line);
      }
    }
    pending_.clear();
  }

  void substitutions_in(std::string_view text) {
    for (std::size_t k = 0; k < text.size(); ++k) {
      if (text[k] == '\\') {
        ++k;
      } else if (text[k] == '`' || (text[k] == '$' && k + 1 < text.size() && (text[k + 1] == '(' || text[k + 1] == '{'))) {
        const std::size_t open = text[k] == '`' ? k : k + 1;
        const std::size_t end = closing(text, open);
        if (depth_ >= kMaxDepth) out_.push_back(SimpleCommand{{}, true});
        else Reader(text.substr(open + 1, end > open ? end - open - 1 : 0), depth_ + 1, out_).run();
        k = end;
      }
    }
  }

  void add(const std::string& text) {
    word_.text += text;
    in_word_ = true;
  }

  void end_word() {
    if (!in_word_) return;
    if (skip_target_) skip_target_ = false;
    else cmd_.words.push_back(std::move(word_));
    word_ = ShellWord{};
    in_word_ = false;
    quoted_ = false;
  }

  void end_command() {
    end_word();
    skip_target_ = false;
    if (cmd_.words.empty()) return;
    look_inside(cmd_);
    out_.push_back(std::move(cmd_));
    cmd_ = SimpleCommand{};
  }

  // The commands that this one runs from its words: `sh -c TEXT`, eval,
  // and those whose commands come from their input.
  void look_inside(SimpleCommand& cmd) {
    auto& w = cmd.words;
    const std::vector<bool> program = program_positions(w);
    for (std::size_t k = 0; k < w.size(); ++k) {
      if (!program[k] || w[k].kind != Kind::literal) continue;
      const std::string_view name = base_name(w[k].text);
      if (name == "alias") {
        // What follows may use the alias: nothing after it is known.
        out_.push_back(SimpleCommand{{}, true});
        return;
      }
      if (name == "xargs") {
        // Its program is in its words, the program's arguments come from
        // its input; a shell or a wrapper there may be told anything.
        for (std::size_t j = k + 1; j < w.size(); ++j)
          if (w[j].kind != Kind::literal || is_shell(w[j].text) || is_wrapper(w[j].text)) {
            cmd.opaque = true;
            return;
          }
        w.push_back({"", Kind::unknown, true});
        return;
      }
      if (name == "eval") {
        std::string text;
        for (std::size_t j = k + 1; j < w.size(); ++j) {
          if (w[j].kind == Kind::unknown) {
            cmd.opaque = true;
            return;
          }
          text += w[j].text + " ";
        }
        inner(text, cmd);
        return;
      }
      if (is_shell(w[k].text)) {
        shell_words(k, cmd);
        return;
      }
      if (name == "env" && env_split_string(k, cmd)) return;
    }
  }

  // `env -S TEXT` (also -STEXT, -iS TEXT, --split-string=TEXT) runs TEXT
  // split into words: read as a command. True when it had one.
  bool env_split_string(std::size_t k, SimpleCommand& cmd) {
    const auto& w = cmd.words;
    for (std::size_t j = k + 1; j < w.size(); ++j) {
      const std::string& t = w[j].text;
      if (w[j].kind != Kind::literal || t.empty() || t[0] != '-') return false;
      std::optional<std::string> text;
      bool next = false;
      if (t.starts_with("--split-string")) {
        if (const auto eq = t.find('='); eq != std::string::npos) text = t.substr(eq + 1);
        else next = true;
      } else if (t[1] != '-') {
        if (const auto at = t.find('S'); at != std::string::npos) {
          if (at + 1 < t.size()) text = t.substr(at + 1);
          else next = true;
        }
      }
      if (next) {
        if (j + 1 >= w.size() || w[j + 1].kind != Kind::literal) {
          cmd.opaque = true;
          return true;
        }
        text = w[j + 1].text;
      }
      if (text) {
        inner(*text, cmd);
        return true;
      }
    }
    return false;
  }

  // A shell at word k: `-c TEXT` runs TEXT; a script file runs a file (as
  // any program does); with neither it reads its commands from its input.
  void shell_words(std::size_t k, SimpleCommand& cmd) {
    const auto& w = cmd.words;
    std::size_t j = k + 1;
    if (base_name(w[k].text) == "busybox" && j < w.size()) ++j;  // busybox sh ...
    bool dash_c = false;
    for (; j < w.size(); ++j) {
      const std::string& t = w[j].text;
      if (w[j].kind != Kind::literal) break;
      if (t == "--") {
        ++j;
        break;
      }
      if ((t[0] == '-' || t[0] == '+') && t.size() > 1) {
        if (t[0] == '-' && t[1] != '-' && t.find('c') != std::string::npos) dash_c = true;
        if (t[0] == '-' && t[1] != '-' && t.find('s') != std::string::npos && !dash_c) {
          cmd.opaque = true;  // -s: commands from the input
          return;
        }
        if (t == "-o" || t == "+o" || t == "-O" || t == "+O") ++j;  // an option's name follows
        continue;
      }
      break;
    }
    if (j >= w.size()) {
      cmd.opaque = true;  // no operand: the commands come from the input
      return;
    }
    if (w[j].kind != Kind::literal) {
      cmd.opaque = true;
      return;
    }
    if (dash_c) inner(w[j].text, cmd);
    else if (w[j].text == "-") cmd.opaque = true;
  }

  void inner(const std::string& text, SimpleCommand& cmd) {
    if (depth_ >= kMaxDepth) {
      cmd.opaque = true;
      return;
    }
    Reader(text, depth_ + 1, out_).run();
  }

  std::string_view s_;
  std::size_t i_ = 0;
  int depth_;
  std::vector<SimpleCommand>& out_;
  SimpleCommand cmd_;
  ShellWord word_;
  bool in_word_ = false;
  bool quoted_ = false;  // the word so far has quoted or escaped characters
  bool skip_target_ = false;
  struct HereDocument {
    std::string delimiter;
    bool quoted = false, strip_tabs = false;
  };
  std::vector<HereDocument> pending_;  // begun on the current line
};

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

std::vector<SimpleCommand> parse_shell_commands(std::string_view command) {
  std::vector<SimpleCommand> out;
  Reader(command, 0, out).run();
  return out;
}

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
