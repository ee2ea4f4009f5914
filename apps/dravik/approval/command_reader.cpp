// The reader of shell commands: a command's text into its simple commands
// and their words, as the shell will see them where that can be known
// before it runs.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

#include "approval/command_words.hpp"
#include "approval/command_words_detail.hpp"

namespace dravik::app {

namespace {

using namespace shell_detail;

constexpr int kMaxDepth = 16;  // substitutions within substitutions; deeper is opaque

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

}  // namespace

std::vector<SimpleCommand> parse_shell_commands(std::string_view command) {
  std::vector<SimpleCommand> out;
  Reader(command, 0, out).run();
  return out;
}

}  // namespace dravik::app
