#include "theme/theme.hpp"

#include <gtest/gtest.h>

using namespace dravik::theme;

TEST(Tables, HoldExactlyTheListedEntriesInOrder) {
  ASSERT_EQ(PROMPT_STYLE.size(), 29u);
  ASSERT_EQ(RICH_THEME.size(), 13u);
  EXPECT_EQ(PROMPT_STYLE.front(), (std::pair<std::string, std::string>{"prompt", "#eef6f1 bold"}));
  EXPECT_EQ(PROMPT_STYLE.back(), (std::pair<std::string, std::string>{"scrollbar.button", "bg:#243244"}));
  EXPECT_EQ(style_of(PROMPT_STYLE, "brand-chip-airgapped"), "bg:#4c0519 #fff1f2 bold");
  EXPECT_EQ(style_of(PROMPT_STYLE, "completion-menu.completion.current"), "bg:#243244 #f8fafc bold");
  EXPECT_EQ(RICH_THEME.front().first, "brand");
  EXPECT_EQ(style_of(RICH_THEME, "code"), "#dbe7ee on #0f1720");
  EXPECT_EQ(RICH_THEME.back(), (std::pair<std::string, std::string>{"success", "bold #b7efc5"}));
  for (const auto* table : {&PROMPT_STYLE, &RICH_THEME}) {
    std::set<std::string> names;
    for (const auto& [k, v] : *table) {
      EXPECT_TRUE(names.insert(k).second) << "duplicate " << k;
      for (std::size_t at = v.find('#'); at != std::string::npos; at = v.find('#', at + 1)) {
        auto hex = v.substr(at + 1, 6);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << v;
      }
    }
  }
}

TEST(RichText, EscapesOnlyBracketsThatWouldOpenATag) {
  EXPECT_EQ(rich_text("a [b] c", "tool"), "[tool]a \\[b] c[/]");
  EXPECT_EQ(rich_text("", "dim"), "[dim][/]");
  EXPECT_EQ(rich_text("plain text", "dim"), "[dim]plain text[/]");
  EXPECT_EQ(rich_text("[1] [Note] [ x]", "dim"), "[dim][1] [Note] [ x][/]");
  EXPECT_EQ(rich_text("[#fff] [/] [@click]", "dim"), "[dim]\\[#fff] \\[/] \\[@click][/]");
  // No closing bracket, or another "[" first: not a tag.
  EXPECT_EQ(rich_text("[bold", "dim"), "[dim][bold[/]");
  EXPECT_EQ(rich_text("[a [b]", "dim"), "[dim][a \\[b][/]");
}

TEST(RichText, DoublesBackslashesInFrontOfAnEscapedBracket) {
  EXPECT_EQ(rich_text("\\[b]", "s"), "[s]\\\\\\[b][/]");
}

TEST(RichText, TrailingBackslashesNeverEscapeTheClosingTag) {
  EXPECT_EQ(rich_text("x\\", "s"), "[s]x\\\\[/]");
  EXPECT_EQ(rich_text("x\\\\", "s"), "[s]x\\\\[/]");
  EXPECT_EQ(rich_text("x\\\\\\", "s"), "[s]x\\\\\\\\[/]");
  EXPECT_EQ(rich_text("\\", "s"), "[s]\\\\[/]");
}

TEST(RichText, StyleIsInsertedUnchanged) {
  EXPECT_EQ(rich_text("t", "bold #ff0000 on #000000"), "[bold #ff0000 on #000000]t[/]");
}
