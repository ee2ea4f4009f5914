#include "support/text.hpp"

#include <cstdlib>

#include "support/files.hpp"

#include <gtest/gtest.h>

using namespace dravik::text;

TEST(Utf8, CountsAndCutsCodePointsNeverBytes) {
  const std::string s = "añ€😀b";  // 1 + 2 + 3 + 4 + 1 bytes
  EXPECT_EQ(length(s), 5u);
  EXPECT_EQ(prefix(s, 3), "añ€");
  EXPECT_EQ(prefix(s, 0), "");
  EXPECT_EQ(prefix(s, 10), s);
  EXPECT_EQ(suffix(s, 2), "😀b");
  EXPECT_EQ(suffix(s, 0), "");
  EXPECT_EQ(suffix(s, 99), s);
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(sanitize_utf8("ok"), "ok");
  EXPECT_EQ(sanitize_utf8("a\xff" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(sanitize_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong "/"
  EXPECT_EQ(sanitize_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(sanitize_utf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // truncated
}

TEST(EscapeControls, MakesHiddenCharactersVisible) {
  EXPECT_EQ(escape_controls("rm -rf ~\rls"), "rm -rf ~\\rls");
  EXPECT_EQ(escape_controls("a\nb\tc"), "a\\nb\\tc");
  EXPECT_EQ(escape_controls("\x1b[2K\x07"), "\\x1b[2K\\x07");
  EXPECT_EQ(escape_controls("csi\xC2\x9b" "31m"), "csi\\x9b31m");
  EXPECT_EQ(escape_controls("del\x7f"), "del\\x7f");
  EXPECT_EQ(escape_controls("naïve ✓ \\n"), "naïve ✓ \\n");
}

// An approval prompt must never show two different commands alike.
TEST(EscapeUnambiguous, LineBreaksBackslashesAndInvisibleCharactersStayVisible) {
  EXPECT_NE(escape_unambiguous("echo ok\nrm -rf build"), escape_unambiguous("echo ok\\nrm -rf build"));
  EXPECT_EQ(escape_unambiguous("echo ok\nrm"), "echo ok\\nrm");
  EXPECT_EQ(escape_unambiguous("echo ok\\nrm"), "echo ok\\\\nrm");
  // Code in a diff keeps its backslashes; what hides or reorders text is still shown.
  EXPECT_EQ(escape_unambiguous("s = \"\\n\" \xE2\x80\xAE", false), "s = \"\\n\" \\u{202e}");
  EXPECT_EQ(escape_unambiguous("ls \xE2\x80\xAE" "txt.exe"), "ls \\u{202e}txt.exe");
  EXPECT_EQ(escape_unambiguous("a\xE2\x80\x8B" "b\xEF\xBB\xBF"), "a\\u{200b}b\\u{feff}");
  EXPECT_EQ(escape_unambiguous("\x1b]52;c;Y3VybA==\x07 naïve ✓"), "\\x1b]52;c;Y3VybA==\\x07 naïve ✓");
  EXPECT_EQ(escape_unambiguous("c1\xC2\x9b" "31m bad\xFF"), "c1\\u{009b}31m bad\\xff");
  EXPECT_NE(escape_unambiguous("rm \xFF"), escape_unambiguous("rm \xFE"));
  EXPECT_NE(escape_unambiguous("rm \xFF"), escape_unambiguous("rm \xEF\xBF\xBD"));
}

// What an approval shows: texts that differ never look alike, yet a written
// backslash stands as written wherever it cannot be taken for an escape,
// and a line break is shown as a break with a mark.
TEST(EscapeUnambiguous, CommandsAreShownOverLinesAndNeverAlike) {
  const std::string c = "    ";
  const std::vector<std::pair<std::string, std::string>> shown = {
      {"echo ok\nrm -rf ~", "echo ok\u23CE\n    rm -rf ~"},
      {"echo ok\\nrm -rf ~", "echo ok\\nrm -rf ~"},
      {"sed 's/\\./,/' a", "sed 's/\\./,/' a"},
      {"printf 'a\\tb'", "printf 'a\\\\tb'"},  // "\t" would read as a tab
      {"a\tb", "a\\tb"},
      {"x\\\\y", "x\\\\\\y"},
      {"make \\\n  all", "make \\\u23CE\n      all"},
      {"ls \xE2\x80\xAE" "cod.exe", "ls \\u{202e}cod.exe"},
      {"x\\\xE2\x80\xAE", "x\\\\\\u{202e}"},
      {"x\\", "x\\"},
  };
  for (const auto& [raw, expected] : shown) EXPECT_EQ(escape_unambiguous_lines(raw, c), expected) << raw;
  // Pairs that a display with escapes could confuse.
  const std::vector<std::pair<std::string, std::string>> apart = {
      {"a\nb", "a\\nb"},       {"a\tb", "a\\tb"},        {"a\x1b" "b", "a\\x1bb"},
      {"a\\\x1b", "a\\\\x1b"}, {"a\\\\x1b", "a\\x1b"},    {"\xE2\x80\xAE", "\\u{202e}"},
      {"a\\\\", "a\\"},        {"a\n  b", "a\nb"},        {"a\r\nb", "a\\r\nb"}};
  for (const auto& [x, y] : apart) {
    EXPECT_NE(escape_unambiguous_lines(x, c), escape_unambiguous_lines(y, c)) << x << " | " << y;
    EXPECT_NE(escape_unambiguous(x), escape_unambiguous(y)) << x << " | " << y;
  }
}

TEST(LooksLikeText, AStrayOddByteIsTextBinaryDataIsNot) {
  EXPECT_TRUE(looks_like_text("#!/bin/sh\n" + std::string(1, '\0') + "curl -s x | sh\nexit 0\n"));
  EXPECT_TRUE(looks_like_text("caf\xC3\xA9 \x1b[1mbold\x1b[0m\r\n\tx\f"));
  EXPECT_TRUE(looks_like_text(""));
  EXPECT_FALSE(looks_like_text(std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0", 16)));
  EXPECT_FALSE(looks_like_text("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe"));
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_FALSE(looks_like_text(all));
}

// The home directory: HOME when absolute, else the password database,
// never the working directory.
TEST(HomeDirectory, HomeOrThePasswordEntryNeverTheWorkingDirectory) {
  const char* saved = std::getenv("HOME");
  const std::string before = saved ? saved : "";
  ::setenv("HOME", "/somewhere/home", 1);
  EXPECT_EQ(dravik::files::home_directory(), "/somewhere/home");
  for (const char* value : {"", ".", "relative/dir"}) {
    ::setenv("HOME", value, 1);
    const auto h = dravik::files::home_directory();
    EXPECT_TRUE(!h || (*h)[0] == '/') << value;
  }
  ::unsetenv("HOME");
  const auto h = dravik::files::home_directory();
  EXPECT_TRUE(!h || (*h)[0] == '/');
  if (saved) ::setenv("HOME", before.c_str(), 1);
}
