// Markdown replies on a terminal: rendered in a pseudo-terminal (what the
// screen shows once the cursor movements are applied), unchanged on a pipe,
// and never a way for model text to reach the terminal as control bytes.
#include <sys/ioctl.h>

#include <cctype>
#include <cstring>

#include <gtest/gtest.h>

#include "apps/chat_fixture.hpp"
#include "apps/terminal.hpp"
#include "output/markdown.hpp"

using namespace dravik;
using namespace dravik::testing;
using dravik::app::MarkdownRenderer;

namespace {

// `out` without the renderer's own sequences (the styles of any_style,
// cursor up, clear below): whatever escape is left came from the model.
std::string without_own_sequences(const std::string& out) {
  static const char* const kOwn[] = {"0m", "1m", "3m", "4m", "9m", "38;2;1;2;3m", "J"};
  std::string left;
  for (std::size_t i = 0; i < out.size();) {
    if (out.compare(i, 2, "\x1b[") == 0) {
      std::size_t len = 0;
      for (const char* own : kOwn)
        if (out.compare(i + 2, std::strlen(own), own) == 0) len = std::strlen(own);
      if (!len) {  // cursor up: digits then "A"
        std::size_t j = i + 2;
        while (j < out.size() && std::isdigit(static_cast<unsigned char>(out[j]))) ++j;
        if (j > i + 2 && j < out.size() && out[j] == 'A') len = j + 1 - (i + 2);
      }
      if (len) {
        i += 2 + len;
        continue;
      }
    }
    left += out[i++];
  }
  return left;
}

// The rows a terminal `width` columns wide shows for `bytes`: text wraps at
// the last column when the next character comes; "\r", "\n" (as "\r\n", the
// way a terminal device sends it), cursor up (CSI n A), clear below (CSI J)
// and clear line (CSI 2K) move or erase; other sequences (SGR) and control
// bytes change nothing here. One column per character.
std::vector<std::string> screen(const std::string& bytes, std::size_t width) {
  std::vector<std::string> rows(1);
  std::size_t row = 0, col = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
      std::size_t j = i + 2;
      while (j < bytes.size() && bytes[j] >= 0x20 && bytes[j] <= 0x3f) ++j;
      const std::string params = bytes.substr(i + 2, j - i - 2);
      const char final = j < bytes.size() ? bytes[j] : 0;
      if (final == 'A') row -= std::min<std::size_t>(row, params.empty() ? 1 : std::stoul(params));
      if (final == 'J') {
        rows.resize(row + 1);
        rows[row].resize(std::min(rows[row].size(), col));
      }
      if (final == 'K') rows[row].clear();
      if (final == 'A' || final == 'J') col = std::min(col, width - 1);
      i = j;
      continue;
    }
    if (c == '\r') {
      col = 0;
    } else if (c == '\n') {
      ++row;
      col = 0;
    } else if (static_cast<unsigned char>(c) >= 0x20 && (static_cast<unsigned char>(c) & 0xc0) != 0x80) {
      // The first byte of a character.
      if (col == width) {  // the pending wrap
        ++row;
        col = 0;
      }
      if (rows.size() <= row) rows.resize(row + 1);
      auto& r = rows[row];
      // Cells hold whole characters: find the byte where column `col` starts.
      std::size_t at = 0, n = 0;
      while (at < r.size() && n < col) {
        ++at;
        while (at < r.size() && (static_cast<unsigned char>(r[at]) & 0xc0) == 0x80) ++at;
        ++n;
      }
      if (n < col) r.append(col - n, ' '), at = r.size();
      std::size_t end = at;
      if (end < r.size()) {
        ++end;
        while (end < r.size() && (static_cast<unsigned char>(r[end]) & 0xc0) == 0x80) ++end;
      }
      std::size_t len = 1;
      while (i + len < bytes.size() && (static_cast<unsigned char>(bytes[i + len]) & 0xc0) == 0x80) ++len;
      r.replace(at, end - at, bytes.substr(i, len));
      i += len - 1;
      ++col;
      continue;
    }
    if (rows.size() <= row) rows.resize(row + 1);
  }
  while (!rows.empty() && rows.back().empty()) rows.pop_back();
  return rows;
}

std::string joined(const std::vector<std::string>& rows) {
  std::string s;
  for (const auto& r : rows) s += r + "\n";
  return s;
}

// A theme style as SGR: the same sequence for every name.
std::string any_style(std::string_view) { return "\x1b[38;2;1;2;3m"; }

const std::string kReply =
    "# Plan\n"
    "\n"
    "Fix the **parser** and keep `end + 1`:\n"
    "- read the file\n"
    "- change [the line](https://example.com/a)\n"
    "\n"
    "```python\n"
    "print(1)\n"
    "```\n"
    "Done.";

}  // namespace

// Each line streamed in small pieces, echoed on a narrow terminal as it
// comes: the screen ends with the rendering only, however the echo wrapped.
TEST(Markdown, TheScreenShowsTheRenderingOfEveryLine) {
  const std::string reply =
      "A **long** line that wraps over rows here\n- item \xe4\xb8\xad\xe6\x96\x87 wide\n" + kReply;
  for (const std::size_t width : {7u, 10u, 80u}) {
    MarkdownRenderer md(any_style, static_cast<int>(width), 4);
    std::string out;
    for (std::size_t i = 0; i < reply.size(); i += 3) out += md.feed(std::string_view(reply).substr(i, 3));
    out += md.finish();
    std::string shown;
    for (const auto& r : screen(out, width)) shown += r;  // rows joined: wrapping undone
    EXPECT_EQ(shown,
              "A long line that wraps over rows here"
              "\u2022 item \xe4\xb8\xad\xe6\x96\x87 wide"
              "Plan"
              "Fix the parser and keep end + 1:"
              "\u2022 read the file"
              "\u2022 change the line (https://example.com/a)"
              "\u2500\u2500 python"
              "print(1)"
              "\u2500\u2500"
              "Done.")
        << "width " << width << "\n" << joined(screen(out, width));
  }
}

// Escapes in text, code, code blocks and link addresses, written raw or as
// character references, in a reply that ends or is cut off: none reaches the
// output as a control byte; the only sequences are the renderer's own.
TEST(Markdown, ModelTextNeverReachesTheTerminalAsControls) {
  const std::string attempts =
      "# \x1b]0;title\x07 head\n"
      "`\x1b[2J` and [link](http://x/&#27;[31m) and <http://y/&#27;[2J> &#x9b;6n \x1b[31m\n"
      "```sh\x1b[31m\n"
      "echo \x1b]52;c;Y3VybA==\x07 \xc2\x9b" "31m\n"
      "```\n"
      "tail \x1b[5";
  for (const int width : {0, 12, 80}) for (const bool cut_off : {false, true}) {
    MarkdownRenderer md(any_style, width);
    std::string out;
    for (std::size_t i = 0; i < attempts.size(); i += 5) out += md.feed(std::string_view(attempts).substr(i, 5));
    out += cut_off ? md.abandon() : md.finish();
    const std::string left = without_own_sequences(out);
    EXPECT_EQ(left.find('\x1b'), std::string::npos) << left;
    EXPECT_EQ(left.find('\x07'), std::string::npos) << left;
    EXPECT_EQ(left.find("\xc2\x9b"), std::string::npos) << left;
    for (const char* shown : {"\\x1b]0;title\\x07", "\\x1b[2J", "link (http://x/\\x1b[31m)", "6n \\x1b[31m",
                              "http://y/\\x1b[2J", "\\x9b6n", "\\x1b]52;c;Y3VybA==\\x07", "tail \\x1b[5"})
      EXPECT_NE(left.find(shown), std::string::npos) << shown << " in " << left;
  }
}

// Replies a hostile model can write: nesting that would overflow a
// recursive walk, lines on which cmark-gfm is quadratic, reordering
// characters. Each is shown (plainly where it must be), escaped, whole.
TEST(Markdown, NoReplyCrashesStallsOrReordersTheScreen) {
  auto repeat = [](std::string_view s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  struct Case {
    std::string reply;
    std::string shown;  // a part of the output
  };
  const std::vector<Case> cases = {
      {repeat(">", 60000) + " deep", "> deep"},
      {repeat("- ", 30000) + "item", "- - item"},
      {repeat("*", 100000), "****"},
      {repeat("![[]()", 200000), "![[]()![[]()"},
      {repeat(">", 200) + " deep", ">>> deep"},
      {repeat("- ", 100) + "item", "- - item"},
      {repeat("![[]()", 1000) + "\n" + repeat("![[]()", 1000) + "\n", "!["},
      {"> > > a quote", "\u2502 \u2502 \u2502 a quote"},
      {"ls \xE2\x80\xAE" "txt.exe and **b\xE2\x81\xA6" "x**", "ls \\u{202e}txt.exe and "},
      {"`\xE2\x80\xAE`", "\\u{202e}"},
  };
  for (const auto& c : cases) {
    MarkdownRenderer md(any_style, 80, 24);
    std::string out = md.feed(c.reply);
    out += md.finish();
    EXPECT_NE(without_own_sequences(out).find(c.shown), std::string::npos) << c.reply.substr(0, 40);
    EXPECT_EQ(out.find("\xE2\x80\xAE"), std::string::npos);
    EXPECT_EQ(out.find("\xE2\x81\xA6"), std::string::npos);
  }
}

// The same reply: rendered in a pseudo-terminal (no "# ", no fences, bullets
// replaced), and byte for byte as it came on a pipe.
TEST_F(Chat, MarkdownIsRenderedOnATerminalAndKeptOnAPipe) {
  write_text(script, Json::array({{{"content", kReply}}, {{"content", kReply}}}).dump());
  auto e = env();
  e.erase("NO_COLOR");
  e["TERM"] = "xterm-256color";
  Terminal t(dravik, work, e);
  winsize ws{};
  ws.ws_row = 24;
  ws.ws_col = 80;
  ASSERT_EQ(::ioctl(t.master, TIOCSWINSZ, &ws), 0);
  ASSERT_TRUE(t.read_until("you")) << t.screen;
  t.type("explain\r");
  ASSERT_TRUE(t.read_until("explain")) << t.screen;
  const std::size_t reply_from = t.from;
  ASSERT_TRUE(t.read_until(" tokens/s")) << t.screen;
  const std::string shown = joined(screen(t.screen.substr(reply_from, t.from - reply_from), 80));
  EXPECT_NE(shown.find("\nPlan\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\u2022 read the file\n\u2022 change the line (https://example.com/a)\n"), std::string::npos)
      << shown;
  EXPECT_NE(shown.find("\u2500\u2500 python\nprint(1)\n\u2500\u2500\nDone.\n"), std::string::npos) << shown;
  for (const char* mark : {"# ", "```", "- ", "**", "`"}) EXPECT_EQ(shown.find(mark), std::string::npos) << mark;
  EXPECT_NE(t.screen.find("\x1b[1m"), std::string::npos);  // bold, for the heading and **parser**
  t.type("/exit\r");
  EXPECT_EQ(t.wait_exit(), 0) << t.screen;

  auto r = chat({"-p", "explain"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, kReply + "\n");
}
