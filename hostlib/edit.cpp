// edit_file: an exact replacement, or a unified diff applied with its context
// checked. Nothing is written unless the whole edit applies.
#include "dravik_host.hpp"
#include "file_change.hpp"

namespace dravik::hostlib {

host::EditFileResult LocalShellExecutor::edit_file_now(const std::string& path, const host::EditFileRequest& request) {
  // The file is found once; it is read and replaced through the directory
  // descriptor found, and written only while it still holds what was read.
  const PreparedChange change = prepare_edit_file(o_.workdir, path, request);
  std::string why;
  host::EditFileResult res;
  res.match_strategy = request.patch ? "patch" : "exact";
  res.output = apply_prepared(o_.workdir, change, {}, &why);
  res.ok = why.empty();
  res.replacements = res.ok ? change.replacements : 0;
  res.validation_error = res.ok ? Json(nullptr) : Json(why);
  return res;
}

}  // namespace dravik::hostlib
