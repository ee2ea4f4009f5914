// The three sinks of output.hpp, and what they share.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "output/output.hpp"

namespace dravik::app {

// JSON lines on standard output; notes and errors on standard error.
std::unique_ptr<Output> make_json_output();
// Plain text for pipes and scripts: the reply and the tool calls on
// standard output, notes and errors on standard error.
std::unique_ptr<Output> make_plain_output();
// A person at a terminal: Markdown, colours (unless `color` is false),
// progress, questions.
std::unique_ptr<Output> make_terminal_output(bool color);

// Writes all of `text` to standard output (fd 1) or standard error (fd 2),
// after what C stdio holds (the line editor writes through it). A signal
// landing during the write (Ctrl-C while a reply streams to a terminal that
// reads slowly) is retried: an iostream would set its failure state there
// and drop every later line of the session.
void emit(int fd, std::string_view text);

// Model text with its control characters escaped and its line breaks kept.
std::string escaped_lines(std::string_view text);

// The part of a tool's output shown after the call (on a terminal).
inline constexpr std::size_t kShownResultChars = 300;

}  // namespace dravik::app
