// --json: one JSON object a line on standard output for every chunk, tool
// call, tool result and the reply's figures, and a "done" line at the end;
// notes and errors go to standard error, so that the standard output
// stays machine-readable.
#include <iostream>

#include "output/sinks.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace {

Json optional_number(const auto& v) { return v ? Json(*v) : Json(); }

class JsonOutput : public Output {
 public:
  void chunk(const Json& data) override { line(Json{{"event", "chunk"}, {"data", data}}); }
  void reasoning(std::string_view) override {}
  void reply_text(std::string_view) override {}
  void reply_end(bool) override {}
  void figures(const ReplyFigures& f) override {
    if (f.line().empty()) return;
    line(Json{{"event", "figures"},
              {"prompt_tokens", optional_number(f.prompt)},
              {"cached_tokens", optional_number(f.cached)},
              {"reply_tokens", optional_number(f.reply)},
              {"tokens_per_second", optional_number(f.per_second)}});
  }
  void tool_call(const ProposedCall& call) override {
    Json event{{"event", "tool_call"}, {"name", call.name}, {"arguments", call.arguments}};
    if (!call.diff.empty()) event["diff"] = text::sanitize_utf8(call.diff);
    line(event);
  }
  void diff_lines(const std::vector<ShownLine>&) override {}
  void tool_result(const std::string& name, bool ok, const std::string& output) override {
    line(Json{{"event", "tool_result"}, {"name", name}, {"ok", ok}, {"output", output}});
  }
  void note(const std::string& l) override { emit(2, l + "\n"); }
  void error(const std::string& l) override { emit(2, l + "\n"); }
  void text(const std::string& block) override { emit(2, block); }
  void done(bool ok, const std::string& reply) override {
    emit(1, dump_json(Json{{"event", "done"}, {"ok", ok}, {"content", reply}}) + "\n");
  }

 private:
  static void line(const Json& event) { emit(1, dump_json(event) + "\n"); }
};

}  // namespace

std::unique_ptr<Output> make_json_output() { return std::make_unique<JsonOutput>(); }

}  // namespace dravik::app
