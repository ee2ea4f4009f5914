// Which session a `dravik chat` continues: a new one, the latest or a
// named one (--resume [ID]), or a copy of one (--fork ID); the conversation
// an earlier version saved (".dravik/state") becomes the project's first
// session. The KV cache the local server saved is loaded only when it
// belongs to the conversation being continued.
#include "chat/chat_session.hpp"
#include "support/run.hpp"
#include "support/errors.hpp"
#include "support/text.hpp"

namespace dravik::app {

namespace fs = std::filesystem;
using async::run_until_done;

namespace {

Json after_system(const Json& messages) {
  Json out = Json::array();
  for (std::size_t i = 1; i < messages.size(); ++i) out.push_back(messages[i]);
  return out;
}

std::string shown_count(std::size_t n) { return std::to_string(n) + (n == 1 ? " message" : " messages"); }

fs::file_time_type written(const fs::path& file) {
  std::error_code ec;
  const auto t = fs::last_write_time(file, ec);
  return ec ? fs::file_time_type::min() : t;
}

}  // namespace

bool ChatSession::open_session() {
  Journal::Header header{new_session_id(), now_iso8601(), settings_.runtime, runtime_->describe()};
  std::string refused;
  const auto saved = saved_->saved(refused);
  try {
    if (settings_.fork) {
      const auto from = sessions_.find(*settings_.fork);
      if (!from) {
        out_->error("dravik chat: no session " + text::escape_controls(*settings_.fork) +
                    " in this directory (`dravik sessions` lists them)");
        return false;
      }
      const Journal::Contents c = Journal::read(from->journal);
      conversation_.load(c.messages);
      complete_tool_exchanges(conversation_.messages());
      recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
      record();
      out_->note("Forked session " + from->id + " (" + shown_count(c.messages.size()) + ") into session " +
                 header.id + ".");
      return true;
    }
    if (!settings_.resume) {
      recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
      return true;
    }
    const auto session = sessions_.find(*settings_.resume);
    if (!session && !settings_.resume->empty()) {
      out_->error("dravik chat: no session " + text::escape_controls(*settings_.resume) +
                  " in this directory (`dravik sessions` lists them)");
      return false;
    }
    // A state saved after the latest session's last message and not of it:
    // an earlier version's conversation, or one saved by hand.
    const bool newer_state =
        saved && settings_.resume->empty() &&
        (!session || (after_system(saved->messages) != Journal::read(session->journal).messages &&
                      saved->written > written(session->journal)));
    if (newer_state || (!session && saved)) {
      recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
      return import_saved_state();
    }
    recorder_ = std::make_unique<SessionRecorder>(sessions_, header);
    if (!session) {
      if (!refused.empty()) out_->error(refused);
      return true;
    }
    return resume_session(*session, saved);
  } catch (const ValueError& e) {
    out_->error(std::string("dravik chat: ") + e.what());
    return false;
  } catch (const OSError& e) {
    out_->error(std::string("dravik chat: cannot read the session: ") + e.what());
    return false;
  }
}

bool ChatSession::resume_session(const SessionInfo& session, const std::optional<SavedSession::Saved>& saved) {
  const Journal::Contents c = Journal::read(session.journal);
  Journal::Header header = c.header.value_or(Journal::Header{session.id, session.started, "", ""});
  header.runtime = settings_.runtime;
  header.model = runtime_->describe();
  // A remote server keeps what it keeps: nothing to say about a cache.
  std::string kv = runtime_->owns_server() ? " (the KV cache is rebuilt on the next turn)." : ".";
  if (saved && after_system(saved->messages) == c.messages) {
    // The server's saved cache is this conversation's.
    const auto resumed = run_until_done(io_, saved_->resume());
    if (!resumed.note.empty() && resumed.note.find("and the KV cache") != std::string::npos) kv = " and the KV cache.";
  }
  conversation_.load(c.messages);
  conversation_.restore_system_prompt();
  recorder_ = std::make_unique<SessionRecorder>(sessions_, header, c.messages);
  // A call the kill left without a result gets one, journaled with it.
  if (complete_tool_exchanges(conversation_.messages()) > 0) record();
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
