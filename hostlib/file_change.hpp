// Changing files in two steps, for hosts that show a change before making
// it: the change of a write_file or edit_file call is computed once
// (compute_*), shown and approved by the host, then written exactly as
// computed (apply_change) if the file still holds what it was computed
// from. Also plain reads, writes and removals of files confined to one
// directory, for hosts that keep and restore earlier contents (undo).
// Every path is resolved beneath the root directory as the file tools do
// (resolver.hpp): links are followed only while they stay beneath it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "host_services/host_services.hpp"
#include "support/result.hpp"

namespace dravik::hostlib {

// ------------------------------------------------------ confined files

// A file's state: whether it exists, its bytes and mode.
struct FileState {
  bool exists = false;
  std::string bytes;
  mode_t mode = 0;
  std::string rel;  // the path relative to the root, links resolved ("" when it does not exist)
};

// Reads the regular file `path` beneath `root`, up to `cap` bytes (a larger
// file fails with too_large). A missing file is no failure: exists is
// false. `follow_links` false refuses any link on the way. The failure's
// message is "<path> is outside the working directory ...", or what the
// file is without its name ("is a directory", "it is larger than 16 MB").
Result<FileState> read_confined(const std::filesystem::path& root, const std::string& path, std::size_t cap,
                                bool follow_links = true);

struct WriteBeneath {
  // What the file must hold right before it is written (nullopt: it must
  // not exist); not checked when unset.
  const std::optional<std::string>* expect = nullptr;
  // The mode the file gets (created or existing); unset: an existing file
  // keeps its own, a new one gets new_mode less the umask.
  std::optional<mode_t> mode;
  mode_t new_mode = 0666;
  bool follow_links = true;
  bool create_dirs = true;
  // Called with the path relative to the root once the file is found and
  // checked, right before it is written; a failure it returns is the
  // write's failure and nothing is written.
  std::function<Result<>(const std::string& rel)> before_write;
};
// Writes `bytes` to `path` beneath `root`; gives the path relative to the
// root. Fails with kind changed (and nothing written) exactly when the file
// no longer held what `o.expect` said, with "<path> changed since".
Result<std::string> write_confined(const std::filesystem::path& root, const std::string& path, std::string_view bytes,
                                   const WriteBeneath& o = {});
// Removes the file `path` when it still holds `expect` (if given; kind
// changed otherwise); gives its path relative to the root. A link on the
// way or in the file's place is refused, never followed.
Result<std::string> remove_confined(const std::filesystem::path& root, const std::string& path,
                                    const std::optional<std::string>* expect = nullptr);

// ------------------------------------------------------- file changes

// One write_file or edit_file call, computed and not yet written.
struct FileChange {
  std::string path;  // as the call gave it
  std::string rel;   // relative to the root ("" when its directory does not exist yet)
  std::optional<std::string> before;  // the file's bytes; nullopt: it does not exist
  mode_t mode = 0;
  std::string after;  // exactly what will be written
  bool edit = false;  // an edit_file change (its failures are worded as edit_file words them)
  std::int64_t replacements = 0;  // edit_file: occurrences replaced or hunks applied
  std::string done;  // the tool's result once written ("Wrote 5 bytes to a.txt")
};

// The write_file tool's change: `content` replacing the file (or a new
// file). The failure is write_file's message ("a is a directory", "cannot
// write a: ...").
Result<FileChange> compute_write_file(const std::filesystem::path& root, const std::string& path,
                                      const std::string& content);
// The edit_file tool's change (compute_edit on the file's current text).
// The failure says why it does not apply, without the path ("old_string
// was not found"); refused_change words it as the tool does.
Result<FileChange> compute_edit_file(const std::filesystem::path& root, const std::string& path,
                                     const host::EditFileRequest& request);

// How a write_file or edit_file call ended, as the tool answers it.
struct ChangeOutcome {
  // Written, or why not: compute_*'s failure, or "the file changed after
  // the change was computed" (changed), "cannot write the file: ...".
  Result<> result;
  // What the model reads: FileChange::done, or "Error: ..." (for an edit,
  // "Error: <why>; <path> was not changed").
  std::string text;
  bool ok() const { return result.ok(); }
};

// The tool's answer to a change compute_* refused (`edit`: an edit_file
// call).
ChangeOutcome refused_change(const std::string& path, bool edit, const Failure& why);

// Writes a computed change if the file still holds `change.before`, and
// gives the tool's answer. `before_write` gets the path relative to the
// root right before writing, and can refuse the write with a failure.
ChangeOutcome apply_change(const std::filesystem::path& root, const FileChange& change,
                           const std::function<Result<>(const std::string& rel)>& before_write = {});

}  // namespace dravik::hostlib
