// What /undo restores. Before write_file or edit_file changes a file, the
// file's bytes and mode (or that it did not exist) are kept for the current
// turn, with a digest of what the turn wrote; the turn's shell commands are
// listed too. Everything lives in <working dir>/.dravik/undo (owner-only),
// so a later session can still undo: the last 20 turns and 100 MB at most,
// the oldest dropped first. A digest of the log kept in the user's dravik
// home makes sure that only a log this user's dravik wrote is ever used (a
// repository could ship one of its own).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
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

  // `home`: where the log's digest is recorded (the user's dravik home).
  UndoLog(std::filesystem::path workdir, std::filesystem::path home);

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
  // The note of the /undo runs since the model was last told (kept in the
  // log, so that it reaches the next turn of a later session too), cleared.
  // Undoes the last turn kept. `ask` decides, for a file changed since the
  // turn wrote it, whether to overwrite it anyway (given the escaped path);
  // without `ask` such files are left as they are.
  Undone undo_last(const std::function<bool(const std::string& shown_path)>& ask);
  std::string take_note();

 private:
  std::filesystem::path workdir_, home_;
  bool turn_open_ = false;
  std::uint64_t current_id_ = 0;
  std::string load_error_;

  Json load();  // the log, or an empty one (load_error_ says why it was not used)
  std::string save(const Json& log);
  std::string store_dir();  // creates .dravik/undo (0700) without following links; "" or why not
  std::filesystem::path seal_path() const;
  Json& current_turn(Json& log);
  bool undo_file(const Json& entry, const std::function<bool(const std::string&)>& ask, Undone& u,
                 std::vector<std::string>& restored, std::vector<std::string>& removed);
  void bound(Json& log);
};

}  // namespace dravik::app
