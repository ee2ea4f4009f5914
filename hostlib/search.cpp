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

// The search path of glob or grep, found beneath the working directory.
struct SearchBase {
  detail::Located at;
  std::string prefix;  // its path relative to the working directory, "" or ending in "/"
};
Result<SearchBase> open_base(const fs::path& workdir, const std::string& given) {
  SearchBase b;
  const detail::Beneath root(workdir);
  if (const int err = root.locate(given, b.at)) return detail::resolve_failure(given, err, root);
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

Failure invalid(std::string message) { return {ErrorKind::invalid, std::move(message)}; }

Result<std::string> glob_in(const ShellOptions& o, const std::string& pattern, const Json& path) {
  if (!path.is_null() && !path.is_string()) return invalid("path must be a string");
  if (!pattern.empty() && pattern[0] == '/') return invalid("give the pattern relative to the search path");
  const std::string given = base_of(path);
  const auto base = open_base(o.workdir, given);
  if (!base) return base.error();
  const int dir = ::openat(base->at.dir.get(), base->at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0)
    return errno == ENOENT ? Failure{ErrorKind::not_found, given + " does not exist"}
                           : invalid(given + " is not a directory");
  std::vector<std::string> found;
  std::string stopped_at;
  const bool complete = walk(
      dir, o.walk_cap,
      [&](int, const std::string&, const std::string& rel) {
        if (matches(pattern, rel)) found.push_back(base->prefix + rel);
        return true;
      },
      &stopped_at);
  std::sort(found.begin(), found.end());
  std::string out;
  for (std::size_t i = 0; i < found.size() && i < o.list_cap; ++i) out += text::escape_controls(found[i]) + "\n";
  if (found.size() > o.list_cap) out += "(" + std::to_string(found.size() - o.list_cap) + " more not shown)\n";
  if (!complete)
    out += "(stopped after " + std::to_string(o.walk_cap) + " entries, before " +
           text::escape_controls(base->prefix + stopped_at) + ": narrow the search path)\n";
  if (found.empty() && complete) return "No files match '" + pattern + "'";
  if (found.empty()) return "No files match '" + pattern + "' in the part searched " + out;
  return out;
}

constexpr std::size_t kGrepFileCap = 4u << 20;  // larger files are not searched

// One grep over files: the matching lines found so far, and what the caps
// left out, said in the result (files too large to search, where the
// reading stopped when the total ran out).
class GrepSearch {
 public:
  GrepSearch(const ShellOptions& o, const LineMatcher& matcher, std::string filter)
      : o_(o), matcher_(matcher), filter_(std::move(filter)) {}

  // Paths in the result are `prefix` + the path given to search_file.
  void set_prefix(std::string prefix) { prefix_ = std::move(prefix); }
  const std::string& prefix() const { return prefix_; }

  // Searches the regular file `name` of `dir`, `in_base` being its path
  // below the search path (which the glob filter judges). It is opened
  // through its directory's descriptor, never following a link and never
  // blocking; what is not a regular file is skipped. False once the search
  // must stop.
  bool search_file(int dir, const std::string& name, const std::string& in_base) {
    if (hits_.size() >= o_.grep_cap) {
      more_ = true;
      return false;
    }
    const std::string rel = prefix_ + in_base;
    if (!filter_.empty() && !matches(filter_, in_base)) return true;
    const auto file = detail::open_regular(dir, name, /*listed_regular=*/true);
    if (!file) return true;
    const auto size = static_cast<std::uint64_t>(file->st.st_size);
    if (size > kGrepFileCap) return skip_large(rel);
    if (bytes_read_ + size > o_.grep_read_cap) {
      stopped_reading_ = rel;
      return false;
    }
    const auto content = detail::read_to_end(file->fd.get(), kGrepFileCap, static_cast<std::size_t>(size));
    if (!content) return true;
    if (content->size() > kGrepFileCap) return skip_large(rel);
    bytes_read_ += content->size();
    if (detail::looks_binary(*content)) return true;
    return matcher_.for_each_match(*content, [&](std::string_view line, std::size_t number) {
      if (hits_.size() >= o_.grep_cap) {
        more_ = true;
        return false;
      }
      hits_.push_back(text::escape_controls(rel) + ":" + std::to_string(number) + ": " +
                      text::escape_controls(text::prefix(text::sanitize_utf8(line.substr(0, 1204)), 300)));
      return true;
    });
  }

  // The result: the hits, then the notes on what was not searched;
  // `stopped_at` is where the walk's cap stopped it ("" when it did not).
  std::string result(const std::string& pattern, bool complete, const std::string& stopped_at) const {
    std::string notes = cap_notes();
    if (!complete)
      notes += "(stopped after " + std::to_string(o_.walk_cap) + " entries, before " +
               text::escape_controls(prefix_ + stopped_at) + ": the rest was not searched; narrow the search path)\n";
    if (hits_.empty()) {
      if (notes.empty()) return "No matches for '" + pattern + "'";
      return "No matches for '" + pattern + "' in the part searched\n" + notes;
    }
    std::string out;
    for (const auto& h : hits_) out += h + "\n";
    return out + notes;
  }

 private:
  bool skip_large(const std::string& rel) {
    if (too_large_++ == 0) first_too_large_ = rel;
    return true;
  }

  std::string cap_notes() const {
    std::string notes;
    if (more_) notes += "(more matches not shown: narrow the pattern or the path)\n";
    if (!stopped_reading_.empty())
      notes += "(stopped after reading " +
               (o_.grep_read_cap >= (1u << 20) ? std::to_string(o_.grep_read_cap >> 20) + " MiB"
                                               : std::to_string(o_.grep_read_cap) + " bytes") +
               ", before " + text::escape_controls(stopped_reading_) +
               ": the rest was not searched; narrow the search path)\n";
    if (too_large_)
      notes += "(" + std::to_string(too_large_) + (too_large_ == 1 ? " file" : " files") + " over 4 MiB not searched: " +
               text::escape_controls(first_too_large_) + (too_large_ > 1 ? " and others" : "") + ")\n";
    return notes;
  }

  const ShellOptions& o_;
  const LineMatcher& matcher_;
  const std::string filter_;
  std::string prefix_;
  std::vector<std::string> hits_;
  bool more_ = false;
  std::uint64_t bytes_read_ = 0;
  std::size_t too_large_ = 0;
  std::string first_too_large_, stopped_reading_;
};

Result<std::string> grep_in(const ShellOptions& o, const std::string& pattern, const Json& path,
                            const Json& glob_filter, bool ignore_case) {
  if (!path.is_null() && !path.is_string()) return invalid("path must be a string");
  if (!glob_filter.is_null() && !glob_filter.is_string()) return invalid("glob must be a string");
  const auto matcher = LineMatcher::compile(pattern, ignore_case);
  if (!matcher) return invalid("invalid regular expression '" + pattern + "': " + matcher.error().message);
  const std::string given = base_of(path);
  const auto base = open_base(o.workdir, given);
  if (!base) return base.error();
  GrepSearch search(o, *matcher, glob_filter.is_string() ? glob_filter.get<std::string>() : "");
  search.set_prefix(base->prefix);
  const detail::Located& at = base->at;
  struct stat st{};
  if (::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Failure{ErrorKind::not_found, given + " does not exist"};
  if (S_ISREG(st.st_mode)) {
    // One file: its path is shown as the working directory sees it.
    const auto slash = at.rel.rfind('/');
    search.set_prefix(slash == std::string::npos ? "" : at.rel.substr(0, slash + 1));
    search.search_file(at.dir.get(), at.name, at.name);
    return search.result(pattern, true, "");
  }
  if (!S_ISDIR(st.st_mode)) return invalid(given + " " + detail::file_type_text(st.st_mode));
  const int dir = ::openat(at.dir.get(), at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (dir < 0) return Failure{ErrorKind::io, "cannot search " + given + ": " + std::strerror(errno)};
  std::string stopped_at;
  const bool complete = walk(
      dir, o.walk_cap,
      [&](int d, const std::string& name, const std::string& in_base) { return search.search_file(d, name, in_base); },
      &stopped_at);
  return search.result(pattern, complete, stopped_at);
}

}  // namespace

// The tools' texts: a failure becomes "Error: " and its message.

std::string LocalShellExecutor::glob_now(const std::string& pattern, const Json& path) {
  return tool_text(glob_in(o_, pattern, path));
}

std::string LocalShellExecutor::grep_now(const std::string& pattern, const Json& path, const Json& glob_filter,
                                         bool ignore_case) {
  return tool_text(grep_in(o_, pattern, path, glob_filter, ignore_case));
}

}  // namespace dravik::hostlib
