// What a server or a model writes, made hostile: event streams nested
// absurdly deep or split anywhere, thousands of tool calls, patches with
// "--" lines, CR LF files and missing final newlines, runaway glob and
// grep patterns. A crash or a hang would take the test program with it, so
// those bodies run in a child process with a bound.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dravik_host.hpp"
#include "sidecar/sidecar_env.hpp"

using namespace dravik;
using namespace dravik::testing;

namespace {

// Runs `body` in a child process: true when it returned true within
// `seconds` (a crash, an overflowed stack or a hang is false).
bool holds_in_child(const std::function<bool()>& body, unsigned seconds = 120) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(seconds);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string nested(std::size_t depth) {
  return "{\"usage\":{\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}}";
}

}  // namespace

TEST(ServerStream, LineBoundsNestingAndToolCallIndices) {
  // The bound is the same however the bytes arrive, its line ending aside.
  hostlib::SseParser split(4);
  EXPECT_NO_THROW({
    split.feed("data\r");
    split.feed("\n");
  });
  hostlib::SseParser whole(4), in_pieces(4);
  EXPECT_THROW(whole.feed("data:x\n"), RuntimeError);
  in_pieces.feed("data");
  EXPECT_THROW(in_pieces.feed(":x"), RuntimeError);
  hostlib::SseParser many_lines(16);  // one event of many short data lines
  EXPECT_THROW(for (int i = 0; i < 10; ++i) many_lines.feed("data: 12345\n"), RuntimeError);

  // A chunk nested 200,000 deep: skipped by the stream's parsing, and
  // folded without a copy of the tree when handed over anyway.
  EXPECT_TRUE(holds_in_child([] {
    const std::string deep = nested(200000);
    if (hostlib::parse_chunk(deep)) return false;
    hostlib::ChatAccumulator acc;
    acc.add(Json::parse(deep));
    acc.add(Json::parse(R"({"usage":{"prompt_tokens":40,"prompt_tokens_details":{"cached_tokens":32},"x":[[1]]},
                            "timings":{"predicted_n":7,"predicted_per_second":12.5,"extra":{"y":[]}}})"));
    return acc.usage() == Json::parse(R"({"prompt_tokens":40,"cached_tokens":32})") &&
           acc.timings() == Json::parse(R"({"predicted_n":7,"predicted_per_second":12.5})");
  }));
  EXPECT_TRUE(hostlib::parse_chunk(nested(60)));

  // 20,000 deltas with different indices in one chunk: indexed, and only
  // the first calls of a reply are opened.
  EXPECT_TRUE(holds_in_child([] {
    Json calls = Json::array();
    for (int i = 20000; i > 0; --i) calls.push_back({{"index", i}, {"function", {{"name", "read_file"}}}});
    calls.push_back({{"index", 3}, {"function", {{"arguments", "{}"}}}});
    hostlib::ChatAccumulator acc;
    acc.add(Json{{"choices", {{{"delta", {{"tool_calls", std::move(calls)}}}}}}});
    const auto got = acc.tool_calls();
    return got.size() == hostlib::ChatAccumulator::kMaxToolCalls && got.front().name == "read_file" &&
           acc.message()["tool_calls"].size() == got.size();
  }));
}

// A call's arguments are parsed once, by the accumulator: whatever is not
// JSON, or nests deeper than the one limit, stays the model's text.
TEST(ServerStream, ToolCallArgumentsAreParsedOnceWithinOneDepthLimit) {
  auto arguments_of = [](const std::string& text) {
    hostlib::ChatAccumulator acc;
    const Json call = {{"index", 0}, {"function", {{"name", "grep"}, {"arguments", text}}}};
    const Json delta = {{"tool_calls", Json::array({call})}};
    acc.add(Json{{"choices", Json::array({Json{{"delta", delta}}})}});
    const auto calls = acc.tool_calls();
    return calls.size() == 1 ? calls[0].arguments : Json("no call");
  };
  const std::size_t limit = hostlib::kMaxToolArgumentDepth;
  auto nest = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const std::pair<std::string, Json> cases[] = {
      {"", Json::object()},
      {R"({"pattern":"x","path":"src"})", Json{{"pattern", "x"}, {"path", "src"}}},
      {R"({"pattern":)", R"({"pattern":)"},
      {"  ", "  "},
      {nest(limit), Json::parse(nest(limit))},
      {nest(limit + 1), nest(limit + 1)},
      {R"({"a":")" + nest(limit + 1) + R"("})", Json{{"a", nest(limit + 1)}}},  // brackets in a text are text
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(arguments_of(text), expected) << text;
  // Nested 200,000 deep: refused from the text, never parsed.
  EXPECT_TRUE(holds_in_child([&] { return arguments_of(nest(200000)).is_string(); }));
}

TEST(Patch, CountsDecideExtentsAndTheFileKeepsItsLineEndings) {
  auto apply = [](const std::string& text, const std::string& patch) {
    const auto r = hostlib::apply_patch(text, patch);
    return r ? r->text : "error: " + r.error().message;
  };
  // Removed and added lines that look like file headers.
  EXPECT_EQ(apply("a\n-- old comment\nb\n", "@@ -1,3 +1,3 @@\n a\n--- old comment\n+-- new comment\n b\n"),
            "a\n-- new comment\nb\n");
  EXPECT_EQ(apply("x\n--- y\n", "@@ -1,2 +1,2 @@\n x\n---- y\n++++ z\n"), "x\n+++ z\n");
  // CR LF files stay CR LF, context and added lines alike.
  EXPECT_EQ(apply("a\r\nb\r\nc\r\n", "@@ -1,3 +1,4 @@\n a\n-b\n+B\n+B2\n c\n"), "a\r\nB\r\nB2\r\nc\r\n");
  EXPECT_EQ(apply("a\r\nb\r\n", "@@ -1,2 +1,2 @@\r\n a\r\n-b\r\n+c\r\n"), "a\r\nc\r\n");
  // "\ No newline at end of file", on either side.
  const std::string no_newline = "\\ No newline at end of file\n";
  EXPECT_EQ(apply("a\nb", "@@ -1,2 +1,2 @@\n a\n-b\n" + no_newline + "+b\n"), "a\nb\n");
  EXPECT_EQ(apply("a\nb\n", "@@ -1,2 +1,2 @@\n a\n-b\n+B\n" + no_newline), "a\nB");
  EXPECT_EQ(apply("a\nb", "@@ -2 +2,2 @@\n-b\n" + no_newline + "+b\n+c\n" + no_newline), "a\nb\nc");
  // Header numbers past the file, however large, fail with a clear message.
  EXPECT_EQ(apply("a\nb\n", "@@ -1 +1 @@\n-a\n+A\n@@ -9223372036854775807 +2 @@\n-b\n+B\n"),
            "error: hunk 2 (@@ -9223372036854775807 +2 @@) starts at line 9223372036854775807, past the end of "
            "the file (2 lines)");
  EXPECT_NE(apply("a\n", "@@ --9223372036854775808 +1 @@\n-a\n+A\n").find("cannot read the hunk header"),
            std::string::npos);
  EXPECT_NE(apply("a\n", "@@ -99999999999999999999 +1 @@\n-a\n+A\n").find("cannot read the hunk header"),
            std::string::npos);
  // A body shorter or longer than its header counts.
  EXPECT_NE(apply("a\nb\n", "@@ -1,2 +1,2 @@\n-a\n+A\n@@ -2 +2 @@\n-b\n+B\n").find("ends after 1 old and 1 new"),
            std::string::npos);
  EXPECT_NE(apply("a\nb\n", "@@ -1 +1 @@\n-a\n+A\n-b\n+B\n").find("more lines than its header counts"),
            std::string::npos);

  // Several files: only the section of the file being edited applies.
  const std::string two_files =
      "--- a/f\n+++ b/f\n@@ -1 +1 @@\n-a\n+A\ndiff --git a/g b/g\n--- a/g\n+++ b/g\n@@ -2 +2 @@\n-b\n+B\n";
  auto r = hostlib::apply_patch("a\nb\n", two_files, "./f");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->text, "A\nb\n");
  EXPECT_EQ(r->hunks, 1);
  r = hostlib::apply_patch("a\nb\n", two_files, "src/g");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->text, "a\nB\n");
  r = hostlib::apply_patch("a\nb\n", two_files, "h");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (Failure{ErrorKind::invalid, "the patch changes several files (f, g); give only the hunks of h"}));
}

TEST(Glob, SegmentsClassesHiddenNamesAndManyDoubleStars) {
  using hostlib::glob_match;
  EXPECT_TRUE(glob_match("src/**/*.cpp", "src/a.cpp"));
  EXPECT_TRUE(glob_match("src/**/*.cpp", "src/x/y/a.cpp"));
  EXPECT_FALSE(glob_match("src/**/*.cpp", "lib/a.cpp"));
  EXPECT_TRUE(glob_match("**", "a/b/.hidden/c"));
  EXPECT_FALSE(glob_match("src/*", "src/.env"));
  EXPECT_TRUE(glob_match("src/.*", "src/.env"));
  EXPECT_TRUE(glob_match("t[a-c]st/[!x]?.h", "tbst/yz.h"));
  EXPECT_FALSE(glob_match("t[a-c]st/[!x]?.h", "tdst/yz.h"));
  EXPECT_TRUE(glob_match("a\\*b/[]]", "a*b/]"));
  EXPECT_TRUE(glob_match("*a*a*a*a*a*a*b", std::string(200, 'a') + "b"));
  EXPECT_FALSE(glob_match("*a*a*a*a*a*a*b", std::string(250, 'a')));
  // 24 "**" segments against a path 12 directories deep that they miss.
  EXPECT_TRUE(holds_in_child([] {
    std::string pattern, path;
    for (int i = 0; i < 24; ++i) pattern += "**/";
    for (int i = 0; i < 12; ++i) path += "dir" + std::to_string(i) + "/";
    return !glob_match(pattern + "*.rs", path + "main.cpp") && glob_match(pattern + "*.cpp", path + "main.cpp");
  }));
}

TEST(Grep, LinearOnLongLinesAndPathologicalPatterns) {
  char tmpl[] = "/tmp/dravik-grep-XXXXXX";
  const fs::path dir = fs::path(::mkdtemp(tmpl));
  write_text(dir / "min.js", "function f(){" + std::string(200000, 'x') + "}// TODO\nvar a;\n");
  write_text(dir / "as.txt", std::string(40, 'a') + "!\nfoo\n" + std::string(40, 'a') + "\n");
  write_text(dir / "n.txt", "x\nfoo\ny\nfoo bar\nFOO\n");
  hostlib::ShellOptions o;
  o.workdir = dir;
  hostlib::LocalShellExecutor sh(o);
  EXPECT_TRUE(holds_in_child([&] {
    const std::string hit = sh.grep_now("function.*TODO", nullptr, nullptr, false);
    return hit.rfind("min.js:1: function f(){xxx", 0) == 0 && hit.find('\n') == hit.size() - 1;
  }));
  EXPECT_TRUE(holds_in_child([&] { return sh.grep_now("(a+)+$", nullptr, nullptr, false) == "as.txt:3: " + std::string(40, 'a') + "\n"; }));
  EXPECT_EQ(sh.grep_now("foo", "n.txt", nullptr, false), "n.txt:2: foo\nn.txt:4: foo bar\n");
  EXPECT_EQ(sh.grep_now("foo", "n.txt", nullptr, true), "n.txt:2: foo\nn.txt:4: foo bar\nn.txt:5: FOO\n");
  EXPECT_EQ(sh.grep_now("^y$|r$", "n.txt", nullptr, false), "n.txt:3: y\nn.txt:4: foo bar\n");
  EXPECT_EQ(sh.grep_now("\\bfo{2}\\s", "n.txt", nullptr, false), "n.txt:4: foo bar\n");
  EXPECT_EQ(sh.grep_now("x[\\s\\S]*y", "n.txt", nullptr, false), "No matches for 'x[\\s\\S]*y'");  // one line at a time
  EXPECT_EQ(sh.grep_now("a)(b", nullptr, nullptr, false), "Error: invalid regular expression 'a)(b': unexpected ): a)(b");
  fs::remove_all(dir);
}
