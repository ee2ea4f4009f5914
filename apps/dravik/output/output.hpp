// What a chat session shows its user: a closed set of events that the turn
// engine and the commands emit, and three sinks that write them, each in
// its own way (output/*.cpp): plain text for pipes and scripts, the rich
// terminal (Markdown, colours, progress, questions) and JSON lines for
// --json. Nothing outside the sinks writes to the standard streams.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "approval/file_changes.hpp"
#include "support/json.hpp"

namespace dravik::app {

struct ChatSettings;

// The figures of a finished reply, from the final chunk's usage and timings.
struct ReplyFigures {
  std::optional<std::int64_t> prompt, cached, reply;
  std::optional<double> per_second;

  void take(const Json& chunk);
  // "1,118 prompt tokens (1,024 from the cache), 64 reply tokens at 12.3
  // tokens/s"; "" when the server gave none.
  std::string line() const;
};

// A tool call the model proposes, as it is shown before it runs.
struct ProposedCall {
  std::string name;           // as the model wrote it
  Json arguments;             // parsed (or the model's text)
  std::string shown_name;     // escaped
  std::string shown_summary;  // escaped; a command's line breaks shown as breaks
  std::string diff;           // the change's raw diff ("" for no change), for --json
  std::vector<ShownLine> diff_lines;  // the part shown now (the first kDiffLinesShown lines)
};

class Output {
 public:
  virtual ~Output() = default;

  // ------------------------------------------------------ asking the user
  // True when a person can be asked (at a terminal).
  virtual bool can_ask() const { return false; }
  // Shows `question` (escaped) and reads the answer line, trimmed and in
  // lower case; nullopt when no answer can come (end of input, no person).
  virtual std::optional<std::string> ask(const std::string& question);

  // ------------------------------------------------------------ a reply
  virtual void chunk(const Json& data);  // every chunk as the server sent it
  virtual void reasoning(std::string_view piece) = 0;
  virtual void reply_text(std::string_view piece) = 0;
  // While the server reads a long prompt: tokens read of `total`.
  virtual void prompt_progress(std::int64_t done, std::int64_t total);
  // The reply ended (`cut_off`: cancelled or lost).
  virtual void reply_end(bool cut_off) = 0;
  virtual void figures(const ReplyFigures& f) = 0;

  // -------------------------------------------------------------- tools
  virtual void tool_call(const ProposedCall& call) = 0;
  // More lines of the change just proposed (asked for before approving).
  virtual void diff_lines(const std::vector<ShownLine>& lines) = 0;
  virtual void tool_result(const std::string& name, bool ok, const std::string& output) = 0;

  // --------------------------------------------------------------- lines
  virtual void note(const std::string& line) = 0;   // information, dim on a terminal
  virtual void error(const std::string& line) = 0;  // something failed
  // A status line redrawn in place (start-up stages); off a terminal nothing.
  virtual void status(const std::string& line);
  virtual void clear_status();
  // Text a command prints (/help, /status): as it is.
  virtual void text(const std::string& block) = 0;
  // The one-shot run is over (`reply`: the last reply's text).
  virtual void done(bool ok, const std::string& reply);
  // The prompt of the line editor comes next: end any unfinished line.
  virtual void before_prompt();

  // The style of a theme name ("dim", "tool", "warning") as an SGR
  // sequence, "" without colours; for the line editor's prompt.
  virtual std::string style(std::string_view name) const;
};

// The sink for `settings`: JSON lines with --json, the terminal for a
// person at one, plain text otherwise.
std::unique_ptr<Output> make_output(const ChatSettings& settings);

// "bold #rrggbb on #rrggbb" (a theme style) as an SGR sequence.
std::string sgr(std::string_view style);

}  // namespace dravik::app
