// Memory notes as Markdown bullets the user can read and edit by hand.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

namespace {

// Lines split at LF, CRLF and a bare CR alike: a bare CR must not smuggle a
// line past the bullet it belongs to.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

// The notes file as entries: a bullet ("- ", "* ", "+ ") with the indented
// lines that continue it, or any other line on its own.
std::vector<std::string> entries_of(const std::string& notes) {
  std::vector<std::string> entries;
  bool in_bullet = false;
  for (const std::string& line : lines_of(notes)) {
    const bool bullet = line.size() >= 2 && (line[0] == '-' || line[0] == '*' || line[0] == '+') && line[1] == ' ';
    const bool continues = in_bullet && !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (continues) {
      entries.back() += "\n" + line;
      continue;
    }
    entries.push_back(line);
    in_bullet = bullet;
  }
  return entries;
}

// The notes' directory and file: memory.md in `dir` (the project's
// .dravik, or the product home); `name` is resolved beneath `base` without
// following any link, so a cloned repository shipping .dravik or
// memory.md as a link reaches nothing else.
struct NotesFile {
  fs::path base;
  std::string name;  // ".dravik/memory.md" or "memory.md"
  std::string shown;
};

// The errno an OSError carries for a failure of the file layer.
int errno_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::not_found:
      return ENOENT;
    case ErrorKind::is_directory:
      return EISDIR;
    case ErrorKind::refused:
      return ELOOP;  // the only refusal of open_regular: a link
    case ErrorKind::too_large:
      return EFBIG;
    case ErrorKind::invalid:
      return EINVAL;
    default:
      return EIO;
  }
}

[[noreturn]] void refuse(const NotesFile& f, int err, const std::string& what) {
  if (err == ELOOP)
    throw OSError(ELOOP, "cannot " + what + " " + f.shown + ": it or its directory is a symbolic link, not followed");
  if (err == EXDEV) throw OSError(EXDEV, "cannot " + what + " " + f.shown + ": it leads outside " + f.base.string());
  throw OSError(err, "cannot " + what + " " + f.shown + ": " + std::strerror(err));
}

std::string read_notes(const NotesFile& f) {
  const detail::Beneath root(f.base);
  if (root.error() == ENOENT) return "";
  detail::Located at;
  if (const int err = root.locate(f.name, at, {.follow_links = false})) {
    if (err == ENOENT) return "";
    refuse(f, err, "read");
  }
  const auto file = detail::open_regular(at.dir.get(), at.name);
  if (!file && file.error().kind == ErrorKind::not_found) return "";
  if (!file) throw OSError(errno_of(file.error().kind), "cannot read " + f.shown + ": it " + file.error().message);
  auto text = detail::read_to_end(file->fd.get(), 16u << 20);
  if (!text) throw OSError(EIO, "cannot read " + f.shown + ": " + text.error().message);
  if (text->size() > (16u << 20)) throw OSError(EFBIG, "cannot read " + f.shown + ": it is over 16 MB");
  return std::move(*text);
}

void write_notes(const NotesFile& f, const std::string& notes) {
  std::error_code ec;
  fs::create_directories(f.base, ec);
  const detail::Beneath root(f.base);
  if (root.error()) refuse(f, root.error(), "write");
  detail::Located at;
  if (const int err = root.locate(f.name, at, {.follow_links = false, .create_dirs = true})) refuse(f, err, "write");
  if (auto written = detail::write_file_in(at.dir.get(), at.name, notes, 0600); !written)
    throw OSError(errno_of(written.error().kind), "cannot write " + f.shown + ": " + written.error().message);
}

}  // namespace

std::string MarkdownNotesStore::update_now(const std::string& cwd, const std::string& scope_in,
                                           const std::string& action_in, const std::string& content) {
  const std::string scope = config::lower(config::trim(scope_in));
  const std::string action = config::lower(config::trim(action_in));
  if (scope != "project" && scope != "global") throw ValueError("scope must be 'project' or 'global'");
  if (action != "add" && action != "replace" && action != "remove" && action != "show")
    throw ValueError("action must be one of: add, replace, remove, show");
  const NotesFile file = scope == "project"
                             ? NotesFile{fs::path(cwd), ".dravik/memory.md", (fs::path(cwd) / ".dravik/memory.md").string()}
                             : NotesFile{home_, "memory.md", (home_ / "memory.md").string()};
  std::string notes = read_notes(file);
  if (action == "show") return notes.empty() ? "(no " + scope + " notes yet)" : notes;

  const std::string note = config::trim(content);
  if (note.empty() && action != "replace") throw ValueError("content must not be empty for '" + action + "'");
  if (action == "add") {
    if (!notes.empty() && notes.back() != '\n' && notes.back() != '\r') notes += '\n';
    // One bullet per note, whatever its line breaks: each further line is
    // indented into the bullet.
    const auto lines = lines_of(note);
    std::string bullet = "- ";
    for (std::size_t i = 0; i < lines.size(); ++i) bullet += (i ? "\n  " : "") + lines[i];
    notes += bullet + "\n";
  } else if (action == "replace") {
    notes = note.empty() ? "" : note + "\n";
  } else {  // remove: whole bullets, continuation lines with them
    const auto wanted = lines_of(note);
    std::string kept;
    std::size_t removed = 0;
    for (const std::string& entry : entries_of(notes)) {
      // A note is matched line by line, so a multi-line one matches
      // whatever line breaks it was written with.
      const auto lines = lines_of(entry);
      std::string flat, needle;
      for (const auto& l : lines) flat += config::trim(l) + "\n";
      for (const auto& l : wanted) needle += config::trim(l) + "\n";
      if (!needle.empty()) needle.pop_back();
      if (flat.find(needle) != std::string::npos) ++removed;
      else kept += entry + "\n";
    }
    if (removed == 0) throw ValueError("no " + scope + " note contains '" + note + "'");
    notes = kept;
  }
  write_notes(file, notes);
  if (action == "add") return "Noted in the " + scope + " notes.";
  if (action == "replace") return "Replaced the " + scope + " notes.";
  return "Removed the matching " + scope + " notes.";
}

boost::asio::awaitable<std::string> MarkdownNotesStore::update_persistent_memory(std::string cwd, std::string scope,
                                                                                 std::string action,
                                                                                 std::string content) {
  co_return update_now(cwd, scope, action, content);
}

}  // namespace dravik::hostlib
