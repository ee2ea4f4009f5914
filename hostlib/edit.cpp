// edit_file: an exact replacement, or a unified diff applied with its context
// checked. Nothing is written unless the whole edit applies.
#include "dravik_host.hpp"
#include "file_change.hpp"

namespace dravik::hostlib {

host::EditFileResult LocalShellExecutor::edit_file_now(const std::string& path, const host::EditFileRequest& request) {
  // The file is found once; it is read and replaced through the directory
  // descriptor found, and written only while it still holds what was read.
  const auto change = compute_edit_file(o_.workdir, path, request);
  const ChangeOutcome outcome = change ? apply_change(o_.workdir, *change) : refused_change(path, true, change.error());
  host::EditFileResult res;
  res.match_strategy = request.patch ? "patch" : "exact";
  res.output = outcome.text;
  res.ok = outcome.ok();
  res.replacements = res.ok ? change->replacements : 0;
  res.validation_error = res.ok ? Json(nullptr) : Json(outcome.result.error().message);
  return res;
}

}  // namespace dravik::hostlib
