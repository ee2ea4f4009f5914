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

// A write_file or edit_file call before it is approved: its change, or
// the tool's answer when there is nothing to approve (arguments the model
// got wrong, an edit that does not apply). Every file change of the chat
// goes this way: computed here, shown, kept for /undo, then written as
// computed (hostlib::apply_change).
struct FileChangeCall {
  std::optional<hostlib::FileChange> change;
  std::string answer;  // no change: what the model is told
};
// Nothing for other tools.
std::optional<FileChangeCall> prepare_file_change(const std::string& tool, const Json& args,
                                                  const std::filesystem::path& root);

// The change as it is shown: a unified diff of the text (raw bytes, for
// --json), or for binary data a line with the sizes and a diff of the hex
// dumps. `whole` is false only for a change too large to diff, described
// by one line: it cannot be shown, so it cannot be asked about.
struct ChangeView {
  std::string diff;
  bool whole = true;
};
ChangeView change_diff(const hostlib::FileChange& change);

// `bytes` as a hex dump: offset, sixteen bytes in hex, the printable ones;
// a run of lines equal to the one before is one "*" line.
std::string hex_dump(std::string_view bytes);

// The diff for the terminal, every line of it: each line's kind ('-', '+',
// '@' hunk header, 'f' file header, ' ' context, 'i' a note) and its text
// with every control character escaped.
struct ShownLine {
  char kind;
  std::string text;
};
std::vector<ShownLine> shown_diff(const std::string& diff);

}  // namespace dravik::app
