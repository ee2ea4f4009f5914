// What the reader and the matcher of shell commands share (internal to
// approval/command_words*.cpp).
#pragma once

#include <string_view>
#include <vector>

#include "approval/command_words.hpp"

namespace dravik::app::shell_detail {

using Kind = ShellWord::Kind;

bool blank(char c);
std::string_view base_name(std::string_view word);
// sh, bash, dash, zsh and the like.
bool is_shell(std::string_view word);
// Programs that run the command in their arguments, and the keywords
// after which a program comes.
bool is_wrapper(std::string_view word);
// NAME=value.
bool is_assignment(const ShellWord& w);
// Where a program may go in a simple command: the first word after the
// assignments; after a wrapper, its options, their arguments, numbers
// (`timeout 5`) and assignments (`env X=1`), each of which may be the
// program it runs, up to the first other word; after a keyword (`do`,
// `then`) the next word.
std::vector<bool> program_positions(const std::vector<ShellWord>& w);

}  // namespace dravik::app::shell_detail
