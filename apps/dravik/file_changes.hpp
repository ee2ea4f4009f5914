// The change a write_file or edit_file call makes, computed before it is
// approved and shown as a diff; what is written afterwards is exactly what
// was shown.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "file_change.hpp"
#include "support/json.hpp"

namespace dravik::app {

// The change of a write_file or edit_file call whose arguments are well
// formed; nothing for other tools and for malformed arguments (the tool
// itself answers those as always).
std::optional<hostlib::PreparedChange> prepare_file_change(const std::string& tool, const Json& args,
                                                           const std::filesystem::path& root);

// The change as a unified diff (raw bytes, for --json), or a one-line
// description of a binary or very large change.
std::string change_diff(const hostlib::PreparedChange& change);

// The diff for the terminal: each line's kind ('-', '+', '@' hunk header,
// 'f' file header, ' ' context, 'i' a note) and its text with every control
// character escaped; at most `max_lines`, then "... N more lines".
struct ShownLine {
  char kind;
  std::string text;
};
std::vector<ShownLine> shown_diff(const std::string& diff, std::size_t max_lines = 60);

}  // namespace dravik::app
