// Memory notes as Markdown bullets the user can read and edit by hand.
#include <sys/stat.h>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/config.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"

namespace dravik::hostlib {

namespace fs = std::filesystem;

std::string MarkdownNotesStore::update_now(const std::string& cwd, const std::string& scope_in,
                                           const std::string& action_in, const std::string& content) {
  const std::string scope = config::lower(config::trim(scope_in));
  const std::string action = config::lower(config::trim(action_in));
  if (scope != "project" && scope != "global") throw ValueError("scope must be 'project' or 'global'");
  if (action != "add" && action != "replace" && action != "remove" && action != "show")
    throw ValueError("action must be one of: add, replace, remove, show");
  const fs::path dir = scope == "project" ? fs::path(cwd) / ".dravik" : home_;
  const fs::path file = dir / "memory.md";
  std::string notes = files::try_read_file(file.string()).value_or("");
  if (action == "show") return notes.empty() ? "(no " + scope + " notes yet)" : notes;

  const std::string note = config::trim(content);
  if (note.empty() && action != "replace") throw ValueError("content must not be empty for '" + action + "'");
  if (action == "add") {
    if (!notes.empty() && notes.back() != '\n') notes += '\n';
    // One bullet per note; line breaks inside it stay within the bullet.
    std::string bullet = "- ";
    for (char c : note) {
      bullet += c;
      if (c == '\n') bullet += "  ";
    }
    notes += bullet + "\n";
  } else if (action == "replace") {
    notes = note.empty() ? "" : note + "\n";
  } else {  // remove
    std::string kept;
    std::size_t removed = 0, start = 0;
    while (start < notes.size()) {
      auto nl = notes.find('\n', start);
      if (nl == std::string::npos) nl = notes.size();
      const std::string line = notes.substr(start, nl - start);
      if (line.find(note) != std::string::npos) ++removed;
      else kept += line + "\n";
      start = nl + 1;
    }
    if (removed == 0) throw ValueError("no " + scope + " note contains '" + note + "'");
    notes = kept;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw OSError(ec.value(), "cannot create " + dir.string() + ": " + ec.message());
  const std::string error = detail::write_atomically(file, notes, std::optional<mode_t>(0600));
  if (!error.empty()) throw OSError(EIO, "cannot write " + file.string() + ": " + error);
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
