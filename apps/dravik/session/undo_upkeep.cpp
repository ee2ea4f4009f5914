// The undo store's upkeep: the log opened and read, compacted, an earlier
// version's log taken over, leftovers removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "file_change.hpp"
#include "session/state_seal.hpp"
#include "session/undo_state.hpp"
#include "support/config.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::app::undo_detail {

namespace fs = std::filesystem;

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
  const Json earlier = Json::parse(old->bytes, nullptr, false);
  if (!vouched.is_object() || text_of(vouched, "log") != sha256_of(old->bytes) || !earlier.is_object() ||
      !earlier.contains("turns") || !earlier["turns"].is_array())
    return;  // not this user's: left where it is, never used
  std::vector<std::string> copies;
  // Written whole into a new log that then takes the name: a kill or a
  // full disk part-way leaves the earlier log as it was, to try again.
  auto done = log.rewrite([&](const Log::Emit& emit) -> Result<void> {
    if (auto w = emit(Json{{"t", "log"}, {"id", undo_store::random_id()}}, {}); !w) return w.error();
    std::uint64_t id = 0;
    for (const Json& t : earlier["turns"]) {
      if (!t.is_object()) continue;
      ++id;
      if (auto w = emit(Json{{"t", "turn"}, {"id", id}}, {}); !w) return w.error();
      for (const Json& f : t.value("files", Json::array())) {
        if (!f.is_object() || !valid_rel(text_of(f, "path"))) continue;
        const bool existed = config::truthy(f.value("existed", Json(false)));
        Json r = {{"t", "file"},   {"id", id},        {"path", text_of(f, "path")}, {"existed", existed},
                  {"mode", number_of(f, "mode")}, {"written", text_of(f, "written")}};
        std::string copy;
        if (existed) {
          const std::string blob = text_of(f, "blob");
          if (blob.empty() || blob.find('/') != std::string::npos) continue;
          const auto c = hostlib::read_confined(workdir, std::string(kDir) + "/" + blob, kMaxFile, false);
          if (!c || !c->exists) continue;
          copy = c->bytes;
          copies.push_back(blob);
          r["before"] = text_of(f, "before");
        }
        if (auto w = emit(r, copy); !w) return w.error();
      }
      for (const Json& c : t.value("shell", Json::array()))
        if (c.is_string())
          if (auto w = emit(Json{{"t", "shell"}, {"id", id}, {"command", text::prefix(c.get<std::string>(), 2000)}}, {});
              !w)
            return w.error();
    }
    if (const std::string note = text_of(earlier, "note"); !note.empty())
      if (auto w = emit(Json{{"t", "note"}, {"text", text::prefix(note, 8000)}}, {}); !w) return w.error();
    return {};
  });
  if (!done) return;
  s.reset();
  s.identity = log.identity();
  s.log_id = log.log_id();
  bool untrusted = false;
  s.read_to = log.read_from(0, [&](const Json& r, std::uint64_t at, std::uint64_t n) { s.apply(r, at, n); }, untrusted);
  for (const auto& blob : copies) (void)hostlib::remove_confined(workdir, std::string(kDir) + "/" + blob);
  (void)hostlib::remove_confined(workdir, std::string(kDir) + "/log.json");
  std::error_code ec;
  fs::remove(seal, ec);
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
}  // namespace

Result<Log> open_log(UndoLog::State& s, const fs::path& workdir, const fs::path& home) {
  if (!s.key) {
    auto key = undo_store::user_key(home);
    if (!key) return key.error();
    s.key = *key;
  }
  auto log = Log::open(workdir, *s.key);
  if (!log) return log.error();
  if (log->size() == 0) {
    // A new log: the earlier version's taken over, or a first record
    // that gives this file its id.
    import_earlier_log(s, *log, workdir, home);
    if (log->size() == 0) {
      if (auto w = log->append(Json{{"t", "log"}, {"id", undo_store::random_id()}}); !w) return w.error();
    }
  }
  const std::string id = log->log_id();
  if (log->identity() != s.identity || id != s.log_id) {
    s.reset();
    s.identity = log->identity();
    s.log_id = id;
  }
  bool untrusted = false;
  const auto apply = [&](const Json& r, std::uint64_t at, std::uint64_t n) { s.apply(r, at, n); };
  // Only a reading from the start knows where the good frames end.
  s.read_to = log->read_from(s.read_to, apply, untrusted, s.read_to == 0);
  if (s.read_to < log->size() && s.read_to > 0) {
    s.reset();
    s.read_to = log->read_from(0, apply, untrusted, true);
  }
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
        if (auto w = emit(Json{{"t", "log"}, {"id", undo_store::random_id()}}, {}); !w) return w.error();
        for (auto& t : turns) {
          if (auto w = emit(Json{{"t", "turn"}, {"id", t.id}, {"session", t.session}}, {}); !w) return w.error();
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
          if (auto w = emit(Json{{"t", "note"}, {"text", text::prefix(s.note, 8000)}}, {}); !w) return w.error();
        // Ids of ended turns are not given out again.
        if (auto w = emit(Json{{"t", "next"}, {"id", s.next}}, {}); !w) return w.error();
        return {};
      });
      if (done) {
        s.turns = std::move(turns);
        s.identity = log->identity();
        s.log_id = log->log_id();
        s.read_to = log->size();
      }
    }
  }
  return log;
}

}  // namespace dravik::app::undo_detail

namespace dravik::app {

using namespace undo_detail;

void UndoLog::State::apply(const Json& r, std::uint64_t at, std::uint64_t bytes) {
  const std::string type = text_of(r, "t");
  const std::uint64_t id = number_of(r, "id");
  if (type == "turn") {
    if (!turn(id)) turns.push_back(Turn{id, text_of(r, "session"), {}, {}});
    next = std::max(next, id + 1);
    return;
  }
  if (type == "next") {
    next = std::max(next, id);
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

}  // namespace dravik::app
