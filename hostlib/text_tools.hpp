// The pure text machinery of the host services: the server-sent-events
// parser and the chunk accumulator of the chat protocol, the unified-diff
// applier of edit_file, glob matching and grep's line matcher. None of it
// does I/O or touches the event loop, so it also builds on its own (fuzzing).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_services/host_services.hpp"
#include "support/json.hpp"
#include "support/result.hpp"

namespace re2 {
class RE2;
}

namespace dravik::hostlib {

// ----------------------------------------------------------- chat protocol

// Incremental server-sent-events parser: feed it bytes as they arrive, take
// the events' data out. Handles CR LF, comment lines, multi-line data and
// events split anywhere. A line longer than `max_line` bytes (its line ending
// not counted) is an error, whether it arrived whole or in pieces, and so is
// the data of one event growing beyond it.
class SseParser {
 public:
  explicit SseParser(std::size_t max_line = 8u << 20) : max_line_(max_line) {}
  void feed(std::string_view bytes);
  // The data of the next complete event, if one is complete.
  std::optional<std::string> next_event();

 private:
  void line(std::string_view l);
  std::size_t max_line_;
  std::string buffer_;
  std::size_t scanned_ = 0;
  std::string data_;
  bool has_data_ = false;
  std::vector<std::string> events_;
  std::size_t taken_ = 0;
};

// How deep a chunk of the chat stream may nest. Chunks of real servers nest
// about six levels; anything far deeper is refused before it is parsed, so
// that no part of the program ever copies or prints a tree of that depth.
inline constexpr std::size_t kMaxChunkDepth = 64;

// The JSON of one event's data: nothing when it is not JSON or nests deeper
// than kMaxChunkDepth.
std::optional<Json> parse_chunk(std::string_view data);

// How deep the arguments of a tool call may nest: 32 arrays and objects,
// far more than any tool's arguments need. Deeper arguments stay the
// model's text (and are refused by the tool as arguments that are not a
// map), so that nothing copies, prints or walks a tree of that depth.
inline constexpr std::size_t kMaxToolArgumentDepth = 32;

// Folds streamed chunks into the assistant's message.
class ChatAccumulator {
 public:
  // How many tool calls one reply may open; deltas for further calls are
  // dropped (dropped_tool_calls() counts them).
  static constexpr std::size_t kMaxToolCalls = 128;

  void add(const Json& chunk);
  const std::string& content() const { return content_; }
  const std::string& reasoning() const { return reasoning_; }
  const std::optional<std::string>& finish_reason() const { return finish_reason_; }
  // The token counts the server reported, as a flat object of numbers:
  // prompt_tokens, completion_tokens, total_tokens, cached_tokens (from
  // usage.prompt_tokens_details), whichever were given.
  const std::optional<Json>& usage() const { return usage_; }
  // The numeric figures of llama-server's "timings" (prompt_n, cache_n,
  // predicted_n, prompt_ms, predicted_ms, prompt_per_token_ms,
  // predicted_per_token_ms, prompt_per_second, predicted_per_second).
  const std::optional<Json>& timings() const { return timings_; }
  // The tool calls assembled from their deltas, in index order (the order
  // of message()'s "tool_calls", whose ids answer them), their arguments
  // parsed: this is the one parse of a call's arguments. Arguments that are
  // not valid JSON, or that nest deeper than kMaxToolArgumentDepth, are
  // kept as the model's text; empty arguments are an empty map.
  std::vector<host::ToolCall> tool_calls() const;
  std::size_t dropped_tool_calls() const { return dropped_calls_; }
  // {"role": "assistant", "content": ..., "tool_calls": [...]} for the
  // conversation (reasoning left out: it is not sent back).
  Json message() const;

 private:
  struct PendingCall {
    std::string id, name, arguments;
  };
  std::string content_, reasoning_;
  std::map<std::int64_t, PendingCall> calls_;
  std::size_t dropped_calls_ = 0;
  std::optional<std::string> finish_reason_;
  std::optional<Json> usage_, timings_;
};

// ------------------------------------------------------------------ patches

// Applies a unified diff to `text`. Each hunk's extent is what its header
// counts; its context and removed lines must be found (at the stated line or
// nearby); otherwise nothing changes and the failure (invalid) says which
// hunk failed. Lines the patch adds take the file's line ending (LF or
// CR LF), and "\ No newline at end of file" is honoured on both sides. A
// patch with sections for several files applies the section(s) naming
// `path` (as the tool was given it), and is refused when none or no path is
// known.
struct PatchedText {
  std::string text;
  int hunks = 0;  // hunks applied; at least one
};
Result<PatchedText> apply_patch(const std::string& text, const std::string& patch, std::string_view path = {});

// The new text of an edit_file request applied to `text`: the unified patch,
// or old_string replaced by new_string (once, where it must be unique, or
// everywhere with replace_all). The failure (invalid) says why it does not
// apply ("old_string was not found", "the patch does not apply: ...").
struct EditedText {
  std::string text;
  std::int64_t replacements = 0;  // the hunks or the occurrences
};
Result<EditedText> compute_edit(const std::string& text, const host::EditFileRequest& request,
                                std::string_view path = {});

// A unified diff ("--- a/PATH", "+++ b/PATH", "@@ -l,n +l,n @@" hunks with
// `context` lines around each change) from `before` to `after`, compared
// line by line; a last line without its newline is followed by "\ No newline
// at end of file". "" when they are equal. The raw bytes of the lines are
// kept: escaping them for a terminal is the caller's business.
std::string unified_diff(std::string_view before, std::string_view after, std::string_view path, int context = 3);

// ------------------------------------------------------------- glob & grep

// Glob matching of a relative path: "*" and "?" within one segment, "**"
// across segments, "[abc]", "[!abc]" and "[a-z]" classes, "\" quoting the
// next character; a leading "." of a segment is matched only by a "." of
// the pattern (except across "**"). Time polynomial in pattern and path.
bool glob_match(std::string_view pattern, std::string_view path);
// One segment (a file name) against one pattern segment, with the same rules.
bool glob_match_name(std::string_view pattern, std::string_view name);
// The non-empty "/"-separated parts of a path ("a//b/" gives "a", "b"),
// viewing `path`.
std::vector<std::string_view> path_segments(std::string_view path);

// grep's matching, built once per search: a regular expression in RE2's
// syntax (linear time, bounded stack, lines of any length), or a plain
// substring search when the pattern has no special character.
class LineMatcher {
 public:
  // The matcher of `pattern`, or why it does not compile (invalid, in RE2's
  // words: "missing ): (a").
  static Result<LineMatcher> compile(const std::string& pattern, bool ignore_case);
  ~LineMatcher();
  LineMatcher(LineMatcher&&) noexcept;
  LineMatcher& operator=(LineMatcher&&) noexcept;
  // Calls on_line(line, number) for each line of `content` that matches,
  // in order (number from 1; the line without its "\n"); stops when it
  // returns false. Returns false when it was stopped.
  bool for_each_match(std::string_view content,
                      const std::function<bool(std::string_view line, std::size_t number)>& on_line) const;

 private:
  std::string literal_;
  bool use_literal_ = false;
  std::unique_ptr<re2::RE2> re_;
  LineMatcher() = default;
};

}  // namespace dravik::hostlib
