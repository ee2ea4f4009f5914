// Colour scheme of the terminal front end: the prompt style classes, the
// console markup theme, and a helper that wraps text in console markup.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dravik::theme {

// Ordered (name, style) table, fixed at load time.
using StyleTable = std::vector<std::pair<std::string, std::string>>;

// Prompt style classes: "bg:#rrggbb" background, "#rrggbb" foreground, "bold".
extern const StyleTable PROMPT_STYLE;
// Console markup theme: "bold #rrggbb", "#rrggbb" or "#rrggbb on #rrggbb".
extern const StyleTable RICH_THEME;

// "[" + style + "]" + text escaped for the markup renderer + "[/]". Every "["
// that would open a markup tag is escaped (doubling the backslashes in front
// of it), and an odd run of trailing backslashes gets one more so that the
// closing tag stays a tag. `style` is inserted unchanged.
std::string rich_text(std::string_view text, std::string_view style);

// Looks a style up by name in a table; empty when absent.
std::string_view style_of(const StyleTable& table, std::string_view name);

}  // namespace dravik::theme
