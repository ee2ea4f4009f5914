// Keeps a session's journal up to date with its conversation: each message
// is appended as it is complete, a conversation rewritten as a whole
// (/compact, /reset, the context budget) is written as a whole, and what
// could not be saved is said and tried again at the next change.
#pragma once

#include <optional>
#include <string>

#include "session/journal.hpp"
#include "session/sessions.hpp"
#include "support/json.hpp"

namespace dravik::app {

class SessionRecorder {
 public:
  // A new session (its journal is created with the first message), or one
  // whose journal holds `journaled` (the messages after the system prompt)
  // already: a resumed session.
  SessionRecorder(const SessionStore& store, Journal::Header header, Json journaled = Json::array());

  // Brings the journal up to `messages` (the system prompt first; it is not
  // journaled: every session writes its own). `interrupted`: the last
  // message is a reply that was cut off. "" when everything is saved, else
  // why not; the journal then holds what it held, and the next sync writes
  // what is missing.
  std::string sync(const Json& messages, bool interrupted = false);

  // Opens (and locks) the journal now, as a resumed session does before it
  // goes on. Throws OSError (EWOULDBLOCK: another dravik has it open).
  void open();

  bool saved() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& id() const { return header_.id; }
  std::filesystem::path file() const { return store_.journal_of(header_.id); }

 private:
  void write(const Json& after_system, bool interrupted);

  const SessionStore& store_;
  Journal::Header header_;
  std::optional<Journal> journal_;
  Json journaled_;  // what the journal holds: the messages after the system prompt
  bool vouched_;  // the id is listed in the user's home
  std::string error_;
};

}  // namespace dravik::app
