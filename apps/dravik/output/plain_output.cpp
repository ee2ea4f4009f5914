// Plain text for pipes and scripts: the reply exactly as the model wrote it
// (control characters escaped), the tool calls and their diffs on standard
// output; notes, figures and errors on standard error. No colour, no
// cursor movement, no question.
#include <iostream>

#include "output/sinks.hpp"
#include "support/text.hpp"

namespace dravik::app {

std::string escaped_lines(std::string_view text) {
  std::string shown;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    shown += text::escape_controls(text.substr(start, nl - start));
    if (nl < text.size()) shown += "\n";
    start = nl + 1;
  }
  return shown;
}

namespace {

class PlainOutput : public Output {
 public:
  void reasoning(std::string_view) override {}
  void reply_text(std::string_view piece) override { write(escaped_lines(piece)); }
  void reply_end(bool) override {}
  void figures(const ReplyFigures& f) override {
    if (const std::string line = f.line(); !line.empty()) note(line);
  }
  void tool_call(const ProposedCall& call) override {
    end_line();
    write("> " + call.shown_name + " " + call.shown_summary + "\n");
    diff_lines(call.diff_lines);
  }
  void diff_lines(const std::vector<ShownLine>& lines) override {
    for (const ShownLine& l : lines) write(l.text + "\n");
  }
  void tool_result(const std::string&, bool, const std::string&) override {}
  void note(const std::string& line) override { emit(2, line + "\n"); }
  void error(const std::string& line) override { emit(2, line + "\n"); }
  void text(const std::string& block) override { write(block); }
  void before_prompt() override { end_line(); }

 private:
  void write(const std::string& s) {
    if (s.empty()) return;
    emit(1, s);
    at_line_start_ = s.back() == '\n';
  }
  void end_line() {
    if (!at_line_start_) write("\n");
  }
  bool at_line_start_ = true;
};

}  // namespace

std::unique_ptr<Output> make_plain_output() { return std::make_unique<PlainOutput>(); }

}  // namespace dravik::app
