// Markdown replies shown on a terminal: each line is rendered with the
// theme's styles once it is complete, while the stream goes on.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dravik::app {

// Fed with the reply's text as it streams; gives what to write to the
// terminal. Every piece of model text goes through text::escape_controls;
// the only control sequences in the output are the renderer's own (SGR
// styles, and cursor-up / clear-below to replace a line it echoed).
//
// A line still being written is echoed raw at once, and replaced by its
// rendering when its line break arrives, so that rendering never holds the
// stream back (a long paragraph is one line of Markdown). Replacing needs
// the rows the echo took: from the terminal's width and the echo's display
// width. That width is exact for the characters known to take one column
// (ASCII, Latin, Greek, Cyrillic, common punctuation, arrows, box drawing);
// for any other character (wide, combining, emoji) the echo goes on only
// while the line surely fits on one row, and the rest of that line is held
// until it ends. An echo also stops before it would take every row of the
// screen (rows scrolled away can no longer be replaced). With no width known
// (0), every line is held until it ends.
// The echo starts where the renderer was created, at the start of a line.
//
// Lines are parsed one at a time with cmark-gfm (strikethrough and autolink
// extensions): headings, emphasis, lists, block quotes, links, inline code.
// What spans lines is tracked here: fenced code blocks (``` or ~~~ with an
// optional language, closed by a fence of the same character at least as
// long), shown in the "code" style under a dim "── language" line. A line's
// leading indentation is kept as it is, so an indented line is never taken
// for an indented code block. Tables are shown as written.
//
// No reply can stall or crash it: the tree is walked without recursion and
// nesting beyond a bound is shown as written; a line longer than
// kMaxMarkdownLine bytes, and every line after the reply's rendering took
// kRenderBudget, is shown as written (escaped), since cmark-gfm's time is
// quadratic in the length of some lines.
class MarkdownRenderer {
 public:
  static constexpr std::size_t kMaxMarkdownLine = 8192;
  static constexpr std::chrono::milliseconds kRenderBudget{250};

  // The SGR sequence that starts a theme style ("code", "dim", ...), empty
  // for none.
  using StyleSgr = std::function<std::string(std::string_view name)>;

  // `columns` and `rows`: the terminal's size, 0 when unknown.
  MarkdownRenderer(StyleSgr style, int columns, int rows = 0);
  MarkdownRenderer(const MarkdownRenderer&) = delete;
  MarkdownRenderer& operator=(const MarkdownRenderer&) = delete;

  // A piece of the reply; returns what to write now.
  std::string feed(std::string_view piece);
  // The end of the reply (or its cancellation): the last, unfinished line
  // rendered in place of its echo, without a line break. The renderer is
  // then ready for a new reply.
  std::string finish();
  // The reply cut off (cancelled, or the connection lost): the rest of the
  // last line shown as it came, escaped, without redrawing its echo (the
  // terminal may have shown "^C" after it). Ready for a new reply.
  std::string abandon();

 private:
  struct Fence {
    char mark = '`';
    std::size_t length = 3, indent = 0;
  };
  std::string render_line(std::string_view line);
  std::string render_markdown(std::string_view line);
  std::string echo();
  std::string replace_echo(const std::string& rendered);
  void reset_echo();

  StyleSgr style_;
  int columns_, rows_;
  std::optional<Fence> fence_;  // inside a fenced code block
  std::string line_;            // the current line so far, as it came
  std::size_t echoed_ = 0;      // bytes of line_ echoed
  std::string echo_text_;       // what the echo wrote
  std::size_t echo_columns_ = 0;  // display width of the echo (an upper bound when uncertain)
  bool echo_uncertain_ = false;   // the echo has characters of unsure width
  bool echo_stopped_ = false;     // the rest of this line is held until it ends
  std::chrono::steady_clock::duration spent_{};  // in cmark-gfm for this reply
};

// The size of the terminal on `fd`; zeros when unknown.
struct TerminalSize {
  int columns = 0, rows = 0;
};
TerminalSize terminal_size(int fd);

}  // namespace dravik::app
