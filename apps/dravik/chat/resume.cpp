// Which session a `dravik chat` continues: a new one, the latest or a
// named one (--resume [ID]), or a copy of one (--fork ID); the conversation
// an earlier version saved (".dravik/state") becomes the project's first
// session. The KV cache the local server saved is loaded only when it
// belongs to the conversation being continued.
#include <cerrno>

#include "chat/chat_session.hpp"
#include "support/run.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
using async::run_until_done;

namespace {

std::string shown_count(std::size_t n) { return std::to_string(n) + (n == 1 ? " message" : " messages"); }

std::string no_session(const std::string& id) {
  return "dravik chat: no session " + text::escape_controls(id) + " in this directory (`dravik sessions` lists them)";
}

}  // namespace

bool ChatSession::open_session() {
  Journal::Header header{new_session_id(), now_iso8601(), settings_.runtime, runtime_->describe()};
  std::string refused;
  const auto saved = saved_->saved(refused);
  // A conversation an earlier version saved belongs to no session yet.
  const bool earlier_state = saved && saved_->owner().empty();
  try {
    if (settings_.fork) {
      const auto from = sessions_.find(*settings_.fork);
      if (!from) {
        out_->error(no_session(*settings_.fork));
        return false;
      }
      const Journal::Contents c = Journal::read(from->journal);
      conversation_.load(c.messages);
      complete_exchanges(conversation_.messages());
      recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
      record();
      out_->note("Forked session " + from->id + " (" + shown_count(c.messages.size()) + ") into session " +
                 header.id + ".");
      return true;
    }
    if (!settings_.resume) {
      if (earlier_state) keep_earlier_state(*saved);
      recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
      return true;
    }
    if (earlier_state) {
      if (settings_.resume->empty()) {
        recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
        return import_saved_state();
      }
      keep_earlier_state(*saved);
    }
    const auto session = sessions_.find(*settings_.resume);
    if (!session && !settings_.resume->empty()) {
      out_->error(no_session(*settings_.resume));
      return false;
    }
    recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
    if (!session) {
      if (!refused.empty()) out_->error(refused);
      return true;
    }
    return resume_session(*session, saved && saved_->owner() == session->id ? saved : std::nullopt);
  } catch (const ValueError& e) {
    out_->error(std::string("dravik chat: ") + e.what());
    return false;
  } catch (const OSError& e) {
    out_->error(std::string("dravik chat: cannot read the session: ") + e.what());
    return false;
  }
}

void ChatSession::keep_earlier_state(const SavedSession::Saved& saved) {
  // Journaled as a session of its own before this session's save replaces
  // it: `--resume ID` continues it later.
  Journal::Header header{new_session_id(), now_iso8601(), settings_.runtime, runtime_->describe()};
  SessionRecorder earlier(sessions_, header);
  if (!earlier.sync(saved.messages).empty()) return;
  saved_->set_owner(header.id);
  out_->note("(the conversation saved here by an earlier version is kept as session " + header.id +
             "; `dravik chat --resume " + header.id + "` continues it)");
}

bool ChatSession::resume_session(const SessionInfo& session, const std::optional<SavedSession::Saved>& saved) {
  const Journal::Contents c = Journal::read(session.journal);
  Journal::Header header = c.header.value_or(Journal::Header{session.id, session.started, "", ""});
  header.runtime = settings_.runtime;
  header.model = runtime_->describe();
  recorder_ = std::make_unique<SessionRecorder>(sessions_, header, c.messages);
  try {
    recorder_->open();
  } catch (const OSError& e) {
    if (e.code() != EWOULDBLOCK) throw;
    out_->error("dravik chat: session " + session.id + " is open in another dravik chat; continue it there, or " +
                "start a copy of it with `dravik chat --fork " + session.id + "`");
    recorder_.reset();
    return false;
  }
  // A remote server keeps what it keeps: nothing to say about a cache.
  std::string kv = runtime_->owns_server() ? " (the KV cache is rebuilt on the next turn)." : ".";
  if (saved && after_system(saved->messages) == c.messages) {
    // The server's saved cache is this conversation's.
    const auto resumed = run_until_done(io_, saved_->resume());
    if (!resumed.note.empty() && resumed.note.find("and the KV cache") != std::string::npos) kv = " and the KV cache.";
  }
  conversation_.load(c.messages);
  conversation_.restore_system_prompt();
  // A call the kill left without a result gets one, journaled with it.
  if (complete_exchanges(conversation_.messages()) > 0) record();
  std::string note = "Resumed " + shown_count(c.messages.size()) + " of session " + session.id + kv;
  if (c.last_interrupted) note += " Its last reply was cut off.";
  if (c.damaged) note += " (A damaged end of its journal was left out.)";
  out_->note(note);
  return true;
}

bool ChatSession::import_saved_state() {
  const auto resumed = run_until_done(io_, saved_->resume());
  if (!resumed.refused.empty()) out_->error(resumed.refused);
  if (!resumed.note.empty()) out_->note(resumed.note);
  // Journaled at once: from now on it is a session like the others.
  record();
  saved_->set_owner(recorder_->id());
  return true;
}

void ChatSession::record(bool interrupted) {
  if (!recorder_) return;
  const std::string error = recorder_->sync(conversation_.messages(), interrupted);
  if (error.empty()) {
    if (!said_save_error_.empty()) out_->note("(the conversation is saved again)");
    said_save_error_.clear();
    return;
  }
  if (error == said_save_error_) return;
  said_save_error_ = error;
  out_->error("could not save the conversation to " + text::escape_controls(recorder_->file().string()) + ": " +
              error + "; it is saved as soon as it can be");
}

}  // namespace dravik::app
