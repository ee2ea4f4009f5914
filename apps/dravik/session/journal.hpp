// A session's journal: one JSON record a line, appended as each message of
// the conversation is complete and synced to the disk before the call
// returns, so that a kill or a crash loses at most the reply in flight.
//
// Records: {"type": "session", ...} first (the session's id, when it
// started, the runtime and model), then {"type": "message", "message": M}
// for each message after the system prompt, {"type": "interrupted",
// "message": M} for a reply cut off part-way (kept as such), and
// {"type": "replace", "messages": [...]} when the conversation was
// rewritten as a whole (/compact, /reset).
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/json.hpp"

namespace dravik::app {

class Journal {
 public:
  struct Header {
    std::string id;
    std::string started;  // ISO 8601, UTC
    std::string runtime, model;
  };

  // What a journal holds, read back.
  struct Contents {
    std::optional<Header> header;
    Json messages = Json::array();  // the conversation after the system prompt
    std::size_t turns = 0;          // user messages
    std::string first_user_line;    // for a listing
    bool last_interrupted = false;  // the last reply was cut off
    std::uintmax_t good_bytes = 0;  // where the last good record ends
    bool damaged = false;           // a torn line or NUL bytes after the last good record
  };

  // Reads `file`: records up to the last good one; a torn last line and
  // runs of NUL bytes (what a crash or a full disk leaves) are skipped.
  // A missing file reads as empty. Throws OSError when it cannot be read.
  static Contents read(const std::filesystem::path& file);

  // Opens `file` for appending, creating it (owner-only) with `header` as
  // its first record when it does not exist; a damaged end is cut back to
  // the last good record first. The journal is locked while it is open:
  // OSError EWOULDBLOCK when another dravik has it. Throws OSError naming
  // the file.
  static Journal open(const std::filesystem::path& file, const Header& header);

  Journal(Journal&& other) noexcept;
  Journal& operator=(Journal&& other) noexcept;
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  ~Journal();

  // Appends one record and syncs it. Throws OSError naming the file (a
  // full disk, a read-only file system); what was written before stays.
  void append(const Json& record);
  // Appends the records with one write and one sync.
  void append_all(const std::vector<Json>& records);
  void message(const Json& m) { append(Json{{"type", "message"}, {"message", m}}); }
  void interrupted(const Json& m) { append(Json{{"type", "interrupted"}, {"message", m}}); }
  // The conversation after the system prompt, rewritten as a whole.
  void replace(const Json& messages_after_system);

  const std::filesystem::path& file() const { return file_; }

 private:
  Journal(std::filesystem::path file, int fd) : file_(std::move(file)), fd_(fd) {}
  std::filesystem::path file_;
  int fd_ = -1;
};

// A new session id: the time it starts (UTC) and a few random letters,
// "20261209-101500-k3x9", so that ids sort by age.
std::string new_session_id();
// A time as ISO 8601, UTC ("2026-12-09T10:15:00Z"), and the current one.
std::string iso8601(std::time_t t);
std::string now_iso8601();

}  // namespace dravik::app
