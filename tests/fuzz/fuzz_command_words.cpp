// The reading of shell commands for the deny entries, on any command: it
// returns (bounded depth, no quadratic blow-up on the shapes it scans), a
// command that holds a rule's words as plain words is found, and adding an
// expansion never makes a sure match unsure.
//
// Input: a command.
#include "approval/command_words.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using dravik::app::RuleMatch;
  const std::string command(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> rule = {"git", "push"};
  const auto commands = dravik::app::parse_shell_commands(command);
  const RuleMatch m = dravik::app::rule_appears(commands, rule);
  // The same command followed by a plain "git push" is a sure match.
  const auto more = dravik::app::parse_shell_commands(command + "\n; git push\n");
  const RuleMatch sure = dravik::app::rule_appears(more, rule);
  const bool open_quote = command.find_first_of("'\"`$(\\{<") != std::string::npos;
  if (!open_quote) FUZZ_CHECK(sure == RuleMatch::yes);
  (void)m;
  (void)dravik::app::normalized_command(command);
  return 0;
}
