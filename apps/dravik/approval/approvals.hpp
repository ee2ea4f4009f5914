// Which tool calls of `dravik chat` run without asking: the configuration's
// "allow" and "deny" entries, the "always" answers of this session, and a
// guard against a model repeating one call within a turn.
#pragma once

#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/json.hpp"

namespace dravik::app {

// shell, write_file and edit_file change things and are asked about.
bool changes_things(const std::string& tool);
// A tool of an MCP server (SERVER__TOOL): asked about unless its server
// marks it read-only.
bool is_mcp_tool(const std::string& tool);

// The words of `command` when it is one simple command that the shell runs
// as written: only letters, digits, `_ . / : = + @ % , -`, `~` inside a
// word, bytes above 127, and spaces or tabs between words. Anything else
// (operators, quotes, backslashes, expansions, globs, redirections, other
// control characters) gives nullopt: such a command never matches an entry.
std::optional<std::vector<std::string>> simple_command_words(std::string_view command);

// Best effort only: the words of the commands within a compound command,
// split on the shell's operators and redirections (also inside quotes, so
// that the text of `sh -c '...'` or `python -c "..."` is split too), with
// quotes, backslashes and `$` dropped. One of the two readings of a deny
// entry (the other: command_words.hpp); not a sandbox.
std::vector<std::vector<std::string>> command_pieces(std::string_view command);
// `rule` appears in `words` in sequence, options between its words skipped
// (`git -C dir --no-pager push` has "git push").
bool words_appear_in(const std::vector<std::string>& words, const std::vector<std::string>& rule);

class Approvals {
 public:
  // One configuration entry: a tool name ("write_file"), for the shell
  // "shell: WORDS", the leading words of a simple command, or "mcp:
  // SERVER__TOOL", a tool of an MCP server.
  struct Rule {
    std::string text;  // as written in the configuration
    std::string tool;
    std::vector<std::string> words;  // shell only; empty: every command
  };

  enum class Decision { run, ask, deny };

  Approvals() = default;
  // Reads "allow" and "deny" of the configuration; a bad entry (not a
  // string, an unknown tool, words for a tool other than shell, words no
  // simple command can have) throws ValueError naming it.
  Approvals(const Json& cfg, const std::vector<std::string>& tool_names);

  // Deny first (over allow, "always" and --yes), then read-only tools,
  // --yes, allow entries, "always" answers; else ask. A shell command whose
  // words cannot be known before it runs (an expansion, a substitution,
  // eval, a pipe into a shell) and that could match a deny entry is never
  // run unasked: asked, and denied under --yes.
  Decision decide(const std::string& tool, const Json& arguments, bool yes) const;
  // The deny entry that refuses this call, if any; `certain` false when it
  // only could match (see decide).
  const Rule* denied_by(const std::string& tool, const Json& arguments, bool* certain = nullptr) const;
  // What the model is told of a denied call.
  std::string denial(const std::string& tool, const Json& arguments) const;
  // What an "always" answer covers, for the prompt: "write_file for this
  // session", "this exact command".
  static std::string always_covers(const std::string& tool);
  void remember_always(const std::string& tool, const Json& arguments);
  // The MCP tools whose servers mark them read-only: they run unasked, as
  // the read tools do.
  void set_read_only_mcp_tools(std::set<std::string> tools) { read_only_mcp_ = std::move(tools); }
  // The approvals in force, for /status, escaped for the terminal.
  std::vector<std::string> status_lines(bool yes) const;

 private:
  std::vector<Rule> allow_, deny_;
  std::set<std::string> always_tools_;
  std::set<std::string> read_only_mcp_;
  std::vector<std::string> always_commands_;  // in the order answered
};

// The same call made again and again within one turn while nothing
// changed: the first two run, the third is answered without running, a
// fourth ends the turn. Calls are the same when they differ only in what
// changes nothing (canonical_call). A call that may change things (a write,
// an edit, a shell command, a memory note) starts the count afresh for
// every other call, so that reading a file again after changing it is no
// repeat; its own count goes on.
class RepeatGuard {
 public:
  enum class Verdict { run, skip, stop };
  void new_turn() { seen_.clear(); }
  Verdict see(const std::string& tool, const Json& arguments);

 private:
  std::map<std::string, int> seen_;
};

// The call's identity for the guard: the tool's name and its arguments as
// canonical JSON, with paths in their plain form ("./a//b/" is "a/b"), a
// shell command's blanks and "./" prefixes normalized, null values and
// arguments equal to the tool's default left out.
std::string canonical_call(const std::string& tool, const Json& arguments);

// Thrown to end a turn in which the model repeated a call once more after
// being told; the turn ends without an error.
struct RepeatedCallStop : std::exception {
  const char* what() const noexcept override { return "the model repeated the same call"; }
};
bool is_repeated_call_stop(const std::exception_ptr& e);

// Canonical text of a JSON value: object keys sorted, no spaces.
std::string canonical_json(const Json& value);

}  // namespace dravik::app
