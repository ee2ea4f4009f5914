// How a shell command reads to the approval rules: the simple commands it
// runs and their words as the shell will see them, where that can be known
// before it runs. Not a shell: a reading that errs towards "could be".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dravik::app {

struct ShellWord {
  enum class Kind {
    literal,  // known: quotes and backslashes taken off as the shell does
    pattern,  // an unquoted glob ("*.cpp"): some file names matching it
    unknown,  // an expansion or substitution: any words at all, or none
  };
  std::string text;
  Kind kind = Kind::literal;
  // Words that are a program's arguments, never the program (what xargs
  // adds from its input).
  bool arguments_only = false;
};

struct SimpleCommand {
  std::vector<ShellWord> words;
  // What it runs is read only when it runs: eval or source, a shell
  // reading commands from its input (`... | sh`), xargs, `sh -c` of an
  // expansion.
  bool opaque = false;
};

// Every simple command of `command`: those joined by operators, inside
// subshells and groups, inside command and process substitutions, and the
// command text given to `sh -c` or eval. Redirection targets are no words;
// a here-document's lines read as commands (the reading that errs towards
// "could be").
std::vector<SimpleCommand> parse_shell_commands(std::string_view command);

enum class RuleMatch { no, maybe, yes };

// Whether `rule` (the words of a deny entry) appears in one of `commands`:
// its first word as a word or the last part of a path (/usr/bin/git), then
// each further word in order, skipping options between them with their
// argument (`git -C dir -c k=v --no-pager push` has "git push"). yes when
// known words match; maybe when only an unknown word, a pattern or an
// opaque command can make it match.
RuleMatch rule_appears(const std::vector<SimpleCommand>& commands, const std::vector<std::string>& rule);

// `command` with the differences that change nothing taken out, for telling
// repeated calls apart: blanks outside quotes collapsed to one space and
// trimmed, "./" taken off the front of arguments.
std::string normalized_command(std::string_view command);

}  // namespace dravik::app
