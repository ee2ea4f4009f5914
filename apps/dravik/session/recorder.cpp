#include "session/recorder.hpp"

#include "session/conversation.hpp"
#include "support/errors.hpp"

namespace dravik::app {

SessionRecorder::SessionRecorder(const SessionStore& store, Journal::Header header, Json journaled)
    : store_(store), header_(std::move(header)), journaled_(std::move(journaled)),
      // A session with messages already was listed when it began.
      vouched_(!journaled_.empty()) {}

std::string SessionRecorder::sync(const Json& messages, bool interrupted) {
  const Json rest = after_system(messages);
  if (rest == journaled_ && !interrupted) return error_;
  try {
    write(rest, interrupted);
    error_.clear();
  } catch (const OSError& e) {
    error_ = e.what();
  }
  return error_;
}

void SessionRecorder::open() {
  if (journal_) return;
  store_.prepare(header_.id);
  // Listed as this user's before the journal exists: a journal that was
  // written is then always one that is listed.
  if (!vouched_) {
    store_.vouch(header_.id);
    vouched_ = true;
  }
  journal_.emplace(Journal::open(file(), header_));
}

void SessionRecorder::write(const Json& after_system, bool interrupted) {
  if (!journal_) {
    if (after_system.empty() && journaled_.empty()) return;  // nothing to keep yet
    open();
  }
  // The journal's messages are a beginning of the conversation: only the
  // new ones are appended. Otherwise the conversation was rewritten.
  const std::size_t had = journaled_.size();
  bool prefix = had <= after_system.size();
  for (std::size_t i = 0; prefix && i < had; ++i) prefix = after_system[i] == journaled_[i];
  if (!prefix) {
    journal_->replace(after_system);
    journaled_ = after_system;
    return;
  }
  std::vector<Json> records;
  for (std::size_t i = had; i < after_system.size(); ++i) {
    const bool cut = interrupted && i + 1 == after_system.size() && after_system[i].is_object() &&
                     after_system[i].value("role", "") == "assistant";
    records.push_back(Json{{"type", cut ? "interrupted" : "message"}, {"message", after_system[i]}});
  }
  journal_->append_all(records);
  for (std::size_t i = had; i < after_system.size(); ++i) journaled_.push_back(after_system[i]);
}

}  // namespace dravik::app
