// glob and grep over the working directory: sorted, capped, and bounded in
// the work they may do, whatever pattern the model writes.
#include <fnmatch.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/config.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

namespace {

std::vector<std::string_view> segments(std::string_view p) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= p.size()) {
    auto slash = p.find('/', start);
    if (slash == std::string_view::npos) slash = p.size();
    if (slash > start) out.push_back(p.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

bool match_segments(const std::vector<std::string_view>& pat, std::size_t pi, const std::vector<std::string_view>& path,
                    std::size_t si) {
  while (pi < pat.size()) {
    if (pat[pi] == "**") {
      for (std::size_t k = si; k <= path.size(); ++k)
        if (match_segments(pat, pi + 1, path, k)) return true;
      return false;
    }
    if (si >= path.size()) return false;
    const std::string p(pat[pi]), s(path[si]);
    if (::fnmatch(p.c_str(), s.c_str(), FNM_PERIOD) != 0) return false;
    ++pi;
    ++si;
  }
  return si == path.size();
}

// Files under `base` (not following links into directories, skipping .git),
// visiting at most `cap` entries.
template <class F>
bool walk(const fs::path& base, std::size_t cap, F&& on_file) {
  std::error_code ec;
  std::size_t visited = 0;
  fs::recursive_directory_iterator it(base, fs::directory_options::skip_permission_denied, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    if (++visited > cap) return false;
    const auto& entry = *it;
    if (entry.is_directory(ec) && !entry.is_symlink(ec)) {
      if (entry.path().filename() == ".git") it.disable_recursion_pending();
      continue;
    }
    if (!entry.is_regular_file(ec)) continue;
    if (!on_file(entry.path())) return true;
  }
  return true;
}

std::string base_of(const Json& path) {
  return path.is_string() && !config::trim(path.get<std::string>()).empty() ? path.get<std::string>() : ".";
}

// A pattern without "/" matches a file name at any depth.
bool matches(const std::string& pattern, const std::string& rel) {
  if (pattern.find('/') == std::string::npos) {
    const auto slash = rel.rfind('/');
    const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    return ::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
  }
  return glob_match(pattern, rel);
}

bool is_literal(const std::string& p) { return p.find_first_of("\\^$.|?*+()[]{}") == std::string::npos; }

}  // namespace

bool glob_match(std::string_view pattern, std::string_view path) {
  return match_segments(segments(pattern), 0, segments(path), 0);
}

std::string LocalShellExecutor::glob_now(const std::string& pattern, const Json& path) {
  if (!path.is_null() && !path.is_string()) return "Error: path must be a string";
  if (!pattern.empty() && pattern[0] == '/') return "Error: give the pattern relative to the search path";
  const detail::Resolved r = detail::resolve_in(o_.workdir, base_of(path));
  if (!r.error.empty()) return r.error;
  std::error_code ec;
  if (!fs::is_directory(r.path, ec)) return "Error: " + r.shown + " is not a directory";
  std::vector<std::string> found;
  const bool complete = walk(r.path, o_.walk_cap, [&](const fs::path& file) {
    const std::string rel = file.lexically_relative(r.path).generic_string();
    if (matches(pattern, rel)) found.push_back(detail::relative_to(file, o_.workdir));
    return true;
  });
  std::sort(found.begin(), found.end());
  std::string out;
  for (std::size_t i = 0; i < found.size() && i < o_.list_cap; ++i) out += text::escape_controls(found[i]) + "\n";
  if (found.size() > o_.list_cap) out += "(" + std::to_string(found.size() - o_.list_cap) + " more not shown)\n";
  if (!complete) out += "(stopped after " + std::to_string(o_.walk_cap) + " entries: narrow the search path)\n";
  if (found.empty() && complete) return "No files match '" + pattern + "'";
  return out;
}

std::string LocalShellExecutor::grep_now(const std::string& pattern, const Json& path, const Json& glob_filter,
                                         bool ignore_case) {
  if (!path.is_null() && !path.is_string()) return "Error: path must be a string";
  if (!glob_filter.is_null() && !glob_filter.is_string()) return "Error: glob must be a string";
  std::optional<std::regex> re;
  const bool literal = is_literal(pattern);
  std::string needle = ignore_case ? config::lower(pattern) : pattern;
  if (!literal) {
    try {
      re.emplace(pattern, ignore_case ? std::regex::ECMAScript | std::regex::icase : std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      return "Error: invalid regular expression '" + pattern + "': " + e.what();
    }
  }
  const detail::Resolved r = detail::resolve_in(o_.workdir, base_of(path));
  if (!r.error.empty()) return r.error;
  const std::string filter = glob_filter.is_string() ? glob_filter.get<std::string>() : "";
  std::vector<std::string> hits;
  bool more = false;
  std::uint64_t bytes_read = 0;
  std::error_code root_ec;
  const std::string root = fs::weakly_canonical(o_.workdir, root_ec).string() + "/";
  auto search_file = [&](const fs::path& file) {
    if (hits.size() >= o_.grep_cap) {
      more = true;
      return false;
    }
    const std::string& full = file.native();
    const std::string rel = full.compare(0, root.size(), root) == 0 ? full.substr(root.size()) : full;
    if (!filter.empty() && !matches(filter, file.lexically_relative(r.path).generic_string())) return true;
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec || size > (4u << 20)) return true;
    bytes_read += size;
    if (bytes_read > (512ull << 20)) return false;
    auto read = files::try_read_file(file.string());
    if (!read) return true;
    const std::string& content = *read;
    if (detail::looks_binary(content)) return true;
    auto add_hit = [&](std::size_t line_start, int number) {
      auto end = content.find('\n', line_start);
      if (end == std::string::npos) end = content.size();
      const std::string line = content.substr(line_start, end - line_start);
      hits.push_back(text::escape_controls(rel) + ":" + std::to_string(number) + ": " +
                     text::escape_controls(text::prefix(text::sanitize_utf8(line), 300)));
      return end;
    };
    if (literal) {
      // Whole-file search; line numbers are counted only up to each hit.
      const std::string folded = ignore_case ? config::lower(content) : std::string();
      const std::string& hay = ignore_case ? folded : content;
      std::size_t counted_to = 0;
      int number = 1;
      for (std::size_t at = hay.find(needle); at != std::string::npos;) {
        number += static_cast<int>(std::count(content.begin() + static_cast<long>(counted_to),
                                              content.begin() + static_cast<long>(at), '\n'));
        const auto line_start = content.rfind('\n', at == 0 ? 0 : at - 1);
        const std::size_t start_of_line = at == 0 || line_start == std::string::npos ? 0 : line_start + 1;
        if (hits.size() >= o_.grep_cap) {
          more = true;
          return false;
        }
        const std::size_t end = add_hit(start_of_line, number);
        counted_to = at;
        if (end >= hay.size()) break;
        number += static_cast<int>(std::count(content.begin() + static_cast<long>(counted_to),
                                              content.begin() + static_cast<long>(end), '\n'));
        counted_to = end;
        at = hay.find(needle, end);
      }
      return true;
    }
    std::size_t start = 0;
    for (int n = 1; start < content.size(); ++n) {
      auto nl = content.find('\n', start);
      if (nl == std::string::npos) nl = content.size();
      if (std::regex_search(content.begin() + static_cast<long>(start), content.begin() + static_cast<long>(nl), *re)) {
        if (hits.size() >= o_.grep_cap) {
          more = true;
          return false;
        }
        add_hit(start, n);
      }
      start = nl + 1;
    }
    return true;
  };
  std::error_code ec;
  bool complete = true;
  if (fs::is_regular_file(r.path, ec)) search_file(r.path);
  else if (fs::is_directory(r.path, ec)) complete = walk(r.path, o_.walk_cap, search_file);
  else return "Error: " + r.shown + " does not exist";
  if (hits.empty()) return complete ? "No matches for '" + pattern + "'" : "No matches in the part searched";
  std::string out;
  for (const auto& h : hits) out += h + "\n";
  if (more) out += "(more matches not shown: narrow the pattern or the path)\n";
  if (!complete) out += "(stopped after " + std::to_string(o_.walk_cap) + " entries: narrow the search path)\n";
  return out;
}

}  // namespace dravik::hostlib
