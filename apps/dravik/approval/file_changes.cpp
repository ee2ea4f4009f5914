#include "approval/file_changes.hpp"

#include <algorithm>
#include <cstdio>

#include "action_dispatch/action_dispatch.hpp"
#include "support/text.hpp"
#include "text_tools.hpp"

namespace dravik::app {

namespace {

constexpr std::size_t kMaxDiffBytes = 4u << 20;  // more differing bytes than this are described, not diffed

// The bytes the two sides do not share at their start and end.
std::size_t differing_bytes(std::string_view a, std::string_view b) {
  const std::size_t lead = static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
  std::size_t trail = 0;
  while (trail < a.size() - lead && trail < b.size() - lead && a[a.size() - 1 - trail] == b[b.size() - 1 - trail])
    ++trail;
  return (a.size() - lead - trail) + (b.size() - lead - trail);
}

}  // namespace

std::optional<FileChangeCall> prepare_file_change(const std::string& tool, const Json& args,
                                                  const std::filesystem::path& root) {
  // The dispatcher's own validators: the same arguments accepted, the same
  // answer to those it refuses.
  if (tool == "write_file") {
    const auto call = action_dispatch::write_file_request(args);
    if (!call) return FileChangeCall{std::nullopt, tool_text(call.error())};
    auto change = hostlib::compute_write_file(root, call->path, call->content);
    if (!change) return FileChangeCall{std::nullopt, hostlib::refused_change(call->path, false, change.error()).text};
    return FileChangeCall{std::move(*change), ""};
  }
  if (tool != "edit_file") return std::nullopt;
  const auto call = action_dispatch::edit_file_request(args);
  if (!call) return FileChangeCall{std::nullopt, tool_text(call.error())};
  auto change = hostlib::compute_edit_file(root, call->path, call->request);
  if (!change) return FileChangeCall{std::nullopt, hostlib::refused_change(call->path, true, change.error()).text};
  return FileChangeCall{std::move(*change), ""};
}

std::string hex_dump(std::string_view bytes) {
  std::string out, previous;
  bool squeezed = false;
  char buf[32];
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    const std::string_view row = bytes.substr(at, 16);
    std::string line;
    for (std::size_t k = 0; k < 16; ++k) {
      if (k < row.size()) {
        std::snprintf(buf, sizeof buf, "%02x ", static_cast<unsigned char>(row[k]));
        line += buf;
      } else {
        line += "   ";
      }
      if (k == 7) line += ' ';
    }
    line += " |";
    for (const char c : row) line += c >= 0x20 && c < 0x7f ? c : '.';
    line += "|";
    // A row like the one before (a run of zeros) is said once.
    if (row.size() == 16 && line == previous) {
      if (!squeezed) out += "*\n";
      squeezed = true;
      continue;
    }
    squeezed = false;
    previous = line;
    std::snprintf(buf, sizeof buf, "%08zx  ", at);
    out += buf + line + "\n";
  }
  std::snprintf(buf, sizeof buf, "%08zx\n", bytes.size());
  return out + buf;
}

ChangeView change_diff(const hostlib::FileChange& c) {
  const std::string before = c.before.value_or("");
  const std::string path = text::escape_unambiguous(c.path, false);  // one line, whatever the model named
  auto size = [](std::size_t n) { return std::to_string(n) + " bytes"; };
  const std::string sizes = c.before ? size(before.size()) + " -> " + size(c.after.size()) : "new, " + size(c.after.size());
  if (c.before && before == c.after) return {"no change to " + path + "\n"};
  // Text with a few odd bytes (a script with a stray NUL) is shown as text,
  // those bytes escaped; binary data as its bytes in hex. New binary data
  // is shown in hex beside the old in hex; text replacing binary data is
  // shown whole as text.
  if (!text::looks_like_text(c.after)) {
    const std::string a = c.before ? hex_dump(before) : "", b = hex_dump(c.after);
    if (differing_bytes(a, b) > kMaxDiffBytes) return {"large binary file " + path + " (" + sizes + "; no diff shown)\n", false};
    return {"binary file " + path + " (" + sizes + "), in hex:\n" + hostlib::unified_diff(a, b, path)};
  }
  if (c.before && !text::looks_like_text(before)) {
    if (c.after.size() > kMaxDiffBytes) return {"large change to " + path + " (" + sizes + "; too large to show)\n", false};
    return {"binary file " + path + " (" + sizes + ") replaced by this text:\n" + hostlib::unified_diff("", c.after, path)};
  }
  if (differing_bytes(before, c.after) > kMaxDiffBytes)
    return {"large change to " + path + " (" + sizes + "; too large to show)\n", false};
  return {hostlib::unified_diff(before, c.after, path)};
}

std::vector<ShownLine> shown_diff(const std::string& diff) {
  std::vector<ShownLine> out;
  std::size_t start = 0;
  bool header = true;  // the lines before the first hunk
  while (start < diff.size()) {
    std::size_t nl = diff.find('\n', start);
    if (nl == std::string::npos) nl = diff.size();
    const std::string_view line(diff.data() + start, nl - start);
    start = nl + 1;
    char kind = 'i';
    if (line.starts_with("@@")) {
      kind = '@';
      header = false;
    } else if (header && (line.starts_with("--- ") || line.starts_with("+++ "))) {
      kind = 'f';
    } else if (!header && !line.empty() && (line[0] == '+' || line[0] == '-' || line[0] == ' ')) {
      kind = line[0];
    }
    // Code keeps its backslashes as written; a line that holds a character
    // shown as an escape is shown unambiguously instead (its own
    // backslashes doubled where one could be taken for an escape), and
    // says so, so that a real carriage return never looks like a written
    // "\r".
    if (const std::string as_written = text::escape_unambiguous(line, false); as_written == line) {
      out.push_back({kind, as_written});
    } else {
      out.push_back({kind, text::escape_unambiguous(line)});
      out.push_back({'i', "  (the line above holds characters shown as escapes, \\x.. or \\u{..}; "
                          "its own backslashes are doubled)"});
    }
  }
  return out;
}

}  // namespace dravik::app
