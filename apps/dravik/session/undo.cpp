#include "session/undo.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_change.hpp"
#include "session/state_seal.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDir = ".dravik/undo";
constexpr std::size_t kMaxLog = 4u << 20;
constexpr std::size_t kMaxFile = 16u << 20;  // the largest file write_file/edit_file change

std::string in_store(const std::string& name) { return std::string(kDir) + "/" + name; }

// A path from the log: relative, without "..", so that even a log changed
// by hand names nothing outside the working directory (the confined writes
// check that again).
bool valid_rel(const Json& p) {
  if (!p.is_string()) return false;
  const std::string& s = p.get_ref<const std::string&>();
  if (s.empty() || s.size() > 4096 || s[0] == '/' || s.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find('/', start);
    if (end == std::string::npos) end = s.size();
    if (s.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

bool valid_blob(const Json& b) {
  if (!b.is_string()) return false;
  const std::string& s = b.get_ref<const std::string&>();
  return !s.empty() && s.size() < 64 &&
         s.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos;
}

hostlib::WriteBeneath private_write() {
  hostlib::WriteBeneath o;
  o.follow_links = false;
  o.create_dirs = false;
  o.mode = 0600;
  o.new_mode = 0600;
  return o;
}

std::uint64_t turn_bytes(const Json& turn) {
  std::uint64_t n = 0;
  for (const Json& f : turn.value("files", Json::array()))
    if (f.is_object()) n += f.value("size", std::uint64_t{0});
  return n;
}

}  // namespace

UndoLog::UndoLog(fs::path workdir, fs::path home) : workdir_(std::move(workdir)), home_(std::move(home)) {}

fs::path UndoLog::seal_path() const {
  return fs::path("undo-seals") / (sha256_of(fs::absolute(workdir_).lexically_normal().string()) + ".json");
}

std::string UndoLog::store_dir() {
  // Created and entered one level at a time without following links, so a
  // ".dravik" link cannot send the saved copies elsewhere.
  const int root = ::open(workdir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return std::strerror(errno);
  int dir = root;
  std::string error;
  for (const char* name : {".dravik", "undo"}) {
    if (::mkdirat(dir, name, 0700) != 0 && errno != EEXIST) {
      error = std::strerror(errno);
      break;
    }
    const int next = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(dir);
    dir = next;
    if (dir < 0) {
      error = std::string(name) + ": " + std::strerror(errno);
      break;
    }
  }
  if (dir >= 0) {
    if (error.empty() && ::fchmod(dir, 0700) != 0) error = std::strerror(errno);
    ::close(dir);
  }
  return error;
}

Json UndoLog::load() {
  load_error_.clear();
  const Json empty = {{"version", 1}, {"next", 1}, {"turns", Json::array()}};
  const auto read = hostlib::read_confined(workdir_, in_store("log.json"), kMaxLog, false);
  if (!read) {
    load_error_ = "cannot read the undo log: " + read.error().message;
    return empty;
  }
  const hostlib::FileState& s = *read;
  if (!s.exists) return empty;
  const auto seal = hostlib::read_confined(home_, seal_path().string(), 1 << 16);
  const Json record = seal && seal->exists ? Json::parse(seal->bytes, nullptr, false) : Json();
  if (!record.is_object() || record.value("log", "") != sha256_of(s.bytes)) {
    load_error_ = "the undo log in .dravik/undo was not written by your dravik (or was changed since); it is not used";
    return empty;
  }
  Json log = Json::parse(s.bytes, nullptr, false);
  if (!log.is_object() || !log.contains("turns") || !log["turns"].is_array()) return empty;
  if (!log.contains("next") || !log["next"].is_number_unsigned()) log["next"] = 1;
  return log;
}

std::string UndoLog::save(const Json& log) {
  const std::string bytes = dump_json(log);
  if (auto w = hostlib::write_confined(workdir_, in_store("log.json"), bytes, private_write()); !w)
    return w.error().message;
  hostlib::WriteBeneath o;
  o.new_mode = 0600;
  const auto w = hostlib::write_confined(home_, seal_path().string(),
                             dump_json(Json{{"workdir", fs::absolute(workdir_).string()}, {"log", sha256_of(bytes)}}), o);
  return w ? "" : w.error().message;
}

Json& UndoLog::current_turn(Json& log) {
  Json& turns = log["turns"];
  if (turn_open_)
    for (Json& t : turns)
      if (t.is_object() && t.value("id", std::uint64_t{0}) == current_id_) return t;
  current_id_ = log["next"].get<std::uint64_t>();
  log["next"] = current_id_ + 1;
  turn_open_ = true;
  turns.push_back({{"id", current_id_}, {"files", Json::array()}, {"shell", Json::array()}});
  return turns.back();
}

void UndoLog::bound(Json& log) {
  Json& turns = log["turns"];
  std::uint64_t total = 0;
  for (const Json& t : turns) total += turn_bytes(t);
  while (turns.size() > 1 && (turns.size() > kMaxTurns || total > kMaxBytes)) {
    total -= std::min(total, turn_bytes(turns[0]));
    for (const Json& f : turns[0].value("files", Json::array()))
      if (f.is_object() && f.contains("blob") && valid_blob(f["blob"]))
        (void)hostlib::remove_confined(workdir_, in_store(f["blob"].get<std::string>()));
    turns.erase(turns.begin());
  }
}

std::string UndoLog::remember_file(const std::string& rel, const std::optional<std::string>& before, mode_t mode,
                                   std::string_view after) {
  // The store itself is not the file tools' to change: a write there would
  // undo the undo log.
  if (rel == kDir || rel.starts_with(std::string(kDir) + "/")) return std::string(kDir) + " holds /undo's copies";
  if (std::string e = store_dir(); !e.empty()) return "cannot keep the file for /undo: " + e;
  Json log = load();  // an untrusted log is started afresh
  Json& turn = current_turn(log);
  Json& files = turn["files"];
  for (Json& f : files)
    if (f.is_object() && f.value("path", "") == rel) {
      // Changed again in the same turn: /undo goes back to the first state.
      f["written"] = sha256_of(after);
      return save(log);
    }
  Json entry = {{"path", rel}, {"existed", before.has_value()}, {"mode", static_cast<unsigned>(mode & 07777)},
                {"size", before ? before->size() : 0}, {"written", sha256_of(after)}};
  if (before) {
    const std::string blob = "b" + std::to_string(current_id_) + "-" + std::to_string(files.size());
    if (auto w = hostlib::write_confined(workdir_, in_store(blob), *before, private_write()); !w)
      return "cannot keep the file for /undo: " + w.error().message;
    entry["blob"] = blob;
    entry["before"] = sha256_of(*before);
  }
  files.push_back(std::move(entry));
  bound(log);
  const std::string e = save(log);
  return e.empty() ? "" : "cannot keep the file for /undo: " + e;
}

std::string UndoLog::remember_shell(const std::string& command) {
  if (std::string e = store_dir(); !e.empty()) return "cannot note the command for /undo: " + e;
  Json log = load();
  // Only shown, never run again: a long command (a here-document) is kept
  // in part, so that the log stays small.
  current_turn(log)["shell"].push_back(text::prefix(command, 2000));
  bound(log);
  return save(log);
}

// One file of the turn being undone: restored (or removed, when the turn
// created it), or left; `keep` when it stays in the log for another /undo
// (it failed, or nobody could be asked).
bool UndoLog::undo_file(const Json& f, const std::function<bool(const std::string&)>& ask, Undone& u,
                        std::vector<std::string>& restored, std::vector<std::string>& removed) {
  if (!f.is_object() || !valid_rel(f.value("path", Json())) || !f.value("written", Json()).is_string()) {
    u.lines.push_back("skipped an entry of the log that is not valid");
    return false;
  }
  const std::string path = f["path"].get<std::string>();
  const std::string shown = text::escape_unambiguous(path);
  const bool existed = f.value("existed", false);
  const auto read = hostlib::read_confined(workdir_, path, kMaxFile);
  if (!read) {
    u.lines.push_back("could not restore " + shown + ": " + text::escape_controls(read.error().message));
    return true;
  }
  const hostlib::FileState& now = *read;
  const bool as_written = now.exists && sha256_of(now.bytes) == f["written"].get<std::string>();
  if (!as_written) {
    if (!existed && !now.exists) {
      u.lines.push_back(shown + " is already gone");
      return false;
    }
    if (!ask) {
      u.lines.push_back(shown + " was changed since that turn; left as it is (not asked: not on a terminal)");
      return true;
    }
    if (!ask(shown)) {
      u.lines.push_back(shown + " was changed since that turn; left as it is");
      return false;
    }
  }
  const std::optional<std::string> expect = now.exists ? std::optional<std::string>(now.bytes) : std::nullopt;
  if (!existed) {
    if (auto w = hostlib::remove_confined(workdir_, path, &expect); !w) {
      u.lines.push_back("could not remove " + shown + ": " + text::escape_controls(w.error().message));
      return true;
    }
    u.lines.push_back("removed " + shown);
    removed.push_back(path);
    return false;
  }
  const Json mode = f.value("mode", Json());
  std::optional<hostlib::FileState> saved;
  if (valid_blob(f.value("blob", Json())))
    if (auto r = hostlib::read_confined(workdir_, in_store(f["blob"].get<std::string>()), kMaxFile, false))
      saved = std::move(*r);
  if (!saved || !saved->exists || sha256_of(saved->bytes) != f.value("before", "") ||
      !mode.is_number_unsigned() || mode.get<unsigned>() > 07777) {
    u.lines.push_back("could not restore " + shown + ": its saved copy is missing or damaged");
    return false;
  }
  hostlib::WriteBeneath o;
  o.expect = &expect;
  o.mode = static_cast<mode_t>(mode.get<unsigned>());
  o.new_mode = *o.mode;
  if (auto w = hostlib::write_confined(workdir_, path, saved->bytes, o); !w) {
    u.lines.push_back("could not restore " + shown + ": " + text::escape_controls(w.error().message));
    return true;
  }
  u.lines.push_back("restored " + shown);
  restored.push_back(path);
  return false;
}

namespace {

// What the model is told of an undo.
std::string undo_note(const std::vector<std::string>& restored, const std::vector<std::string>& removed,
                      bool had_shell) {
  if (restored.empty() && removed.empty()) return "";
  auto join = [](const std::vector<std::string>& v) {
    std::string s;
    for (const auto& p : v) s += (s.empty() ? "" : ", ") + p;
    return s;
  };
  std::string note = "The user undid the file changes of your last turn with /undo";
  if (!restored.empty()) note += "; restored: " + join(restored);
  if (!removed.empty()) note += "; removed: " + join(removed);
  if (had_shell) note += "; its shell commands were not undone";
  return note + ".";
}

}  // namespace

UndoLog::Undone UndoLog::undo_last(const std::function<bool(const std::string&)>& ask) {
  Undone u;
  Json log = load();
  if (!load_error_.empty()) {
    u.lines.push_back(load_error_);
    return u;
  }
  Json& turns = log["turns"];
  if (turns.empty()) {
    u.lines.push_back("Nothing to undo.");
    return u;
  }
  const Json turn = turns.back();
  turns.erase(turns.size() - 1);
  turn_open_ = false;  // what this turn does next starts a turn of its own
  std::vector<std::string> restored, removed;
  // Entries left for another /undo: those that failed, and files changed
  // since when nobody could be asked. A "no" of the user lets go of one.
  Json keep = Json::array();
  const Json files = turn.value("files", Json::array());
  for (auto it = files.rbegin(); it != files.rend(); ++it)
    if (undo_file(*it, ask, u, restored, removed)) keep.push_back(*it);
  if (!keep.empty()) {
    Json rest = turn;
    std::reverse(keep.begin(), keep.end());  // the order the turn wrote them
    rest["files"] = keep;
    rest["shell"] = Json::array();
    turns.push_back(std::move(rest));
    u.lines.push_back("kept for another /undo: " + std::to_string(keep.size()) +
                      (keep.size() == 1 ? " file" : " files") + " not restored");
  }
  const Json shell = turn.value("shell", Json::array());
  if (!shell.empty()) {
    u.lines.push_back("Shell commands cannot be undone; that turn ran:");
    for (const Json& c : shell)
      if (c.is_string()) u.lines.push_back("  $ " + text::escape_unambiguous(c.get<std::string>()));
  }
  if (files.empty() && shell.empty()) u.lines.push_back("That turn changed nothing.");
  u.note = undo_note(restored, removed, !shell.empty());
  if (!u.note.empty()) {
    const std::string earlier = log.value("note", "");
    log["note"] = earlier.empty() ? u.note : earlier + " " + u.note;
  }
  if (const std::string e = save(log); !e.empty()) {
    u.lines.push_back("could not update the undo log: " + text::escape_controls(e));
    return u;
  }
  // The copies go once the log no longer names them.
  for (const Json& f : files)
    if (f.is_object() && valid_blob(f.value("blob", Json())) &&
        std::find(keep.begin(), keep.end(), f) == keep.end())
      (void)hostlib::remove_confined(workdir_, in_store(f["blob"].get<std::string>()));
  return u;
}

std::string UndoLog::take_note() {
  Json log = load();
  if (!load_error_.empty() || !log.contains("note") || !log["note"].is_string()) return "";
  const std::string note = log["note"].get<std::string>();
  log.erase("note");
  save(log);
  return note;
}

}  // namespace dravik::app
