#include "support/text.hpp"

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
  EXPECT_EQ(escape_unambiguous("c1\xC2\x9b" "31m bad\xFF"), "c1\\x9b31m bad\xEF\xBF\xBD");
}
