#include "session/undo.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <utility>

#include "file_change.hpp"
#include "session/state_seal.hpp"
#include "session/undo_store.hpp"
#include "support/config.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDir = ".dravik/undo";
constexpr std::size_t kMaxFile = 16u << 20;  // the largest file write_file/edit_file change
constexpr std::uint64_t kCompactAbove = 1u << 20;

// A path from the log: relative, without "..", so that even a log changed
// by hand names nothing outside the working directory (the confined writes
// check that again).
bool valid_rel(const std::string& s) {
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

std::string text_of(const Json& r, const char* key) {
  const Json* v = config::find(r, key);
  return v && v->is_string() ? v->get<std::string>() : std::string();
}

std::uint64_t number_of(const Json& r, const char* key) {
  const Json* v = config::find(r, key);
  return v && v->is_number_unsigned() ? v->get<std::uint64_t>() : 0;
}

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
    std::vector<Entry> files;
    std::vector<std::string> shell;
  };

  std::optional<std::string> key;
  std::uint64_t identity = 0, read_to = 0;
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

  void apply(const Json& r, std::uint64_t at, std::uint64_t bytes) {
    const std::string type = text_of(r, "t");
    const std::uint64_t id = number_of(r, "id");
    if (type == "turn") {
      if (!turn(id)) turns.push_back(Turn{id, {}, {}});
      next = std::max(next, id + 1);
      return;
    }
    if (type == "note") {
      note += (note.empty() ? "" : " ") + text_of(r, "text");
      return;
    }
    if (type == "note-taken") {
      note.clear();
      return;
    }
    Turn* t = turn(id);
    if (!t) return;
    const std::string path = text_of(r, "path");
    auto entry = std::find_if(t->files.begin(), t->files.end(), [&](const Entry& e) { return e.path == path; });
    if (type == "file" && valid_rel(path) && entry == t->files.end()) {
      Entry e;
      e.path = path;
      e.existed = config::truthy(r.value("existed", Json(false)));
      e.mode = static_cast<unsigned>(number_of(r, "mode") & 07777);
      e.before = text_of(r, "before");
      e.written = text_of(r, "written");
      e.blob_at = at;
      e.blob_size = bytes;
      t->files.push_back(std::move(e));
    } else if (type == "again" && entry != t->files.end()) {
      entry->written = text_of(r, "written");
    } else if (type == "undone" && entry != t->files.end()) {
      t->files.erase(entry);
    } else if (type == "shell") {
      t->shell.push_back(text_of(r, "command"));
    } else if (type == "shown") {
      t->shell.clear();
    } else if (type == "end") {
      turns.erase(turns.begin() + (t - turns.data()));
    }
  }
};

UndoLog::UndoLog(fs::path workdir, fs::path home)
    : workdir_(std::move(workdir)), home_(std::move(home)), state_(std::make_unique<State>()) {}

UndoLog::~UndoLog() = default;

namespace {

using undo_store::Log;

// What an earlier version kept: ".dravik/undo/log.json" with copies beside
// it, vouched for by a digest in the dravik home. Taken into the log once,
// when it is still the one this user's dravik wrote, then removed.
void import_earlier_log(UndoLog::State& s, Log& log, const fs::path& workdir, const fs::path& home) {
  const auto old = hostlib::read_confined(workdir, std::string(kDir) + "/log.json", 64u << 20, false);
  if (!old || !old->exists) return;
  const fs::path seal = home / "undo-seals" / (sha256_of(fs::absolute(workdir).lexically_normal().string()) + ".json");
  const auto record = files::try_read_file(seal.string());
  const Json vouched = record ? Json::parse(*record, nullptr, false) : Json();
  const Json turns_json = Json::parse(old->bytes, nullptr, false);
  std::vector<std::string> copies;
  if (vouched.is_object() && text_of(vouched, "log") == sha256_of(old->bytes) && turns_json.is_object() &&
      turns_json.contains("turns") && turns_json["turns"].is_array()) {
    for (const Json& t : turns_json["turns"]) {
      const std::uint64_t id = s.next;
      if (!t.is_object() || !log.append(Json{{"t", "turn"}, {"id", id}})) continue;
      s.apply(Json{{"t", "turn"}, {"id", id}}, 0, 0);
      for (const Json& f : t.value("files", Json::array())) {
        if (!f.is_object() || !valid_rel(text_of(f, "path"))) continue;
        Json r = {{"t", "file"}, {"id", id}, {"path", text_of(f, "path")}, {"existed", f.value("existed", false)},
                  {"mode", number_of(f, "mode")}, {"written", text_of(f, "written")}};
        std::string copy;
        if (r["existed"].get<bool>()) {
          const std::string blob = text_of(f, "blob");
          if (blob.empty() || blob.find('/') != std::string::npos) continue;
          const auto c = hostlib::read_confined(workdir, std::string(kDir) + "/" + blob, kMaxFile, false);
          if (!c || !c->exists) continue;
          copy = c->bytes;
          copies.push_back(blob);
          r["before"] = text_of(f, "before");
        }
        if (auto at = log.append(r, copy)) s.apply(r, *at, copy.size());
      }
      for (const Json& c : t.value("shell", Json::array()))
        if (c.is_string()) {
          const Json r = {{"t", "shell"}, {"id", id}, {"command", c}};
          if (log.append(r)) s.apply(r, 0, 0);
        }
    }
    if (const std::string note = text_of(turns_json, "note"); !note.empty()) {
      const Json r = {{"t", "note"}, {"text", note}};
      if (log.append(r)) s.apply(r, 0, 0);
    }
  }
  for (const auto& blob : copies) (void)hostlib::remove_confined(workdir, std::string(kDir) + "/" + blob);
  (void)hostlib::remove_confined(workdir, std::string(kDir) + "/log.json");
  std::error_code ec;
  fs::remove(seal, ec);
  s.read_to = log.size();
}

// A temporary a file write leaves when it is killed: ".dravik-" and six
// letters or digits, beside the file it was to replace.
bool write_temporary(const char* name) {
  if (std::strncmp(name, ".dravik-", 8) != 0 || std::strlen(name) != 14) return false;
  for (const char* p = name + 8; *p; ++p)
    if (!std::islower(static_cast<unsigned char>(*p)) && !std::isdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

// Removes such temporaries a minute old or more (a younger one may be
// another session's, being written) in the directories of the files the
// store knows, entered without following links.
void remove_write_temporaries(const UndoLog::State& s, const fs::path& workdir) {
  std::vector<std::string> dirs{""};
  for (const auto& t : s.turns)
    for (const auto& e : t.files) {
      const auto slash = e.path.rfind('/');
      const std::string d = slash == std::string::npos ? "" : e.path.substr(0, slash);
      if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.push_back(d);
    }
  const std::time_t minute_ago = std::time(nullptr) - 60;
  for (const auto& d : dirs) {
    int fd = ::open(workdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::size_t start = 0; fd >= 0 && start < d.size();) {
      const std::size_t end = std::min(d.find('/', start), d.size());
      const int next = ::openat(fd, d.substr(start, end - start).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      ::close(fd);
      fd = next;
      start = end + 1;
    }
    if (fd < 0) continue;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      ::close(fd);
      continue;
    }
    while (const dirent* e = ::readdir(dir)) {
      struct stat st{};
      if (write_temporary(e->d_name) && ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(st.st_mode) && st.st_mtime < minute_ago)
        ::unlinkat(fd, e->d_name, 0);
    }
    ::closedir(dir);
  }
}

// The log opened, locked and read up to its end into `s`; once a session,
// compacted when most of it is history and its leftovers removed.
Result<Log> open_log(UndoLog::State& s, const fs::path& workdir, const fs::path& home) {
  if (!s.key) {
    auto key = undo_store::user_key(home);
    if (!key) return key.error();
    s.key = *key;
  }
  auto log = Log::open(workdir, *s.key);
  if (!log) return log.error();
  if (log->identity() != s.identity) {
    s.reset();
    s.identity = log->identity();
  }
  bool untrusted = false;
  s.read_to = log->read_from(s.read_to, [&](const Json& r, std::uint64_t at, std::uint64_t n) { s.apply(r, at, n); },
                             untrusted);
  if (untrusted)
    s.untrusted =
        "the undo log in .dravik/undo was not written by your dravik (or was changed since); what it said is not used";
  if (!s.tidied) {
    s.tidied = true;
    if (log->size() == 0) import_earlier_log(s, *log, workdir, home);
    log->remove_temporaries();
    remove_write_temporaries(s, workdir);
    if (log->size() > kCompactAbove && log->size() > 2 * s.live_bytes() + kCompactAbove) {
      // The live turns written afresh; the copies read from the old file.
      std::vector<UndoLog::State::Turn> turns = s.turns;
      auto done = log->rewrite([&](const Log::Emit& emit) -> Result<void> {
        for (auto& t : turns) {
          if (auto w = emit(Json{{"t", "turn"}, {"id", t.id}}, {}); !w) return w.error();
          for (auto& e : t.files) {
            std::string copy;
            if (e.blob_size) {
              auto b = log->blob(e.blob_at, e.blob_size);
              if (!b) return b.error();
              copy = std::move(*b);
            }
            auto at = emit(Json{{"t", "file"}, {"id", t.id}, {"path", e.path}, {"existed", e.existed}, {"mode", e.mode},
                                {"before", e.before}, {"written", e.written}},
                           copy);
            if (!at) return at.error();
            e.blob_at = *at;
          }
          for (const auto& c : t.shell)
            if (auto w = emit(Json{{"t", "shell"}, {"id", t.id}, {"command", c}}, {}); !w) return w.error();
        }
        if (!s.note.empty())
          if (auto w = emit(Json{{"t", "note"}, {"text", s.note}}, {}); !w) return w.error();
        return {};
      });
      if (done) {
        s.turns = std::move(turns);
        s.identity = log->identity();
        s.read_to = log->size();
      }
    }
  }
  return log;
}

}  // namespace

std::string UndoLog::remember_file(const std::string& rel, const std::optional<std::string>& before, mode_t mode,
                                   std::string_view after) {
  // The store itself is not the file tools' to change: a write there would
  // undo the undo log.
  if (rel == kDir || rel.starts_with(std::string(kDir) + "/")) return std::string(kDir) + " holds /undo's copies";
  auto log = open_log(*state_, workdir_, home_);
  if (!log) return "cannot keep the file for /undo: " + log.error().message;
  State& s = *state_;
  if (!turn_open_ || !s.turn(s.current)) {
    s.current = s.next;
    if (auto w = log->append(Json{{"t", "turn"}, {"id", s.current}}); !w)
      return "cannot keep the file for /undo: " + w.error().message;
    s.apply(Json{{"t", "turn"}, {"id", s.current}}, 0, 0);
    turn_open_ = true;
  }
  State::Turn& t = *s.turn(s.current);
  const std::string written = sha256_of(after);
  if (std::any_of(t.files.begin(), t.files.end(), [&](const State::Entry& e) { return e.path == rel; })) {
    // Changed again in the same turn: /undo goes back to the first state.
    const Json r = {{"t", "again"}, {"id", s.current}, {"path", rel}, {"written", written}};
    if (auto w = log->append(r); !w) return "cannot keep the file for /undo: " + w.error().message;
    s.apply(r, 0, 0);
    s.read_to = log->size();
    return "";
  }
  Json r = {{"t", "file"}, {"id", s.current}, {"path", rel}, {"existed", before.has_value()},
            {"mode", static_cast<unsigned>(mode & 07777)}, {"written", written}};
  if (before) r["before"] = sha256_of(*before);
  auto at = log->append(r, before ? std::string_view(*before) : std::string_view());
  if (!at) return "cannot keep the file for /undo: " + at.error().message;
  s.apply(r, *at, before ? before->size() : 0);
  // The bound, applied as the store grows: the oldest turns go first.
  std::uint64_t total = s.live_bytes();
  while (s.turns.size() > 1 && (s.turns.size() > kMaxTurns || total > kMaxBytes)) {
    const Json end = {{"t", "end"}, {"id", s.turns.front().id}};
    if (!log->append(end)) break;
    std::uint64_t freed = 0;
    for (const auto& e : s.turns.front().files) freed += e.blob_size;
    total -= std::min(total, freed);
    s.apply(end, 0, 0);
    s.notices.push_back("(/undo no longer reaches the oldest turn it kept: it keeps " + std::to_string(kMaxTurns) +
                        " turns and " + std::to_string(kMaxBytes >> 20) + " MB of copies)");
  }
  s.read_to = log->size();
  return "";
}

std::string UndoLog::remember_shell(const std::string& command) {
  auto log = open_log(*state_, workdir_, home_);
  if (!log) return "cannot note the command for /undo: " + log.error().message;
  State& s = *state_;
  if (!turn_open_ || !s.turn(s.current)) {
    s.current = s.next;
    const Json r = {{"t", "turn"}, {"id", s.current}};
    if (auto w = log->append(r); !w) return "cannot note the command for /undo: " + w.error().message;
    s.apply(r, 0, 0);
    turn_open_ = true;
  }
  // Only shown, never run again: a long command (a here-document) is kept
  // in part, so that the log stays small.
  const Json r = {{"t", "shell"}, {"id", s.current}, {"command", text::prefix(command, 2000)}};
  if (auto w = log->append(r); !w) return "cannot note the command for /undo: " + w.error().message;
  s.apply(r, 0, 0);
  s.read_to = log->size();
  return "";
}

namespace {

enum class FileOutcome { done, keep };

struct UndoRun {
  Log& log;
  const fs::path& workdir;
  const std::function<bool(const std::string&)>& ask;
  UndoLog::Undone& u;
  std::vector<std::string> restored, removed;

  // One file of the turn being undone: restored (or removed, when the turn
  // created it), or left; `keep` when it stays for another /undo (it
  // failed, or nobody could be asked).
  FileOutcome file(const UndoLog::State::Entry& e) {
    const std::string shown = text::escape_unambiguous(e.path);
    const auto read = hostlib::read_confined(workdir, e.path, kMaxFile);
    if (!read) {
      u.lines.push_back("could not restore " + shown + ": " + text::escape_controls(read.error().message));
      return FileOutcome::keep;
    }
    const hostlib::FileState& now = *read;
    const std::string digest = now.exists ? sha256_of(now.bytes) : "";
    // Already as it was (an /undo cut short after this file): done.
    if (e.existed ? (now.exists && digest == e.before) : !now.exists) {
      u.lines.push_back(shown + (e.existed ? " is already as it was" : " is already gone"));
      return FileOutcome::done;
    }
    if (digest != e.written) {
      // Made by that turn and changed since: someone's work, never removed.
      if (!e.existed) {
        u.lines.push_back(shown + " was created by that turn and changed since; kept");
        return FileOutcome::done;
      }
      if (!ask) {
        u.lines.push_back(shown + " was changed since that turn; left as it is (not asked: not on a terminal)");
        return FileOutcome::keep;
      }
      if (!ask(shown)) {
        u.lines.push_back(shown + " was changed since that turn; left as it is");
        return FileOutcome::done;
      }
    }
    const std::optional<std::string> expect = now.exists ? std::optional<std::string>(now.bytes) : std::nullopt;
    if (!e.existed) return remove(e, shown, expect);
    return restore(e, shown, expect);
  }

  FileOutcome remove(const UndoLog::State::Entry& e, const std::string& shown,
                     const std::optional<std::string>& expect) {
    if (auto w = hostlib::remove_confined(workdir, e.path, &expect); !w) {
      u.lines.push_back("could not remove " + shown + ": " + text::escape_controls(w.error().message));
      return FileOutcome::keep;
    }
    u.lines.push_back("removed " + shown);
    removed.push_back(e.path);
    return FileOutcome::done;
  }

  FileOutcome restore(const UndoLog::State::Entry& e, const std::string& shown,
                      const std::optional<std::string>& expect) {
    auto saved = log.blob(e.blob_at, e.blob_size);
    if (!saved || sha256_of(*saved) != e.before) {
      u.lines.push_back("could not restore " + shown + ": its saved copy is missing or damaged");
      return FileOutcome::done;
    }
    hostlib::WriteBeneath o;
    o.expect = &expect;
    o.mode = static_cast<mode_t>(e.mode);
    o.new_mode = *o.mode;
    if (auto w = hostlib::write_confined(workdir, e.path, *saved, o); !w) {
      u.lines.push_back("could not restore " + shown + ": " + text::escape_controls(w.error().message));
      return FileOutcome::keep;
    }
    u.lines.push_back("restored " + shown);
    restored.push_back(e.path);
    return FileOutcome::done;
  }
};

}  // namespace

UndoLog::Undone UndoLog::undo_last(const std::function<bool(const std::string&)>& ask) {
  Undone u;
  auto log = open_log(*state_, workdir_, home_);
  State& s = *state_;
  if (!s.untrusted.empty()) {
    u.lines.push_back(s.untrusted);
    s.untrusted.clear();
  }
  if (!log) {
    u.lines.push_back("cannot use the undo log: " + text::escape_controls(log.error().message));
    return u;
  }
  if (s.turns.empty()) {
    u.lines.push_back("Nothing to undo.");
    return u;
  }
  const State::Turn turn = s.turns.back();
  turn_open_ = false;  // what this turn does next starts a turn of its own
  UndoRun run{*log, workdir_, ask, u, {}, {}};
  std::size_t kept = 0;
  std::string failed;
  // Each file is recorded as it is done: a kill part-way leaves the rest.
  for (auto it = turn.files.rbegin(); it != turn.files.rend(); ++it) {
    if (run.file(*it) == FileOutcome::keep) {
      ++kept;
      continue;
    }
    const Json r = {{"t", "undone"}, {"id", turn.id}, {"path", it->path}};
    if (auto w = log->append(r); !w) failed = w.error().message;
    else s.apply(r, 0, 0);
  }
  if (!turn.shell.empty()) {
    u.lines.push_back("Shell commands cannot be undone; that turn ran:");
    for (const auto& c : turn.shell) u.lines.push_back("  $ " + text::escape_unambiguous(c));
  }
  if (turn.files.empty() && turn.shell.empty()) u.lines.push_back("That turn changed nothing.");
  const Json last = kept ? Json{{"t", "shown"}, {"id", turn.id}} : Json{{"t", "end"}, {"id", turn.id}};
  if (auto w = log->append(last); !w) failed = w.error().message;
  else s.apply(last, 0, 0);
  if (kept)
    u.lines.push_back("kept for another /undo: " + std::to_string(kept) + (kept == 1 ? " file" : " files") +
                      " not restored");
  u.note = undo_note(run.restored, run.removed, !turn.shell.empty());
  if (!u.note.empty()) {
    const Json r = {{"t", "note"}, {"text", u.note}};
    if (auto w = log->append(r); !w) failed = w.error().message;
    else s.apply(r, 0, 0);
  }
  if (!failed.empty()) u.lines.push_back("could not update the undo log: " + text::escape_controls(failed));
  s.read_to = log->size();
  return u;
}

std::string UndoLog::take_note() {
  State& s = *state_;
  // No store yet: nothing was undone, and nothing is created for asking.
  std::error_code ec;
  if (!fs::exists(workdir_ / kDir / "log", ec)) return "";
  auto log = open_log(s, workdir_, home_);
  if (!log || s.note.empty()) return "";
  const std::string note = s.note;
  const Json r = {{"t", "note-taken"}};
  if (log->append(r)) s.apply(r, 0, 0);
  s.read_to = log->size();
  return note;
}

std::vector<std::string> UndoLog::take_notices() { return std::exchange(state_->notices, {}); }

}  // namespace dravik::app
