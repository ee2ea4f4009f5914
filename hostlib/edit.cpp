// edit_file: an exact replacement, or a unified diff applied with its context
// checked. Nothing is written unless the whole edit applies.
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/config.hpp"

namespace dravik::hostlib {

namespace {

std::vector<std::string> split_lines(const std::string& text, bool& trailing_newline) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    auto nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  trailing_newline = !text.empty() && text.back() == '\n';
  return lines;
}

struct Hunk {
  long old_start = 0;
  std::string header;
  std::vector<std::string> old_lines, new_lines;
};

bool parse_range(const std::string& s, long& start) {
  // "-12,5" or "-12"
  try {
    start = std::stol(s.substr(1, s.find(',') == std::string::npos ? std::string::npos : s.find(',') - 1));
  } catch (...) {
    return false;
  }
  return true;
}

std::string rstrip_cr(std::string s) {
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

bool block_at(const std::vector<std::string>& lines, const std::vector<std::string>& block, std::size_t at) {
  if (at + block.size() > lines.size()) return false;
  for (std::size_t i = 0; i < block.size(); ++i)
    if (rstrip_cr(lines[at + i]) != rstrip_cr(block[i])) return false;
  return true;
}

}  // namespace

PatchResult apply_unified_diff(const std::string& text, const std::string& patch) {
  PatchResult res;
  std::vector<Hunk> hunks;
  {
    std::istringstream in(patch);
    Hunk* current = nullptr;
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      if (l.rfind("@@", 0) == 0) {
        std::istringstream h(l);
        std::string at, old_range;
        h >> at >> old_range;
        Hunk hk;
        hk.header = l;
        if (old_range.empty() || old_range[0] != '-' || !parse_range(old_range, hk.old_start)) {
          res.error = "cannot read the hunk header '" + l + "'";
          return res;
        }
        hunks.push_back(std::move(hk));
        current = &hunks.back();
        continue;
      }
      if (!current) continue;  // "---", "+++", "diff", "index" lines before the first hunk
      if (l.rfind("--- ", 0) == 0 || l.rfind("diff ", 0) == 0) {
        current = nullptr;  // the next file of a multi-file patch: not ours
        continue;
      }
      if (l.empty()) {  // an empty context line whose leading blank was lost
        current->old_lines.emplace_back();
        current->new_lines.emplace_back();
      } else if (l[0] == ' ') {
        current->old_lines.push_back(l.substr(1));
        current->new_lines.push_back(l.substr(1));
      } else if (l[0] == '-') {
        current->old_lines.push_back(l.substr(1));
      } else if (l[0] == '+') {
        current->new_lines.push_back(l.substr(1));
      } else if (l[0] == '\\') {
        // "\ No newline at end of file"
      } else {
        res.error = "unexpected line in hunk " + current->header + ": '" + l + "'";
        return res;
      }
    }
  }
  if (hunks.empty()) {
    res.error = "the patch has no hunks (\"@@ -a,b +c,d @@\")";
    return res;
  }
  bool trailing = false;
  std::vector<std::string> lines = split_lines(text, trailing);
  long delta = 0;
  std::size_t floor = 0;  // hunks apply in order, never overlapping
  int number = 0;
  for (const Hunk& h : hunks) {
    ++number;
    const long expected = std::clamp<long>((h.old_start > 0 ? h.old_start - 1 : 0) + delta, static_cast<long>(floor),
                                           static_cast<long>(lines.size()));
    std::optional<std::size_t> found;
    if (h.old_lines.empty()) {
      found = std::min<std::size_t>(static_cast<std::size_t>(h.old_start + delta), lines.size());
    } else {
      // At the stated line first, then ever farther from it.
      const long limit = static_cast<long>(lines.size());
      for (long d = 0; d <= limit && !found; ++d) {
        for (long at : {expected - d, expected + d}) {
          if (at < static_cast<long>(floor) || at > limit) continue;
          if (block_at(lines, h.old_lines, static_cast<std::size_t>(at))) {
            found = static_cast<std::size_t>(at);
            break;
          }
        }
      }
    }
    if (!found) {
      res.error = "hunk " + std::to_string(number) + " (" + h.header + ") does not match the file";
      return res;
    }
    lines.erase(lines.begin() + static_cast<long>(*found), lines.begin() + static_cast<long>(*found + h.old_lines.size()));
    lines.insert(lines.begin() + static_cast<long>(*found), h.new_lines.begin(), h.new_lines.end());
    floor = *found + h.new_lines.size();
    delta += static_cast<long>(h.new_lines.size()) - static_cast<long>(h.old_lines.size());
  }
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out += lines[i];
    if (i + 1 < lines.size() || trailing) out += '\n';
  }
  res.ok = true;
  res.text = std::move(out);
  res.hunks = number;
  return res;
}

host::EditFileResult LocalShellExecutor::edit_file_now(const std::string& path, const host::EditFileRequest& request) {
  host::EditFileResult res;
  res.replacements = 0;
  res.match_strategy = request.patch ? "patch" : "exact";
  auto refuse = [&](const std::string& why) {
    res.ok = false;
    res.validation_error = why;
    res.output = "Error: " + why + "; " + path + " was not changed";
    return res;
  };
  // The file is found once; it is read and replaced through the directory
  // descriptor found, never through the path again.
  const detail::Beneath root(o_.workdir);
  detail::Located at;
  if (const int err = root.locate(path, at)) return refuse(detail::resolve_error(path, err, root).substr(7));
  const detail::TextFile t = detail::read_text_at(at.dir.get(), at.name, path, 16u << 20);
  if (!t.ok) return refuse(t.error.substr(7));
  if (t.truncated) return refuse("the file is too large to edit (over 16 MB)");

  std::string updated;
  if (request.patch) {
    const PatchResult p = apply_unified_diff(t.text, *request.patch);
    if (!p.ok) return refuse("the patch does not apply: " + p.error);
    updated = p.text;
    res.replacements = p.hunks;
  } else {
    if (request.old_string.empty()) return refuse("old_string is empty");
    std::size_t count = 0;
    for (std::size_t at = t.text.find(request.old_string); at != std::string::npos;
         at = t.text.find(request.old_string, at + request.old_string.size()))
      ++count;
    if (count == 0) return refuse("old_string was not found");
    if (count > 1 && !request.replace_all)
      return refuse("old_string matches " + std::to_string(count) +
                    " places; add surrounding lines to make it unique, or set replace_all");
    updated.reserve(t.text.size());
    std::size_t from = 0;
    for (std::size_t at = t.text.find(request.old_string); at != std::string::npos;
         at = t.text.find(request.old_string, from)) {
      updated.append(t.text, from, at - from);
      updated += request.new_string;
      from = at + request.old_string.size();
      if (!request.replace_all) break;
    }
    updated.append(t.text, from, std::string::npos);
    res.replacements = static_cast<std::int64_t>(request.replace_all ? count : 1);
  }
  const std::string error = detail::write_file_in(at.dir.get(), at.name, updated);
  if (!error.empty()) return refuse("cannot write the file: " + error);
  res.ok = true;
  res.validation_error = nullptr;
  res.output = request.patch ? "Applied " + std::to_string(res.replacements.get<std::int64_t>()) + " hunk(s) to " + path
                             : "Replaced " + std::to_string(res.replacements.get<std::int64_t>()) +
                                   " occurrence(s) in " + path;
  return res;
}

}  // namespace dravik::hostlib
