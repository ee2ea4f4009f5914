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
Result<FileState> state_at(int dir, const std::string& name, std::size_t cap) {
  FileState s;
  struct stat st{};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return Failure{ErrorKind::io, std::strerror(errno)};
    return s;
  }
  const auto f = open_regular(dir, name);
  if (!f) return f.error();
  s.exists = true;
  s.mode = f->st.st_mode & 07777;
  auto bytes = read_to_end(f->fd.get(), cap, static_cast<std::size_t>(f->st.st_size));
  if (!bytes) return bytes.error();
  if (bytes->size() > cap) return Failure{ErrorKind::too_large, "it is larger than " + std::to_string(cap >> 20) + " MB"};
  s.bytes = std::move(*bytes);
  return s;
}

// Whether the entry `name` of `dir` holds `expect` (nullopt: does not exist).
bool holds(int dir, const std::string& name, const std::optional<std::string>& expect) {
  const auto now = state_at(dir, name, expect ? expect->size() + 1 : kEditCap);
  if (!now) return false;
  return expect ? now->exists && now->bytes == *expect : !now->exists;
}

// Locates `path` beneath `base` as a file to write or remove (not the root
// itself), with resolve_failure's message when it cannot be.
Result<Located> locate_file(const Beneath& base, const std::string& path, ResolveOptions o) {
  Located at;
  if (const int err = base.locate(path, at, o)) return resolve_failure(path, err, base);
  if (at.name == ".") return Failure{ErrorKind::is_directory, path + " is a directory"};
  return at;
}

Failure changed_since(const std::string& path) { return {ErrorKind::changed, path + " changed since"}; }

// Gives a written file exactly `mode` (write_file_in keeps an existing
// file's own, and the umask trims a new one's).
Result<> set_mode(const Located& at, mode_t mode) {
  const auto f = open_regular(at.dir.get(), at.name);
  if (!f) return Failure{f.error().kind, "cannot set the mode: " + f.error().message};
  if (::fchmod(f->fd.get(), mode & 07777) != 0)
    return Failure{ErrorKind::io, std::string("cannot set the mode: ") + std::strerror(errno)};
  return {};
}

}  // namespace

Result<FileState> read_confined(const fs::path& root, const std::string& path, std::size_t cap, bool follow_links) {
  const Beneath base(root);
  Located at;
  if (const int err = base.locate(path, at, {.follow_links = follow_links})) {
    if (err == ENOENT) return FileState{};
    return resolve_failure(path, err, base);
  }
  auto s = state_at(at.dir.get(), at.name, cap);
  if (s) s->rel = at.rel;
  return s;
}

Result<std::string> write_confined(const fs::path& root, const std::string& path, std::string_view bytes,
                                   const WriteBeneath& o) {
  const Beneath base(root);
  auto at = locate_file(base, path, {.follow_links = o.follow_links, .create_dirs = o.create_dirs});
  if (!at) return at.error();
  if (o.expect && !holds(at->dir.get(), at->name, *o.expect)) return changed_since(path);
  if (o.before_write)
    if (auto allowed = o.before_write(at->rel); !allowed) return allowed.error();
  if (auto written = write_file_in(at->dir.get(), at->name, bytes, o.mode ? *o.mode : o.new_mode); !written)
    return written.error();
  if (o.mode)
    if (auto set = set_mode(*at, *o.mode); !set) return set.error();
  return at->rel;
}

Result<std::string> remove_confined(const fs::path& root, const std::string& path,
                                    const std::optional<std::string>* expect) {
  const Beneath base(root);
  // No link is followed: a link put in a file's place since, or in place of
  // a directory on its way, must not make the removal hit what it points at.
  auto at = locate_file(base, path, {.follow_links = false});
  if (!at) return at.error();
  if (expect && !holds(at->dir.get(), at->name, *expect)) return changed_since(path);
  if (::unlinkat(at->dir.get(), at->name.c_str(), 0) != 0 && errno != ENOENT)
    return Failure{ErrorKind::io, std::strerror(errno)};
  return at->rel;
}

Result<FileChange> compute_write_file(const fs::path& root, const std::string& path, const std::string& content) {
  FileChange c;
  c.path = path;
  c.after = content;
  c.done = "Wrote " + std::to_string(content.size()) + " bytes to " + path;
  const Beneath base(root);
  Located at;
  const int err = base.locate(path, at, {.follow_links = true});
  if (err == ENOTDIR)
    return Failure{ErrorKind::not_found, "cannot create the directory of " + path + ": " + std::strerror(err)};
  if (err == ENOENT) return c;  // its directory does not exist yet: it is created when the file is written
  if (err) return resolve_failure(path, err, base);
  struct stat st{};
  if (at.name == "." ||
      (::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)))
    return Failure{ErrorKind::is_directory, path + " is a directory"};
  c.rel = at.rel;
  auto s = state_at(at.dir.get(), at.name, kEditCap);
  if (!s) return Failure{s.error().kind, "cannot write " + path + ": " + s.error().message};
  if (s->exists) c.before = std::move(s->bytes);
  c.mode = s->mode;
  return c;
}

Result<FileChange> compute_edit_file(const fs::path& root, const std::string& path,
                                     const host::EditFileRequest& request) {
  const Beneath base(root);
  Located at;
  if (const int err = base.locate(path, at)) return resolve_failure(path, err, base);
  auto t = read_text_at(at.dir.get(), at.name, path, kEditCap);
  if (!t) return t.error();
  if (t->truncated) return Failure{ErrorKind::too_large, "the file is too large to edit (over 16 MB)"};
  auto edited = compute_edit(t->text, request, path);
  if (!edited) return edited.error();
  FileChange c;
  c.path = path;
  c.edit = true;
  struct stat st{};
  if (::fstatat(at.dir.get(), at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) c.mode = st.st_mode & 07777;
  c.rel = at.rel;
  c.before = std::move(t->text);
  c.after = std::move(edited->text);
  c.replacements = edited->replacements;
  c.done = request.patch ? "Applied " + std::to_string(c.replacements) + " hunk(s) to " + path
                         : "Replaced " + std::to_string(c.replacements) + " occurrence(s) in " + path;
  return c;
}

ChangeOutcome refused_change(const std::string& path, bool edit, const Failure& why) {
  if (!edit) return {why, tool_text(why)};
  return {why, tool_text(Failure{why.kind, why.message + "; " + path + " was not changed"})};
}

ChangeOutcome apply_change(const fs::path& root, const FileChange& change,
                           const std::function<Result<>(const std::string& rel)>& before_write) {
  WriteBeneath o;
  o.expect = &change.before;
  o.before_write = before_write;
  const auto written = write_confined(root, change.path, change.after, o);
  if (written) return {{}, change.done};
  const Failure& f = written.error();
  if (f.kind == ErrorKind::changed)
    return {Failure{f.kind, "the file changed after the change was computed"},
            tool_text(Failure{f.kind, change.path +
                                          " changed after the change was shown (by another program?); it was not written"})};
  const Failure why{f.kind, "cannot write the file: " + f.message};
  if (change.edit) return refused_change(change.path, true, why);
  return {why, tool_text(Failure{f.kind, "cannot write " + change.path + ": " + f.message})};
}

}  // namespace dravik::hostlib
