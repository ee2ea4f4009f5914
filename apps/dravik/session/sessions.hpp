// A project's sessions: each `dravik chat` has an id and a journal,
// <project>/.dravik/sessions/<id>/journal.jsonl (owner-only). The ids this
// user's dravik started in a project are listed in the user's dravik home,
// so that a journal shipped in a cloned repository is never resumed (it
// would put someone else's words into the model's mouth).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "session/journal.hpp"

namespace dravik::app {

struct SessionInfo {
  std::string id;
  std::string started;        // ISO 8601, UTC
  std::string last_activity;  // the journal's last write, ISO 8601, UTC
  std::int64_t activity_ns = 0;  // the same, to the nanosecond, for ordering
  std::string runtime, model;
  std::size_t turns = 0;
  std::string first_user_line;
  std::filesystem::path journal;
};

class SessionStore {
 public:
  // `home`: the user's dravik home (~/.dravik), where the ids are listed.
  SessionStore(std::filesystem::path workdir, std::filesystem::path home);

  // Creates <project>/.dravik (with a .gitignore of "*" when dravik creates
  // it, so that `git add -A` never stages a conversation) and its sessions
  // folder (and the folder of session `id`, when given), owner-only,
  // without following links. Throws OSError.
  void prepare(const std::string& id = "") const;
  std::filesystem::path journal_of(const std::string& id) const;

  // This project's sessions that this user's dravik started, the least
  // recently active first.
  std::vector<SessionInfo> list() const;
  // The session `id` names (a unique beginning of it will do), or the most
  // recently active one when `id` is empty; nothing when there is none.
  // Throws ValueError for a beginning that fits several.
  std::optional<SessionInfo> find(const std::string& id) const;

  // Lists `id` as this user's (appended, synced). Throws OSError.
  void vouch(const std::string& id) const;

 private:
  std::vector<std::string> vouched() const;
  std::filesystem::path registry() const;
  std::filesystem::path workdir_, home_;
};

// `dravik sessions`: the listing, one session a line.
std::string format_sessions(const std::vector<SessionInfo>& sessions);

}  // namespace dravik::app
