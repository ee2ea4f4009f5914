// What /undo restores. Before write_file or edit_file changes a file, the
// file's bytes and mode (or that it did not exist) are kept for the current
// turn, with a digest of what the turn wrote; the turn's shell commands are
// listed too. Everything lives in <working dir>/.dravik/undo (owner-only),
// so a later session can still undo: the last 20 turns and 100 MB at most,
// the oldest dropped when a change is kept, with a line saying so.
//
// The store is one append-only file ("log"): each record is one line of
// JSON, followed by the copy of a file when it keeps one, and carries an
// HMAC made with a key in the user's dravik home ("undo.key", made once).
// A change costs one append and one sync; a kill at any instant leaves
// whole records and at most one torn one, which is cut off; a log this
// user's dravik did not write (a repository could ship one) is not used.
// An /undo records each file as it is done, so that a kill mid-way leaves
// the rest for the next /undo.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/json.hpp"

namespace dravik::app {

class UndoLog {
 public:
  static constexpr std::size_t kMaxTurns = 20;
  static constexpr std::size_t kMaxBytes = 100u << 20;

  // `home`: the user's dravik home, where the key is kept.
  UndoLog(std::filesystem::path workdir, std::filesystem::path home);
  ~UndoLog();
  UndoLog(const UndoLog&) = delete;
  UndoLog& operator=(const UndoLog&) = delete;

  // The session the turns are recorded for: /undo takes this session's
  // latest turn first.
  void set_session(std::string id) { session_ = std::move(id); }
  // At the start of a session: the store, when there is one, opened once,
  // so that its upkeep runs (compaction, leftovers removed).
  void tidy();
  // The next change or shell command belongs to a new turn.
  void begin_turn() { turn_open_ = false; }
  // Keeps what `rel` (relative to the working directory) held before the
  // turn's first change of it (`before` nullopt: it did not exist) and the
  // digest of what the turn writes now. "" or why it could not be kept.
  std::string remember_file(const std::string& rel, const std::optional<std::string>& before, mode_t mode,
                            std::string_view after);
  std::string remember_shell(const std::string& command);

  struct Undone {
    std::vector<std::string> lines;  // for the terminal, escaped
    std::string note;                // for the model: what was restored ("" when nothing)
  };
  // Undoes the last turn kept. `ask` decides, for a file changed since the
  // turn wrote it, whether to overwrite it anyway (given the escaped path);
  // without `ask` such files are left as they are. A file the turn created
  // and someone changed since is kept, never removed.
  Undone undo_last(const std::function<bool(const std::string& shown_path)>& ask);
  // The note of the /undo runs since the model was last told (kept in the
  // log, so that it reaches the next turn of a later session too), cleared.
  std::string take_note();
  // Lines for the user about the store itself (older turns dropped for the
  // bound), cleared.
  std::vector<std::string> take_notices();

  struct State;

 private:
  std::filesystem::path workdir_, home_;
  bool turn_open_ = false;
  std::string session_;
  std::unique_ptr<State> state_;
};

}  // namespace dravik::app
