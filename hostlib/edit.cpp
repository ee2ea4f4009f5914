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

  const EditOutcome edit = compute_edit(t.text, request, path);
  if (!edit.ok) return refuse(edit.error);
  const std::string& updated = edit.text;
  res.replacements = edit.replacements;
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
