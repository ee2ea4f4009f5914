// A person at a terminal: the reply rendered as Markdown line by line (with
// colours and a width known), reasoning dimmed, the server's progress on a
// status line, tool calls with coloured diffs, and the questions of the
// approvals read from the keyboard.
#include <unistd.h>

#include <iostream>

#include "output/markdown.hpp"
#include "output/sinks.hpp"
#include "provisioning/provisioning.hpp"
#include "support/config.hpp"
#include "support/text.hpp"
#include "theme/theme.hpp"

namespace dravik::app {

namespace {

std::string count(std::int64_t n) {
  return provisioning::thousands(static_cast<std::uint64_t>(std::max<std::int64_t>(0, n)));
}

class TerminalOutput : public Output {
 public:
  explicit TerminalOutput(bool color) : color_(color) {}

  bool can_ask() const override { return true; }
  std::optional<std::string> ask(const std::string& question) override {
    write(paint("warning", question));
    std::string answer;
    at_line_start_ = true;  // the answer's Enter ends the line
    if (!std::getline(std::cin, answer)) return std::nullopt;
    return config::lower(config::trim(answer));
  }

  void reasoning(std::string_view piece) override {
    clear_progress();
    if (!in_reasoning_) {
      if (markdown_) write(markdown_->finish());
      write(paint("dim", "thinking: "));
      in_reasoning_ = true;
    }
    write(paint("dim", text::escape_controls(piece)));
  }
  void reply_text(std::string_view piece) override {
    clear_progress();
    if (in_reasoning_) write("\n");
    in_reasoning_ = false;
    if (!markdown_ && !plain_reply_) start_markdown();
    write(markdown_ ? markdown_->feed(piece) : escaped_lines(piece));
  }
  void prompt_progress(std::int64_t done, std::int64_t total) override {
    if (!color_) return;
    if (done >= total) {
      clear_progress();
      return;
    }
    write("\r\x1b[2K" + paint("status", "reading the prompt: " + count(done) + " of " + count(total) + " tokens (" +
                                            std::to_string(done * 100 / std::max<std::int64_t>(total, 1)) + "%)"));
    progress_shown_ = true;
  }
  void reply_end(bool cut_off) override {
    if (markdown_) write(cut_off ? markdown_->abandon() : markdown_->finish());
    markdown_.reset();
    plain_reply_ = false;
    clear_progress();
    if (in_reasoning_) write("\n");
    in_reasoning_ = false;
  }
  void figures(const ReplyFigures& f) override {
    if (const std::string line = f.line(); !line.empty()) note(line);
  }

  void tool_call(const ProposedCall& call) override {
    end_line();
    write(paint("tool", "> " + call.shown_name) + " " + paint("dim", call.shown_summary) + "\n");
    diff_lines(call.diff_lines);
  }
  void diff_lines(const std::vector<ShownLine>& lines) override {
    for (const ShownLine& l : lines) {
      const char* style = l.kind == '+' ? "success" : l.kind == '-' ? "error" : l.kind == '@' ? "command"
                        : l.kind == ' ' ? "" : "dim";
      write((*style ? paint(style, l.text) : l.text) + "\n");
    }
  }
  void tool_result(const std::string&, bool, const std::string& output) override {
    write(paint("dim", text::escape_controls(text::prefix(output, kShownResultChars))) + "\n");
  }

  void note(const std::string& line) override {
    end_line();
    write(paint("dim", line) + "\n");
  }
  void error(const std::string& line) override {
    end_line();
    emit(2, (color_ ? paint("error", line) : line) + "\n");
  }
  void status(const std::string& line) override {
    if (color_) write("\r\x1b[2K" + paint("status", line));
  }
  void clear_status() override {
    if (color_) emit(1, "\r\x1b[2K");
  }
  void text(const std::string& block) override { write(block); }
  void before_prompt() override { end_line(); }
  std::string style(std::string_view name) const override {
    return color_ ? sgr(theme::style_of(theme::RICH_THEME, name)) : "";
  }

 private:
  std::string paint(const char* name, const std::string& s) const {
    const std::string seq = style(name);
    return seq.empty() ? s : seq + s + "\x1b[0m";
  }
  void write(const std::string& s) {
    if (s.empty()) return;
    emit(1, s);
    at_line_start_ = s.back() == '\n' || s.ends_with("\n\x1b[0m");
  }
  void end_line() {
    clear_progress();
    if (!at_line_start_) write("\n");
  }
  void clear_progress() {
    if (progress_shown_) write("\r\x1b[2K");
    progress_shown_ = false;
  }
  // With colours and a width, the reply is rendered as Markdown; a terminal
  // that tells no width gets the text as it comes (rendering would hold
  // each line back until it ends).
  void start_markdown() {
    const auto size = terminal_size(STDOUT_FILENO);
    if (color_ && size.columns > 0)
      markdown_.emplace([](std::string_view name) { return sgr(theme::style_of(theme::RICH_THEME, name)); },
                        size.columns, size.rows);
    else
      plain_reply_ = true;
  }

  bool color_;
  std::optional<MarkdownRenderer> markdown_;  // the reply being rendered
  bool plain_reply_ = false;                  // the reply is shown as it comes
  bool in_reasoning_ = false;
  bool progress_shown_ = false;
  bool at_line_start_ = true;
};

}  // namespace

std::unique_ptr<Output> make_terminal_output(bool color) { return std::make_unique<TerminalOutput>(color); }

}  // namespace dravik::app
