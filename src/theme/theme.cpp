#include "theme/theme.hpp"

namespace dravik::theme {

const StyleTable PROMPT_STYLE = {
    {"prompt", "#eef6f1 bold"},
    {"brand", "#86efac bold"},
    {"prompt-airgapped", "#ffffff bold"},
    {"brand-airgapped", "#ffffff bold"},
    {"brand-chip", "bg:#173026 #d8f3dc bold"},
    {"brand-chip-airgapped", "bg:#4c0519 #fff1f2 bold"},
    {"prompt-divider", "#63e6be"},
    {"prompt-divider-airgapped", "#fecdd3"},
    {"prompt-status", "#b7efc5 bold"},
    {"prompt-status-label", "bg:#103126 #9ae6b4 bold"},
    {"prompt-command", "#8bd3ff bold"},
    {"prompt-splash-text", "#dcfce7 bold"},
    {"prompt-splash-block-1", "#164e3a bold"},
    {"prompt-splash-block-2", "#1f7a56 bold"},
    {"prompt-splash-block-3", "#4fb286 bold"},
    {"prompt-splash-block-4", "#c7f9cc bold"},
    {"prompt-warning", "#ffffff bold"},
    {"bottom-toolbar", "bg:#08130f #dce6df"},
    {"toolbar-chip", "bg:#173026 #d9f99d bold"},
    {"toolbar-label", "#94a3b8 bold"},
    {"toolbar-value", "#eef6f1"},
    {"toolbar-accent", "#b7efc5 bold"},
    {"toolbar-warning", "#fef3c7 bold"},
    {"toolbar-note", "#a9b8b0"},
    {"toolbar-danger", "#f87171 bold"},
    {"completion-menu.completion", "bg:#111827 #cbd5e1"},
    {"completion-menu.completion.current", "bg:#243244 #f8fafc bold"},
    {"scrollbar.background", "bg:#0b1220"},
    {"scrollbar.button", "bg:#243244"},
};

const StyleTable RICH_THEME = {
    {"brand", "bold #d8f3dc"},
    {"user", "bold #8bd3ff"},
    {"assistant", "bold #d8f3dc"},
    {"command", "bold #63e6be"},
    {"tool", "bold #8bd3ff"},
    {"tool_output", "#e6f4ea"},
    {"code", "#dbe7ee on #0f1720"},
    {"status", "bold #b7efc5"},
    {"muted", "#cbd5dc"},
    {"dim", "#8b98a2"},
    {"warning", "bold #fef3c7"},
    {"error", "bold #fca5a5"},
    {"success", "bold #b7efc5"},
};

namespace {

bool opens_tag_char(char c) { return (c >= 'a' && c <= 'z') || c == '#' || c == '/' || c == '@'; }

// True when the "[" at `i` would open a markup tag: followed by a tag
// character, with a "]" later and no other "[" before it.
bool opens_tag(std::string_view t, std::size_t i) {
  if (i + 1 >= t.size() || !opens_tag_char(t[i + 1])) return false;
  auto next = t.find_first_of("[]", i + 1);
  return next != std::string_view::npos && t[next] == ']';
}

}  // namespace

std::string rich_text(std::string_view text, std::string_view style) {
  std::string out;
  out.reserve(text.size() + style.size() + 8);
  out += '[';
  out += style;
  out += ']';
  std::size_t run = 0;  // backslashes directly before the current position
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '[' && opens_tag(text, i)) out.append(run + 1, '\\');
    out += c;
    run = c == '\\' ? run + 1 : 0;
  }
  if (run % 2 == 1) out += '\\';
  out += "[/]";
  return out;
}

std::string_view style_of(const StyleTable& table, std::string_view name) {
  for (const auto& [k, v] : table)
    if (k == name) return v;
  return {};
}

}  // namespace dravik::theme
