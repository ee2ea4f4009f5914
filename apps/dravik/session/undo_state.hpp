// What the undo log says, replayed into memory, and its upkeep (opening,
// compaction, taking over an earlier log, removing leftovers): the parts of
// the undo store that undo.cpp and undo_upkeep.cpp share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "session/undo.hpp"
#include "session/undo_store.hpp"
#include "support/json.hpp"

namespace dravik::app {

namespace undo_detail {

inline constexpr const char* kDir = ".dravik/undo";
inline constexpr std::size_t kMaxFile = 16u << 20;  // the largest file write_file/edit_file change
inline constexpr std::uint64_t kCompactAbove = 1u << 20;

// A path from the log: relative, without "..", so that even a log changed
// by hand names nothing outside the working directory (the confined writes
// check that again).
bool valid_rel(const std::string& s);
std::string text_of(const Json& r, const char* key);
std::uint64_t number_of(const Json& r, const char* key);

}  // namespace undo_detail

// What the log says, replayed: the turns still undoable, oldest first.
struct UndoLog::State {
  struct Entry {
    std::string path;
    bool existed = false;
    unsigned mode = 0644;
    std::string before, written;  // digests
    std::uint64_t blob_at = 0, blob_size = 0;
  };
  struct Turn {
    std::uint64_t id = 0;
    std::string session;  // the session whose turn it was
    std::vector<Entry> files;
    std::vector<std::string> shell;
  };

  std::optional<std::string> key;
  std::uint64_t identity = 0, read_to = 0;
  std::string log_id;  // the id of the log file that was read
  std::vector<Turn> turns;
  std::uint64_t next = 1, current = 0;
  std::string note;
  std::string untrusted;  // said once, by the next /undo
  std::vector<std::string> notices;
  bool tidied = false;

  void reset() {
    turns.clear();
    next = 1;
    note.clear();
    read_to = 0;
  }

  // The turn /undo takes: this session's latest, or when it has none left,
  // the latest of any session.
  const Turn* last_turn(const std::string& session) const {
    for (auto it = turns.rbegin(); it != turns.rend(); ++it)
      if (!session.empty() && it->session == session) return &*it;
    return turns.empty() ? nullptr : &turns.back();
  }

  Turn* turn(std::uint64_t id) {
    for (Turn& t : turns)
      if (t.id == id) return &t;
    return nullptr;
  }

  std::uint64_t live_bytes() const {
    std::uint64_t n = 0;
    for (const Turn& t : turns)
      for (const Entry& e : t.files) n += e.blob_size;
    return n;
  }

  // One record of the log (`at`, `bytes`: where its copy is).
  void apply(const Json& r, std::uint64_t at, std::uint64_t bytes);
};

namespace undo_detail {

// The log opened, locked and read up to its end into `s`; once a session,
// compacted when most of it is history and its leftovers removed.
Result<undo_store::Log> open_log(UndoLog::State& s, const std::filesystem::path& workdir,
                                 const std::filesystem::path& home);

}  // namespace undo_detail

}  // namespace dravik::app
