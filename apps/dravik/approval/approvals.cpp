#include "approval/approvals.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "approval/command_words.hpp"
#include "host_services/host_services.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool ascii_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// `words` begins with `prefix`, word for word.
bool starts_with_words(const std::vector<std::string>& words, const std::vector<std::string>& prefix) {
  return words.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), words.begin());
}

const std::string* command_of(const Json& arguments) {
  if (!arguments.is_object()) return nullptr;
  auto it = arguments.find("command");
  return it != arguments.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

Approvals::Rule parse_rule(const Json& entry, const char* list, const std::vector<std::string>& tool_names) {
  auto fail = [&](const std::string& why) -> ValueError {
    std::string known;
    for (const auto& t : tool_names) known += (known.empty() ? "" : ", ") + t;
    return ValueError("configuration: \"" + std::string(list) + "\" entry " + dump_json(entry) + ": " + why +
                      " (an entry is a tool name, one of " + known +
                      ", \"shell: WORDS\" for the commands that start with those words, or \"mcp: SERVER__TOOL\" "
                      "for a tool of an MCP server)");
  };
  if (!entry.is_string()) throw fail("not a string");
  const std::string text = entry.get<std::string>();
  Approvals::Rule rule;
  rule.text = text;
  const auto colon = text.find(':');
  std::string name = text.substr(0, colon);
  name.erase(0, name.find_first_not_of(" \t"));
  name.erase(name.find_last_not_of(" \t") + 1);
  if (name == "mcp" && colon != std::string::npos) {
    // An MCP server's tool, as the model sees it; the servers' tools are
    // not known yet when the configuration is read.
    std::string tool = config::trim(text.substr(colon + 1));
    const auto sep = tool.find("__");
    if (sep == std::string::npos || sep == 0 || sep + 2 >= tool.size())
      throw fail("the name after \"mcp:\" is SERVER__TOOL, as the model is offered it");
    rule.tool = std::move(tool);
    return rule;
  }
  if (std::find(tool_names.begin(), tool_names.end(), name) == tool_names.end())
    throw fail("no tool is called " + dump_json(name));
  rule.tool = name;
  if (colon == std::string::npos) return rule;
  if (name != "shell") throw fail("only shell entries take words after the colon");
  auto words = simple_command_words(std::string_view(text).substr(colon + 1));
  if (!words)
    throw fail(
        "the words after \"shell:\" must be plain words of a simple command: no quotes, operators, "
        "redirections or expansions (write \"shell\" alone for every command)");
  rule.words = std::move(*words);
  return rule;
}

std::vector<Approvals::Rule> parse_rules(const Json& cfg, const char* list, const std::vector<std::string>& names) {
  std::vector<Approvals::Rule> rules;
  if (!cfg.is_object()) return rules;
  auto it = cfg.find(list);
  if (it == cfg.end() || it->is_null()) return rules;
  if (!it->is_array())
    throw ValueError("configuration: \"" + std::string(list) +
                     "\" must be a list of entries such as \"write_file\" or \"shell: git status\"");
  for (const Json& entry : *it) rules.push_back(parse_rule(entry, list, names));
  return rules;
}

}  // namespace

bool changes_things(const std::string& tool) { return tool == "shell" || tool == "write_file" || tool == "edit_file"; }

bool is_mcp_tool(const std::string& tool) { return tool.find("__") != std::string::npos; }

std::optional<std::vector<std::string>> simple_command_words(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (const char c : command) {
    if (is_blank(c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    const bool plain = static_cast<unsigned char>(c) >= 0x80 || ascii_alnum(c) || std::strchr("_./:=+@%,-", c) ||
                       (c == '~' && in_word);  // a tilde expands only at the start of a word
    if (!plain || c == '\0') return std::nullopt;
    word += c;
    in_word = true;
  }
  if (in_word) words.push_back(std::move(word));
  if (words.empty()) return std::nullopt;
  return words;
}

std::vector<std::vector<std::string>> command_pieces(std::string_view command) {
  // Operators, grouping, substitutions, redirections and NUL (where the
  // command's text ends for the shell) end a piece; a backslash before a
  // line break joins the lines, as the shell does; quoting characters and
  // `$` are dropped so that `git "push"` and `$'git' push` read as git push.
  std::vector<std::string> texts(1);
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (c == '\\' && i + 1 < command.size() && command[i + 1] == '\n') ++i;
    else if (c == '\0' || std::strchr(";|&\n()`{}<>", c)) texts.emplace_back();
    else if (c == '"' || c == '\'' || c == '\\' || c == '$') continue;
    else texts.back() += c;
  }
  std::vector<std::vector<std::string>> pieces;
  for (const auto& t : texts) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : t + " ") {
      if (c == ' ' || c == '\t') {  // the shell's blanks (a carriage return is part of a word)
        if (!word.empty()) words.push_back(std::move(word));
        word.clear();
      } else {
        word += c;
      }
    }
    if (!words.empty()) pieces.push_back(std::move(words));
  }
  return pieces;
}

bool words_appear_in(const std::vector<std::string>& words, const std::vector<std::string>& rule) {
  SimpleCommand cmd;
  for (const auto& w : words) cmd.words.push_back({w, ShellWord::Kind::literal});
  return rule_appears({cmd}, rule) == RuleMatch::yes;
}

Approvals::Approvals(const Json& cfg, const std::vector<std::string>& tool_names)
    : allow_(parse_rules(cfg, "allow", tool_names)), deny_(parse_rules(cfg, "deny", tool_names)) {}

const Approvals::Rule* Approvals::denied_by(const std::string& tool, const Json& arguments, bool* certain) const {
  // Two readings of the command: its simple commands as the shell reads
  // them, with the words it cannot know until it runs, and its pieces split
  // everywhere with quotes dropped (which also finds the words inside a
  // string that some program may run: `ssh host 'git push'`, `python -c
  // "...git push..."`). Only a match of known words in the first is sure;
  // the others could be, or could be an argument that merely mentions the
  // words (`grep 'git push' notes.txt`): asked, and denied under --yes.
  std::optional<std::vector<std::vector<std::string>>> pieces;
  std::optional<std::vector<SimpleCommand>> commands;
  const Rule* maybe = nullptr;
  for (const Rule& rule : deny_) {
    if (rule.tool != tool) continue;
    if (rule.words.empty()) {
      if (certain) *certain = true;
      return &rule;
    }
    const std::string* command = command_of(arguments);
    if (!command) continue;
    if (!commands) commands = parse_shell_commands(*command);
    const RuleMatch m = rule_appears(*commands, rule.words);
    if (m == RuleMatch::yes) {
      if (certain) *certain = true;
      return &rule;
    }
    if (maybe) continue;
    if (m == RuleMatch::maybe) {
      maybe = &rule;
      continue;
    }
    if (!pieces) pieces = command_pieces(*command);
    for (const auto& piece : *pieces)
      if (words_appear_in(piece, rule.words)) maybe = &rule;
  }
  if (certain) *certain = false;
  return maybe;
}

Approvals::Decision Approvals::decide(const std::string& tool, const Json& arguments, bool yes) const {
  bool certain = false;
  if (denied_by(tool, arguments, &certain)) return certain || yes ? Decision::deny : Decision::ask;
  const bool changes = changes_things(tool) || (is_mcp_tool(tool) && !read_only_mcp_.contains(tool));
  if (!changes || yes) return Decision::run;
  const std::string* command = command_of(arguments);
  const auto words = command ? simple_command_words(*command) : std::nullopt;
  for (const Rule& rule : allow_) {
    if (rule.tool != tool) continue;
    if (rule.words.empty()) return Decision::run;
    if (words && starts_with_words(*words, rule.words)) return Decision::run;
  }
  if (tool == "shell") {
    if (command && std::find(always_commands_.begin(), always_commands_.end(), *command) != always_commands_.end())
      return Decision::run;
  } else if (always_tools_.contains(tool)) {
    return Decision::run;
  }
  return Decision::ask;
}

std::string Approvals::denial(const std::string& tool, const Json& arguments) const {
  bool certain = false;
  const Rule* rule = denied_by(tool, arguments, &certain);
  if (!rule) return "";
  const std::string entry = "(\"deny\": \"" + rule->text + "\")";
  if (certain) return "Not run: the user's configuration denies this call " + entry + ". Do not retry it.";
  return "Not run: this command could run what the user's deny entry " + entry +
         " refuses: its words are not all known before it runs (an expansion, a substitution, eval, a pipe into a "
         "shell) or the entry's words appear inside it. Do not retry it; a command written out in plain words that "
         "the entry does not cover may be run.";
}

std::string Approvals::always_covers(const std::string& tool) {
  return tool == "shell" ? "this exact command" : text::escape_unambiguous(tool) + " for this session";
}

void Approvals::remember_always(const std::string& tool, const Json& arguments) {
  if (tool != "shell") {
    always_tools_.insert(tool);
    return;
  }
  const std::string* command = command_of(arguments);
  if (command && std::find(always_commands_.begin(), always_commands_.end(), *command) == always_commands_.end())
    always_commands_.push_back(*command);
}

std::vector<std::string> Approvals::status_lines(bool yes) const {
  std::vector<std::string> lines;
  if (yes) lines.push_back("approvals: --yes: every change runs unless denied");
  for (const Rule& r : allow_) lines.push_back("allow:     " + text::escape_unambiguous(r.text) + " (configuration)");
  for (const Rule& r : deny_) lines.push_back("deny:      " + text::escape_unambiguous(r.text) + " (configuration)");
  for (const auto& t : always_tools_)
    lines.push_back("always:    " + text::escape_unambiguous(t) + " (answered this session)");
  for (const auto& c : always_commands_)
    lines.push_back("always:    shell: " + text::escape_unambiguous(c) +
                    " (this exact command, answered this session)");
  if (lines.empty()) lines.push_back("approvals: every change is asked");
  return lines;
}

RepeatGuard::Verdict RepeatGuard::see(const std::string& tool, const Json& arguments) {
  const std::string key = canonical_call(tool, arguments);
  const int n = ++seen_[key];
  const Verdict v = n <= 2 ? Verdict::run : n == 3 ? Verdict::skip : Verdict::stop;
  const bool reads_only = tool == "read_file" || tool == "load_file" || tool == "glob" || tool == "grep" ||
                          tool == "list_directory" ||
                          (tool == "memory" && arguments.is_object() && arguments.value("action", Json()) == "show");
  if (v == Verdict::run && !reads_only) {
    // It may change what the other calls see: they start afresh.
    std::erase_if(seen_, [&](const auto& entry) { return entry.first != key; });
  }
  return v;
}

bool is_repeated_call_stop(const std::exception_ptr& e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const RepeatedCallStop&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string canonical_json(const Json& value) {
  // nlohmann::json keeps object keys sorted.
  return nlohmann::json(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string canonical_call(const std::string& tool, const Json& arguments) {
  Json args = arguments;
  if (args.is_object()) {
    // What each tool takes when an argument is left out.
    static const std::map<std::string, Json> kDefaults = {
        {"shell.timeout_seconds", host::DEFAULT_SHELL_TIMEOUT_SECONDS},
        {"edit_file.replace_all", false},
        {"grep.ignore_case", false},
        {"grep.path", "."},
        {"glob.path", "."},
        {"list_directory.path", "."},
    };
    for (auto it = args.begin(); it != args.end();) {
      Json& v = it.value();
      if (it.key() == "path" && v.is_string()) {
        std::string p = std::filesystem::path(v.get<std::string>()).lexically_normal().string();
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        v = p.empty() ? "." : p;
      } else if (tool == "shell" && it.key() == "command" && v.is_string()) {
        v = normalized_command(v.get<std::string>());
      }
      const auto d = kDefaults.find(tool + "." + it.key());
      if (v.is_null() || (d != kDefaults.end() && d->second == v)) it = args.erase(it);
      else ++it;
    }
  }
  return tool + '\0' + canonical_json(args);
}

}  // namespace dravik::app
