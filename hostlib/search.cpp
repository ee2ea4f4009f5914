// glob and grep over the working directory: sorted, capped, and bounded in
// the work they may do, whatever pattern the model writes.
#include <algorithm>
#include <fstream>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/config.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

namespace {

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
    return glob_match_name(pattern, name);
  }
  return glob_match(pattern, rel);
}

}  // namespace

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
  const LineMatcher matcher(pattern, ignore_case);
  if (!matcher.error().empty()) return "Error: invalid regular expression '" + pattern + "': " + matcher.error();
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
    return matcher.for_each_match(content, [&](std::string_view line, std::size_t number) {
      if (hits.size() >= o_.grep_cap) {
        more = true;
        return false;
      }
      hits.push_back(text::escape_controls(rel) + ":" + std::to_string(number) + ": " +
                     text::escape_controls(text::prefix(text::sanitize_utf8(line.substr(0, 1204)), 300)));
      return true;
    });
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
