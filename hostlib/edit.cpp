// edit_file: an exact replacement, or a unified diff applied with its context
// checked. Nothing is written unless the whole edit applies.
#include <sys/stat.h>

#include "dravik_host.hpp"
#include "paths.hpp"
#include "support/config.hpp"

namespace dravik::hostlib {

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
    const PatchResult p = apply_unified_diff(t.text, *request.patch, path);
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
