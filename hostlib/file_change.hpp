// Changing files in two steps, for hosts that show a change before making
// it: the change of a write_file or edit_file call is computed once
// (prepare_*), shown and approved by the host, then written exactly as
// computed (apply_prepared) if the file still holds what it was computed
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

namespace dravik::hostlib {

// A file's state: whether it exists, its bytes and mode.
struct FileSnapshot {
  std::string error;  // "" when read (or when it does not exist)
  bool exists = false;
  std::string bytes;
  mode_t mode = 0;
  std::string rel;  // the path relative to the root, links resolved
};

// Reads the regular file `path` beneath `root`, up to `cap` bytes (a larger
// file is an error). A missing file is no error: exists is false.
// `follow_links` false refuses any link on the way.
FileSnapshot read_beneath(const std::filesystem::path& root, const std::string& path, std::size_t cap,
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
  // checked, right before it is written; a text it returns is an error and
  // nothing is written.
  std::function<std::string(const std::string& rel)> before_write;
};
struct WriteOutcome {
  std::string error;     // "" when written
  bool changed = false;  // not written: the file no longer held what `expect` said
  std::string rel;
};
WriteOutcome write_beneath(const std::filesystem::path& root, const std::string& path, std::string_view bytes,
                           const WriteBeneath& o = {});
// Removes the file `path` when it still holds `expect` (if given). A link
// on the way or in the file's place is refused (ELOOP), never followed.
WriteOutcome remove_beneath(const std::filesystem::path& root, const std::string& path,
                            const std::optional<std::string>* expect = nullptr);

// One write_file or edit_file call, computed and not yet written.
struct PreparedChange {
  bool ok = false;
  std::string output;  // not ok: the tool's result (the error); ok: the result once written
  std::string error;   // not ok: why, without the "Error: " and the path
  std::int64_t replacements = 0;  // edit_file: occurrences replaced or hunks applied
  std::string path;    // as the call gave it
  std::string rel;     // relative to the root ("" when its directory does not exist yet)
  std::optional<std::string> before;  // the file's bytes; nullopt: it does not exist
  mode_t mode = 0;
  std::string after;  // exactly what will be written
  bool edit = false;  // an edit_file change (its errors are worded as edit_file words them)
};
// The write_file tool's change: `content` replacing the file (or a new file).
PreparedChange prepare_write_file(const std::filesystem::path& root, const std::string& path, const std::string& content);
// The edit_file tool's change (compute_edit on the file's current text);
// refused with the same messages edit_file gives.
PreparedChange prepare_edit_file(const std::filesystem::path& root, const std::string& path,
                                 const host::EditFileRequest& request);
// Writes a prepared change if the file still holds `before`; returns the
// tool's result: change.output, or an error saying why nothing was written.
// `before_write` gets the path relative to the root right before writing,
// and can refuse the write with an error text. `why`, when given, gets the
// reason of a failure as PreparedChange::error words it.
std::string apply_prepared(const std::filesystem::path& root, const PreparedChange& change,
                           const std::function<std::string(const std::string& rel)>& before_write = {},
                           std::string* why = nullptr);

}  // namespace dravik::hostlib
