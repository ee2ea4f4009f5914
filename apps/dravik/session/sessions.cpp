#include "session/sessions.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <ctime>

#include "session/product_dir.hpp"
#include "session/state_seal.hpp"
#include "support/errors.hpp"
#include "support/files.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int err, const std::string& what) {
  throw OSError(err, what + ": " + std::strerror(err));
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};


// A session id as dravik makes them: letters, digits and dashes.
bool plausible_id(const std::string& id) {
  return !id.empty() && id.size() <= 64 &&
         std::all_of(id.begin(), id.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
}

}  // namespace

SessionStore::SessionStore(fs::path workdir, fs::path home) : workdir_(std::move(workdir)), home_(std::move(home)) {}

void SessionStore::prepare(const std::string& id) const {
  const Fd product{open_product_dir(workdir_)};
  const Fd sessions{files::open_private_dir_at(product.fd, "sessions", (workdir_ / ".dravik/sessions").string())};
  if (!id.empty()) {
    if (!plausible_id(id)) throw ValueError("not a session id: " + text::escape_controls(id));
    const Fd session{files::open_private_dir_at(sessions.fd, id, (workdir_ / ".dravik/sessions" / id).string())};
  }
}

fs::path SessionStore::journal_of(const std::string& id) const {
  return workdir_ / ".dravik" / "sessions" / id / "journal.jsonl";
}

fs::path SessionStore::registry() const {
  std::error_code ec;
  fs::path project = fs::weakly_canonical(fs::absolute(workdir_), ec);
  if (ec) project = fs::absolute(workdir_).lexically_normal();
  return home_ / "sessions" / (sha256_of(project.string()).substr(0, 32) + ".ids");
}

std::vector<std::string> SessionStore::vouched() const {
  std::vector<std::string> ids;
  const auto text = files::try_read_file(registry().string());
  if (!text) return ids;
  std::size_t at = 0;
  while (at < text->size()) {
    const std::size_t nl = std::min(text->find('\n', at), text->size());
    const std::string line = text->substr(at, nl - at);
    if (plausible_id(line)) ids.push_back(line);
    at = nl + 1;
  }
  return ids;
}

void SessionStore::vouch(const std::string& id) const {
  const fs::path file = registry();
  files::create_private_directories(file.parent_path().string());
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) fail(errno, "cannot write " + file.string());
  const Fd closer{fd};
  files::write_all(fd, id + "\n", file.string());
  if (::fdatasync(fd) != 0) fail(errno, "cannot save " + file.string());
}

std::vector<SessionInfo> SessionStore::list() const {
  std::vector<SessionInfo> out;
  for (const std::string& id : vouched()) {
    const fs::path journal = journal_of(id);
    struct stat st{};
    if (::lstat(journal.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (std::any_of(out.begin(), out.end(), [&](const SessionInfo& s) { return s.id == id; })) continue;
    Journal::Contents c;
    try {
      c = Journal::read(journal);
    } catch (const OSError&) {
      continue;
    }
    // A journal whose header names another id was not written for this one.
    if (!c.header || c.header->id != id) continue;
    SessionInfo s;
    s.id = id;
    s.started = c.header->started;
    s.last_activity = iso8601(st.st_mtime);
    s.activity_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.runtime = c.header->runtime;
    s.model = c.header->model;
    s.turns = c.turns;
    s.first_user_line = c.first_user_line;
    s.journal = journal;
    out.push_back(std::move(s));
  }
  std::stable_sort(out.begin(), out.end(), [](const SessionInfo& a, const SessionInfo& b) {
    return a.activity_ns < b.activity_ns;
  });
  return out;
}

std::optional<SessionInfo> SessionStore::find(const std::string& id) const {
  auto all = list();
  if (all.empty()) return std::nullopt;
  if (id.empty()) return all.back();
  std::vector<SessionInfo> hits;
  for (auto& s : all) {
    if (s.id == id) return s;
    if (s.id.rfind(id, 0) == 0) hits.push_back(s);
  }
  if (hits.size() > 1)
    throw ValueError("\"" + text::escape_controls(id) + "\" fits " + std::to_string(hits.size()) +
                     " sessions; give more of the id (`dravik sessions` lists them)");
  if (hits.empty()) return std::nullopt;
  return hits.front();
}

std::string format_sessions(const std::vector<SessionInfo>& sessions) {
  if (sessions.empty()) return "No sessions in this project yet.\n";
  std::string out = "id                    started               last activity         turns  model: first line\n";
  for (const auto& s : sessions) {
    std::string first = text::length(s.first_user_line) > 60 ? text::prefix(s.first_user_line, 57) + "..."
                                                               : s.first_user_line;
    first = text::escape_controls(first);
    std::string turns = std::to_string(s.turns);
    out += s.id + std::string(s.id.size() < 22 ? 22 - s.id.size() : 1, ' ') + s.started + "  " + s.last_activity +
           "  " + std::string(turns.size() < 5 ? 5 - turns.size() : 0, ' ') + turns + "  " +
           text::escape_controls(s.model) + ": " + first + "\n";
  }
  return out;
}

}  // namespace dravik::app
