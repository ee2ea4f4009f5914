// Files changed in two steps (computed, then written as computed), and
// confined reads, writes and removals for hosts that restore files.
#include "file_change.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "paths.hpp"
#include "resolver.hpp"
#include "text_tools.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;
using namespace detail;

namespace {

constexpr std::size_t kEditCap = 16u << 20;  // the largest file write_file and edit_file change

// The bytes and mode of the entry `name` of `dir` (exists false when there is
// none); refuses anything but a regular file.
FileSnapshot snapshot_at(int dir, const std::string& name, std::size_t cap) {
  FileSnapshot s;
  struct stat st{};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) s.error = std::strerror(errno);
    return s;
  }
  const OpenedFile f = open_regular(dir, name);
  if (!f.fd) {
    s.error = f.error;
    return s;
  }
  s.exists = true;
  s.mode = f.st.st_mode & 07777;
  if (const int err = read_to_end(f.fd.get(), cap, s.bytes, static_cast<std::size_t>(f.st.st_size))) {
    s.error = std::strerror(-err);
  } else if (s.bytes.size() > cap) {
    s.error = "it is larger than " + std::to_string(cap >> 20) + " MB";
  }
  return s;
}

bool holds(const FileSnapshot& now, const std::optional<std::string>& expect) {
  if (!now.error.empty()) return false;
  return expect ? now.exists && now.bytes == *expect : !now.exists;
}

std::size_t expect_cap(const std::optional<std::string>* expect) {
  return expect && expect->has_value() ? (*expect)->size() + 1 : kEditCap;
}

}  // namespace

FileSnapshot read_beneath(const fs::path& root, const std::string& path, std::size_t cap, bool follow_links) {
  const Beneath base(root);
  Located at;
  if (const int err = base.locate(path, at, {.follow_links = follow_links})) {
    FileSnapshot s;
    if (err != ENOENT) s.error = resolve_error(path, err, base).substr(7);
    return s;
  }
  FileSnapshot s = snapshot_at(at.dir.get(), at.name, cap);
  s.rel = at.rel;
  return s;
}

WriteOutcome write_beneath(const fs::path& root, const std::string& path, std::string_view bytes,
                           const WriteBeneath& o) {
  WriteOutcome w;
  const Beneath base(root);
  Located at;
  if (const int err = base.locate(path, at, {.follow_links = o.follow_links, .create_dirs = o.create_dirs})) {
    w.error = resolve_error(path, err, base).substr(7);
    return w;
  }
  w.rel = at.rel;
  if (at.name == ".") {
    w.error = path + " is a directory";
    return w;
  }
  if (o.expect) {
    const FileSnapshot now = snapshot_at(at.dir.get(), at.name, expect_cap(o.expect));
    if (!holds(now, *o.expect)) {
      w.changed = true;
      w.error = path + " changed since";
      return w;
    }
  }
  if (o.before_write)
    if (std::string veto = o.before_write(w.rel); !veto.empty()) {
      w.error = std::move(veto);
      return w;
    }
  w.error = write_file_in(at.dir.get(), at.name, bytes, o.mode ? *o.mode : o.new_mode);
  if (w.error.empty() && o.mode) {
    // The exact mode (write_file_in keeps an existing file's own, and the
    // umask trims a new one's).
    const OpenedFile f = open_regular(at.dir.get(), at.name);
    if (!f.fd || ::fchmod(f.fd.get(), *o.mode & 07777) != 0)
      w.error = std::string("cannot set the mode: ") + (f.fd ? std::strerror(errno) : f.error);
  }
  return w;
}

WriteOutcome remove_beneath(const fs::path& root, const std::string& path, const std::optional<std::string>* expect) {
  WriteOutcome w;
  const Beneath base(root);
  Located at;
  // No link is followed: a link put in a file's place since, or in place of
  // a directory on its way, must not make the removal hit what it points at.
  if (const int err = base.locate(path, at, {.follow_links = false})) {
    w.error = resolve_error(path, err, base).substr(7);
    return w;
  }
  w.rel = at.rel;
  if (at.name == ".") {
    w.error = path + " is a directory";
    return w;
  }
  if (expect) {
    const FileSnapshot now = snapshot_at(at.dir.get(), at.name, expect_cap(expect));
    if (!holds(now, *expect)) {
      w.changed = true;
      w.error = path + " changed since";
      return w;
    }
  }
  if (::unlinkat(at.dir.get(), at.name.c_str(), 0) != 0 && errno != ENOENT) w.error = std::strerror(errno);
  return w;
}

PreparedChange prepare_write_file(const fs::path& root, const std::string& path, const std::string& content) {
  PreparedChange c;
  c.path = path;
  c.after = content;
  const Beneath base(root);
  Located at;
  const int err = base.locate(path, at, {.follow_links = true});
  if (err == ENOTDIR) {
    c.output = "Error: cannot create the directory of " + path + ": " + std::strerror(err);
    return c;
  }
  if (err == ENOENT) {
    // Its directory does not exist yet: it is created when the file is written.
    c.ok = true;
    c.output = "Wrote " + std::to_string(content.size()) + " bytes to " + path;
    return c;
  }
  if (err) {
    c.output = resolve_error(path, err, base);
    return c;
  }
  struct stat st{};
  if (at.name == "." ||
      (::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))) {
    c.output = "Error: " + path + " is a directory";
    return c;
  }
  c.rel = at.rel;
  FileSnapshot s = snapshot_at(at.dir.get(), at.name, kEditCap);
  if (!s.error.empty()) {
    c.output = "Error: cannot write " + path + ": " + s.error;
    return c;
  }
  if (s.exists) c.before = std::move(s.bytes);
  c.mode = s.mode;
  c.ok = true;
  c.output = "Wrote " + std::to_string(content.size()) + " bytes to " + path;
  return c;
}

PreparedChange prepare_edit_file(const fs::path& root, const std::string& path, const host::EditFileRequest& request) {
  PreparedChange c;
  c.path = path;
  c.edit = true;
  auto refuse = [&](const std::string& why) {
    c.ok = false;
    c.error = why;
    c.output = "Error: " + why + "; " + path + " was not changed";
    return c;
  };
  const Beneath base(root);
  Located at;
  if (const int err = base.locate(path, at)) return refuse(resolve_error(path, err, base).substr(7));
  const TextFile t = read_text_at(at.dir.get(), at.name, path, kEditCap);
  if (!t.ok) return refuse(t.error.substr(7));
  if (t.truncated) return refuse("the file is too large to edit (over 16 MB)");
  struct stat st{};
  if (::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) c.mode = st.st_mode & 07777;
  EditOutcome edit = compute_edit(t.text, request, path);
  if (!edit.ok) return refuse(edit.error);
  c.rel = at.rel;
  c.before = t.text;
  c.after = std::move(edit.text);
  c.replacements = edit.replacements;
  c.ok = true;
  c.output = request.patch ? "Applied " + std::to_string(edit.replacements) + " hunk(s) to " + path
                           : "Replaced " + std::to_string(edit.replacements) + " occurrence(s) in " + path;
  return c;
}

std::string apply_prepared(const fs::path& root, const PreparedChange& change,
                           const std::function<std::string(const std::string& rel)>& before_write,
                           std::string* why) {
  if (!change.ok) {
    if (why) *why = change.error;
    return change.output;
  }
  WriteBeneath o;
  o.expect = &change.before;
  o.before_write = before_write;
  const WriteOutcome w = write_beneath(root, change.path, change.after, o);
  if (w.changed) {
    if (why) *why = "the file changed after the change was computed";
    return "Error: " + change.path + " changed after the change was shown (by another program?); it was not written";
  }
  if (!w.error.empty()) {
    if (why) *why = "cannot write the file: " + w.error;
    return change.edit ? "Error: cannot write the file: " + w.error + "; " + change.path + " was not changed"
                       : "Error: cannot write " + change.path + ": " + w.error;
  }
  return change.output;
}

}  // namespace dravik::hostlib
