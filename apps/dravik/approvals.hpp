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

// The words of `command` when it is one simple command that the shell runs
// as written: only letters, digits, `_ . / : = + @ % , -`, `~` inside a
// word, bytes above 127, and spaces or tabs between words. Anything else
// (operators, quotes, backslashes, expansions, globs, redirections, other
// control characters) gives nullopt: such a command never matches an entry.
std::optional<std::vector<std::string>> simple_command_words(std::string_view command);

// Best effort only: the words of the commands within a compound command,
// split on the shell's operators and redirections, with quotes, backslashes
// and `$` dropped. A deny entry refuses a command when its words appear in
// sequence in one of the pieces (so also after sudo, env or sh -c); not a
// parser and not a sandbox.
std::vector<std::vector<std::string>> command_pieces(std::string_view command);
bool words_appear_in(const std::vector<std::string>& words, const std::vector<std::string>& rule);

class Approvals {
 public:
  // One configuration entry: a tool name ("write_file"), or for the shell
  // "shell: WORDS", the leading words of a simple command.
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
  // --yes, allow entries, "always" answers; else ask.
  Decision decide(const std::string& tool, const Json& arguments, bool yes) const;
  // The deny entry that refuses this call, if any.
  const Rule* denied_by(const std::string& tool, const Json& arguments) const;
  // What an "always" answer covers, for the prompt: "write_file for this
  // session", "this exact command".
  static std::string always_covers(const std::string& tool);
  void remember_always(const std::string& tool, const Json& arguments);
  // The approvals in force, for /status, escaped for the terminal.
  std::vector<std::string> status_lines(bool yes) const;

 private:
  std::vector<Rule> allow_, deny_;
  std::set<std::string> always_tools_;
  std::vector<std::string> always_commands_;  // in the order answered
};

// The same call (tool name and canonical JSON of its arguments) made again
// and again within one turn: the first two run, the third is answered
// without running, a fourth ends the turn.
class RepeatGuard {
 public:
  enum class Verdict { run, skip, stop };
  void new_turn() { seen_.clear(); }
  Verdict see(const std::string& tool, const Json& arguments);

 private:
  std::map<std::string, int> seen_;
};

// Thrown to end a turn in which the model repeated a call once more after
// being told; the turn ends without an error.
struct RepeatedCallStop : std::exception {
  const char* what() const noexcept override { return "the model repeated the same call"; }
};
bool is_repeated_call_stop(const std::exception_ptr& e);

// Canonical text of a JSON value: object keys sorted, no spaces.
std::string canonical_json(const Json& value);

}  // namespace dravik::app
