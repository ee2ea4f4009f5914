// The file behind /undo: <working dir>/.dravik/undo/log, append-only. A
// frame is one line of JSON {"r": record, "mac": hex} and, when the record
// has "bytes": N, N bytes of a file's copy and a line feed. The MAC is an
// HMAC-SHA256 of the record's text with the user's key ("undo.key" in the
// dravik home). Readers stop at the first frame that is torn or does not
// verify; writers cut a torn end off before they append.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/json.hpp"
#include "support/result.hpp"

namespace dravik::app::undo_store {

// A random id for a new log's first record.
std::string random_id();

// The user's key, made (owner-only, exclusively) when there is none.
Result<std::string> user_key(const std::filesystem::path& home);

// One open, locked log: opened, or created, without following links, in
// <workdir>/.dravik/undo (made owner-only when missing). A log with other
// names (hard links) is left to them and a new one started.
class Log {
 public:
  static Result<Log> open(const std::filesystem::path& workdir, std::string key);
  Log(Log&&) noexcept;
  Log& operator=(Log&&) noexcept;
  ~Log();

  // Identifies the file: a replaced log (compacted by another session) is
  // read again from its start. A new log begins with a record of a random
  // id (see log_id), so that a file whose inode number was used again is
  // not taken for the one read before.
  std::uint64_t identity() const { return identity_; }
  std::uint64_t size() const { return size_; }

  // Calls `each(record, blob_offset, blob_size)` for every good frame from
  // `offset` on; returns where the good frames end, and says in `untrusted`
  // when a frame did not verify (a log not written by this user's dravik).
  // A torn end is cut off.
  // With `cut`, a torn or untrusted end is cut off (only a reader that read
  // from the start knows where the good frames end).
  std::uint64_t read_from(std::uint64_t offset,
                          const std::function<void(const Json&, std::uint64_t, std::uint64_t)>& each,
                          bool& untrusted, bool cut = true);
  // The id the log's first record gives it ({"t": "log", "id": ...}); ""
  // when it has none.
  std::string log_id();
  // Appends one frame and syncs it; the offset of its copy.
  Result<std::uint64_t> append(const Json& record, std::string_view blob = {});
  // The copy of `size` bytes at `offset`.
  Result<std::string> blob(std::uint64_t offset, std::uint64_t size) const;
  // Replaces this log with a new one that `fill` writes through `emit`
  // (which gives the offset of each copy); synced, renamed over the log,
  // the directory synced. On failure the log stays as it was.
  using Emit = std::function<Result<std::uint64_t>(const Json& record, std::string_view blob)>;
  Result<void> rewrite(const std::function<Result<void>(const Emit& emit)>& fill);

  // Removes what an interrupted compaction left in the store (temporaries
  // an hour old: a younger one may be another session's, being written).
  void remove_temporaries() const;

 private:
  Log(int dir, int fd, std::string key);
  std::string frame(const Json& record, std::string_view blob) const;
  int dir_ = -1, fd_ = -1;
  std::string key_;
  std::uint64_t identity_ = 0, size_ = 0;
};

}  // namespace dravik::app::undo_store
