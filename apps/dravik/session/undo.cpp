#include "session/undo.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "file_change.hpp"
#include "session/state_seal.hpp"
#include "session/undo_state.hpp"
#include "session/undo_store.hpp"
#include "support/config.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

using namespace undo_detail;
using undo_store::Log;

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

UndoLog::UndoLog(fs::path workdir, fs::path home)
    : workdir_(std::move(workdir)), home_(std::move(home)), state_(std::make_unique<State>()) {}

UndoLog::~UndoLog() = default;


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
    if (auto w = log->append(Json{{"t", "turn"}, {"id", s.current}, {"session", session_}}); !w)
      return "cannot keep the file for /undo: " + w.error().message;
    s.apply(Json{{"t", "turn"}, {"id", s.current}, {"session", session_}}, 0, 0);
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
    const Json r = {{"t", "turn"}, {"id", s.current}, {"session", session_}};
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

// What becomes of one file of the turn being undone.
struct Plan {
  enum { done, keep, restore, remove } what = done;
  std::optional<std::string> expect;  // what the file holds now (nullopt: missing)
};

struct UndoRun {
  const fs::path& workdir;
  const std::function<bool(const std::string&)>& ask;
  UndoLog::Undone& u;
  std::vector<std::string> restored, removed;

  // Looks at the file and, when it was changed since, asks (without the
  // store's lock: another session may go on meanwhile). `keep`: it stays
  // for another /undo (it failed, or nobody could be asked).
  Plan inspect(const UndoLog::State::Entry& e) {
    const std::string shown = text::escape_unambiguous(e.path);
    const auto read = hostlib::read_confined(workdir, e.path, kMaxFile);
    if (!read) {
      u.lines.push_back("could not restore " + shown + ": " + text::escape_controls(read.error().message));
      return {Plan::keep, std::nullopt};
    }
    const hostlib::FileState& now = *read;
    const std::string digest = now.exists ? sha256_of(now.bytes) : "";
    // Already as it was (an /undo cut short after this file): done.
    if (e.existed ? (now.exists && digest == e.before) : !now.exists) {
      u.lines.push_back(shown + (e.existed ? " is already as it was" : " is already gone"));
      return {Plan::done, std::nullopt};
    }
    if (digest != e.written) {
      // Made by that turn and changed since: someone's work, never removed.
      if (!e.existed) {
        u.lines.push_back(shown + " was created by that turn and changed since; kept");
        return {Plan::done, std::nullopt};
      }
      if (!ask) {
        u.lines.push_back(shown + " was changed since that turn; left as it is (not asked: not on a terminal)");
        return {Plan::keep, std::nullopt};
      }
      if (!ask(shown)) {
        u.lines.push_back(shown + " was changed since that turn; left as it is");
        return {Plan::done, std::nullopt};
      }
    }
    Plan p{e.existed ? Plan::restore : Plan::remove, std::nullopt};
    if (now.exists) p.expect = now.bytes;
    return p;
  }

  // Carries the plan out (the store locked, `log` its copies); false when
  // the file stays for another /undo.
  bool act(const UndoLog::State::Entry& e, const Plan& p, Log& log) {
    const std::string shown = text::escape_unambiguous(e.path);
    if (p.what == Plan::remove) {
      if (auto w = hostlib::remove_confined(workdir, e.path, &p.expect); !w) {
        u.lines.push_back("could not remove " + shown + ": " + text::escape_controls(w.error().message));
        return false;
      }
      u.lines.push_back("removed " + shown);
      removed.push_back(e.path);
      return true;
    }
    auto saved = log.blob(e.blob_at, e.blob_size);
    if (!saved || sha256_of(*saved) != e.before) {
      u.lines.push_back("could not restore " + shown + ": its saved copy is missing or damaged");
      return true;
    }
    hostlib::WriteBeneath o;
    o.expect = &p.expect;
    o.mode = static_cast<mode_t>(e.mode);
    o.new_mode = *o.mode;
    if (auto w = hostlib::write_confined(workdir, e.path, *saved, o); !w) {
      u.lines.push_back("could not restore " + shown + ": " + text::escape_controls(w.error().message));
      return false;
    }
    u.lines.push_back("restored " + shown);
    restored.push_back(e.path);
    return true;
  }
};

// The entry of `path` in turn `id`, as the store says now.
const UndoLog::State::Entry* entry_of(UndoLog::State& s, std::uint64_t id, const std::string& path) {
  UndoLog::State::Turn* t = s.turn(id);
  if (!t) return nullptr;
  for (const auto& e : t->files)
    if (e.path == path) return &e;
  return nullptr;
}

}  // namespace

UndoLog::Undone UndoLog::undo_last(const std::function<bool(const std::string&)>& ask) {
  Undone u;
  State& s = *state_;
  State::Turn turn;
  {
    auto log = open_log(s, workdir_, home_);
    if (!s.untrusted.empty()) {
      u.lines.push_back(s.untrusted);
      s.untrusted.clear();
    }
    if (!log) {
      u.lines.push_back("cannot use the undo log: " + text::escape_controls(log.error().message));
      return u;
    }
    const State::Turn* last = s.last_turn(session_);
    if (!last) {
      u.lines.push_back("Nothing to undo.");
      return u;
    }
    turn = *last;
  }
  turn_open_ = false;  // what this turn does next starts a turn of its own
  UndoRun run{workdir_, ask, u, {}, {}};
  std::size_t kept = 0;
  std::string failed;
  // Each file is recorded as it is done: a kill part-way leaves the rest.
  auto record = [&](Log& log, const Json& r) {
    if (auto w = log.append(r); !w) failed = w.error().message;
    else s.apply(r, 0, 0);
    s.read_to = log.size();
  };
  for (auto it = turn.files.rbegin(); it != turn.files.rend(); ++it) {
    const Plan plan = run.inspect(*it);
    if (plan.what == Plan::keep) {
      ++kept;
      continue;
    }
    auto log = open_log(s, workdir_, home_);
    if (!log) {
      failed = log.error().message;
      ++kept;
      continue;
    }
    // Undone by another session meanwhile: nothing left to do.
    const State::Entry* now = entry_of(s, turn.id, it->path);
    if (!now) continue;
    if (plan.what != Plan::done && !run.act(*now, plan, *log)) {
      ++kept;
      continue;
    }
    record(*log, Json{{"t", "undone"}, {"id", turn.id}, {"path", it->path}});
  }
  if (!turn.shell.empty()) {
    u.lines.push_back("Shell commands cannot be undone; that turn ran:");
    for (const auto& c : turn.shell) u.lines.push_back("  $ " + text::escape_unambiguous(c));
  }
  if (turn.files.empty() && turn.shell.empty()) u.lines.push_back("That turn changed nothing.");
  if (kept)
    u.lines.push_back("kept for another /undo: " + std::to_string(kept) + (kept == 1 ? " file" : " files") +
                      " not restored");
  u.note = undo_note(run.restored, run.removed, !turn.shell.empty());
  if (auto log = open_log(s, workdir_, home_)) {
    record(*log, kept ? Json{{"t", "shown"}, {"id", turn.id}} : Json{{"t", "end"}, {"id", turn.id}});
    if (!u.note.empty()) record(*log, Json{{"t", "note"}, {"text", text::prefix(u.note, 4000)}});
  } else {
    failed = log.error().message;
  }
  if (!failed.empty()) u.lines.push_back("could not update the undo log: " + text::escape_controls(failed));
  return u;
}

void UndoLog::tidy() {
  std::error_code ec;
  if (fs::exists(workdir_ / kDir / "log", ec)) (void)open_log(*state_, workdir_, home_);
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