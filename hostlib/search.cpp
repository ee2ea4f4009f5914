// glob and grep over the working directory: sorted, capped, and bounded in
// the work they may do, whatever pattern the model writes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/config.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

namespace {

// The regular files under the directory open at `base` (an O_RDONLY
// directory descriptor, taken over), visiting at most `cap` entries. Each
// subdirectory is opened relative to its parent without following a link,
// and links are never followed, whether they lead inside or out; .git is
// skipped. `on_file(dir, name, rel)` gets the file's directory descriptor,
// its name there and its path relative to `base`; it returns false to stop.
// False when the cap stopped it; `stopped_at` then gets the path relative to
// `base` of the first entry not visited.
template <class F>
bool walk(int base, std::size_t cap, F&& on_file, std::string* stopped_at = nullptr) {
  struct Level {
    DIR* dir;
    std::string prefix;
  };
  std::vector<Level> stack;
  if (DIR* d = ::fdopendir(base)) stack.push_back({d, ""});
  else ::close(base);
  std::size_t visited = 0;
  bool complete = true;
  while (!stack.empty()) {
    errno = 0;
    const dirent* e = ::readdir(stack.back().dir);
    if (!e) {
      ::closedir(stack.back().dir);
      stack.pop_back();
      continue;
    }
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (++visited > cap) {
      complete = false;
      if (stopped_at) *stopped_at = stack.back().prefix + name;
      break;
    }
    const int dir = ::dirfd(stack.back().dir);
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st{};
      if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    std::string rel = stack.back().prefix + name;
    if (type == DT_DIR) {
      if (name == ".git") continue;
      const int sub = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (sub < 0) continue;  // unreadable, or swapped for a link meanwhile
      DIR* d = ::fdopendir(sub);
      if (!d) {
        ::close(sub);
        continue;
      }
      stack.push_back({d, rel + "/"});
      continue;
    }
    if (type != DT_REG) continue;  // links, FIFOs, sockets, devices
    if (!on_file(dir, name, rel)) break;
  }
  for (auto& l : stack) ::closedir(l.dir);
  return complete;
}

// Opens the search path of glob or grep beneath the working directory.
struct SearchBase {
  detail::Located at;
  std::string prefix;  // its path relative to the working directory, "" or ending in "/"
  std::string error;
};
SearchBase open_base(const fs::path& workdir, const std::string& given) {
  SearchBase b;
  const detail::Beneath root(workdir);
  if (const int err = root.locate(given, b.at)) {
    b.error = detail::resolve_error(given, err, root);
    return b;
  }
  if (b.at.rel != ".") b.prefix = b.at.rel + "/";
  return b;
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
  const std::string given = base_of(path);
  const SearchBase base = open_base(o_.workdir, given);
  if (!base.error.empty()) return base.error;
  const int dir = ::openat(base.at.dir.get(), base.at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return "Error: " + given + (errno == ENOENT ? " does not exist" : " is not a directory");
  std::vector<std::string> found;
  std::string stopped_at;
  const bool complete = walk(
      dir, o_.walk_cap,
      [&](int, const std::string&, const std::string& rel) {
        if (matches(pattern, rel)) found.push_back(base.prefix + rel);
        return true;
      },
      &stopped_at);
  std::sort(found.begin(), found.end());
  std::string out;
  for (std::size_t i = 0; i < found.size() && i < o_.list_cap; ++i) out += text::escape_controls(found[i]) + "\n";
  if (found.size() > o_.list_cap) out += "(" + std::to_string(found.size() - o_.list_cap) + " more not shown)\n";
  if (!complete)
    out += "(stopped after " + std::to_string(o_.walk_cap) + " entries, before " +
           text::escape_controls(base.prefix + stopped_at) + ": narrow the search path)\n";
  if (found.empty() && complete) return "No files match '" + pattern + "'";
  if (found.empty()) return "No files match '" + pattern + "' in the part searched " + out;
  return out;
}

std::string LocalShellExecutor::grep_now(const std::string& pattern, const Json& path, const Json& glob_filter,
                                         bool ignore_case) {
  if (!path.is_null() && !path.is_string()) return "Error: path must be a string";
  if (!glob_filter.is_null() && !glob_filter.is_string()) return "Error: glob must be a string";
  const LineMatcher matcher(pattern, ignore_case);
  if (!matcher.error().empty()) return "Error: invalid regular expression '" + pattern + "': " + matcher.error();
  const std::string given = base_of(path);
  const SearchBase base = open_base(o_.workdir, given);
  if (!base.error.empty()) return base.error;
  const std::string filter = glob_filter.is_string() ? glob_filter.get<std::string>() : "";
  std::vector<std::string> hits;
  bool more = false;
  std::uint64_t bytes_read = 0;
  // What the caps left out, said in the result: files too large to search,
  // and where the reading stopped when the total ran out.
  std::size_t too_large = 0;
  std::string first_too_large, stopped_reading;
  // Files are opened through their directory's descriptor, never following
  // a link and never blocking; what is not a regular file is skipped.
  std::string prefix = base.prefix;
  auto search_file = [&](int dir, const std::string& name, const std::string& in_base) {
    if (hits.size() >= o_.grep_cap) {
      more = true;
      return false;
    }
    const std::string rel = prefix + in_base;
    if (!filter.empty() && !matches(filter, in_base)) return true;
    const detail::OpenedFile file = detail::open_regular(dir, name, /*listed_regular=*/true);
    if (!file.fd) return true;
    auto skip_large = [&] {
      if (too_large++ == 0) first_too_large = rel;
      return true;
    };
    if (file.st.st_size > (4 << 20)) return skip_large();
    if (bytes_read + static_cast<std::uint64_t>(file.st.st_size) > o_.grep_read_cap) {
      stopped_reading = rel;
      return false;
    }
    std::string content;
    if (detail::read_to_end(file.fd.get(), 4u << 20, content, static_cast<std::size_t>(file.st.st_size)) != 0)
      return true;
    if (content.size() > (4u << 20)) return skip_large();
    bytes_read += content.size();
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
  bool complete = true;
  std::string stopped_at;
  struct stat st{};
  if (::fstatat(base.at.dir.get(), base.at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return "Error: " + given + " does not exist";
  if (S_ISREG(st.st_mode)) {
    const auto slash = base.at.rel.rfind('/');
    prefix = slash == std::string::npos ? "" : base.at.rel.substr(0, slash + 1);
    search_file(base.at.dir.get(), base.at.name, base.at.name);
  } else if (S_ISDIR(st.st_mode)) {
    const int dir =
        ::openat(base.at.dir.get(), base.at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (dir < 0) return "Error: cannot search " + given + ": " + std::strerror(errno);
    complete = walk(dir, o_.walk_cap, search_file, &stopped_at);
  } else {
    return "Error: " + given + " " + detail::file_type_text(st.st_mode);
  }
  std::string notes;
  if (more) notes += "(more matches not shown: narrow the pattern or the path)\n";
  if (!stopped_reading.empty())
    notes += "(stopped after reading " +
             (o_.grep_read_cap >= (1u << 20) ? std::to_string(o_.grep_read_cap >> 20) + " MiB"
                                             : std::to_string(o_.grep_read_cap) + " bytes") +
             ", before " +
             text::escape_controls(stopped_reading) + ": the rest was not searched; narrow the search path)\n";
  if (too_large)
    notes += "(" + std::to_string(too_large) + (too_large == 1 ? " file" : " files") + " over 4 MiB not searched: " +
             text::escape_controls(first_too_large) + (too_large > 1 ? " and others" : "") + ")\n";
  if (!complete)
    notes += "(stopped after " + std::to_string(o_.walk_cap) + " entries, before " +
             text::escape_controls(prefix + stopped_at) + ": the rest was not searched; narrow the search path)\n";
  if (hits.empty()) {
    if (notes.empty()) return "No matches for '" + pattern + "'";
    return "No matches for '" + pattern + "' in the part searched\n" + notes;
  }
  std::string out;
  for (const auto& h : hits) out += h + "\n";
  return out + notes;
}

}  // namespace dravik::hostlib
